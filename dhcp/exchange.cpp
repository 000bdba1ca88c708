// The DHCP exchange: address acquisition by DISCOVER/OFFER/REQUEST/ACK with
// offer scoring, DECLINE on an address conflict and a BOOTP fallback, and the
// send and receive primitives the WIRL and PXE exchanges use too.
//
// Limitations: no lease timer, no renewal, no RELEASE; the broadcast flag is
// never set, so the client must be able to receive unicast before it has an
// address (MNP delivers by hardware address).
#include "exchange.h"

#include "../net/ip_address.h"
#include "../net/net.h"
#include "bootp_wire.h"
#include "codec.h"

namespace {

constexpr UINT8 kBroadcast[4] = {255, 255, 255, 255};
constexpr UINT8 kUnspecified[4] = {0, 0, 0, 0};
constexpr UINT16 kServerPort = kDhcpServerPort;
constexpr UINT16 kClientPort = kDhcpClientPort;
constexpr UINT8 kLastDiscoverWindow = 33;  // windows of 1, 2, 4, 8, 16 and 32 s
constexpr UINT32 kDiscoveryAttempts = 3;
constexpr UINT32 kRequestTransmissions = 2;
constexpr INT32 kScorePublic = 100;

void CountDhcpDrop(ProtocolInstance *Instance, DhcpDrop Reason) { ++Instance->DhcpDrops[Reason]; }

// The value of option Code when it is at least MinLength bytes long.
const UINT8 *FindOption(const PacketSlot *Slot, UINT8 Code, UINT32 MinLength, UINT32 *LengthOut = nullptr) {
  UINT32 Length = 0;
  const UINT8 *Value = OptionIndexFind(&Slot->options, Code, &Length, nullptr);
  if (Value == nullptr || Length < MinLength) return nullptr;
  if (LengthOut != nullptr) *LengthOut = Length;
  return Value;
}

// RFC 1918 private ranges.
bool IsPrivate(const UINT8 *A) {
  return A[0] == 10 || (A[0] == 172 && (A[1] & 0xF0) == 16) || (A[0] == 192 && A[1] == 168);
}

bool UsableYiaddr(const UINT8 *A) { return !IsZeroIpv4(A) && !IsLimitedBroadcastIpv4(A); }

// Option 43 holding the given sub-options; the nested writer's capacity bounds what fits.
void AddVendorOption(OptionWriter *Writer, const UINT8 *SubOptions, UINTN Length, INT32 Capacity) {
  UINT8 Nested[32];
  OptionWriter Inner;
  OptionWriterInit(&Inner, Nested, MinOf<INT32>(Capacity, sizeof(Nested)));
  for (UINTN At = 0; At + 2 <= Length; At += 2u + SubOptions[At + 1]) {
    (void)OptionWriterAdd(&Inner, SubOptions[At], SubOptions[At + 1], SubOptions + At + 2);
  }
  (void)OptionWriterAdd(Writer, kOptVendorSpecific, static_cast<UINTN>(Inner.length), Nested);
}

void FinishMessage(ProtocolInstance *Instance, OptionWriter *Writer) {
  (void)OptionWriterAdd(Writer, kOptEnd, 0, nullptr);
  BootpOf(Instance->DhcpTxPacket)->xid.set(Instance->Xid);
}

void StoreSecs(ProtocolInstance *Instance) { BootpOf(Instance->DhcpTxPacket)->secs.set(Instance->SecsCounter); }

UINT8 MessageType(const PacketSlot *Slot, bool *Present) {
  const UINT8 *Type = FindOption(Slot, kOptMessageType, 1);
  *Present = Type != nullptr;
  return Type != nullptr ? *Type : 0;
}

// The lease's mask: the offer's option 1, else the ACK's, else the classful one.
void StoreLeaseMask(ProtocolInstance *Instance, const PacketSlot *Offer, const PacketSlot *Ack,
                    const UINT8 *Address) {
  UINT8 *Mask = Instance->Mode.SubnetMask.v4.Addr;
  const UINT8 *Given = FindOption(Offer, kOptSubnetMask, 4);
  if (Given == nullptr && Ack != nullptr) Given = FindOption(Ack, kOptSubnetMask, 4);
  if (Given != nullptr) {
    CopyBytes(Mask, Given, 4);
  } else {
    NaturalMask(Address, Mask);
  }
}

// What answers a REQUEST: from the chosen server, a NAK, or an ACK of the
// offered address. Anything else is passed over and the wait goes on.
struct RequestAnswer {
  UINT8 Offered[4];
  UINT8 Server[4];
};

DhcpDrop CheckRequestAnswer(ProtocolInstance *Instance, PacketSlot *Slot, UINTN Size, const ReplyOrigin *,
                            void *Context) {
  const DhcpDrop Drop = DhcpReplyDrop(Instance, Slot, Size);
  if (Drop != kDhcpDropCount) return Drop;
  const RequestAnswer *Want = static_cast<const RequestAnswer *>(Context);
  const UINT8 *ReplyServer = FindOption(Slot, kOptServerId, 4);
  if (ReplyServer == nullptr || !SameIpv4(ReplyServer, Want->Server)) return kDhcpDropRefused;
  bool Typed = false;
  const UINT8 Type = MessageType(Slot, &Typed);
  if (Type == kDhcpNak) return kDhcpDropCount;
  if (Type == kDhcpAckType && SameIpv4(BootpOf(&Slot->packet)->yiaddr.b, Want->Offered)) return kDhcpDropCount;
  return kDhcpDropRefused;
}

}  // namespace

