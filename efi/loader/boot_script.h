// Boot scripts: a boot file that is a short text instead of a PE image names
// a kernel, an initrd and the kernel's command line, which the loader fetches
// from the boot server and starts. The first line marks it; then one
// "keyword value" a line, '#' lines are comments:
//
//   #!orvale
//   kernel vmlinuz            the kernel image (a PE32+ with an EFI stub), required
//   initrd initrd.img         at most one; served to the kernel through LoadFile2
//   cmdline console=ttyS0     the rest of the line, as it stands (at most one line)
//   server 198.18.0.1         fetch from here (default: the boot file's server)
//   block-size 8192           TFTP block size for these files (512..65464)
//
// The loader appends " orvale.ip=A.B.C.D", the address it leased, to the
// command line. Freestanding, so the hosted tests run it too.
#ifndef ORVALE_EFI_LOADER_BOOT_SCRIPT_H
#define ORVALE_EFI_LOADER_BOOT_SCRIPT_H

#include "include/efi/efi_types.h"

constexpr UINTN kScriptMaxBytes = 8192;
constexpr UINTN kScriptMaxLine = 2100;       // a full command line and its keyword fit
constexpr UINTN kScriptFileNameBytes = 256;  // a TFTP name of up to 255 bytes and its NUL
// The x86 kernel takes 2048 bytes of command line with its NUL; the address
// parameter needs up to 26 of them.
constexpr UINTN kKernelCmdlineBytes = 2048;
constexpr UINTN kAddressParameterBytes = 26;  // " orvale.ip=255.255.255.255"
constexpr UINTN kScriptMaxCmdline = kKernelCmdlineBytes - 1 - kAddressParameterBytes;

struct BootScript {
  char Kernel[kScriptFileNameBytes] = {};
  BOOLEAN HaveInitrd = FALSE;
  char Initrd[kScriptFileNameBytes] = {};
  char Cmdline[kScriptMaxCmdline + 1] = {};
  UINTN CmdlineLength = 0;
  BOOLEAN HaveServer = FALSE;
  UINT8 Server[4] = {};
  UINT64 BlockSize = 0;  // 0: the loader's own setting
};

struct ScriptError {
  UINTN Line = 0;  // 1-based; 0 for the script as a whole
  const char *Reason = nullptr;
};

// TRUE when the Length bytes begin with the script's first line.
BOOLEAN IsBootScript(const UINT8 *Text, UINTN Length);

// Parses a whole script of Length bytes (no terminator needed). EFI_SUCCESS,
// or EFI_BAD_BUFFER_SIZE (too long: the script, a line, the command line) or
// EFI_INVALID_PARAMETER (anything else) with *Error naming the line.
EFI_STATUS ParseBootScript(const UINT8 *Text, UINTN Length, BootScript *Out, ScriptError *Error);

// The kernel's command line as UCS-2 with its NUL: the script's, then the
// address parameter. The units written with the NUL; 0 when OutUnits is short.
UINTN KernelCommandLine(const BootScript &Script, const UINT8 (&Address)[4], CHAR16 *Out, UINTN OutUnits);

#endif
