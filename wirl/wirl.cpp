// The WIRL boot: an address by DHCP (or a link-local one when no frame can be
// sent), then LIST and SELECT INFORMs to the boot servers, and the server's
// SELECT acknowledgement published as the boot reply.
#include "wirl.h"

#include "../dhcp/bootp_wire.h"
#include "../dhcp/codec.h"
#include "../dhcp/exchange.h"
#include "../net/ip_address.h"
#include "../net/net.h"

namespace {

constexpr UINT8 kBroadcast[4] = {255, 255, 255, 255};
constexpr UINT16 kClientPort = kDhcpClientPort;
constexpr UINT8 kLastWirlWindow = 17;  // windows of 1, 2, 4, 8 and 16 s
constexpr UINT32 kSelectAfterWindows = 3;
constexpr UINT32 kLinkLocalTries = 100;
constexpr UINTN kSyntheticReplyLength = 250;

EFI_GUID gIpAddrVendor = {0xC3956B7A, 0x2E04, 0x4A8F, {0x8D, 0x61, 0xF0, 0x7B, 0x25, 0xC9, 0xE4, 0x18}};
CHAR16 gIpAddrName[] = u"IpAddr";

const UINT8 *SubOption(const PacketSlot *Slot, UINT8 Code, UINT32 MinLength) {
  UINT32 Length = 0;
  const UINT8 *Value = OptionIndexFind(&Slot->vendorOptions, Code, &Length, nullptr);
  return Value != nullptr && Length >= MinLength ? Value : nullptr;
}

const UINT8 *Option(const PacketSlot *Slot, UINT8 Code, UINT32 MinLength) {
  UINT32 Length = 0;
  const UINT8 *Value = OptionIndexFind(&Slot->options, Code, &Length, nullptr);
  return Value != nullptr && Length >= MinLength ? Value : nullptr;
}

bool KindAcceptable(const ProtocolInstance *Instance, const UINT8 *Image) {
  return !Instance->Packets.FilterImageKind || (Image[0] & 0x7F) == kWirlAcceptedKind;
}

// The selected image of a LIST reply, when it may be used.
const UINT8 *UsableSelectedImage(const ProtocolInstance *Instance, const PacketSlot *Slot) {
  if (Instance->Packets.UseDefaultImage) return nullptr;
  const UINT8 *Image = SubOption(Slot, kWirlSelectedImage, 4);
  return Image != nullptr && KindAcceptable(Instance, Image) ? Image : nullptr;
}

// The caller-set port of LIST and SELECT; 0 (never set) means the DHCP server port.
UINT16 WirlPort(const ProtocolInstance *Instance) {
  return Instance->Packets.WirlServerPort != 0 ? Instance->Packets.WirlServerPort : kDhcpServerPort;
}

// An INFORM with the given option 43 sub-options, END, Xid and ciaddr.
void BuildInform(ProtocolInstance *Instance, const UINT8 *SubOptions, UINTN Length) {
  OptionWriter Writer;
  BuildDhcpMessage(Instance, &Writer, kDhcpInform);
  (void)OptionWriterAdd(&Writer, kOptVendorSpecific, Length, SubOptions);
  (void)OptionWriterAdd(&Writer, kOptEnd, 0, nullptr);
  BootpMessage *Message = BootpOf(Instance->DhcpTxPacket);
  Message->xid.set(Instance->Xid);
  CopyBytes(Message->ciaddr.b, Instance->Mode.StationIp.v4.Addr, 4);
}

EFI_STATUS SendInform(ProtocolInstance *Instance, const UINT8 *Destination, UINT16 Port) {
  BootpOf(Instance->DhcpTxPacket)->secs.set(Instance->SecsCounter);
  return SendDhcpMessage(Instance, Destination, &Port, Instance->Mode.StationIp.v4.Addr, &kClientPort);
}

void Publish(ProtocolInstance *Instance, const PacketSlot *Slot) {
  Instance->Packets.PxeReplyReceived = TRUE;
  SavePacket(Instance, &Instance->Packets.PxeReply, &Slot->packet, Slot->length, kParsedReply);
}

}  // namespace

