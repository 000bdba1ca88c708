// What the loader reads out of the PXE replies the driver parsed: the options
// its PXE parse recorded in a slot, and whether the reply's own boot file is
// to be booted without Discover. Freestanding, so the hosted tests run it too.
#ifndef ORVALE_EFI_LOADER_PXE_REPLY_H
#define ORVALE_EFI_LOADER_PXE_REPLY_H

#include "include/orvale/orvale_protocol.h"

// Positions in a slot's PXE option references.
constexpr UINTN kRefServerId = 5;         // option 54
constexpr UINTN kRefBootFile = 7;         // option 67, or the file field standing in for it
constexpr UINTN kRefDiscoveryControl = 5;  // sub-option 6 of option 43

// The value of a recorded option or sub-option, when its code, length and
// whole value lie inside the slot's packet; null otherwise (a reference to
// one of the driver's default constants counts as absent).
const UINT8 *RecordedValue(const PacketSlot *Slot, const UINT8 *Ref, UINTN *Length);

enum class DirectBoot { No, NoBootServers, DiscoveryControl };

// Plain DHCP with a next-server and a file name is the common set-up: a
// reply that names a boot file and lists no boot servers to discover, or
// whose discovery control (0x08) takes a named boot file as it is, is booted
// from without Discover.
[[nodiscard]] DirectBoot BootsWithoutDiscovery(const PacketSlot *Reply);

// Where a boot file is also sent by multicast TFTP: sub-options 1 to 5 of a
// reply's option 43 (group, client port, server port, listen and transmit
// seconds, one byte each).
struct MtftpParameters {
  UINT8 Group[4];
  UINT16 ClientPort;
  UINT16 ServerPort;
  UINT8 ListenSeconds;
  UINT8 TransmitSeconds;
};

// Reads the parameters out of an option-43 value of Length bytes. True only
// when all five are there and sound: a multicast group, ports and times not
// 0. A sub-option of the wrong length, or one running past the value, means
// no multicast; the caller reads the file by unicast then.
[[nodiscard]] bool ParseMtftpParameters(const UINT8 *Vendor, UINTN Length, MtftpParameters *Out);

// The same out of a slot's recorded option 43, bounded by the bytes the slot
// received.
[[nodiscard]] bool MtftpParametersOf(const PacketSlot *Slot, MtftpParameters *Out);

#endif
