// ARP (RFC 826) for IPv4 over the interface's hardware addresses: the cache
// in OrvaleMode, answering requests for the station address, resolution,
// address claiming, and the route table (the DHCP side hands it the routers).
//
// Limitations: one request per resolution, no retransmission; the cache
// holds 8 entries and is overwritten round-robin; entries never age.
#include "net.h"

#include "ethernet_wire.h"
#include "ip_address.h"

namespace {

constexpr UINT64 kArpReplyWait = 5'000'000;       // 0.5 s
constexpr UINTN kArpRequestArea = 104;             // 8 + 2 * (32 + 16): the largest HLEN and PLEN

// Driver-wide, set up by the image entry. Replies are built in the reply
// buffer and sent to completion before HandleArpPacket returns, so the
// instances can share it.
UINT8 gArpTemplate[sizeof(ArpHeader)] = {};
UINT8 gArpReply[kArpMaxPacketLength] = {};

UINTN HwLength(const ProtocolInstance *Instance) { return Instance->Binding->SnpMode.HwAddressSize; }

// The lengths this interface can carry in the fixed-size address records.
bool UsableLengths(const ProtocolInstance *Instance) {
  return HwLength(Instance) <= kArpMaxHardwareLength && Instance->IpAddrLen <= kArpMaxProtocolLength &&
         Instance->IpAddrLen != 0;
}

// One broadcast request for Target with the given sender protocol address,
// then 0.5 s of listening; EFI_SUCCESS once Target is in the cache.
EFI_STATUS ArpExchange(ProtocolInstance *Instance, const EFI_IP_ADDRESS *Target, const EFI_IP_ADDRESS *Sender,
                       EFI_MAC_ADDRESS *HwAddress) {
  if (!UsableLengths(Instance)) return EFI_UNSUPPORTED;
  const EFI_SIMPLE_NETWORK_MODE &Snp = Instance->Binding->SnpMode;
  const UINTN Hlen = HwLength(Instance);
  const UINTN Plen = Instance->IpAddrLen;
  if (Instance->ArpRequestBuffer == nullptr) {
    Instance->ArpRequestBuffer = static_cast<UINT8 *>(AllocZeroed(Snp.MediaHeaderSize + kArpRequestArea));
    if (Instance->ArpRequestBuffer == nullptr) return EFI_OUT_OF_RESOURCES;
  }
  UINT8 *Request = Instance->ArpRequestBuffer + Snp.MediaHeaderSize;
  ZeroBytes(Request, kArpRequestArea);
  CopyBytes(Request, gArpTemplate, sizeof(gArpTemplate));
  ArpHeader *Header = reinterpret_cast<ArpHeader *>(Request);
  Header->hardwareLength = static_cast<UINT8>(Hlen);
  Header->protocolLength = static_cast<UINT8>(Plen);
  CopyBytes(Request + ArpSenderHardwareOffset(Hlen, Plen), Snp.CurrentAddress.Addr, Hlen);
  CopyBytes(Request + ArpSenderProtocolOffset(Hlen, Plen), Sender, Plen);
  CopyBytes(Request + ArpTargetProtocolOffset(Hlen, Plen), Target, Plen);

  EFI_STATUS Status = SendFrame(Instance, Request, ArpPacketLength(Hlen, Plen), &Snp.BroadcastAddress, kEtherTypeArp);
  if (EFI_ERROR(Status)) return Status;

  TimerEvent Timer;
  Status = Timer.Arm(kArpReplyWait);
  if (EFI_ERROR(Status)) return Status;
  for (;;) {
    UINTN HeaderLength = 0;
    UINTN DataLength = 0;
    UINT16 EtherType = 0;
    Status = ReceiveFrame(Instance, Timer.Get(), &HeaderLength, &DataLength, &EtherType);
    if (EFI_ERROR(Status)) return Status;
    if (EtherType != kEtherTypeArp) continue;
    HandleArpPacket(Instance, Instance->FrameBuffer + HeaderLength, DataLength, Instance->FrameBuffer);
    if (LookupArpCache(Instance, Target, HwAddress)) return EFI_SUCCESS;
  }
}

}  // namespace

