// PXE DHCP with proxy offers: the PXE DISCOVER, the collection of offers
// sorted into classes by what they carry, and the selection that combines an
// address from a DHCP server with boot information from the same offer, a
// proxy offer, or a proxy request to port 4011.
//
// Limitations: no lease timer and no renewal; the RELEASE and DECLINE are
// sent once and not acknowledged (RFC 2131 4.4.4, 4.4.6).
#include "../dhcp/bootp_wire.h"
#include "../dhcp/codec.h"
#include "../dhcp/exchange.h"
#include "../net/ip_address.h"
#include "../net/net.h"
#include "pxe.h"

namespace {

constexpr UINT8 kBroadcast[4] = {255, 255, 255, 255};
constexpr UINT8 kUnspecified[4] = {0, 0, 0, 0};
constexpr UINT16 kServerPort = kDhcpServerPort;
constexpr UINT16 kClientPort = kDhcpClientPort;
constexpr UINT16 kProxyPort = 4011;
constexpr UINT8 kLastWindow = 17;  // windows of 1, 2, 4, 8 and 16 s
constexpr UINT32 kProxyTransmissions = 3;
constexpr UINTN kClassCount = 4;
constexpr UINTN kRequestedIpOffset = 348;  // value of option 50 in a REQUEST
constexpr UINTN kMessageTypeOffset = 242;  // value of option 53

UINT64 WindowTicks(UINT8 Seconds) { return static_cast<UINT64>(Seconds) * 10'000'000 + 1'000'000; }

UINT8 *TxBytes(ProtocolInstance *Instance) { return Instance->DhcpTxPacket->Raw; }
BootpMessage *TxMessage(ProtocolInstance *Instance) { return BootpOf(Instance->DhcpTxPacket); }

// Option 54 when it holds a whole address.
const UINT8 *ServerIdOf(const PacketSlot *Slot) {
  UINT8 Length = 0;
  const UINT8 *Value = PxeDhcpOption(Slot, kRefServerId, &Length);
  return Value != nullptr && Length >= 4 ? Value : nullptr;
}

const UINT8 *YiaddrOf(const PacketSlot *Slot) { return BootpOf(&Slot->packet)->yiaddr.b; }

// The answer an exchange waits for from one server: an ACK from Server
// (option 54) for Address (0.0.0.0 for a proxy reply).
struct LeaseAnswer {
  UINT8 Address[4];
  UINT8 Server[4];
};

bool AnswersLease(const PacketSlot *Slot, const LeaseAnswer *Want) {
  const UINT8 *Server = ServerIdOf(Slot);
  return Server != nullptr && SameIpv4(Server, Want->Server) && SameIpv4(YiaddrOf(Slot), Want->Address);
}

DhcpDrop CheckPxeAck(ProtocolInstance *Instance, PacketSlot *Slot, UINTN Size, const ReplyOrigin *, void *Context) {
  const DhcpDrop Drop = PxeReplyDrop(Instance, Slot, Size);
  if (Drop != kDhcpDropCount) return Drop;
  return AcceptPxeAck(Slot) && AnswersLease(Slot, static_cast<const LeaseAnswer *>(Context)) ? kDhcpDropCount
                                                                                             : kDhcpDropRefused;
}

DhcpDrop CheckProxyReply(ProtocolInstance *Instance, PacketSlot *Slot, UINTN Size, const ReplyOrigin *,
                         void *Context) {
  const DhcpDrop Drop = PxeReplyDrop(Instance, Slot, Size);
  if (Drop != kDhcpDropCount) return Drop;
  return IsDhcpAck(Slot) && AnswersLease(Slot, static_cast<const LeaseAnswer *>(Context)) ? kDhcpDropCount
                                                                                           : kDhcpDropRefused;
}

// The offer class: 1 boot-server information, 2 multicast TFTP information
// with a boot file, 3 other PXE offers, 0 plain DHCP; -1 drops the offer.
INTN OfferClass(const PacketSlot *Slot) {
  if (Slot->pxeFlags & kPxeFlagBootServer) return 1;
  if (Slot->pxeFlags & kPxeFlagMtftp) return Slot->dhcpOptionRefs[kRefBootFile] != nullptr ? 2 : -1;
  if (Slot->pxeFlags & kPxeFlagReply) return 3;
  return 0;
}

UINTN OffersWithAddress(const ProtocolInstance *Instance) {
  UINTN Count = 0;
  for (UINT8 c : Instance->OfferClassCount) Count += c;
  return Count;
}

bool IsPxeOffer(const PacketSlot *Slot) {
  return (Slot->pxeFlags & (kPxeFlagReply | kPxeFlagMtftp | kPxeFlagBootServer)) != 0;
}

void StoreMaskFrom(ProtocolInstance *Instance, const PacketSlot *Slot) {
  UINT8 Length = 0;
  const UINT8 *Mask = PxeDhcpOption(Slot, kRefSubnetMask, &Length);
  if (Mask != nullptr && Length >= 4) CopyBytes(Instance->Mode.SubnetMask.v4.Addr, Mask, 4);
}

// Rebuilds the base message after a DECLINE or RELEASE, keeping the attempt's secs.
void RestoreBaseMessage(ProtocolInstance *Instance, UINT16 Secs) {
  BuildPxePacket(Instance);
  TxMessage(Instance)->secs.set(Secs);
}

void Decline(ProtocolInstance *Instance, const UINT8 *Address, const UINT8 *Server) {
  BootpMessage *Message = TxMessage(Instance);
  UINT8 *P = TxBytes(Instance);
  const UINT16 Secs = Message->secs.get();
  Message->secs.set(0);
  Message->flags.set(0);
  UINTN At = kMessageTypeOffset;
  P[At++] = kDhcpDecline;
  P[At++] = kOptRequestedIp, P[At++] = 4;
  CopyBytes(P + At, Address, 4), At += 4;
  P[At++] = kOptServerId, P[At++] = 4;
  CopyBytes(P + At, Server, 4), At += 4;
  P[At++] = kOptEnd;
  // Nothing of the REQUEST's options is left after END.
  ZeroBytes(P + At, kDhcpSendLength - At);
  // Without an address of its own the client may have no route to the
  // server: the DECLINE is then broadcast (RFC 2131 4.4.1), never lost.
  if (EFI_ERROR(SendDhcpMessage(Instance, Server, &kServerPort, nullptr, &kClientPort))) {
    (void)SendDhcpMessage(Instance, kBroadcast, &kServerPort, kUnspecified, &kClientPort);
  }
  RestoreBaseMessage(Instance, Secs);
  // The address is not ours: nothing answers ARP for it any more.
  Instance->Packets.StationIpSet = FALSE;
  ZeroBytes(&Instance->Mode.StationIp, sizeof(Instance->Mode.StationIp));
}

// A recorded BOOTP reply as the lease: its address is claimed and the reply
// becomes the ACK. No route is learned from it.
BOOLEAN TakeBootpReply(ProtocolInstance *Instance, UINTN Index) {
  const UINT8 *Yiaddr = YiaddrOf(&Instance->ReplySlots[Index]);
  if (IsZeroIpv4(Yiaddr)) return FALSE;
  CopyBytes(TxBytes(Instance) + kRequestedIpOffset, Yiaddr, 4);
  if (!ClaimPxeAddress(Instance)) return FALSE;
  CopyOfferToSlot(Instance, Index, kParsedAck);
  StoreMaskFrom(Instance, &Instance->Packets.ParsedPackets[kParsedAck]);
  return TRUE;
}

BOOLEAN SelectInArrivalOrder(ProtocolInstance *Instance) {
  const UINTN Count = static_cast<UINTN>(Instance->OfferCount);
  PacketSlot *Slots = Instance->ReplySlots;
  for (UINTN i = 0; i < Count; ++i) {
    const PacketSlot *Slot = &Slots[i];
    if (IsZeroIpv4(YiaddrOf(Slot))) continue;
    if (Slot->dhcpOptionRefs[kRefMessageType] == nullptr) {
      if (TakeBootpReply(Instance, i)) return TRUE;
      continue;
    }
    if (!IsPxeOffer(Slot)) {
      if (Slot->dhcpOptionRefs[kRefBootFile] != nullptr && RequestPxeAddress(Instance, i)) return TRUE;
      continue;
    }
    if (!RequestPxeAddress(Instance, i)) continue;
    if (Slot->pxeFlags & (kPxeFlagMtftp | kPxeFlagBootServer)) return TRUE;
    if (ProxyRequest(Instance, i)) return TRUE;
    ReleasePxeAddress(Instance);
  }
  for (UINTN j = 0; j < Count; ++j) {
    const PacketSlot *Offer = &Slots[j];
    if (IsZeroIpv4(YiaddrOf(Offer)) || Offer->dhcpOptionRefs[kRefMessageType] == nullptr || IsPxeOffer(Offer) ||
        Offer->dhcpOptionRefs[kRefBootFile] != nullptr) {
      continue;
    }
    for (UINTN k = 0; k < Count; ++k) {
      const PacketSlot *Proxy = &Slots[k];
      if (!IsZeroIpv4(YiaddrOf(Proxy)) || Proxy->dhcpOptionRefs[kRefMessageType] == nullptr) continue;
      if (!RequestPxeAddress(Instance, j)) break;
      if (Proxy->pxeFlags & (kPxeFlagMtftp | kPxeFlagBootServer)) {
        CopyOfferToSlot(Instance, k, kParsedProxyOffer);
        Instance->Packets.ProxyOfferReceived = TRUE;
        return TRUE;
      }
      if (ProxyRequest(Instance, k)) return TRUE;
      ReleasePxeAddress(Instance);
    }
  }
  return FALSE;
}

BOOLEAN SelectByClass(ProtocolInstance *Instance) {
  return TryOfferClass(Instance, 1) || TryOfferClass(Instance, 2) || TryProxyClass(Instance, 1) ||
         TryProxyClass(Instance, 2) || TryOfferClass(Instance, 3) || TryProxyClass(Instance, 3) ||
         TryBootFileOffers(Instance);
}

}  // namespace