void WirlDestination(const ProtocolInstance *Instance, UINT8 *Address) {
  const UINT32 Server = Instance->Packets.WirlServer;
  if (Server != 0) {
    CopyBytes(Address, &Server, 4);
  } else {
    CopyBytes(Address, kBroadcast, 4);
  }
}

void StartListInform(ProtocolInstance *Instance, bool WithKind) {
  ++Instance->Xid;
  Instance->HeldSlots &= ~((1u << kSlotListReply) | (1u << kSlotSelectAck));
  BuildListInform(Instance, WithKind);
}

void BuildListInform(ProtocolInstance *Instance, bool WithKind) {
  const UINT8 SubOptions[] = {kWirlMessageType, 1, kWirlList, kWirlPrefix, 2, 1, 1, kWirlImageKindFilter, 2, 3, 0};
  BuildInform(Instance, SubOptions, WithKind ? sizeof(SubOptions) : 7);
}

EFI_STATUS ObtainWirlAddress(ProtocolInstance *Instance, bool WirlOptionAlways) {
  EFI_STATUS Result = RunDhcpDiscovery(Instance, WirlOptionAlways);
  if (Result == EFI_TIMEOUT) Result = AssignLinkLocalAddress(Instance);
  if (!EFI_ERROR(Result)) {
    PacketRecord &Packets = Instance->Packets;
    Packets.DhcpAckReceived = TRUE;
    Packets.DhcpDiscoverValid = TRUE;
    CopyBytes(&Packets.DhcpAck, &Packets.ParsedPackets[kParsedAck].packet, sizeof(DhcpPacket));
    RecordIpAddrVariable(Instance);
  }
  return Result;
}

void RecordIpAddrVariable(ProtocolInstance *Instance) {
  UINT8 Address[4];
  CopyBytes(Address, BootpOf(&Instance->Packets.ParsedPackets[kParsedAck].packet)->yiaddr.b, 4);
  (void)gRT->SetVariable(gIpAddrName, &gIpAddrVendor, EFI_VARIABLE_BOOTSERVICE_ACCESS, sizeof(Address), Address);
}

EFI_STATUS AssignLinkLocalAddress(ProtocolInstance *Instance) {
  UINT8 Address[4] = {169, 254, 0, 0};
  bool Claimed = false;
  for (UINT32 Try = 0; Try < kLinkLocalTries && !Claimed; ++Try) {
    Address[2] = static_cast<UINT8>(NextRandom(Instance) % 254 + 1);
    Address[3] = static_cast<UINT8>(NextRandom(Instance) % 255);
    const EFI_IP_ADDRESS Candidate = Ipv4ToEfi(Address);
    Claimed = ClaimAddress(Instance, &Candidate) != FALSE;
  }
  if (!Claimed) return EFI_OUT_OF_RESOURCES;
  // RFC 3927: a link-local address is a /16.
  const UINT8 Mask[4] = {255, 255, 0, 0};
  CopyBytes(Instance->Mode.SubnetMask.v4.Addr, Mask, 4);

  PacketSlot *Entry = &Instance->Packets.ParsedPackets[kParsedAck];
  OptionIndexClear(&Entry->options);
  OptionIndexClear(&Entry->vendorOptions);
  ZeroBytes(&Entry->packet, sizeof(DhcpPacket));
  BootpMessage *Message = BootpOf(&Entry->packet);
  Message->op = kBootpReply;
  Message->htype = 1;
  Message->hlen = 6;
  CopyBytes(Message->yiaddr.b, Address, 4);
  CopyBytes(Message->chaddr, Instance->Binding->SnpMode.CurrentAddress.Addr, 6);
  Message->cookie.set(kDhcpMagicCookie);
  const UINT8 Options[] = {kOptMessageType, 1, kDhcpAckType, kOptSubnetMask, 4, 255, 255, 0, 0, kOptEnd};
  CopyBytes(Message->options, Options, sizeof(Options));
  Entry->length = kSyntheticReplyLength;
  return EFI_SUCCESS;
}