void InitializeArpTemplates() {
  ArpHeader Template;
  Template.hardwareType.set(kArpHardwareEthernet);
  Template.protocolType.set(kArpProtocolIpv4);
  Template.hardwareLength = kEthernetAddressLength;
  Template.protocolLength = kIpv4AddressLength;
  Template.operation.set(kArpOpRequest);
  CopyBytes(gArpTemplate, &Template, sizeof(Template));
  ZeroBytes(gArpReply, sizeof(gArpReply));
  CopyBytes(gArpReply, gArpTemplate, sizeof(gArpTemplate));
}

void HandleArpPacket(ProtocolInstance *Instance, const UINT8 *Packet, UINTN Length, const UINT8 *) {
  const ByteView View(Packet, Length);
  const ArpHeader *Header = View.At<ArpHeader>(0);
  if (Header == nullptr || !View.Has(0, ArpPacketLength(Header->hardwareLength, Header->protocolLength))) {
    CountDrop(Instance, kDropArpShort);
    return;
  }
  const UINTN Hlen = Header->hardwareLength;
  const UINTN Plen = Header->protocolLength;
  const UINT16 Operation = Header->operation.get();
  if (!UsableLengths(Instance) || Header->hardwareType.get() != kArpHardwareEthernet ||
      Header->protocolType.get() != kArpProtocolIpv4 || Hlen != HwLength(Instance) || Plen != Instance->IpAddrLen ||
      (Operation != kArpOpRequest && Operation != kArpOpReply)) {
    CountDrop(Instance, kDropArpForeign);
    return;
  }
  const UINT8 *SenderHw = Packet + ArpSenderHardwareOffset(Hlen, Plen);
  const UINT8 *SenderIp = Packet + ArpSenderProtocolOffset(Hlen, Plen);
  const UINT8 *TargetIp = Packet + ArpTargetProtocolOffset(Hlen, Plen);
  OrvaleMode &Mode = Instance->Mode;

  // An address probe (sender 0.0.0.0, RFC 5227) carries no binding to learn.
  bool Known = false;
  UINT8 ZeroAddress[kArpMaxProtocolLength] = {};
  const bool SenderUnset = SameBytes(SenderIp, ZeroAddress, Plen);
  for (UINT32 i = 0; i < Mode.ArpCacheEntries && i < ORVALE_ARP_CACHE_SIZE; ++i) {
    if (SameBytes(Mode.ArpCache[i].IpAddr.v4.Addr, SenderIp, Plen)) {
      CopyBytes(Mode.ArpCache[i].MacAddr.Addr, SenderHw, Hlen);
      Known = true;
      break;
    }
  }
  if (!SameBytes(TargetIp, Mode.StationIp.v4.Addr, Plen)) return;

  if (!Known && !SenderUnset) {
    UINTN Slot;
    if (Mode.ArpCacheEntries < ORVALE_ARP_CACHE_SIZE) {
      Slot = Mode.ArpCacheEntries++;
    } else {
      Slot = static_cast<UINTN>(Instance->ArpReplaceIndex % ORVALE_ARP_CACHE_SIZE);
      Instance->ArpReplaceIndex = (Slot + 1) % ORVALE_ARP_CACHE_SIZE;
    }
    CopyBytes(Mode.ArpCache[Slot].IpAddr.v4.Addr, SenderIp, Plen);
    CopyBytes(Mode.ArpCache[Slot].MacAddr.Addr, SenderHw, Hlen);
  }

  if (Operation != kArpOpRequest || !Instance->Packets.StationIpSet) return;
  const EFI_SIMPLE_NETWORK_MODE &Snp = Instance->Binding->SnpMode;
  ArpHeader *Reply = reinterpret_cast<ArpHeader *>(gArpReply);
  Reply->hardwareLength = static_cast<UINT8>(Hlen);
  Reply->protocolLength = static_cast<UINT8>(Plen);
  Reply->operation.set(kArpOpReply);
  CopyBytes(gArpReply + ArpSenderHardwareOffset(Hlen, Plen), Snp.CurrentAddress.Addr, Hlen);
  CopyBytes(gArpReply + ArpSenderProtocolOffset(Hlen, Plen), Mode.StationIp.v4.Addr, Plen);
  CopyBytes(gArpReply + ArpTargetHardwareOffset(Hlen, Plen), SenderHw, Hlen);
  CopyBytes(gArpReply + ArpTargetProtocolOffset(Hlen, Plen), SenderIp, Plen);
  EFI_MAC_ADDRESS Requester;
  ZeroBytes(&Requester, sizeof(Requester));
  CopyBytes(Requester.Addr, SenderHw, Hlen);
  // Nothing to do about a reply that could not be sent: the requester asks again.
  (void)SendFrame(Instance, gArpReply, ArpPacketLength(Hlen, Plen), &Requester, kEtherTypeArp);
  gBS->Stall(1000);
}

