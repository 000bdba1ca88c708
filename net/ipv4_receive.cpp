// IPv4 receive path: header validation, ICMP errors, IGMP, and the matching
// of one UDP datagram, reassembled (reassembly.h) into the caller's header and
// data buffers.
//
// Limitations: one datagram is reassembled per call; fragments of any other
// datagram that arrive meanwhile are dropped, except that a whole datagram
// replaces an unfinished reassembly, and a first fragment one still missing
// its own first fragment. The caller's header area (the UDP header and any
// upper header) must lie wholly in the first fragment.
//
// Overlaps, as current IPv4 stacks treat them: an exact duplicate is dropped;
// a fragment that would change any byte already held voids the datagram, and
// every later fragment of that identification is dropped for the rest of the
// call. No byte once accepted, the caller's header area least of all, is ever
// rewritten.
#include "net.h"
#include "probe.h"

#include "ethernet_wire.h"
#include "icmp_wire.h"
#include "ip_address.h"
#include "ipv4_wire.h"
#include "reassembly.h"
#include "udp_wire.h"

namespace {

constexpr UINTN kIcmpErrorSize = sizeof(EFI_PXE_BASE_CODE_ICMP_ERROR);

// A validated IPv4 packet: its header and the payload the total length gives.
struct Ipv4Packet {
  const Ipv4Header *header;
  ByteView payload;
};

// RFC 1122 3.2.1.1-3.2.1.2 and RFC 791: version, header length and checksum
// are checked; the payload starts after IHL * 4 bytes and ends at the total
// length, never beyond the bytes that arrived (MNP's length includes padding).
bool ParseIpv4(ProtocolInstance *Instance, ByteView Frame, Ipv4Packet *Out) {
  const Ipv4Header *Header = Frame.At<Ipv4Header>(0);
  if (Header == nullptr) {
    CountDrop(Instance, kDropIpShort);
    return false;
  }
  if (Header->Version() != kIpv4Version) {
    CountDrop(Instance, kDropIpVersion);
    return false;
  }
  const UINTN HeaderLength = Header->HeaderLength();
  const UINTN TotalLength = Header->totalLength.get();
  if (HeaderLength < kIpv4MinHeaderLength || TotalLength < HeaderLength) {
    CountDrop(Instance, kDropIpHeaderLength);
    return false;
  }
  if (!Frame.Has(0, HeaderLength)) {
    CountDrop(Instance, kDropIpShort);
    return false;
  }
  if (InternetChecksum(Header, HeaderLength) != 0) {
    CountDrop(Instance, kDropIpChecksum);
    return false;
  }
  if (!Frame.Has(0, TotalLength)) {
    CountDrop(Instance, kDropIpTruncated);
    return false;
  }
  Out->header = Header;
  Out->payload = Frame.Sub(HeaderLength, TotalLength - HeaderLength);
  return true;
}

// The ICMP message as received, at most 504 bytes, zero-filled behind.
EFI_STATUS RecordIcmpError(ProtocolInstance *Instance, ByteView Message) {
  UINT8 *Record = reinterpret_cast<UINT8 *>(&Instance->Mode.IcmpError);
  const UINTN Copied = MinOf<UINTN>(Message.size, kIcmpErrorSize);
  CopyBytes(Record, Message.data, Copied);
  ZeroBytes(Record + Copied, kIcmpErrorSize - Copied);
  Instance->Mode.IcmpErrorReceived = TRUE;
  return EFI_ICMP_ERROR;
}

bool IsIcmpError(ProtocolInstance *Instance, ByteView Message) {
  const IcmpHeader *Icmp = Message.At<IcmpHeader>(0);
  if (Icmp == nullptr) {
    CountDrop(Instance, kDropIcmpShort);
    return false;
  }
  if (InternetChecksum(Message.data, Message.size) != 0) {
    CountDrop(Instance, kDropIcmpChecksum);
    return false;
  }
  if (!IsIcmpErrorType(Icmp->type)) {
    CountDrop(Instance, kDropIcmpNotError);
    return false;
  }
  return true;
}

// RFC 1122 3.2.2 and 4.1.3.3: an ICMP error counts only when it plausibly
// answers a datagram of ours. It must be sent to StationIp itself (never to a
// broadcast or multicast address) and quote a well-formed IPv4 header with at
// least 8 bytes behind it: a UDP datagram from StationIp, from the port this
// receive listens on and to the source it accepts, where it names them. The
// type's own fields (a next-hop MTU of 0, say) are recorded, never used.
bool IcmpErrorIsOurs(ProtocolInstance *Instance, const Ipv4Header *Ip, ByteView Message,
                     const EFI_IP_ADDRESS *AcceptedSource, const EFI_PXE_BASE_CODE_UDP_PORT *ListenPort) {
  const UINT8 *Station = Instance->Mode.StationIp.v4.Addr;
  if (IsZeroIpv4(Station) || !SameIpv4(&Ip->destination, Station)) {
    CountDrop(Instance, kDropIcmpForeign);
    return false;
  }
  const ByteView Quote = Message.From(sizeof(IcmpHeader));
  const Ipv4Header *Quoted = Quote.At<Ipv4Header>(0);
  const UINTN Mtu = Instance->Binding->SnpMode.MaxPacketSize != 0 ? Instance->Binding->SnpMode.MaxPacketSize
                                                                  : kEthernetMtu;
  if (Quoted == nullptr || Quoted->Version() != kIpv4Version || Quoted->HeaderLength() < kIpv4MinHeaderLength ||
      Quoted->totalLength.get() < Quoted->HeaderLength() + sizeof(UdpHeader) || Quoted->totalLength.get() > Mtu ||
      !Quote.Has(Quoted->HeaderLength(), sizeof(UdpHeader))) {
    CountDrop(Instance, kDropIcmpQuote);
    return false;
  }
  const UdpHeader *Udp = Quote.At<UdpHeader>(Quoted->HeaderLength());
  // Ports are in the quote only when it starts a datagram.
  const bool PortKnown = Quoted->FragmentOffsetBytes() == 0;
  if (Quoted->protocol != kIpProtocolUdp || !SameIpv4(&Quoted->source, Station) ||
      (ListenPort != nullptr && (!PortKnown || Udp->sourcePort.get() != *ListenPort)) ||
      (AcceptedSource != nullptr && !SameIpv4(&Quoted->destination, AcceptedSource->v4.Addr))) {
    CountDrop(Instance, kDropIcmpForeign);
    return false;
  }
  return true;
}

bool DestinationAccepted(const ProtocolInstance *Instance, UINT16 OpFlags, const UINT8 *Destination,
                         const EFI_IP_ADDRESS *Expected) {
  const UINT8 *Station = Instance->Mode.StationIp.v4.Addr;
  if (OpFlags & EFI_PXE_BASE_CODE_UDP_OPFLAGS_USE_FILTER) {
    const EFI_PXE_BASE_CODE_IP_FILTER &Filter = Instance->State.IpFilter;
    if (Filter.Filters & EFI_PXE_BASE_CODE_IP_FILTER_PROMISCUOUS) return true;
    if ((Filter.Filters & EFI_PXE_BASE_CODE_IP_FILTER_PROMISCUOUS_MULTICAST) && IsMulticastIpv4(Destination)) {
      return true;
    }
    if ((Filter.Filters & EFI_PXE_BASE_CODE_IP_FILTER_STATION_IP) && SameIpv4(Destination, Station)) return true;
    if ((Filter.Filters & EFI_PXE_BASE_CODE_IP_FILTER_BROADCAST) && IsLimitedBroadcastIpv4(Destination)) return true;
    for (UINTN i = 0; i < Filter.IpCnt && i < EFI_PXE_BASE_CODE_MAX_IPCNT; ++i) {
      if (SameIpv4(Destination, Filter.IpList[i].v4.Addr)) return true;
    }
    return false;
  }
  if (OpFlags & EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_DEST_IP) return true;
  return SameIpv4(Destination, Expected != nullptr ? Expected->v4.Addr : Station);
}

void WriteAddress(EFI_IP_ADDRESS *Argument, const Ipv4Bytes &Address) {
  if (Argument != nullptr) *Argument = Ipv4ToEfi(&Address);
}

// How long a polling caller waits for the rest of a fragmented datagram (1 s).
constexpr UINT64 kFragmentGrace = 10'000'000;

}  // namespace