UINT64 RetryWindowTicks(UINT8 Seconds) { return static_cast<UINT64>(Seconds) * 10'000'000 + 1'000'000; }

void NextRetryWindow(ProtocolInstance *Instance) {
  Instance->SecsCounter = static_cast<UINT16>(Instance->SecsCounter + Instance->RetryTimeout);
  Instance->RetryTimeout = static_cast<UINT8>(Instance->RetryTimeout * 2);
}

EFI_PXE_BASE_CODE_IP_FILTER StationOnlyFilter() {
  EFI_PXE_BASE_CODE_IP_FILTER Filter;
  ZeroBytes(&Filter, sizeof(Filter));
  Filter.Filters = EFI_PXE_BASE_CODE_IP_FILTER_STATION_IP;
  return Filter;
}

void NaturalMask(const UINT8 *Address, UINT8 *Mask) {
  const UINT8 First = Address[0];
  const UINTN Bytes = First < 128 ? 1 : First < 192 ? 2 : 3;
  for (UINTN i = 0; i < 4; ++i) Mask[i] = i < Bytes ? 0xFF : 0;
}

void ResetSlots(PacketSlot *Slots, UINTN Count) {
  if (Slots == nullptr) return;
  for (UINTN i = 0; i < Count; ++i) {
    Slots[i].length = 0;
    OptionIndexClear(&Slots[i].options);
    OptionIndexClear(&Slots[i].vendorOptions);
  }
}

BOOLEAN AllocateDhcpBuffers(ProtocolInstance *Instance) {
  PacketRecord &Packets = Instance->Packets;
  if (Packets.ParsedPackets == nullptr) {
    Packets.ParsedPackets = static_cast<PacketSlot *>(AllocZeroed(kParsedPacketCount * sizeof(PacketSlot)));
  }
  if (Packets.ParsedPackets != nullptr) {
    ResetSlots(Packets.ParsedPackets, kParsedPacketCount);
    Instance->DhcpTxPacket = static_cast<DhcpPacket *>(AllocZeroed(sizeof(DhcpPacket)));
    Instance->ReplySlots = static_cast<PacketSlot *>(AllocZeroed(kReplySlotCount * sizeof(PacketSlot)));
    if (Instance->DhcpTxPacket != nullptr && Instance->ReplySlots != nullptr) {
      ResetSlots(Instance->ReplySlots, kReplySlotCount);
      Instance->HeldSlots = 0;
      return TRUE;
    }
  }
  FreeAndNull(Instance->DhcpTxPacket);
  FreeAndNull(Packets.ParsedPackets);
  FreeDhcpBuffers(Instance);
  return FALSE;
}

void FreeDhcpBuffers(ProtocolInstance *Instance) {
  FreeAndNull(Instance->DhcpTxPacket);
  if (Instance->ReplySlots != nullptr) {
    ResetSlots(Instance->ReplySlots, kReplySlotCount);
    FreeAndNull(Instance->ReplySlots);
  }
  Instance->HeldSlots = 0;
}