EFI_STATUS PxeDhcp(ProtocolInstance *Instance, BOOLEAN SortOffers) {
  EFI_STATUS Status = OpenDhcpExchange(Instance);
  if (EFI_ERROR(Status)) return Status;
  // A proxy reply belongs to the call that received it.
  Instance->Packets.ProxyOfferReceived = FALSE;
  DiscardSlot(&Instance->Packets.ParsedPackets[kParsedProxyOffer]);
  for (Instance->RetryTimeout = 1; Instance->RetryTimeout < kLastWindow;
       Instance->RetryTimeout = static_cast<UINT8>(Instance->RetryTimeout * 2)) {
    BuildPxePacket(Instance);
    SetPxeXid(TxMessage(Instance), NextRandom(Instance));
    TxMessage(Instance)->secs.set(Instance->SecsCounter);
    Status = SendDhcpMessage(Instance, kBroadcast, &kServerPort, TxMessage(Instance)->ciaddr.b, &kClientPort);
    if (EFI_ERROR(Status)) return Status;
    CopyBytes(&Instance->Packets.DhcpDiscover, Instance->DhcpTxPacket, sizeof(DhcpPacket));
    Status = CollectPxeOffers(Instance);
    if (Status == EFI_SUCCESS) {
      if (SortOffers ? SelectByClass(Instance) : SelectInArrivalOrder(Instance)) return EFI_SUCCESS;
    } else if (Status != EFI_NO_RESPONSE) {
      return Status;
    }
    Instance->SecsCounter = static_cast<UINT16>(Instance->SecsCounter + Instance->RetryTimeout);
  }
  return EFI_NO_RESPONSE;
}

