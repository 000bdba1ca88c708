// Boot-server discovery: the Discover member, a DHCPREQUEST with a boot item
// (server type and layer, sub-option 71) sent by multicast, broadcast or
// unicast, answered by a boot server with the boot file and the layer it
// serves. With Boot Integrity Services the request also carries the
// platform's credential types (sub-option 12) and a plain discovery to the
// answering server follows.
//
// BIS request layout: option 43 = boot item (6 bytes), sub-option 12 with
// as many 4-byte types as fit the 548-byte message (at most 47 of the 63 a
// signature list may hold), the end byte; then END. Replies are matched
// against the types actually sent.
#include "../dhcp/bootp_wire.h"
#include "../dhcp/codec.h"
#include "../dhcp/exchange.h"
#include "../net/ip_address.h"
#include "../net/net.h"
#include "pxe.h"

namespace {

constexpr UINT8 kBroadcast[4] = {255, 255, 255, 255};
constexpr UINT16 kServerPort = kDhcpServerPort;
constexpr UINT16 kClientPort = kDhcpClientPort;
constexpr UINT16 kDiscoveryPort = 4011;
constexpr UINT8 kLastRequestWindow = 5;  // windows of 1, 2, 3 and 4 s
constexpr UINT16 kBisLayerBit = 0x8000;
constexpr UINTN kMessageTypeOffset = 242;
constexpr UINTN kVendorLengthOffset = kPxeEndOffset + 1;
constexpr UINTN kCredentialsOffset = kPxeEndOffset + 8;  // sub-option 12 after the option head and boot item
constexpr UINTN kSignatureEntrySize = 8;                   // EFI_BIS_SIGNATURE_INFO
// Types that fit: option 43 (2), boot item (6), sub-option 12 header (2), end
// byte (1) and END (1) from offset 346 within 548 bytes.
constexpr UINTN kCredentialRoom = (kDhcpSendLength - kPxeEndOffset - 12) / 4;
constexpr UINTN kCredentialsSent = kCredentialRoom < kMaxCredentialTypesSent ? kCredentialRoom : kMaxCredentialTypesSent;

UINT64 WindowTicks(UINT8 Seconds) { return static_cast<UINT64>(Seconds) * 10'000'000 + 1'000'000; }

// Frees the exchange buffers when the member returns, on every path.
class DhcpBuffers {
 public:
  explicit DhcpBuffers(ProtocolInstance *Instance) : instance_(Instance), held_(AllocateDhcpBuffers(Instance)) {}
  ~DhcpBuffers() {
    if (held_) FreeDhcpBuffers(instance_);
  }
  DhcpBuffers(const DhcpBuffers &) = delete;
  DhcpBuffers &operator=(const DhcpBuffers &) = delete;
  bool Held() const { return held_; }

 private:
  ProtocolInstance *instance_;
  bool held_;
};

class PoolBytes {
 public:
  PoolBytes() = default;
  ~PoolBytes() { FreeAndNull(bytes_); }
  PoolBytes(const PoolBytes &) = delete;
  PoolBytes &operator=(const PoolBytes &) = delete;
  UINT8 *Allocate(UINTN Size) { return bytes_ = static_cast<UINT8 *>(AllocZeroed(Size)); }