EFI_STATUS SendDhcpMessage(ProtocolInstance *Instance, const UINT8 *DestIp, const UINT16 *DestPort,
                           const UINT8 *SrcIp, const UINT16 *SrcPort) {
  if (Instance->DhcpTxPacket == nullptr || DestIp == nullptr || DestPort == nullptr) return EFI_INVALID_PARAMETER;
  EFI_IP_ADDRESS Destination = Ipv4ToEfi(DestIp);
  EFI_IP_ADDRESS Source = SrcIp != nullptr ? Ipv4ToEfi(SrcIp) : Instance->Mode.StationIp;
  EFI_PXE_BASE_CODE_UDP_PORT ToPort = *DestPort;
  EFI_PXE_BASE_CODE_UDP_PORT FromPort = SrcPort != nullptr ? *SrcPort : 0;
  UINT16 Flags = EFI_PXE_BASE_CODE_UDP_OPFLAGS_MAY_FRAGMENT;
  if (SrcPort == nullptr) Flags |= kUdpAnySrcPort;
  UINTN Size = kDhcpSendLength;
  return UdpWriteLocked(Instance, Flags, &Destination, &ToPort, nullptr, &Source, &FromPort, nullptr, nullptr, &Size,
                        Instance->DhcpTxPacket);
}

void DiscardSlot(PacketSlot *Slot) {
  ZeroBytes(&Slot->packet, sizeof(DhcpPacket));
  Slot->length = 0;
  Slot->slotFlags = 0;
  OptionIndexClear(&Slot->options);
  OptionIndexClear(&Slot->vendorOptions);
  ZeroBytes(Slot->dhcpOptionRefs, sizeof(Slot->dhcpOptionRefs));
  ZeroBytes(Slot->pxeOptionRefs, sizeof(Slot->pxeOptionRefs));
  Slot->pxeFlags = 0;
}

bool ForbiddenYiaddr(const UINT8 *Address) {
  if (IsZeroIpv4(Address)) return false;
  return Address[0] == 0 || Address[0] == 127 || Address[0] > 223;
}

EFI_STATUS AwaitReply(ProtocolInstance *Instance, UINT16 OpFlags, EFI_IP_ADDRESS *SrcIp, UINT16 *SrcPort,
                      EFI_IP_ADDRESS *DestIp, UINT16 *DestPort, PacketSlot *Slot, EFI_EVENT Timer, ReplyCheck Check,
                      void *Context) {
  if (Slot == nullptr || Check == nullptr || OpFlags >= 32 || (SrcIp == nullptr && !(OpFlags & kUdpAnySrcIp)) ||
      (SrcPort == nullptr && !(OpFlags & kUdpAnySrcPort)) || (DestPort == nullptr && !(OpFlags & kUdpAnyDestPort))) {
    return EFI_INVALID_PARAMETER;
  }
  // The filters are the caller's values on every pass, not the last datagram's.
  ReplyOrigin Filter;
  ZeroBytes(&Filter, sizeof(Filter));
  if (SrcIp != nullptr) Filter.Source = *SrcIp;
  Filter.Destination = DestIp != nullptr ? *DestIp : Instance->Mode.StationIp;
  if (SrcPort != nullptr) Filter.SourcePort = *SrcPort;
  if (DestPort != nullptr) Filter.DestinationPort = *DestPort;
  for (;;) {
    ReplyOrigin Origin = Filter;
    UINTN Size = sizeof(DhcpPacket);
    const EFI_STATUS Status = UdpReadLocked(Instance, OpFlags, &Origin.Destination, &Origin.DestinationPort,
                                            &Origin.Source, &Origin.SourcePort, nullptr, nullptr, &Size,
                                            &Slot->packet, Timer);
    if (Status != EFI_SUCCESS) {
      DiscardSlot(Slot);
      if (Status == EFI_TIMEOUT) return EFI_NO_RESPONSE;
      // Without a timer nothing would end a receive that fails every time.
      if (Timer == nullptr) return Status;
      // Anyone on the segment can send a datagram with a bad checksum, an
      // oversized one or an ICMP error: none ends the window (RFC 1122
      // 4.1.3.4). A failing MNP reports EFI_DEVICE_ERROR too; the frame
      // layer looks at the timer on every pass, so that wait ends at its
      // deadline as well.
      if (Status == EFI_BUFFER_TOO_SMALL) {
        CountDhcpDrop(Instance, kDhcpDropOversize);
      } else if (Status == EFI_ICMP_ERROR) {
        CountDhcpDrop(Instance, kDhcpDropIcmp);
      } else if (Status != EFI_DEVICE_ERROR) {
        return Status;
      }
      continue;
    }
    // Nothing past what arrived is ever parsed, here or in a copy.
    ZeroBytes(Slot->packet.Raw + Size, sizeof(DhcpPacket) - Size);
    const DhcpDrop Drop = Check(Instance, Slot, Size, &Origin, Context);
    if (Drop != kDhcpDropCount) {
      CountDhcpDrop(Instance, Drop);
      DiscardSlot(Slot);
      continue;
    }
    Slot->length = Size;
    if (SrcIp != nullptr) *SrcIp = Origin.Source;
    if (DestIp != nullptr) *DestIp = Origin.Destination;
    if (SrcPort != nullptr) *SrcPort = Origin.SourcePort;
    if (DestPort != nullptr) *DestPort = Origin.DestinationPort;
    return EFI_SUCCESS;
  }
}