BOOLEAN IsListReply(ProtocolInstance *Instance, PacketSlot *Slot) {
  if (!(Slot->slotFlags & ORVALE_SLOT_FLAG_WIRL)) return FALSE;
  const UINT8 *Server = Option(Slot, kOptServerId, 4);
  if (Server == nullptr) return FALSE;
  const UINT32 Only = Instance->Packets.WirlServer;
  if (Only != 0 && !SameIpv4(Server, &Only)) return FALSE;
  const UINT8 *Type = Option(Slot, kOptMessageType, 1);
  if (Type == nullptr || *Type != kDhcpAckType) return FALSE;
  const UINT8 *WirlType = SubOption(Slot, kWirlMessageType, 1);
  if (WirlType == nullptr || *WirlType != kWirlList) return FALSE;
  const UINT8 *Default = SubOption(Slot, kWirlDefaultImage, 4);
  return Default != nullptr && KindAcceptable(Instance, Default);
}

BOOLEAN IsSelectReply(ProtocolInstance *Instance, PacketSlot *Slot) {
  if (!(Slot->slotFlags & ORVALE_SLOT_FLAG_WIRL)) return FALSE;
  const UINT8 *Type = Option(Slot, kOptMessageType, 1);
  if (Type == nullptr || *Type != kDhcpAckType) return FALSE;
  const UINT8 *WirlType = SubOption(Slot, kWirlMessageType, 1);
  if (WirlType == nullptr) return FALSE;
  // Without a held LIST reply there is no server to match.
  if (!SlotHeld(Instance, kSlotListReply)) return FALSE;
  const UINT8 *Chosen = Option(&Instance->ReplySlots[kSlotListReply], kOptServerId, 4);
  const UINT8 *Server = Option(Slot, kOptServerId, 4);
  if (Chosen == nullptr || Server == nullptr || !SameIpv4(Chosen, Server)) return FALSE;
  if (*WirlType == kWirlSelect) return GetBootFileName(Slot, nullptr) != nullptr;
  return *WirlType == kWirlRefused;
}

EFI_STATUS WirlReceiveList(ProtocolInstance *Instance) {
  TimerEvent Timer;
  EFI_STATUS Status = Timer.Arm(RetryWindowTicks(Instance->RetryTimeout));
  if (EFI_ERROR(Status)) return Status;
  PacketSlot *Receive = &Instance->ReplySlots[kSlotReceive];
  bool HaveBest = SlotHeld(Instance, kSlotListReply);
  UINT32 BestPriority = 0;
  if (HaveBest) {
    const UINT8 *Priority = SubOption(&Instance->ReplySlots[kSlotListReply], kWirlPriority, 2);
    BestPriority = Priority != nullptr ? FieldAt<Be16>(Priority)->get() : 0;
  }
  UINT16 ToPort = kClientPort;
  while (ReceiveDhcpReply(Instance, IsListReply, kUdpAnySrcIp | kUdpAnySrcPort, nullptr, nullptr,
                          Instance->Mode.StationIp.v4.Addr, &ToPort, Receive, Timer.Get()) == EFI_SUCCESS) {
    ToPort = kClientPort;
    UINT32 SelectedLength = 0;
    if (OptionIndexFind(&Receive->vendorOptions, kWirlSelectedImage, &SelectedLength, nullptr) != nullptr) {
      if (SelectedLength < 4) continue;
      if (UsableSelectedImage(Instance, Receive) != nullptr) {
        KeepPacket(Instance, kSlotListReply, Receive);
        break;
      }
    }
    const UINT8 *Priority = SubOption(Receive, kWirlPriority, 2);
    if (Priority == nullptr) continue;
    const UINT32 Value = FieldAt<Be16>(Priority)->get();
    if (!HaveBest || Value > BestPriority) {
      KeepPacket(Instance, kSlotListReply, Receive);
      HaveBest = true;
      BestPriority = Value;
    }
  }
  return EFI_SUCCESS;
}