BOOLEAN LookupArpCache(ProtocolInstance *Instance, const EFI_IP_ADDRESS *Address, EFI_MAC_ADDRESS *HwAddress) {
  const OrvaleMode &Mode = Instance->Mode;
  const UINTN Plen = MinOf<UINTN>(Instance->IpAddrLen, sizeof(EFI_IP_ADDRESS));
  for (UINT32 i = 0; i < Mode.ArpCacheEntries && i < ORVALE_ARP_CACHE_SIZE; ++i) {
    if (SameBytes(Mode.ArpCache[i].IpAddr.v4.Addr, Address->v4.Addr, Plen)) {
      if (HwAddress != nullptr) {
        CopyBytes(HwAddress->Addr, Mode.ArpCache[i].MacAddr.Addr,
                  MinOf<UINTN>(HwLength(Instance), sizeof(EFI_MAC_ADDRESS)));
      }
      return TRUE;
    }
  }
  return FALSE;
}

EFI_STATUS ResolveArp(ProtocolInstance *Instance, const EFI_IP_ADDRESS *Address, EFI_MAC_ADDRESS *HwAddress) {
  const EFI_IP_ADDRESS Station = Instance->Mode.StationIp;
  return ArpExchange(Instance, Address, &Station, HwAddress);
}

BOOLEAN AnnounceAddress(ProtocolInstance *Instance, const EFI_IP_ADDRESS *Address) {
  EFI_MAC_ADDRESS Owner;
  ZeroBytes(&Owner, sizeof(Owner));
  if (ArpExchange(Instance, Address, Address, &Owner) == EFI_SUCCESS) return FALSE;
  StartIgmpV1RouterTimer(Instance);
  return TRUE;
}

// Only silence (EFI_TIMEOUT) shows the address free: a probe that could not
// be sent proves nothing, and its failure is handed back.
BOOLEAN ClaimAddress(ProtocolInstance *Instance, const EFI_IP_ADDRESS *Address, EFI_STATUS *Error) {
  EFI_STATUS Scratch = EFI_SUCCESS;
  EFI_STATUS &Failure = Error != nullptr ? *Error : Scratch;
  Failure = EFI_SUCCESS;
  EFI_MAC_ADDRESS Owner;
  ZeroBytes(&Owner, sizeof(Owner));
  if (LookupArpCache(Instance, Address, &Owner)) return FALSE;
  const EFI_STATUS Probe = ResolveArp(Instance, Address, &Owner);
  if (Probe == EFI_SUCCESS) return FALSE;
  if (Probe != EFI_TIMEOUT) {
    Failure = Probe;
    return FALSE;
  }
  CopyBytes(Instance->Mode.StationIp.v4.Addr, Address->v4.Addr, kIpv4AddressLength);
  Instance->Packets.StationIpSet = TRUE;
  StartIgmpV1RouterTimer(Instance);
  return AnnounceAddress(Instance, Address);
}

// Routes are default routes (IpAddr and SubnetMask 0); SendIpPacket uses the first.
void AddRoute(ProtocolInstance *Instance, const EFI_IP_ADDRESS *Gateway) {
  OrvaleMode &Mode = Instance->Mode;
  const UINTN Plen = MinOf<UINTN>(Instance->IpAddrLen, sizeof(EFI_IP_ADDRESS));
  if (Mode.RouteTableEntries >= ORVALE_ROUTE_TABLE_SIZE || Plen == 0) return;
  if (IsZeroIpv4(Gateway->v4.Addr)) return;
  if (!SameSubnetIpv4(Mode.StationIp.v4.Addr, Gateway->v4.Addr, Mode.SubnetMask.v4.Addr)) return;
  for (UINT32 i = 0; i < Mode.RouteTableEntries; ++i) {
    if (SameBytes(Mode.RouteTable[i].GwAddr.v4.Addr, Gateway->v4.Addr, Plen)) return;
  }
  EFI_PXE_BASE_CODE_ROUTE_ENTRY &Entry = Mode.RouteTable[Mode.RouteTableEntries];
  ZeroBytes(&Entry, sizeof(Entry));
  CopyBytes(Entry.GwAddr.v4.Addr, Gateway->v4.Addr, Plen);
  ++Mode.RouteTableEntries;
}