 private:
  UINT8 *bytes_ = nullptr;
};

bool InList(const UINT8 *List, const UINT8 *Address) {
  for (UINTN i = 0; i < List[0]; ++i) {
    if (SameIpv4(List + 1 + 4 * i, Address)) return true;
  }
  return false;
}

// Writes the request's credential types from the platform's signature list;
// returns how many were written, or -1 when BIS cannot be probed.
INTN PlaceCredentialTypes(UINT8 *P) {
  BIS_APPLICATION_HANDLE Application = nullptr;
  EFI_BIS_DATA *Signatures = nullptr;
  EFI_BIS_PROTOCOL *Bis = ProbeBis(&Application, &Signatures);
  if (Bis == nullptr) return -1;
  UINTN Count = Signatures->Length / kSignatureEntrySize;
  if (Count > kCredentialsSent) Count = kCredentialsSent;
  P[kCredentialsOffset] = kPxeSubCredentialTypes;
  P[kCredentialsOffset + 1] = static_cast<UINT8>(4 * Count);
  for (UINTN i = 0; i < Count; ++i) {
    UINT32 CertificateId = 0;
    CopyBytes(&CertificateId, Signatures->Data + i * kSignatureEntrySize, sizeof(CertificateId));
    FieldAt<Be32>(P + kCredentialsOffset + 2 + 4 * i)->set(CertificateId);
  }
  UINTN End = kCredentialsOffset + 2 + 4 * Count;
  P[End++] = kPxeSubEnd;
  P[End] = kOptEnd;
  P[kVendorLengthOffset] = static_cast<UINT8>(End - kVendorLengthOffset - 1);
  Bis->Free(Application, Signatures);
  Bis->Shutdown(Application);
  return static_cast<INTN>(Count);
}

// The reply's boot item; false when it cannot be read. A boot item of
// length 3 carries a one-byte layer.
bool BootItemOf(const PacketSlot *Slot, UINT16 *Type, UINT16 *Layer) {
  UINT8 Length = 0;
  const UINT8 *Item = PxeSubOption(Slot, kRefBootItem, &Length);
  *Type = 0;
  *Layer = 0;
  if (Item == nullptr) return true;
  if (Length < 3) return false;
  *Type = FieldAt<Be16>(Item)->get();
  *Layer = Length >= 4 ? FieldAt<Be16>(Item + 2)->get() : Item[2];
  return true;
}

// The checks a discovery reply must pass (beyond IsDhcpAck).
bool ReplyFits(ProtocolInstance *Instance, const PacketSlot *Reply, UINT16 Type, BOOLEAN UseBis,
               const UINT8 *AcceptList, UINT16 *Layer) {
  if (!(Reply->pxeFlags & kPxeFlagReply) || Reply->dhcpOptionRefs[kRefBootFile] == nullptr) return false;
  UINT8 Length = 0;
  const UINT8 *Server = PxeDhcpOption(Reply, kRefServerId, &Length);
  if (Server == nullptr || Length < 4) return false;
  if (AcceptList != nullptr && AcceptList[0] > 0 && !InList(AcceptList, Server)) return false;
  UINT16 ReplyType = 0;
  if (!BootItemOf(Reply, &ReplyType, Layer) || ReplyType != Type) return false;
  if (!UseBis) return true;
  const UINT8 *Sent = Instance->DhcpTxPacket->Raw;
  const UINT8 *Credential = PxeSubOption(Reply, kRefCredentialTypes, &Length);
  if (Credential == nullptr || Length != 4 || Sent[kCredentialsOffset] != kPxeSubCredentialTypes) return false;
  for (UINTN At = 0; At + 4 <= Sent[kCredentialsOffset + 1]; At += 4) {
    if (SameBytes(Sent + kCredentialsOffset + 2 + At, Credential, 4)) return true;
  }
  return false;
}

// What a discovery waits for: a boot server's ACK for the type asked, to
// the station (or, for a broadcast request, to the limited broadcast), from
// the accepted servers, with the credentials asked for.
struct ServerAnswer {
  bool Broadcast;
  UINT16 Type;
  BOOLEAN UseBis;
  const UINT8 *AcceptList;
  UINT16 Layer;  // the reply's layer, once taken
};

DhcpDrop CheckServerAnswer(ProtocolInstance *Instance, PacketSlot *Slot, UINTN Size, const ReplyOrigin *Origin,
                           void *Context) {
  const DhcpDrop Drop = PxeReplyDrop(Instance, Slot, Size);
  if (Drop != kDhcpDropCount) return Drop;
  ServerAnswer *Want = static_cast<ServerAnswer *>(Context);
  if (!IsDhcpAck(Slot)) return kDhcpDropRefused;
  const UINT8 *To = Origin->Destination.v4.Addr;
  if (Want->Broadcast && !SameIpv4(To, BootpOf(Instance->DhcpTxPacket)->ciaddr.b) && !IsLimitedBroadcastIpv4(To)) {
    return kDhcpDropRefused;
  }
  UINT16 Layer = 0;
  if (!ReplyFits(Instance, Slot, Want->Type, Want->UseBis, Want->AcceptList, &Layer)) return kDhcpDropRefused;
  Want->Layer = Layer;
  return kDhcpDropCount;
}

}  // namespace

