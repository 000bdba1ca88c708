// PXE replies: the parser that records where the options and PXE vendor
// sub-options of interest lie (PacketSlot's PXE fields), the checks of a
// reply's boot-server information, and the receive loop of the PXE
// exchanges.
//
// Every walk is bounded by its area (the option area that arrived, sname,
// file, one option-43 value): a code whose length byte or value would run
// past it ends that walk, and nothing is recorded that does not lie wholly
// inside it. Every sub-option read is checked against its own length.
#include "../dhcp/bootp_wire.h"
#include "../dhcp/codec.h"
#include "../dhcp/exchange.h"
#include "../net/ip_address.h"
#include "../net/net.h"
#include "pxe.h"

const UINT8 DefaultDiscoveryControl[3] = {kPxeSubDiscoveryControl, 1, 0};
const UINT8 DefaultBootItem[6] = {kPxeSubBootItem, 4, 0, 0, 0, 0};

namespace {

constexpr UINTN kPxeFieldsSize = 169;
constexpr UINT16 kSubOptionsMtftp = 0x3E;        // seen-bits of sub-options 1 to 5
constexpr UINT16 kSubOptionsBootServer = 0x17C0; // 6, 7, 8, 9, 10 and 71
constexpr UINT16 kSubOptionsCredentials = 0x800; // 12
constexpr UINTN kFileAsOption67 = 106;           // file at 108 read as option 67: code at 106, length at 107

// Option code to its dhcpOptionRefs position, or -1.
INTN DhcpRefOf(UINT8 Code) {
  switch (Code) {
    case kOptSubnetMask: return kRefSubnetMask;
    case kOptRouter: return kRefRouters;
    case kOptVendorSpecific: return kRefVendor;
    case kOptOverload: return kRefOverload;
    case kOptMessageType: return kRefMessageType;
    case kOptServerId: return kRefServerId;
    case kOptVendorClass: return kRefVendorClass;
    case kOptBootFileName: return kRefBootFile;
    case kOptBootFileSize: return kRefBootFileSize;
    default: return -1;
  }
}

// Sub-option code to its pxeOptionRefs position, or -1.
INTN PxeRefOf(UINT8 Code) {
  if (Code >= 1 && Code <= 10) return Code - 1;
  if (Code == kPxeSubCredentialTypes) return kRefCredentialTypes;
  if (Code == kPxeSubBootItem) return kRefBootItem;
  return -1;
}

void ParseSubOptions(PacketSlot *Slot, UINT8 *Value, UINTN Length) {
  UINT16 Seen = 0;
  // An overrun ends the walk and keeps what came before it.
  (void)WalkOptionArea(Value, Length, [&](UINT8 *At, UINT8 Code, UINTN) {
    const INTN Ref = PxeRefOf(Code);
    if (Ref >= 0) {
      Slot->pxeOptionRefs[Ref] = At;
      Seen = static_cast<UINT16>(Seen | (1u << (Ref + 1)));
    }
    return true;
  });
  if (Seen != 0) Slot->pxeFlags |= kPxeFlagReply;
  if ((Seen & kSubOptionsMtftp) == kSubOptionsMtftp) Slot->pxeFlags |= kPxeFlagMtftp;
  if (Seen & kSubOptionsBootServer) Slot->pxeFlags |= kPxeFlagBootServer;
  if (Seen & kSubOptionsCredentials) Slot->pxeFlags |= kPxeFlagCredentials;
}

bool IsMulticastByte(UINT8 First) { return (First & 0xF0) == 0xE0; }

// Sub-option 8: entries of type (2), count (1) and count addresses, filling
// the value exactly; no address may be multicast.
bool BootServersValid(const UINT8 *Value, UINTN Remaining) {
  while (Remaining > 0) {
    if (Remaining < 3) return false;
    const UINTN Need = 3 + 4u * Value[2];
    if (Remaining < Need) return false;
    for (UINTN i = 0; i < Value[2]; ++i) {
      if (IsMulticastByte(Value[3 + 4 * i])) return false;
    }
    Value += Need;
    Remaining -= Need;
  }
  return true;
}

// Sub-option 9: entries of type (2), description length (1, not 0) and
// description, filling the value exactly.
bool BootMenuValid(const UINT8 *Value, UINTN Remaining) {
  while (Remaining > 0) {
    if (Remaining < 3 || Value[2] == 0) return false;
    const UINTN Need = 3u + Value[2];
    if (Remaining < Need) return false;
    Value += Need;
    Remaining -= Need;
  }
  return true;
}

// Whether a recorded option or sub-option covers Byte (code, length or value).
bool RecordedAt(const PacketSlot *Slot, const UINT8 *Byte) {
  auto Covers = [Byte](const UINT8 *Ref) { return Ref != nullptr && Byte >= Ref && Byte < Ref + 2 + Ref[1]; };
  for (UINTN i = 0; i < ORVALE_DHCP_OPTION_REFS; ++i) {
    if (Covers(Slot->dhcpOptionRefs[i])) return true;
  }
  for (UINTN i = 0; i < ORVALE_PXE_OPTION_REFS; ++i) {
    if (Covers(Slot->pxeOptionRefs[i])) return true;
  }
  return false;
}

}  // namespace