DhcpDrop ReplyHeaderDrop(const PacketSlot *Slot, UINTN Size, const Be32 &Xid, const Be32 *Cookie,
                         const UINT8 *Chaddr) {
  const BootpMessage *Message = BootpOf(&Slot->packet);
  if (Size < kBootpFixedSize) return kDhcpDropMalformed;
  if (Message->op != kBootpReply) return kDhcpDropNotReply;
  if (Message->xid.get() != Xid.get()) return kDhcpDropXid;
  if (Cookie != nullptr && Message->cookie.get() != Cookie->get()) return kDhcpDropMalformed;
  if (ForbiddenYiaddr(Message->yiaddr.b)) return kDhcpDropYiaddr;
  if (!SameBytes(Message->chaddr, Chaddr, kBootpChaddrSize)) return kDhcpDropChaddr;
  return kDhcpDropCount;
}

DhcpDrop DhcpReplyDrop(ProtocolInstance *Instance, PacketSlot *Slot, UINTN Size) {
  Be32 Xid;
  Xid.set(Instance->Xid);
  const DhcpDrop Drop = ReplyHeaderDrop(Slot, Size, Xid, nullptr, Instance->Binding->SnpMode.CurrentAddress.Addr);
  if (Drop != kDhcpDropCount) return Drop;
  return ParsePacket(Slot, Size) ? kDhcpDropCount : kDhcpDropMalformed;
}

namespace {

DhcpDrop CheckDhcpReply(ProtocolInstance *Instance, PacketSlot *Slot, UINTN Size, const ReplyOrigin *,
                        void *Context) {
  const DhcpDrop Drop = DhcpReplyDrop(Instance, Slot, Size);
  if (Drop != kDhcpDropCount) return Drop;
  const ReplyValidator Validator = *static_cast<const ReplyValidator *>(Context);
  if (Validator != nullptr && !Validator(Instance, Slot)) return kDhcpDropRefused;
  return kDhcpDropCount;
}

}  // namespace

EFI_STATUS ReceiveDhcpReply(ProtocolInstance *Instance, ReplyValidator Validator, UINT16 OpFlags, const UINT8 *SrcIp,
                            UINT16 *SrcPort, const UINT8 *DestIp, UINT16 *DestPort, PacketSlot *Slot,
                            EFI_EVENT Timer) {
  EFI_IP_ADDRESS Source;
  ZeroBytes(&Source, sizeof(Source));
  if (SrcIp != nullptr) Source = Ipv4ToEfi(SrcIp);
  EFI_IP_ADDRESS Destination = DestIp != nullptr ? Ipv4ToEfi(DestIp) : Instance->Mode.StationIp;
  return AwaitReply(Instance, OpFlags, SrcIp != nullptr ? &Source : nullptr, SrcPort, &Destination, DestPort, Slot,
                    Timer, CheckDhcpReply, &Validator);
}

EFI_STATUS OpenDhcpExchange(ProtocolInstance *Instance) {
  EFI_PXE_BASE_CODE_IP_FILTER Filter;
  ZeroBytes(&Filter, sizeof(Filter));
  Filter.Filters = EFI_PXE_BASE_CODE_IP_FILTER_STATION_IP | EFI_PXE_BASE_CODE_IP_FILTER_BROADCAST;
  const EFI_STATUS Status = ApplyIpFilter(Instance, &Filter);
  if (EFI_ERROR(Status)) return Status;
  RestartXidSequence(Instance);
  return EFI_SUCCESS;
}