EFI_STATUS DiscoverRequest(ProtocolInstance *Instance, UINT16 OpFlags, UINT16 Type, UINT16 *Layer, BOOLEAN UseBis,
                           const UINT8 *ServerIp, const UINT8 *AcceptList) {
  RestartXidSequence(Instance);
  const bool Broadcast = IsLimitedBroadcastIpv4(ServerIp);
  const UINT16 DestPort = Broadcast ? kServerPort : kDiscoveryPort;
  const UINT16 SrcPort = Broadcast ? kClientPort : kDiscoveryPort;
  *Layer = UseBis ? static_cast<UINT16>(*Layer | kBisLayerBit) : static_cast<UINT16>(*Layer & ~kBisLayerBit);
  PacketRecord &Packets = Instance->Packets;
  PacketSlot *Slot = &Packets.ParsedPackets[UseBis ? kParsedBisReply : kParsedReply];
  UINT8 Server[4];
  CopyBytes(Server, ServerIp, 4);

  for (Instance->RetryTimeout = 1;;) {
    BuildPxePacket(Instance);
    UINT8 *P = Instance->DhcpTxPacket->Raw;
    BootpMessage *Message = BootpOf(Instance->DhcpTxPacket);
    SetPxeXid(Message, NextRandom(Instance));
    Message->secs.set(Instance->SecsCounter);
    CopyBytes(Message->ciaddr.b, Instance->Mode.StationIp.v4.Addr, 4);
    P[kMessageTypeOffset] = kDhcpRequest;
    UINTN At = kPxeEndOffset;
    P[At++] = kOptVendorSpecific, P[At++] = 7;
    P[At++] = kPxeSubBootItem, P[At++] = 4;
    FieldAt<Be16>(P + At)->set(Type), At += 2;
    FieldAt<Be16>(P + At)->set(*Layer), At += 2;
    P[At++] = kPxeSubEnd;
    P[At] = kOptEnd;
    if (UseBis && PlaceCredentialTypes(P) < 0) return EFI_OUT_OF_RESOURCES;

    EFI_STATUS Status = SendDhcpMessage(Instance, Server, &DestPort, Message->ciaddr.b, &SrcPort);
    if (EFI_ERROR(Status)) return Status;
    TimerEvent Timer;
    Status = Timer.Arm(WindowTicks(Instance->RetryTimeout));
    if (EFI_ERROR(Status)) return Status;
    // With the source filtered (the plain request after a BIS reply) only
    // that server's replies count; otherwise the replying server is learned.
    ZeroBytes(&Packets.BootServerIp, sizeof(Packets.BootServerIp));
    if (!(OpFlags & kUdpAnySrcIp)) CopyBytes(Packets.BootServerIp.v4.Addr, Server, 4);
    // The request carries the broadcast flag, so a server may broadcast its
    // answer to a broadcast request; otherwise only replies to ciaddr count.
    EFI_IP_ADDRESS Destination = Ipv4ToEfi(Message->ciaddr.b);
    UINT16 ToPort = SrcPort;
    const UINT16 Flags = Broadcast ? static_cast<UINT16>(OpFlags | kUdpAnyDestIp) : OpFlags;
    ServerAnswer Want = {Broadcast, Type, UseBis, AcceptList, 0};
    if (AwaitReply(Instance, Flags, &Packets.BootServerIp, nullptr, &Destination, &ToPort, Slot, Timer.Get(),
                   CheckServerAnswer, &Want) == EFI_SUCCESS) {
      *Layer = Want.Layer;
      if (!UseBis) {
        Packets.PxeReplyReceived = TRUE;
        Packets.PxeDiscoverValid = TRUE;
        CopyBytes(&Packets.PxeDiscover, Instance->DhcpTxPacket, sizeof(DhcpPacket));
        CopyBytes(&Packets.PxeReply, &Slot->packet, sizeof(DhcpPacket));
        AddPacketRoutes(Instance, Slot);
        return EFI_SUCCESS;
      }
      CopyBytes(&Packets.PxeBisReply, &Slot->packet, sizeof(DhcpPacket));
      Packets.PxeBisReplyReceived = TRUE;
      if (IsZeroIpv4(Packets.BootServerIp.v4.Addr)) return EFI_INVALID_PARAMETER;
      Timer.Close();
      UINT8 BisServer[4];
      CopyBytes(BisServer, Packets.BootServerIp.v4.Addr, 4);
      return DiscoverRequest(Instance, kUdpAnySrcPort, Type, Layer, FALSE, BisServer, nullptr);
    }
    Instance->SecsCounter = static_cast<UINT16>(Instance->SecsCounter + Instance->RetryTimeout);
    if (++Instance->RetryTimeout == kLastRequestWindow) return EFI_TIMEOUT;
  }
}

