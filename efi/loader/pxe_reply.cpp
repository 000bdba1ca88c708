#include "pxe_reply.h"

#include "instance/support.h"

namespace {

constexpr UINT8 kPxeFlagBootServers = 0x04;
constexpr UINT8 kControlUseBootFile = 0x08;
constexpr UINTN kRefVendor = 2;  // option 43
constexpr UINT8 kPad = 0;
constexpr UINT8 kEnd = 255;
constexpr UINT8 kMtftpGroup = 1;
constexpr UINT8 kMtftpClientPort = 2;
constexpr UINT8 kMtftpServerPort = 3;
constexpr UINT8 kMtftpListen = 4;
constexpr UINT8 kMtftpTransmit = 5;
constexpr UINT8 kMtftpAll = 0x1F;  // one bit per sub-option 1 to 5

// A non-zero port out of a 2-byte value.
bool ReadPort(const UINT8 *Value, UINTN Length, UINT16 *Out) {
  if (Length != sizeof(Be16)) return false;
  Be16 port;
  CopyBytes(&port, Value, sizeof(port));
  *Out = port.get();
  return *Out != 0;
}

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

bool ParseMtftpParameters(const UINT8 *Vendor, UINTN Length, MtftpParameters *Out) {
  if (Vendor == nullptr) return false;
  MtftpParameters found{};
  UINT8 seen = 0;
  UINTN at = 0;
  while (at < Length) {
    const UINT8 code = Vendor[at];
    if (code == kPad) {
      ++at;
      continue;
    }
    if (code == kEnd) break;
    if (Length - at < 2 || Vendor[at + 1] > Length - at - 2) return false;
    const UINTN size = Vendor[at + 1];
    const UINT8 *value = Vendor + at + 2;
    bool sound = true;
    switch (code) {
      case kMtftpGroup:
        sound = size == 4 && (value[0] & 0xF0) == 0xE0;
        if (sound) CopyBytes(found.Group, value, 4);
        break;
      case kMtftpClientPort:
        sound = ReadPort(value, size, &found.ClientPort);
        break;
      case kMtftpServerPort:
        sound = ReadPort(value, size, &found.ServerPort);
        break;
      case kMtftpListen:
        sound = size == 1 && value[0] != 0;
        if (sound) found.ListenSeconds = value[0];
        break;
      case kMtftpTransmit:
        sound = size == 1 && value[0] != 0;
        if (sound) found.TransmitSeconds = value[0];
        break;
      default:
        break;
    }
    if (!sound) return false;
    if (code <= kMtftpTransmit) seen |= static_cast<UINT8>(1u << (code - 1));
    at += 2 + size;
  }
  if (seen != kMtftpAll) return false;
  *Out = found;
  return true;
}

bool MtftpParametersOf(const PacketSlot *Slot, MtftpParameters *Out) {
  if (Slot == nullptr) return false;
  UINTN length = 0;
  const UINT8 *vendor = RecordedValue(Slot, Slot->dhcpOptionRefs[kRefVendor], &length);
  if (vendor == nullptr) return false;
  // Copies into a slot record no length; then the whole packet area bounds it.
  const UINTN received =
      Slot->length != 0 && Slot->length < sizeof(Slot->packet.Raw) ? static_cast<UINTN>(Slot->length)
                                                                    : sizeof(Slot->packet.Raw);
  const UINTN start = static_cast<UINTN>(vendor - Slot->packet.Raw);
  if (start > received) return false;
  if (length > received - start) length = received - start;
  return ParseMtftpParameters(vendor, length, Out);
}