void RestartXidSequence(ProtocolInstance *Instance) {
  const UINT8 *Hw = Instance->Binding->SnpMode.CurrentAddress.Addr;
  Instance->RandomState = FieldAt<Le16>(Hw)->get();
}

PacketSlot *KeepPacket(ProtocolInstance *Instance, UINTN Index, const PacketSlot *Source) {
  if (Index >= kReplySlotCount || Instance->ReplySlots == nullptr) return nullptr;
  PacketSlot *Slot = &Instance->ReplySlots[Index];
  if (Slot != Source) {
    Slot->length = Source->length;
    CopyBytes(&Slot->packet, &Source->packet, sizeof(DhcpPacket));
  }
  ParsePacket(Slot, Slot->length);
  Instance->HeldSlots |= 1u << Index;
  return Slot;
}

bool SlotHeld(const ProtocolInstance *Instance, UINTN Index) {
  return Instance->ReplySlots != nullptr && (Instance->HeldSlots & (1u << Index)) != 0;
}

// The entry is parsed by the length the packet arrived with.
void SavePacket(ProtocolInstance *Instance, DhcpPacket *Destination, const DhcpPacket *Source, UINT64 Length,
                UINTN Index) {
  PacketSlot *Slots = Instance->Packets.ParsedPackets;
  if (Slots == nullptr || Index >= kParsedPacketCount || Source == nullptr) return;
  PacketSlot &Entry = Slots[Index];
  Entry.length = Length;
  if (&Entry.packet != Source) CopyBytes(&Entry.packet, Source, sizeof(DhcpPacket));
  if (Destination != nullptr && Destination != Source) CopyBytes(Destination, Source, sizeof(DhcpPacket));
  ParsePacket(&Entry, Length);
}

INT32 ScoreOffer(const PacketSlot *Slot) {
  INT32 Score = 0;
  if (FindOption(Slot, kOptSubnetMask, 4) != nullptr) Score += 1;
  if (FindOption(Slot, kOptRouter, 4) != nullptr) Score += 1;
  if (!IsPrivate(BootpOf(&Slot->packet)->yiaddr.b)) Score += kScorePublic;
  return Score;
}

EFI_STATUS CollectOffers(ProtocolInstance *Instance) {
  TimerEvent Timer;
  EFI_STATUS Status = Timer.Arm(RetryWindowTicks(Instance->RetryTimeout));
  if (EFI_ERROR(Status)) return Status;

  const PacketRecord &Packets = Instance->Packets;
  PacketSlot *Receive = &Instance->ReplySlots[kSlotReceive];
  bool HaveBest = SlotHeld(Instance, kSlotBestOffer);
  INT32 BestScore = HaveBest ? ScoreOffer(&Instance->ReplySlots[kSlotBestOffer]) : 0;
  bool GotOne = false;
  UINT16 ClientPort = kClientPort;
  while (ReceiveDhcpReply(Instance, nullptr, kUdpAnySrcIp | kUdpAnySrcPort | kUdpAnyDestIp, nullptr, nullptr, nullptr,
                          &ClientPort, Receive, Timer.Get()) == EFI_SUCCESS) {
    ClientPort = kClientPort;
    const BootpMessage *Message = BootpOf(&Receive->packet);
    bool Typed = false;
    const UINT8 Type = MessageType(Receive, &Typed);
    if (Typed) {
      const UINT8 *Server = FindOption(Receive, kOptServerId, 4);
      if (Type != kDhcpOffer || Server == nullptr) continue;
      if ((Receive->slotFlags & ORVALE_SLOT_FLAG_WIRL) && !Packets.PlainDhcp && !Packets.UseDefaultImage &&
          (Packets.WirlServer == 0 || SameIpv4(&Packets.WirlServer, Server)) && !SlotHeld(Instance, kSlotWirlOffer) &&
          GetBootFileName(Receive, nullptr) != nullptr) {
        KeepPacket(Instance, kSlotWirlOffer, Receive);
      }
      if (UsableYiaddr(Message->yiaddr.b)) {
        GotOne = true;
        const INT32 Score = ScoreOffer(Receive);
        if (!HaveBest || Score > BestScore) {
          KeepPacket(Instance, kSlotBestOffer, Receive);
          HaveBest = true;
          BestScore = Score;
        }
      }
    } else if (!SlotHeld(Instance, kSlotWirlOffer) && UsableYiaddr(Message->yiaddr.b)) {
      KeepPacket(Instance, kSlotBootp, Receive);
      GotOne = true;
    }
  }
  return GotOne ? EFI_SUCCESS : EFI_NO_RESPONSE;
}