EFI_STATUS CollectPxeOffers(ProtocolInstance *Instance) {
  ZeroBytes(Instance->OfferClassCount, sizeof(Instance->OfferClassCount));
  ZeroBytes(Instance->ProxyOfferIndex, sizeof(Instance->ProxyOfferIndex));
  Instance->PxeProxyCount = 0;
  Instance->BootpReplyIndex = 0;
  Instance->OfferCount = 0;
  TimerEvent Timer;
  EFI_STATUS Status = Timer.Arm(WindowTicks(Instance->RetryTimeout));
  if (EFI_ERROR(Status)) return Status;

  UINTN n = 0;
  while (n < kReplySlotCount) {
    PacketSlot *Slot = &Instance->ReplySlots[n];
    UINT16 ClientPort = kClientPort;
    if (ReceivePxeReply(Instance, ValidatePxeBootInfo, kUdpAnySrcIp | kUdpAnySrcPort | kUdpAnyDestIp, nullptr,
                        nullptr, nullptr, &ClientPort, Slot, Timer.Get()) != EFI_SUCCESS) {
      break;
    }
    UINT8 TypeLength = 0;
    const UINT8 *Type = PxeDhcpOption(Slot, kRefMessageType, &TypeLength);
    if (Type == nullptr) {
      if (Instance->BootpReplyIndex == 0 && Slot->dhcpOptionRefs[kRefBootFile] != nullptr) {
        Instance->BootpReplyIndex = static_cast<UINT8>(n + 1);
        ++n;
      }
      continue;
    }
    if (TypeLength < 1 || Type[0] != kDhcpOffer || ServerIdOf(Slot) == nullptr) continue;
    const INTN Class = OfferClass(Slot);
    if (Class < 0) continue;
    const bool WithAddress = !IsZeroIpv4(YiaddrOf(Slot));
    // Proxy offers cost a server nothing to forge: while no offer with an
    // address is recorded, they never take the last free slot.
    if (!WithAddress && n + 1 == kReplySlotCount && OffersWithAddress(Instance) == 0) continue;
    if (WithAddress) {
      Instance->OfferClassList[Class][Instance->OfferClassCount[Class]++] = static_cast<UINT8>(n);
    } else if (Class == 3) {
      Instance->PxeProxyList[Instance->PxeProxyCount++] = static_cast<UINT8>(n);
    } else if (Class != 0 && Instance->ProxyOfferIndex[Class] == 0) {
      Instance->ProxyOfferIndex[Class] = static_cast<UINT8>(n + 1);
    } else {
      continue;
    }
    ++n;
  }
  Instance->OfferCount = n;
  return n > 0 ? EFI_SUCCESS : EFI_NO_RESPONSE;
}