EFI_STATUS DiscoverByMethods(ProtocolInstance *Instance, UINT16 Type, UINT16 *Layer, BOOLEAN UseBis,
                             const EFI_PXE_BASE_CODE_DISCOVER_INFO *Info, const UINT8 *ServerList,
                             const UINT8 *AcceptList) {
  constexpr UINT16 kAnySource = kUdpAnySrcIp | kUdpAnySrcPort;
  EFI_STATUS Status;
  if (Info->UseMCast) {
    const UINT8 *Group = Info->ServerMCastIp.v4.Addr;
    if (IsZeroIpv4(Group)) return EFI_INVALID_PARAMETER;
    Status = DiscoverRequest(Instance, kAnySource, Type, Layer, UseBis, Group, AcceptList);
    if (Status != EFI_TIMEOUT) return Status;
  }
  if (Info->UseBCast) {
    Status = DiscoverRequest(Instance, kAnySource, Type, Layer, UseBis, kBroadcast, AcceptList);
    if (Status != EFI_TIMEOUT) return Status;
  }
  if (Info->UseUCast && ServerList != nullptr) {
    for (UINTN i = 0; i < ServerList[0]; ++i) {
      const UINT8 *Server = ServerList + 1 + 4 * i;
      if (IsZeroIpv4(Server)) return EFI_INVALID_PARAMETER;
      // A list the caller must use also bounds whose replies count.
      Status = DiscoverRequest(Instance, kAnySource, Type, Layer, UseBis, Server, AcceptList);
      if (Status != EFI_TIMEOUT) return Status;
    }
  }
  return EFI_TIMEOUT;
}