void ParsePxeOptions(PacketSlot *Slot, UINT8 *Area, UINTN Length) {
  (void)WalkOptionArea(Area, Length, [&](UINT8 *At, UINT8 Code, UINTN ValueLength) {
    const INTN Ref = DhcpRefOf(Code);
    if (Ref < 0) return true;
    Slot->dhcpOptionRefs[Ref] = At;
    if (Code == kOptVendorSpecific) ParseSubOptions(Slot, At + 2, ValueLength);
    return true;
  });
}

void ParsePxePacket(PacketSlot *Slot, UINT64 Length) {
  UINT8 *Fields = reinterpret_cast<UINT8 *>(Slot) + offsetof(PacketSlot, dhcpOptionRefs);
  ZeroBytes(Fields, kPxeFieldsSize);
  const UINTN Arrived = static_cast<UINTN>(MinOf<UINT64>(Length, sizeof(DhcpPacket)));
  UINT8 *P = Slot->packet.Raw;
  if (Arrived > kDhcpOptionsOffset) ParsePxeOptions(Slot, P + kDhcpOptionsOffset, Arrived - kDhcpOptionsOffset);

  bool FileHoldsOptions = false;
  UINT8 OverloadLength = 0;
  const UINT8 *Overload = PxeDhcpOption(Slot, kRefOverload, &OverloadLength);
  // sname and file are fixed fields: they are only read when they arrived.
  if (Overload != nullptr && OverloadLength >= 1) {
    const UINT8 Value = Overload[0];
    if ((Value & kOverloadSname) && Arrived >= offsetof(BootpMessage, file)) {
      ParsePxeOptions(Slot, P + offsetof(BootpMessage, sname), kBootpSnameSize);
    }
    if (Value & kOverloadFile) {
      FileHoldsOptions = true;
      if (Arrived >= offsetof(BootpMessage, cookie)) {
        ParsePxeOptions(Slot, P + offsetof(BootpMessage, file), kBootpFileSize);
      }
    }
  }
  // The file field becomes option 67 by writing its length over the last
  // byte of sname, unless an option overloaded into sname is recorded there.
  if (!FileHoldsOptions && Slot->dhcpOptionRefs[kRefBootFile] == nullptr &&
      Arrived >= offsetof(BootpMessage, cookie) && P[offsetof(BootpMessage, file)] != 0 &&
      !RecordedAt(Slot, P + kFileAsOption67 + 1)) {
    UINTN NameLength = 0;
    while (NameLength < kBootpFileSize && P[offsetof(BootpMessage, file) + NameLength] != 0) ++NameLength;
    Slot->dhcpOptionRefs[kRefBootFile] = P + kFileAsOption67;
    P[kFileAsOption67 + 1] = static_cast<UINT8>(NameLength);
  }
  UINT8 ClassLength = 0;
  const UINT8 *Class = PxeDhcpOption(Slot, kRefVendorClass, &ClassLength);
  if (Class != nullptr && ClassLength >= 9 && SameBytes(Class, "PXEClient", 9)) Slot->pxeFlags |= kPxeFlagReply;
}

BOOLEAN IsDhcpAck(PacketSlot *Slot) {
  UINT8 Length = 0;
  const UINT8 *Type = PxeDhcpOption(Slot, kRefMessageType, &Length);
  return Type != nullptr && Length >= 1 && Type[0] == kDhcpAckType && Slot->dhcpOptionRefs[kRefServerId] != nullptr;
}