BOOLEAN RequestPxeAddress(ProtocolInstance *Instance, UINTN OfferIndex) {
  const PacketSlot *Offer = &Instance->ReplySlots[OfferIndex];
  const UINT8 *ServerId = ServerIdOf(Offer);
  if (ServerId == nullptr) return FALSE;
  UINT8 Requested[4];
  UINT8 Server[4];
  CopyBytes(Requested, YiaddrOf(Offer), 4);
  CopyBytes(Server, ServerId, 4);

  BootpMessage *Message = TxMessage(Instance);
  UINT8 *P = TxBytes(Instance);
  ZeroBytes(Message->ciaddr.b, 4);
  Message->flags.set(kBootpBroadcastFlag);
  P[kMessageTypeOffset] = kDhcpRequest;
  UINTN At = kPxeEndOffset;
  P[At++] = kOptRequestedIp, P[At++] = 4;
  CopyBytes(P + At, Requested, 4), At += 4;
  P[At++] = kOptServerId, P[At++] = 4;
  CopyBytes(P + At, Server, 4), At += 4;
  P[At] = kOptEnd;
  // Until the ACK says otherwise, the mask of the address's class (RFC 791).
  NaturalMask(Requested, Instance->Mode.SubnetMask.v4.Addr);

  if (EFI_ERROR(SendDhcpMessage(Instance, kBroadcast, &kServerPort, kUnspecified, &kClientPort))) return FALSE;
  TimerEvent Timer;
  if (EFI_ERROR(Timer.Arm(WindowTicks(Instance->RetryTimeout)))) return FALSE;
  PacketSlot *Ack = &Instance->Packets.ParsedPackets[kParsedAck];
  LeaseAnswer Want;
  CopyBytes(Want.Address, Requested, 4);
  CopyBytes(Want.Server, Server, 4);
  UINT16 FromPort = kServerPort;
  UINT16 ToPort = kClientPort;
  if (AwaitReply(Instance, kUdpAnySrcIp | kUdpAnyDestIp, nullptr, &FromPort, nullptr, &ToPort, Ack, Timer.Get(),
                 CheckPxeAck, &Want) != EFI_SUCCESS) {
    return FALSE;
  }
  if (!ClaimPxeAddress(Instance)) {
    Decline(Instance, Requested, Server);
    DiscardSlot(Ack);
    return FALSE;
  }
  StoreMaskFrom(Instance, Ack);
  AddPacketRoutes(Instance, Ack);
  return TRUE;
}