EFI_STATUS WirlReceiveSelectAck(ProtocolInstance *Instance) {
  UINT8 Server[4] = {0, 0, 0, 0};
  if (SlotHeld(Instance, kSlotListReply)) {
    if (const UINT8 *Id = Option(&Instance->ReplySlots[kSlotListReply], kOptServerId, 4)) CopyBytes(Server, Id, 4);
  }
  TimerEvent Timer;
  EFI_STATUS Status = Timer.Arm(RetryWindowTicks(Instance->RetryTimeout));
  if (EFI_ERROR(Status)) return Status;
  PacketSlot *Receive = &Instance->ReplySlots[kSlotReceive];
  bool Answered = false;
  UINT16 ToPort = kClientPort;
  while (ReceiveDhcpReply(Instance, IsSelectReply, kUdpAnySrcPort, Server, nullptr, Instance->Mode.StationIp.v4.Addr,
                          &ToPort, Receive, Timer.Get()) == EFI_SUCCESS) {
    ToPort = kClientPort;
    Answered = true;
    const UINT8 *WirlType = SubOption(Receive, kWirlMessageType, 1);
    if (WirlType != nullptr && *WirlType == kWirlSelect) {
      KeepPacket(Instance, kSlotSelectAck, Receive);
      return EFI_SUCCESS;
    }
  }
  return Answered ? EFI_SUCCESS : EFI_NO_RESPONSE;
}

BOOLEAN WirlSelect(ProtocolInstance *Instance) {
  const PacketRecord &Packets = Instance->Packets;
  UINT8 Destination[4];
  CopyBytes(Destination, kBroadcast, 4);
  UINT8 Image[4] = {0, 0, 0, 0};
  UINT8 Server[4] = {0, 0, 0, 0};
  if (Packets.AutoSelect) {
    WirlDestination(Instance, Destination);
    if (SlotHeld(Instance, kSlotListReply)) {
      const PacketSlot *List = &Instance->ReplySlots[kSlotListReply];
      const UINT8 *Chosen = UsableSelectedImage(Instance, List);
      if (Chosen == nullptr) Chosen = SubOption(List, kWirlDefaultImage, 4);
      if (Chosen != nullptr) CopyBytes(Image, Chosen, 4);
      if (const UINT8 *Id = Option(List, kOptServerId, 4)) CopyBytes(Server, Id, 4);
    }
  } else {
    CopyBytes(Image, &Packets.SelectImage, 4);
    CopyBytes(Server, Packets.SelectServer, 4);
  }
  const UINT8 SubOptions[] = {kWirlMessageType, 1, kWirlSelect, kWirlPrefix, 2, 1, 1,
                              kWirlSelectedImage, 4, Image[0], Image[1], Image[2], Image[3],
                              kWirlServer, 4, Server[0], Server[1], Server[2], Server[3]};
  BuildInform(Instance, SubOptions, sizeof(SubOptions));

  for (Instance->RetryTimeout = 1; Instance->RetryTimeout < kLastWirlWindow;) {
    if (EFI_ERROR(SendInform(Instance, Destination, WirlPort(Instance)))) return FALSE;
    const EFI_STATUS Status = WirlReceiveSelectAck(Instance);
    if (Status == EFI_SUCCESS) return SlotHeld(Instance, kSlotSelectAck) ? TRUE : FALSE;
    if (Status != EFI_NO_RESPONSE) return FALSE;
    NextRetryWindow(Instance);
  }
  return FALSE;
}