EFI_STATUS ReceiveUdpDatagram(ProtocolInstance *Instance, UINT16 OpFlags, EFI_IP_ADDRESS *Source,
                              EFI_IP_ADDRESS *Destination, UINT8, void *Header, UINTN HeaderLength, void *Data,
                              UINTN *DataSize, EFI_EVENT Timeout, const EFI_PXE_BASE_CODE_UDP_PORT *ListenPort) {
  ORVALE_PROBE(kProbeUdpReceive);
  if (DataSize == nullptr || (Header == nullptr && HeaderLength != 0) || (Data == nullptr && *DataSize != 0)) {
    return EFI_INVALID_PARAMETER;
  }
  Instance->Mode.IcmpErrorReceived = FALSE;
  const bool SourceNamed = !(OpFlags & EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_SRC_IP) && Source != nullptr;
  // Copied: Source is written back as fragments are accepted.
  const EFI_IP_ADDRESS AcceptedSource = SourceNamed ? *Source : Instance->Mode.StationIp;
  Reassembly Datagram(Instance, Header, HeaderLength, Data, *DataSize);
  // A caller that only polls (no timeout event) would lose a datagram whose
  // later fragments are still on the wire: once it holds a first fragment,
  // wait for the rest up to kFragmentGrace.
  TimerEvent Grace;
  EFI_EVENT Wait = Timeout;
  auto GiveUpWaiting = [&]() {
    if (Timeout != nullptr) return;
    Grace.Close();
    Wait = nullptr;
  };

  // A caller that only polls looks at what is there, not at a flood: after
  // kPollFrameLimit frames that were not its datagram it is told nothing came.
  UINTN PollFrames = 0;
  for (;;) {
    UINTN FrameHeader = 0;
    UINTN FrameData = 0;
    UINT16 EtherType = 0;
    if (Wait == nullptr && ++PollFrames > kPollFrameLimit) return EFI_TIMEOUT;
    const EFI_STATUS Status = ReceiveFrame(Instance, Wait, &FrameHeader, &FrameData, &EtherType);
    if (EFI_ERROR(Status)) return Status;
    const UINT8 *Frame = Instance->FrameBuffer;
    if (EtherType == kEtherTypeArp) {
      HandleArpPacket(Instance, Frame + FrameHeader, FrameData, Frame);
      continue;
    }
    if (EtherType != kEtherTypeIpv4) {
      CountDrop(Instance, kDropOtherEtherType);
      continue;
    }
    Ipv4Packet Packet;
    if (!ParseIpv4(Instance, ByteView(Frame + FrameHeader, FrameData), &Packet)) continue;
    const Ipv4Header *Ip = Packet.header;

    if (Ip->protocol == kIpProtocolIcmp || Ip->protocol == kIpProtocolIgmp) {
      // Control messages are never reassembled.
      if (Ip->IsFragment()) {
        CountDrop(Instance, kDropControlFragment);
        continue;
      }
      if (Ip->protocol == kIpProtocolIcmp) {
        if (IsIcmpError(Instance, Packet.payload) &&
            IcmpErrorIsOurs(Instance, Ip, Packet.payload, SourceNamed ? &AcceptedSource : nullptr, ListenPort)) {
          return RecordIcmpError(Instance, Packet.payload);
        }
      } else {
        HandleIgmp(Instance, Packet.payload.data, Packet.payload.size);
      }
      continue;
    }
    if (Ip->protocol != kIpProtocolUdp) {
      CountDrop(Instance, kDropIpProtocol);
      continue;
    }

    if (SourceNamed && !SameIpv4(AcceptedSource.v4.Addr, &Ip->source)) {
      CountDrop(Instance, kDropSource);
      continue;
    }
    if (!DestinationAccepted(Instance, OpFlags, Ip->destination.b, Destination)) {
      CountDrop(Instance, kDropDestination);
      continue;
    }
    if (!Datagram.Acceptable(Ip, Packet.payload.size)) continue;
    if (Ip->IsFragment() && Datagram.Voided(Ip)) {
      CountDrop(Instance, kDropFragmentVoided);
      continue;
    }
    Reassembly::Outcome Result = Reassembly::Outcome::Dropped;
    if (!Datagram.Started() && !Ip->IsFragment()) {
      WriteAddress(Destination, Ip->destination);
      WriteAddress(Source, Ip->source);
      Result = Datagram.Whole(Ip, Packet.payload);
    } else if (!Datagram.Reassembling(Ip)) {
      // A whole datagram replaces an unfinished one; a first fragment
      // replaces one still missing its own first fragment; a stray later
      // fragment replaces nothing. So no stray or duplicated fragment costs
      // a datagram that arrives behind it.
      const bool Replaces = Ip->FragmentOffsetBytes() == 0 && (!Ip->MoreFragments() || !Datagram.HoldsFirst());
      if (Datagram.Started() && !Replaces) {
        CountDrop(Instance, kDropOtherDatagram);
        continue;
      }
      if (Datagram.Started()) CountDrop(Instance, kDropFragmentOrphan);
      Datagram.Begin(Ip);
      WriteAddress(Destination, Ip->destination);
      WriteAddress(Source, Ip->source);
      Result = Datagram.Add(Ip, Packet.payload);
    } else {
      Result = Datagram.Add(Ip, Packet.payload);
    }
    switch (Result) {
      case Reassembly::Outcome::Dropped:
        break;
      case Reassembly::Outcome::Void:
        CountDrop(Instance, kDropFragmentOverlap);
        Datagram.Void();
        break;
      case Reassembly::Outcome::Pending:
        if (Wait == nullptr && Datagram.HoldsFirst() && Grace.Arm(kFragmentGrace) == EFI_SUCCESS) {
          Wait = Grace.Get();
        }
        break;
      case Reassembly::Outcome::TooSmall:
        return EFI_BUFFER_TOO_SMALL;
      case Reassembly::Outcome::Complete:
        *DataSize = Datagram.DataLength();
        return EFI_SUCCESS;
    }
    // Waiting on is for the rest of a first fragment held; a datagram voided
    // or completed malformed is gone.
    if (!Datagram.HoldsFirst()) GiveUpWaiting();
  }
}
