// The network-boot loader's settings: a small text file beside the loader on
// its volume (orvale-boot.cfg), one "key = value" a line, '#' starting a
// comment. Every key is optional; without the file the defaults below hold.
//
//   server-port = 67          WIRL server port of LIST and SELECT (1..65535)
//   wirl-server = 198.18.0.1  ask only this boot server (default: broadcast)
//   image-kind  = any | 3     accept only images of kind 3
//   use-default = no          yes: take each server's default image
//   image       = 03000001    explicit selection: the 4 image bytes, in hex
//   image-server = 198.18.0.1 server of the explicit image
//   list-rounds = 2           LIST rounds of the Wirl member before the boot (0..8)
//   block-size  = 8192        TFTP block size to ask for (512..65464)
//   first-buffer = 0          bytes: read into this first, size only if it is too small;
//                             0: get the size first (K and M suffixes allowed)
//   local-image = \EFI\x.efi  start this file from the volume instead of the network
//   boot-path   = wirl        pxe: PXE DHCP, discovery of a boot server, its boot file
//   pxe-type    = 1           boot server type to discover on the PXE path (1..65535)
//   pxe-server  = 198.18.0.1  discover by unicast to this server only (default: as the
//                             DHCP replies' discovery control allows)
//   power-off   = no          yes: power the machine off when done
//   floor-rounds = 0          N: after the address, time N round trips straight on MNP and
//                             N-block reads through the driver at 512, 1468 and 8192
//                             (floor.h); nothing is booted
//
// Freestanding: parsed without any library, so the hosted tests run it too.
#ifndef ORVALE_EFI_LOADER_CONFIG_H
#define ORVALE_EFI_LOADER_CONFIG_H

#include "include/efi/efi_types.h"

constexpr UINTN kConfigPathBytes = 128;

struct LoaderConfig {
  UINT16 ServerPort = 67;
  BOOLEAN HaveWirlServer = FALSE;
  UINT8 WirlServer[4] = {};
  BOOLEAN FilterImageKind = FALSE;
  BOOLEAN UseDefaultImage = FALSE;
  BOOLEAN ExplicitImage = FALSE;
  UINT8 Image[4] = {};
  BOOLEAN HaveImageServer = FALSE;
  UINT8 ImageServer[4] = {};
  UINT32 ListRounds = 2;
  UINT64 BlockSize = 8192;
  UINT64 FirstBuffer = 0;
  char LocalImage[kConfigPathBytes] = {};  // empty: boot from the network
  BOOLEAN PowerOff = FALSE;
  BOOLEAN PxePath = FALSE;
  UINT16 PxeServerType = 1;
  BOOLEAN HavePxeServer = FALSE;
  UINT8 PxeServer[4] = {};
  UINT32 FloorRounds = 0;
};

// A line the parser refused; the line is otherwise ignored.
struct ConfigProblem {
  UINTN Line = 0;             // 1-based
  const char *Reason = nullptr;
};

constexpr UINT32 kMaxListRounds = 8;
constexpr UINT64 kMinBlockSize = 512;
constexpr UINT64 kMaxBlockSize = 65464;  // RFC 2348
constexpr UINT64 kMaxFirstBuffer = 1ull << 30;
constexpr UINT32 kMaxFloorRounds = 20000;

// Applies every valid line of Text (Length bytes, no terminator needed) to
// *Config and records up to MaxProblems refused lines; returns how many lines
// were refused in all.
UINTN ParseLoaderConfig(const UINT8 *Text, UINTN Length, LoaderConfig *Config, ConfigProblem *Problems,
                        UINTN MaxProblems);

#endif