EFI_STATUS WirlList(ProtocolInstance *Instance) {
  UINT8 Destination[4];
  WirlDestination(Instance, Destination);
  const bool WithKind = Instance->Packets.FilterImageKind != 0;
  StartListInform(Instance, WithKind);

  UINT32 WindowsWithReply = 0;
  for (Instance->RetryTimeout = 1; Instance->RetryTimeout < kLastWirlWindow;) {
    EFI_STATUS Status = SendInform(Instance, Destination, WirlPort(Instance));
    if (EFI_ERROR(Status)) return Status;
    Status = WirlReceiveList(Instance);
    if (Status != EFI_SUCCESS && Status != EFI_NO_RESPONSE) return Status;
    if (SlotHeld(Instance, kSlotListReply)) {
      ++WindowsWithReply;
      if (WindowsWithReply >= kSelectAfterWindows ||
          UsableSelectedImage(Instance, &Instance->ReplySlots[kSlotListReply]) != nullptr) {
        const UINT8 ListWindow = Instance->RetryTimeout;
        if (WirlSelect(Instance)) return EFI_SUCCESS;
        // The SELECT was refused or went unanswered: the next transmission is
        // a LIST again, not the SELECT left in the transmit packet, and the
        // LIST windows go on from where they were, so a server that refuses
        // every SELECT cannot keep the loop going for ever.
        Instance->RetryTimeout = MaxOf(Instance->RetryTimeout, ListWindow);
        BuildListInform(Instance, WithKind);
      }
    }
    NextRetryWindow(Instance);
  }
  return EFI_NO_RESPONSE;
}

EFI_STATUS WirlListAndSelectOnce(ProtocolInstance *Instance) {
  UINT8 Destination[4];
  WirlDestination(Instance, Destination);
  StartListInform(Instance, false);
  const UINT16 Port = Instance->State.AlternatePortMode == 1 ? kWirlAlternatePort : kDhcpServerPort;
  EFI_STATUS Status = SendInform(Instance, Destination, Port);
  if (EFI_ERROR(Status)) return Status;
  Status = WirlReceiveList(Instance);
  if (EFI_ERROR(Status)) return Status;
  // Without an acknowledgement there is nothing to publish.
  return WirlSelect(Instance) ? EFI_SUCCESS : EFI_NO_RESPONSE;
}

EFI_STATUS WirlBoot(ProtocolInstance *Instance, const EFI_PXE_BASE_CODE_IP_FILTER *StationFilter) {
  PacketRecord &Packets = Instance->Packets;
  const EFI_STATUS Result = Packets.DhcpDiscoverValid ? EFI_SUCCESS : ObtainWirlAddress(Instance, false);
  // The selection, and whatever follows the call, sees the station address
  // only, on a later call as on the first.
  (void)ApplyIpFilter(Instance, StationFilter);
  if (Result != EFI_SUCCESS) return Result;
  if (!Packets.ExplicitSelect && !Packets.AutoSelect) return EFI_INVALID_PARAMETER;
  if (Packets.ExplicitSelect == 1 && !Packets.AutoSelect) {
    const EFI_STATUS Status = WirlListAndSelectOnce(Instance);
    if (EFI_ERROR(Status)) return Status;
    Publish(Instance, &Instance->ReplySlots[kSlotSelectAck]);
    return EFI_SUCCESS;
  }
  if (Packets.PlainDhcp) return EFI_SUCCESS;
  if (SlotHeld(Instance, kSlotWirlOffer)) {
    Publish(Instance, &Instance->ReplySlots[kSlotWirlOffer]);
    return EFI_SUCCESS;
  }
  const EFI_STATUS Status = WirlList(Instance);
  if (Status != EFI_SUCCESS) return Status;
  Publish(Instance, &Instance->ReplySlots[kSlotSelectAck]);
  return EFI_SUCCESS;
}