BOOLEAN ClaimPxeAddress(ProtocolInstance *Instance) {
  const EFI_IP_ADDRESS Address = Ipv4ToEfi(TxBytes(Instance) + kRequestedIpOffset);
  EFI_MAC_ADDRESS Mac;
  if (LookupArpCache(Instance, &Address, &Mac)) return FALSE;
  // Only a probe that went out and drew no answer makes the address ours.
  if (ResolveArp(Instance, &Address, &Mac) != EFI_TIMEOUT) return FALSE;
  Instance->Mode.StationIp = Address;
  Instance->Packets.StationIpSet = TRUE;
  StartIgmpV1RouterTimer(Instance);
  return TRUE;
}

BOOLEAN ProxyRequest(ProtocolInstance *Instance, UINTN OfferIndex) {
  PacketSlot *Offer = &Instance->ReplySlots[OfferIndex];
  const UINT8 *ServerId = ServerIdOf(Offer);
  if (ServerId == nullptr) return FALSE;
  UINT8 Server[4];
  CopyBytes(Server, ServerId, 4);

  BootpMessage *Message = TxMessage(Instance);
  UINT8 *P = TxBytes(Instance);
  CopyBytes(Message->ciaddr.b, Instance->Mode.StationIp.v4.Addr, 4);
  P[kMessageTypeOffset] = kDhcpRequest;
  ZeroBytes(P + kPxeEndOffset, 13);
  P[kPxeEndOffset] = kOptEnd;
  Message->flags.set(0);
  AddPacketRoutes(Instance, Offer);

  const UINT16 SavedSecs = Message->secs.get();
  PacketSlot *Reply = &Instance->Packets.ParsedPackets[kParsedProxyOffer];
  LeaseAnswer Want;
  ZeroBytes(Want.Address, 4);
  CopyBytes(Want.Server, Server, 4);
  for (UINT32 Transmission = 0; Transmission < kProxyTransmissions; ++Transmission) {
    Message->secs.set(Instance->SecsCounter);
    if (EFI_ERROR(SendDhcpMessage(Instance, Server, &kProxyPort, Message->ciaddr.b, &kProxyPort))) break;
    TimerEvent Timer;
    bool Matched = false;
    if (!EFI_ERROR(Timer.Arm(WindowTicks(Instance->RetryTimeout)))) {
      EFI_IP_ADDRESS From = Ipv4ToEfi(Server);
      EFI_IP_ADDRESS To = Instance->Mode.StationIp;
      UINT16 ToPort = kProxyPort;
      Matched = AwaitReply(Instance, kUdpAnySrcPort, &From, nullptr, &To, &ToPort, Reply, Timer.Get(), CheckProxyReply,
                           &Want) == EFI_SUCCESS;
    }
    if (Matched) {
      Timer.Close();
      if (ValidatePxeBootInfo(Reply) &&
          ((Reply->pxeFlags & kPxeFlagBootServer) || Reply->dhcpOptionRefs[kRefBootFile] != nullptr)) {
        Instance->Packets.ProxyOfferReceived = TRUE;
        return TRUE;
      }
      DiscardSlot(Reply);
      break;
    }
    Instance->SecsCounter = static_cast<UINT16>(Instance->SecsCounter + Instance->RetryTimeout);
  }
  Instance->Mode.RouteTableEntries = 0;
  Message->secs.set(SavedSecs);
  return FALSE;
}

