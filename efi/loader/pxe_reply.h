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

#endif
