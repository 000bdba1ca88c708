// IPv4 send path: next-hop choice, header completion and UDP fragmentation.
//
// Limitations: IPv4 only; no path-MTU discovery: fragments are always 1464
// bytes of IPv4 payload, whatever the interface's maximum packet size.
#include "net.h"

#include "ethernet_wire.h"
#include "ip_address.h"
#include "ipv4_wire.h"

namespace {

constexpr UINTN kUnfragmentedMax = 1468;  // headers and data behind a 20-byte IPv4 header
constexpr UINTN kFragmentPayload = 1464;  // IPv4 payload per fragment, a multiple of 8
constexpr UINTN kUdpDatagramMax = 65515;  // 65535 minus the IPv4 header
constexpr UINT8 kUdpTimeToLive = 16;
static_assert(kFragmentPayload % kIpv4FragmentUnit == 0, "fragments end on 8-byte units");
static_assert(kIpv4MinHeaderLength + kUnfragmentedMax <= kTxStagingSize, "largest datagram fits TxStaging");

// The route table's entries are (IpAddr, SubnetMask, GwAddr); the first whose
// network contains Destination gives the gateway.
const UINT8 *RouteFor(const OrvaleMode &Mode, const UINT8 *Destination) {
  for (UINT32 i = 0; i < Mode.RouteTableEntries && i < ORVALE_ROUTE_TABLE_SIZE; ++i) {
    const EFI_PXE_BASE_CODE_ROUTE_ENTRY &Route = Mode.RouteTable[i];
    if (SameSubnetIpv4(Route.IpAddr.v4.Addr, Destination, Route.SubnetMask.v4.Addr)) return Route.GwAddr.v4.Addr;
  }
  return nullptr;
}

EFI_STATUS NextHopHardware(ProtocolInstance *Instance, const UINT8 *Destination, const EFI_IP_ADDRESS *Gateway,
                           EFI_MAC_ADDRESS *Hardware) {
  ZeroBytes(Hardware, sizeof(*Hardware));
  ControllerBinding *Binding = Instance->Binding;
  if (IsLimitedBroadcastIpv4(Destination)) {
    *Hardware = Binding->SnpMode.BroadcastAddress;
    return EFI_SUCCESS;
  }
  if (IsMulticastIpv4(Destination)) {
    EFI_IP_ADDRESS Group = Ipv4ToEfi(Destination);
    return Binding->Mnp->McastIpToMac(Binding->Mnp, Instance->Mode.UsingIpv6, &Group, Hardware);
  }
  const OrvaleMode &Mode = Instance->Mode;
  const UINT8 *NextHop = nullptr;
  if (SameSubnetIpv4(Mode.StationIp.v4.Addr, Destination, Mode.SubnetMask.v4.Addr)) {
    NextHop = Destination;
  } else if (Gateway != nullptr && !IsZeroIpv4(Gateway->v4.Addr)) {
    NextHop = Gateway->v4.Addr;
  } else {
    NextHop = RouteFor(Mode, Destination);
  }
  if (NextHop == nullptr) return EFI_NO_RESPONSE;
  const EFI_IP_ADDRESS Hop = Ipv4ToEfi(NextHop);
  if (LookupArpCache(Instance, &Hop, Hardware)) return EFI_SUCCESS;
  if (!Mode.AutoArp) return EFI_DEVICE_ERROR;
  return ResolveArp(Instance, &Hop, Hardware);
}

}  // namespace

EFI_STATUS SendIpv4Datagram(ProtocolInstance *Instance, const EFI_IP_ADDRESS *Gateway, const void *Datagram,
                            UINTN Length) {
  if (Length < sizeof(Ipv4Header)) return EFI_INVALID_PARAMETER;
  // The destination is copied out: ARP resolution may run the receive path.
  Ipv4Bytes Destination;
  CopyBytes(&Destination, &static_cast<const Ipv4Header *>(Datagram)->destination, sizeof(Destination));
  EFI_MAC_ADDRESS Hardware;
  const EFI_STATUS Status = NextHopHardware(Instance, Destination.b, Gateway, &Hardware);
  if (EFI_ERROR(Status)) return Status;
  return SendFrame(Instance, Datagram, Length, &Hardware, kEtherTypeIpv4);
}

