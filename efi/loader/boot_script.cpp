#include "boot_script.h"

#include "config.h"
#include "text.h"

namespace {

using namespace loadertext;

constexpr char kMagic[] = "#!orvale";
constexpr UINTN kMagicLength = sizeof(kMagic) - 1;

EFI_STATUS Refuse(ScriptError *Error, UINTN Line, const char *Reason, EFI_STATUS Status = EFI_INVALID_PARAMETER) {
  *Error = ScriptError{Line, Reason};
  return Status;
}

// A TFTP file name: printable ASCII without spaces, 1..255 bytes.
bool CopyFileName(Span s, char (&Out)[kScriptFileNameBytes]) {
  if (s.Length == 0 || s.Length >= kScriptFileNameBytes) return false;
  for (UINTN i = 0; i < s.Length; ++i) {
    if (s.Data[i] <= 0x20 || s.Data[i] >= 0x7F) return false;
  }
  for (UINTN i = 0; i < s.Length; ++i) Out[i] = static_cast<char>(s.Data[i]);
  Out[s.Length] = '\0';
  return true;
}

// One "keyword value" line, already checked for its bytes.
EFI_STATUS ApplyLine(Span Line, UINTN Number, BootScript *S, ScriptError *Error) {
  UINTN split = 0;
  while (split < Line.Length && Line.Data[split] != ' ' && Line.Data[split] != '\t') ++split;
  const Span key{Line.Data, split};
  const Span value = Trim(Span{Line.Data + split, Line.Length - split});
  if (Is(key, "kernel")) {
    if (S->Kernel[0] != '\0') return Refuse(Error, Number, "a second kernel line");
    if (!CopyFileName(value, S->Kernel)) return Refuse(Error, Number, "kernel wants a file name of 1..255 characters");
  } else if (Is(key, "initrd")) {
    if (S->HaveInitrd) return Refuse(Error, Number, "a second initrd line");
    if (!CopyFileName(value, S->Initrd)) return Refuse(Error, Number, "initrd wants a file name of 1..255 characters");
    S->HaveInitrd = TRUE;
  } else if (Is(key, "cmdline")) {
    if (S->CmdlineLength != 0) return Refuse(Error, Number, "a second cmdline line");
    if (value.Length > kScriptMaxCmdline) {
      return Refuse(Error, Number, "cmdline longer than the kernel takes (2021 characters)", EFI_BAD_BUFFER_SIZE);
    }
    for (UINTN i = 0; i < value.Length; ++i) S->Cmdline[i] = static_cast<char>(value.Data[i]);
    S->Cmdline[value.Length] = '\0';
    S->CmdlineLength = value.Length;
  } else if (Is(key, "server")) {
    if (!ParseIpv4(value, S->Server)) return Refuse(Error, Number, "server wants an IPv4 address");
    S->HaveServer = TRUE;
  } else if (Is(key, "block-size")) {
    UINT64 n = 0;
    if (!ParseNumber(value, kMaxBlockSize, &n) || n < kMinBlockSize) {
      return Refuse(Error, Number, "block-size wants 512..65464");
    }
    S->BlockSize = n;
  } else {
    return Refuse(Error, Number, "unknown keyword (kernel, initrd, cmdline, server, block-size)");
  }
  return EFI_SUCCESS;
}

}  // namespace

BOOLEAN IsBootScript(const UINT8 *Text, UINTN Length) {
  if (Text == nullptr || Length < kMagicLength) return FALSE;
  for (UINTN i = 0; i < kMagicLength; ++i) {
    if (Text[i] != static_cast<UINT8>(kMagic[i])) return FALSE;
  }
  return Length == kMagicLength || IsSpace(Text[kMagicLength]) || Text[kMagicLength] == '\n';
}

EFI_STATUS ParseBootScript(const UINT8 *Text, UINTN Length, BootScript *Out, ScriptError *Error) {
  *Out = BootScript{};
  *Error = ScriptError{};
  if (Length > kScriptMaxBytes) return Refuse(Error, 0, "script longer than 8192 bytes", EFI_BAD_BUFFER_SIZE);
  if (!IsBootScript(Text, Length)) return Refuse(Error, 1, "the first line is not #!orvale");
  UINTN number = 0;
  UINTN at = 0;
  while (at < Length) {
    ++number;
    const UINTN start = at;
    while (at < Length && Text[at] != '\n') ++at;
    Span line{Text + start, at - start};
    if (at < Length) ++at;  // the '\n'
    if (line.Length > kScriptMaxLine) return Refuse(Error, number, "line longer than 2100 bytes", EFI_BAD_BUFFER_SIZE);
    for (UINTN i = 0; i < line.Length; ++i) {
      const UINT8 c = line.Data[i];
      if (c == 0) return Refuse(Error, number, "NUL byte");
      if ((c < 0x20 && c != '\t' && c != '\r') || c >= 0x7F) return Refuse(Error, number, "not printable ASCII");
    }
    line = Trim(line);
    if (number == 1 && !Is(line, kMagic)) return Refuse(Error, 1, "the first line is not #!orvale alone");
    if (number == 1 || line.Length == 0 || line.Data[0] == '#') continue;
    const EFI_STATUS status = ApplyLine(line, number, Out, Error);
    if (EFI_ERROR(status)) return status;
  }
  if (Out->Kernel[0] == '\0') return Refuse(Error, 0, "no kernel line");
  return EFI_SUCCESS;
}

UINTN KernelCommandLine(const BootScript &Script, const UINT8 (&Address)[4], CHAR16 *Out, UINTN OutUnits) {
  char parameter[kAddressParameterBytes + 1];
  UINTN p = 0;
  constexpr char kPrefix[] = " orvale.ip=";
  for (UINTN i = 0; kPrefix[i] != '\0'; ++i) parameter[p++] = kPrefix[i];
  for (UINTN i = 0; i < 4; ++i) {
    if (i != 0) parameter[p++] = '.';
    const UINT8 b = Address[i];
    if (b >= 100) parameter[p++] = static_cast<char>('0' + b / 100);
    if (b >= 10) parameter[p++] = static_cast<char>('0' + b / 10 % 10);
    parameter[p++] = static_cast<char>('0' + b % 10);
  }
  const UINTN cmdline = Script.CmdlineLength <= kScriptMaxCmdline ? Script.CmdlineLength : kScriptMaxCmdline;
  // Without a command line of its own the parameter goes without its space.
  const UINTN skip = cmdline == 0 ? 1 : 0;
  const UINTN units = cmdline + p - skip + 1;
  if (Out == nullptr || units > OutUnits) return 0;
  UINTN at = 0;
  for (UINTN i = 0; i < cmdline; ++i) Out[at++] = static_cast<UINT8>(Script.Cmdline[i]);
  for (UINTN i = skip; i < p; ++i) Out[at++] = static_cast<UINT8>(parameter[i]);
  Out[at] = 0;
  return units;
}