void DhcpDecline(ProtocolInstance *Instance, const UINT8 *ServerId, const UINT8 *Address) {
  OptionWriter Writer;
  BuildDhcpMessage(Instance, &Writer, kDhcpDecline);
  (void)OptionWriterAdd(&Writer, kOptRequestedIp, 4, Address);
  (void)OptionWriterAdd(&Writer, kOptServerId, 4, ServerId);
  (void)OptionWriterAdd(&Writer, kOptEnd, 0, nullptr);
  // No reply is awaited. Without an address of its own the client may have no
  // way to reach the server: the DECLINE is then broadcast (RFC 2131 4.4.1).
  if (EFI_ERROR(SendDhcpMessage(Instance, ServerId, &kServerPort, Address, &kClientPort))) {
    (void)SendDhcpMessage(Instance, kBroadcast, &kServerPort, Address, &kClientPort);
  }
  // The address is not ours: nothing answers ARP for it, and the next probe
  // goes out from 0.0.0.0 (RFC 5227 2.1.1).
  Instance->Packets.StationIpSet = FALSE;
  ZeroBytes(&Instance->Mode.StationIp, sizeof(Instance->Mode.StationIp));
}

BOOLEAN DhcpRequest(ProtocolInstance *Instance, PacketSlot *Offer) {
  UINT8 Offered[4];
  UINT8 Server[4];
  const UINT8 *ServerId = FindOption(Offer, kOptServerId, 4);
  if (ServerId == nullptr) return FALSE;
  CopyBytes(Offered, BootpOf(&Offer->packet)->yiaddr.b, 4);
  CopyBytes(Server, ServerId, 4);

  OptionWriter Writer;
  BuildDhcpMessage(Instance, &Writer, kDhcpRequest);
  (void)OptionWriterAdd(&Writer, kOptRequestedIp, 4, Offered);
  (void)OptionWriterAdd(&Writer, kOptServerId, 4, Server);
  if (!Instance->Packets.PlainDhcp) AddVendorOption(&Writer, kWirlPrefixSubOption, sizeof(kWirlPrefixSubOption), 4);
  FinishMessage(Instance, &Writer);
  NaturalMask(Offered, Instance->Mode.SubnetMask.v4.Addr);

  RequestAnswer Want;
  CopyBytes(Want.Offered, Offered, 4);
  CopyBytes(Want.Server, Server, 4);
  PacketSlot *Ack = &Instance->Packets.ParsedPackets[kParsedAck];
  bool Acked = false;
  for (UINT32 Transmission = 0; Transmission < kRequestTransmissions && !Acked; ++Transmission) {
    StoreSecs(Instance);
    if (EFI_ERROR(SendDhcpMessage(Instance, kBroadcast, &kServerPort, kUnspecified, &kClientPort))) return FALSE;
    TimerEvent Timer;
    if (EFI_ERROR(Timer.Arm(RetryWindowTicks(Instance->RetryTimeout)))) return FALSE;
    UINT16 FromPort = kServerPort;
    UINT16 ToPort = kClientPort;
    const EFI_STATUS Status = AwaitReply(Instance, kUdpAnySrcIp | kUdpAnyDestIp, nullptr, &FromPort, nullptr, &ToPort,
                                         Ack, Timer.Get(), CheckRequestAnswer, &Want);
    if (Status == EFI_SUCCESS) {
      bool Typed = false;
      if (MessageType(Ack, &Typed) == kDhcpNak) {
        DiscardSlot(Ack);
        return FALSE;
      }
      Acked = true;
      break;
    }
    if (Status != EFI_NO_RESPONSE || Transmission + 1 == kRequestTransmissions) return FALSE;
    NextRetryWindow(Instance);
  }

  const EFI_IP_ADDRESS Address = Ipv4ToEfi(Offered);
  if (!ClaimAddress(Instance, &Address)) {
    DhcpDecline(Instance, Server, Offered);
    DiscardSlot(Ack);
    return FALSE;
  }
  StoreLeaseMask(Instance, Offer, Ack, Offered);
  LearnRoutes(Instance, Ack);
  return TRUE;
}