EFI_STATUS EFIAPI Discover(OrvaleProtocol *This, UINT16 Type, UINT16 *Layer, BOOLEAN UseBis,
                           EFI_PXE_BASE_CODE_DISCOVER_INFO *Info) {
  MemberEntry Entry(This);
  if (!Entry.Ok()) return Entry.Status();
  ProtocolInstance *Instance = Entry.Instance();
  if (Layer == nullptr) return EFI_INVALID_PARAMETER;
  DhcpBuffers Buffers(Instance);
  if (!Buffers.Held()) return EFI_OUT_OF_RESOURCES;
  // The identity every request carries, when no PXE DHCP has built it yet.
  if (Instance->PxeIdentityState == kPxeIdentityUnbuilt) BuildPxeOptionTemplate(Instance);
  PacketRecord &Packets = Instance->Packets;
  if (UseBis && !Packets.BisSupported) return EFI_INVALID_PARAMETER;
  if (Instance->SecsCounter == 0) Instance->SecsCounter = 4;

  EFI_PXE_BASE_CODE_DISCOVER_INFO Local;
  ZeroBytes(&Local, sizeof(Local));
  const EFI_PXE_BASE_CODE_DISCOVER_INFO *Use = &Local;
  const UINT8 *ServerList = nullptr;
  const UINT8 *AcceptList = nullptr;
  UINT8 OneServer[5] = {1, 0, 0, 0, 0};
  PoolBytes Allocated;

  if (*Layer != 0) {
    // A further layer from the server that answered last.
    if (Info != nullptr || !Packets.PxeDiscoverValid || !Packets.PxeReplyReceived ||
        (UseBis && !Packets.PxeBisReplyReceived)) {
      return EFI_INVALID_PARAMETER;
    }
    Local.UseUCast = TRUE;
    CopyBytes(OneServer + 1, Packets.BootServerIp.v4.Addr, 4);
    ServerList = OneServer;
  } else if (Info == nullptr) {
    // The methods and servers of the DHCP or proxy reply.
    PacketSlot *Reply = &Packets.ParsedPackets[Packets.ProxyOfferReceived ? kParsedProxyOffer : kParsedAck];
    if (!Packets.DhcpAckReceived) return EFI_INVALID_PARAMETER;
    // Indexed afresh: the entry may have been replaced or indexed by another parser since.
    ParsePxePacket(Reply, sizeof(DhcpPacket));
    if (!(Reply->pxeFlags & kPxeFlagBootServer) || !ValidatePxeBootInfo(Reply)) return EFI_INVALID_PARAMETER;
    UINT8 Length = 0;
    const UINT8 Control = PxeSubOption(Reply, kRefDiscoveryControl)[0];
    Local.UseMCast = !(Control & kDiscoveryNoMulticast);
    if (Local.UseMCast) CopyBytes(Local.ServerMCastIp.v4.Addr, PxeSubOption(Reply, kRefDiscoveryMcast), 4);
    Local.UseBCast = !(Control & kDiscoveryNoBroadcast);
    Local.MustUseList = (Control & kDiscoveryListOnly) != 0;
    Local.UseUCast = Local.MustUseList || (Control & (kDiscoveryNoBroadcast | kDiscoveryNoMulticast)) ==
                                              (kDiscoveryNoBroadcast | kDiscoveryNoMulticast);
    if (Local.UseUCast || Local.MustUseList) {
      const UINT8 *Servers = PxeSubOption(Reply, kRefBootServers, &Length);
      if (Servers == nullptr || Length == 0) return EFI_INVALID_PARAMETER;
      // The entries were checked to fill the sub-option exactly.
      for (UINTN At = 0; At + 3 <= Length; At += 3u + 4u * Servers[At + 2]) {
        if (FieldAt<Be16>(Servers + At)->get() == Type) {
          ServerList = Servers + At + 2;
          break;
        }
      }
      if (ServerList == nullptr) return EFI_INVALID_PARAMETER;
      if (Local.MustUseList) AcceptList = ServerList;
    }
  } else {
    Use = Info;
    if (Info->UseUCast || Info->MustUseList) {
      if (Info->IpCnt == 0) return EFI_INVALID_PARAMETER;
      UINTN Count = 0;
      bool OfType = false;
      bool AnyResponse = false;
      for (UINTN i = 0; i < Info->IpCnt && !AnyResponse; ++i) {
        const EFI_PXE_BASE_CODE_SRVLIST &Entry = Info->SrvList[i];
        if (Entry.Type != Type) continue;
        OfType = true;
        if (!Entry.AcceptAnyResponse) {
          ++Count;
        } else if (Count > 0) {
          return EFI_INVALID_PARAMETER;
        } else {
          AnyResponse = true;
        }
      }
      if (!OfType) return EFI_INVALID_PARAMETER;
      if (Count > 255) Count = 255;  // the list's count is one byte
      UINT8 *List = Allocated.Allocate(1 + 4 * Count);
      if (List == nullptr) return EFI_OUT_OF_RESOURCES;
      List[0] = static_cast<UINT8>(Count);
      UINTN Filled = 0;
      for (UINTN i = 0; i < Info->IpCnt && Filled < Count; ++i) {
        const EFI_PXE_BASE_CODE_SRVLIST &Entry = Info->SrvList[i];
        if (Entry.Type != Type || Entry.AcceptAnyResponse) continue;
        CopyBytes(List + 1 + 4 * Filled++, Entry.IpAddr.v4.Addr, 4);
      }
      ServerList = List;
      if (Info->MustUseList) AcceptList = List;
    }
  }
  if (!Use->UseMCast && !Use->UseBCast && !Use->UseUCast) return EFI_INVALID_PARAMETER;

  Packets.PxeDiscoverValid = FALSE;
  Packets.PxeReplyReceived = FALSE;
  Packets.PxeBisReplyReceived = FALSE;
  const EFI_STATUS Result = DiscoverByMethods(Instance, Type, Layer, UseBis, Use, ServerList, AcceptList);
  Packets.LastBootServerIp = Packets.BootServerIp;
  return Result;
}