BOOLEAN ReleasePxeAddress(ProtocolInstance *Instance) {
  BootpMessage *Message = TxMessage(Instance);
  UINT8 *P = TxBytes(Instance);
  const UINT16 Secs = Message->secs.get();
  // The lease's server from the ACK: without a whole option 54 there is no
  // one to release it to.
  const UINT8 *Server = ServerIdOf(&Instance->Packets.ParsedPackets[kParsedAck]);
  if (Server != nullptr) {
    UINT8 ServerCopy[4];
    CopyBytes(ServerCopy, Server, 4);
    Message->secs.set(0);
    Message->flags.set(0);
    ZeroBytes(P + 250, kPxeEndOffset + 1 - 250);
    P[kMessageTypeOffset] = kDhcpRelease;
    P[243] = kOptServerId, P[244] = 4;
    CopyBytes(P + 245, ServerCopy, 4);
    P[249] = kOptEnd;
    (void)SendDhcpMessage(Instance, ServerCopy, &kServerPort, nullptr, &kClientPort);
  }
  RestoreBaseMessage(Instance, Secs);
  Instance->Packets.StationIpSet = FALSE;
  return FALSE;
}

BOOLEAN TryOfferClass(ProtocolInstance *Instance, UINTN Class) {
  if (Class == 0 || Class >= kClassCount) return FALSE;
  for (UINTN k = 0; k < Instance->OfferClassCount[Class]; ++k) {
    const UINTN Index = Instance->OfferClassList[Class][k];
    if (!RequestPxeAddress(Instance, Index)) continue;
    if (Class != 3) return TRUE;
    if (ProxyRequest(Instance, Index)) return TRUE;
    ReleasePxeAddress(Instance);
  }
  return FALSE;
}

BOOLEAN TryProxyClass(ProtocolInstance *Instance, UINTN Class) {
  if (Class == 0 || Class >= kClassCount) return FALSE;
  if (Class == 3 ? Instance->PxeProxyCount == 0 : Instance->ProxyOfferIndex[Class] == 0) return FALSE;
  bool Leased = false;
  for (UINTN k = 0; k < Instance->OfferClassCount[0] && !Leased; ++k) {
    Leased = RequestPxeAddress(Instance, Instance->OfferClassList[0][k]);
  }
  if (!Leased) return FALSE;
  if (Class != 3) {
    CopyOfferToSlot(Instance, Instance->ProxyOfferIndex[Class] - 1u, kParsedProxyOffer);
    Instance->Packets.ProxyOfferReceived = TRUE;
    return TRUE;
  }
  for (UINTN k = 0; k < Instance->PxeProxyCount; ++k) {
    if (ProxyRequest(Instance, Instance->PxeProxyList[k])) return TRUE;
  }
  return ReleasePxeAddress(Instance);
}

BOOLEAN TryBootFileOffers(ProtocolInstance *Instance) {
  for (UINTN k = 0; k < Instance->OfferClassCount[0]; ++k) {
    const UINTN Index = Instance->OfferClassList[0][k];
    if (Instance->ReplySlots[Index].dhcpOptionRefs[kRefBootFile] == nullptr) continue;
    if (RequestPxeAddress(Instance, Index)) return TRUE;
  }
  if (Instance->BootpReplyIndex != 0) return TakeBootpReply(Instance, Instance->BootpReplyIndex - 1u);
  return FALSE;
}