EFI_STATUS SendIpPacket(ProtocolInstance *Instance, const EFI_IP_ADDRESS *Gateway, UINTN IpHeaderLength,
                        UINTN AllHeadersLength, const void *Payload, UINTN PayloadLength) {
  if (Instance->TxBuffer == nullptr) return EFI_NOT_STARTED;
  if (IpHeaderLength < kIpv4MinHeaderLength || IpHeaderLength > kIpv4MaxHeaderLength || IpHeaderLength % 4 != 0 ||
      AllHeadersLength < IpHeaderLength) {
    return EFI_INVALID_PARAMETER;
  }
  if (AllHeadersLength > kTxStagingSize || PayloadLength > kTxStagingSize - AllHeadersLength) {
    return EFI_BAD_BUFFER_SIZE;
  }
  UINT8 *Datagram = Instance->TxBuffer + kTxIpHeaderOffset;
  const UINTN Total = AllHeadersLength + PayloadLength;
  Ipv4Header *Header = reinterpret_cast<Ipv4Header *>(Datagram);
  Header->SetVersionAndLength(IpHeaderLength);
  Header->totalLength.set(static_cast<UINT16>(Total));
  Header->checksum.set(0);
  StoreChecksum(&Header->checksum, InternetChecksum(Header, IpHeaderLength));
  // The payload may already sit in TxBuffer (a caller building in place).
  if (PayloadLength != 0) __builtin_memmove(Datagram + AllHeadersLength, Payload, PayloadLength);
  return SendIpv4Datagram(Instance, Gateway, Datagram, Total);
}

EFI_STATUS SendUdpDatagram(ProtocolInstance *Instance, UINT16 OpFlags, const EFI_IP_ADDRESS *Source,
                           const EFI_IP_ADDRESS *Destination, const EFI_IP_ADDRESS *Gateway, UINTN HeadersLength,
                           const void *Payload, UINTN PayloadLength) {
  if (Instance->TxBuffer == nullptr) return EFI_NOT_STARTED;
  if (Source == nullptr || Destination == nullptr) return EFI_INVALID_PARAMETER;
  if (HeadersLength > kUdpDatagramMax || PayloadLength > kUdpDatagramMax - HeadersLength) return EFI_BAD_BUFFER_SIZE;
  const bool MayFragment = (OpFlags & EFI_PXE_BASE_CODE_UDP_OPFLAGS_MAY_FRAGMENT) != 0;
  const UINTN Total = HeadersLength + PayloadLength;

  Ipv4Header *Header = reinterpret_cast<Ipv4Header *>(Instance->TxBuffer + kTxIpHeaderOffset);
  ZeroBytes(Header, sizeof(*Header));
  Header->timeToLive = kUdpTimeToLive;
  Header->protocol = kIpProtocolUdp;
  CopyBytes(&Header->source, Source->v4.Addr, kIpv4AddressLength);
  CopyBytes(&Header->destination, Destination->v4.Addr, kIpv4AddressLength);
  Header->identification.set(NextRandom(Instance));
  Header->SetDontFragment(!MayFragment);

  if (Total <= kUnfragmentedMax) {
    return SendIpPacket(Instance, Gateway, kIpv4MinHeaderLength, kIpv4MinHeaderLength + HeadersLength, Payload,
                        PayloadLength);
  }
  // Headers longer than one fragment could only be split across fragments,
  // and the later fragments are built where the headers lie.
  if (!MayFragment || HeadersLength > kFragmentPayload) return EFI_BAD_BUFFER_SIZE;

  const UINT8 *Data = static_cast<const UINT8 *>(Payload);
  UINTN Offset = 0;  // in the IPv4 payload: headers, then data
  while (Offset < Total) {
    const UINTN Remaining = Total - Offset;
    const bool Last = Remaining <= kFragmentPayload;
    const UINTN Piece = Last ? Remaining : kFragmentPayload;
    // SendIpPacket completed the previous fragment's header; only these fields change.
    Header->SetMoreFragments(!Last);
    Header->SetFragmentOffsetUnits(static_cast<UINT16>(Offset / kIpv4FragmentUnit));
    EFI_STATUS Status;
    if (Offset == 0) {
      Status = SendIpPacket(Instance, Gateway, kIpv4MinHeaderLength, kIpv4MinHeaderLength + HeadersLength, Data,
                            Piece - HeadersLength);
    } else {
      Status = SendIpPacket(Instance, Gateway, kIpv4MinHeaderLength, kIpv4MinHeaderLength,
                            Data + (Offset - HeadersLength), Piece);
    }
    if (EFI_ERROR(Status)) return Status;
    Offset += Piece;
  }
  return EFI_SUCCESS;
}
