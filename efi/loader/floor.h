// The floor under a download: the cheapest lock-step exchange the firmware's
// network stack allows, timed in the same boot as the driver's TFTP reads.
//
// A child of the firmware's MNP, of our own, sends the boot server a small
// request (the size of an ACK's datagram); the server's floor responder
// answers with the frames one TFTP DATA datagram of the block size asked
// takes: one frame up to 1472 bytes of data, else its IPv4 fragments (six at
// 8192). Carried as IPv4 to the station address, they are the frames a TFTP
// read brings, and the firmware's own IPv4 driver, which takes every IPv4
// frame MNP receives, spends on them what it spends on the driver's; carried
// under 0x88B5, nothing but this child takes them. Nothing of the driver runs
// meanwhile.
#ifndef ORVALE_EFI_LOADER_FLOOR_H
#define ORVALE_EFI_LOADER_FLOOR_H

#include "include/efi/efi_app.h"

struct FloorFigures {
  UINT64 Ticks = 0;     // TSC ticks over the timed rounds
  UINT32 Rounds = 0;    // timed round trips
  UINT32 Resent = 0;    // requests sent again after a round timed out
  UINT32 Stale = 0;     // frames of an earlier round, dropped
};

// Controllers the firmware's own IPv4 driver is bound to: it takes every
// IPv4 frame MNP receives there, the driver's included.
UINTN FirmwareIpv4Bindings(EFI_BOOT_SERVICES *Bs);

// Frames one DATA datagram of BlockSize data bytes takes at a 1500-byte MTU.
UINTN FloorFramesPerBlock(UINTN BlockSize);

// Runs Rounds timed round trips at BlockSize (after a few untimed ones that
// find the server); TicksPerMs bounds each wait. The answers come as IPv4 to
// AnswerTo, or under 0x88B5 when it is null. *Step names what failed.
EFI_STATUS MeasureFloor(EFI_BOOT_SERVICES *Bs, UINT64 TicksPerMs, UINT16 BlockSize, UINT32 Rounds,
                        const UINT8 *AnswerTo, FloorFigures *Out, const char **Step);

#endif