BOOLEAN DhcpFinish(ProtocolInstance *Instance) {
  if (SlotHeld(Instance, kSlotBestOffer) && DhcpRequest(Instance, &Instance->ReplySlots[kSlotBestOffer])) return TRUE;
  if (!SlotHeld(Instance, kSlotBootp)) return FALSE;
  PacketSlot *Bootp = &Instance->ReplySlots[kSlotBootp];
  const UINT8 *Yiaddr = BootpOf(&Bootp->packet)->yiaddr.b;
  const EFI_IP_ADDRESS Address = Ipv4ToEfi(Yiaddr);
  if (!ClaimAddress(Instance, &Address)) return FALSE;
  PacketSlot *Entry = &Instance->Packets.ParsedPackets[kParsedAck];
  Entry->length = Bootp->length;
  CopyBytes(&Entry->packet, &Bootp->packet, sizeof(DhcpPacket));
  ParsePacket(Entry, Entry->length);
  StoreLeaseMask(Instance, Entry, nullptr, Yiaddr);
  LearnRoutes(Instance, Bootp);
  return TRUE;
}

EFI_STATUS RunDhcpDiscovery(ProtocolInstance *Instance, bool WirlOptionAlways) {
  EFI_STATUS Status = OpenDhcpExchange(Instance);
  if (EFI_ERROR(Status)) return Status;
  Instance->Xid = NextRandom(Instance);

  const PacketRecord &Packets = Instance->Packets;
  for (UINT32 Attempt = 0; Attempt < kDiscoveryAttempts; ++Attempt) {
    OptionWriter Writer;
    BuildDhcpMessage(Instance, &Writer, kDhcpDiscover);
    if (!Packets.PlainDhcp || WirlOptionAlways) {
      UINT8 Sub[sizeof(kWirlPrefixSubOption) + sizeof(kWirlKindSubOption)];
      CopyBytes(Sub, kWirlPrefixSubOption, sizeof(kWirlPrefixSubOption));
      CopyBytes(Sub + sizeof(kWirlPrefixSubOption), kWirlKindSubOption, sizeof(kWirlKindSubOption));
      AddVendorOption(&Writer, Sub, Packets.FilterImageKind ? sizeof(Sub) : sizeof(kWirlPrefixSubOption), 8);
    }
    FinishMessage(Instance, &Writer);

    bool Offered = false;
    for (Instance->RetryTimeout = 1; Instance->RetryTimeout < kLastDiscoverWindow; NextRetryWindow(Instance)) {
      StoreSecs(Instance);
      const UINT8 *From = BootpOf(Instance->DhcpTxPacket)->ciaddr.b;
      Status = SendDhcpMessage(Instance, kBroadcast, &kServerPort, From, &kClientPort);
      if (EFI_ERROR(Status)) return Status;
      CopyBytes(&Instance->Packets.DhcpDiscover, Instance->DhcpTxPacket, sizeof(DhcpPacket));
      Status = CollectOffers(Instance);
      if (Status == EFI_SUCCESS && SlotHeld(Instance, kSlotBestOffer)) {
        Offered = true;
        break;
      }
      if (Status != EFI_SUCCESS && Status != EFI_NO_RESPONSE) return Status;
    }
    // Without a DHCP offer a held BOOTP reply is not used.
    if (!Offered) return EFI_NO_RESPONSE;
    if (DhcpFinish(Instance)) return EFI_SUCCESS;
    Instance->HeldSlots = 0;
  }
  return EFI_NO_RESPONSE;
}

void LearnRoutes(ProtocolInstance *Instance, PacketSlot *Slot) {
  UINT32 Length = 0;
  const UINT8 *Routers = FindOption(Slot, kOptRouter, 4, &Length);
  if (Routers != nullptr) {
    for (UINT32 At = 0; At + kIpv4AddressLength <= Length; At += kIpv4AddressLength) {
      const EFI_IP_ADDRESS Gateway = Ipv4ToEfi(Routers + At);
      AddRoute(Instance, &Gateway);
    }
  }
  const BootpMessage *Message = BootpOf(&Slot->packet);
  if (!IsZeroIpv4(Message->giaddr.b)) {
    const EFI_IP_ADDRESS Gateway = Ipv4ToEfi(Message->giaddr.b);
    AddRoute(Instance, &Gateway);
  }
}