BOOLEAN ValidatePxeBootInfo(PacketSlot *Slot) {
  if (!(Slot->pxeFlags & kPxeFlagBootServer)) return TRUE;
  if (Slot->pxeOptionRefs[kRefDiscoveryControl] == nullptr) {
    Slot->pxeOptionRefs[kRefDiscoveryControl] = const_cast<UINT8 *>(DefaultDiscoveryControl);
  }
  UINT8 Length = 0;
  const UINT8 *ControlValue = PxeSubOption(Slot, kRefDiscoveryControl, &Length);
  if (Length < 1) return FALSE;
  const UINT8 Control = ControlValue[0];

  if (!(Control & kDiscoveryNoMulticast)) {
    const UINT8 *Address = PxeSubOption(Slot, kRefDiscoveryMcast, &Length);
    if (Address == nullptr || Length < 4 || !IsMulticastByte(Address[0])) return FALSE;
  }
  if (const UINT8 *Servers = PxeSubOption(Slot, kRefBootServers, &Length)) {
    if (!BootServersValid(Servers, Length)) return FALSE;
  } else {
    if (Control & kDiscoveryListOnly) return FALSE;
    if ((Control & kDiscoveryNoBroadcast) && (Control & kDiscoveryNoMulticast)) return FALSE;
  }
  if (!((Control & kDiscoveryNoMenuWithFile) && Slot->dhcpOptionRefs[kRefBootFile] != nullptr)) {
    const UINT8 *Menu = PxeSubOption(Slot, kRefBootMenu, &Length);
    if (Menu == nullptr || Slot->pxeOptionRefs[kRefMenuPrompt] == nullptr) return FALSE;
    if (!BootMenuValid(Menu, Length)) return FALSE;
  }
  if (Slot->pxeOptionRefs[kRefBootItem] == nullptr) {
    Slot->pxeOptionRefs[kRefBootItem] = const_cast<UINT8 *>(DefaultBootItem);
  }
  // The boot item is read for its type (2 bytes) and layer.
  PxeSubOption(Slot, kRefBootItem, &Length);
  if (Length < 3) return FALSE;
  return TRUE;
}

BOOLEAN AcceptPxeAck(PacketSlot *Slot) { return ValidatePxeBootInfo(Slot) && IsDhcpAck(Slot); }

void CopyOfferToSlot(ProtocolInstance *Instance, UINTN FromIndex, UINTN ToIndex) {
  PacketSlot *Entry = &Instance->Packets.ParsedPackets[ToIndex];
  const PacketSlot *From = &Instance->ReplySlots[FromIndex];
  // The whole packet: a reply may be longer than a client message, and what
  // lies past its length is zero.
  CopyBytes(Entry->packet.Raw, From->packet.Raw, sizeof(DhcpPacket));
  Entry->length = From->length;
  ParsePxePacket(Entry, Entry->length);
}

void AddPacketRoutes(ProtocolInstance *Instance, PacketSlot *Slot) {
  const EFI_IP_ADDRESS Relay = Ipv4ToEfi(BootpOf(&Slot->packet)->giaddr.b);
  AddRoute(Instance, &Relay);
  UINT8 Length = 0;
  const UINT8 *Routers = PxeDhcpOption(Slot, kRefRouters, &Length);
  if (Routers == nullptr) return;
  for (UINTN At = 0; At + kIpv4AddressLength <= Length; At += kIpv4AddressLength) {
    const EFI_IP_ADDRESS Gateway = Ipv4ToEfi(Routers + At);
    AddRoute(Instance, &Gateway);
  }
}

DhcpDrop PxeReplyDrop(ProtocolInstance *Instance, PacketSlot *Slot, UINTN Size) {
  // A PXE reply matches the request as sent, its cookie included.
  const BootpMessage *Sent = BootpOf(Instance->DhcpTxPacket);
  const DhcpDrop Drop = ReplyHeaderDrop(Slot, Size, Sent->xid, &Sent->cookie, Sent->chaddr);
  if (Drop != kDhcpDropCount) return Drop;
  ParsePxePacket(Slot, Size);
  return kDhcpDropCount;
}

namespace {

DhcpDrop CheckPxeReply(ProtocolInstance *Instance, PacketSlot *Slot, UINTN Size, const ReplyOrigin *,
                       void *Context) {
  const DhcpDrop Drop = PxeReplyDrop(Instance, Slot, Size);
  if (Drop != kDhcpDropCount) return Drop;
  const PxeAccept Accept = *static_cast<const PxeAccept *>(Context);
  if (Accept != nullptr && !Accept(Slot)) return kDhcpDropRefused;
  return kDhcpDropCount;
}

}  // namespace

EFI_STATUS ReceivePxeReply(ProtocolInstance *Instance, PxeAccept Accept, UINT16 OpFlags, EFI_IP_ADDRESS *SrcIp,
                           UINT16 *SrcPort, EFI_IP_ADDRESS *DestIp, UINT16 *DestPort, PacketSlot *Slot,
                           EFI_EVENT Timer) {
  EFI_IP_ADDRESS StationCopy = Instance->Mode.StationIp;
  return AwaitReply(Instance, OpFlags, SrcIp, SrcPort, DestIp != nullptr ? DestIp : &StationCopy, DestPort, Slot,
                    Timer, CheckPxeReply, &Accept);
}
