#include "pxe_reply.h"

namespace {

constexpr UINT8 kPxeFlagBootServers = 0x04;
constexpr UINT8 kControlUseBootFile = 0x08;

}  // namespace

const UINT8 *RecordedValue(const PacketSlot *Slot, const UINT8 *Ref, UINTN *Length) {
  *Length = 0;
  const auto begin = reinterpret_cast<UINTN>(Slot->packet.Raw);
  const auto at = reinterpret_cast<UINTN>(Ref);
  if (Ref == nullptr || at < begin || at - begin + 2 > sizeof(Slot->packet.Raw)) return nullptr;
  if (at - begin + 2 + Ref[1] > sizeof(Slot->packet.Raw)) return nullptr;
  *Length = Ref[1];
  return Ref + 2;
}

DirectBoot BootsWithoutDiscovery(const PacketSlot *Reply) {
  if (Reply == nullptr) return DirectBoot::No;
  UINTN length = 0;
  if (RecordedValue(Reply, Reply->dhcpOptionRefs[kRefBootFile], &length) == nullptr || length == 0) {
    return DirectBoot::No;
  }
  if ((Reply->pxeFlags & kPxeFlagBootServers) == 0) return DirectBoot::NoBootServers;
  const UINT8 *control = RecordedValue(Reply, Reply->pxeOptionRefs[kRefDiscoveryControl], &length);
  if (control != nullptr && length >= 1 && (control[0] & kControlUseBootFile) != 0) return DirectBoot::DiscoveryControl;
  return DirectBoot::No;
}
