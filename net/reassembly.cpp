// IPv4 receive path: header validation, ICMP errors, IGMP, and the matching
// and reassembly of one UDP datagram into the caller's header and data buffers.
//
// Limitations: one datagram is reassembled per call; fragments of any other
// datagram that arrive meanwhile are dropped. The caller's header area (the
// UDP header and any upper header) must lie wholly in the first fragment.
// Overlapping fragments are accepted; the bytes that arrive last win.
#include "net.h"

#include "ethernet_wire.h"
#include "icmp_wire.h"
#include "ip_address.h"
#include "ipv4_wire.h"
#include "udp_wire.h"

namespace {

constexpr UINTN kIcmpErrorSize = sizeof(EFI_PXE_BASE_CODE_ICMP_ERROR);
static_assert(kFragmentMapBytes * 8 * kIpv4FragmentUnit >= kIpv4MaxDatagram, "fragment map covers a datagram");

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

// Reassembly of the one datagram a call is waiting for. Offsets are in the
// datagram's IPv4 payload; the caller's K header bytes come first, the data
// buffer holds the rest. Which 8-byte blocks have arrived is kept in the
// instance's FragmentMap, so duplicates and overlaps never count twice.
class Reassembly {
 public:
  Reassembly(ProtocolInstance *Instance, void *Header, UINTN HeaderLength, void *Data, UINTN DataCapacity)
      : instance_(Instance),
        header_(static_cast<UINT8 *>(Header)),
        headerLength_(HeaderLength),
        data_(static_cast<UINT8 *>(Data)),
        capacity_(DataCapacity) {}

  enum class Outcome { Dropped, Pending, Complete, TooSmall };

  // Geometry checks that do not depend on what has arrived so far.
  bool Acceptable(const Ipv4Header *Ip, UINTN Length) {
    const UINTN Offset = Ip->FragmentOffsetBytes();
    if (Offset + Length > kIpv4MaxDatagram) return Drop(kDropFragmentTooLong);
    if (Ip->MoreFragments() && Length % kIpv4FragmentUnit != 0) return Drop(kDropFragmentUnaligned);
    if (Offset == 0) {
      if (Length < sizeof(UdpHeader)) return Drop(kDropUdpShort);
      if (Length < headerLength_) return Drop(kDropHeaderShort);
    } else if (Offset < headerLength_) {
      return Drop(kDropFragmentInHeader);
    }
    return true;
  }

  // True for the datagram being reassembled, or when none has begun: the
  // first accepted fragment fixes (source, destination, identification).
  bool SameDatagram(const Ipv4Header *Ip) const {
    return !started_ || (Ip->identification.get() == identification_ && SameIpv4(&Ip->source, &source_) &&
                         SameIpv4(&Ip->destination, &destination_));
  }

  bool Started() const { return started_; }

  void Begin(const Ipv4Header *Ip) {
    started_ = true;
    identification_ = Ip->identification.get();
    CopyBytes(&source_, &Ip->source, sizeof(source_));
    CopyBytes(&destination_, &Ip->destination, sizeof(destination_));
    // Every accepted fragment ends within K + B bytes, so only that much of the map is used.
    const UINTN Limit = MinOf<UINTN>(headerLength_ + capacity_, kIpv4MaxDatagram);
    ZeroBytes(instance_->FragmentMap, (BlocksUpTo(Limit) + 7) / 8);
  }

  Outcome Add(const Ipv4Header *Ip, ByteView Piece) {
    const UINTN Offset = Ip->FragmentOffsetBytes();
    const UINTN End = Offset + Piece.size;
    const bool Last = !Ip->MoreFragments();
    if ((lastSeen_ && End > end_) || (lastSeen_ && Last && End != end_) || (Last && End < highest_)) {
      Drop(kDropFragmentConflict);
      return Outcome::Dropped;
    }
    // Data positions: the first fragment's data follows the caller's header bytes.
    const UINTN Skip = Offset == 0 ? headerLength_ : 0;
    const UINTN Position = Offset + Skip - headerLength_;
    const UINTN DataBytes = Piece.size - Skip;
    if (Offset == 0) {
      CopyBytes(header_, Piece.data, headerLength_);
      CopyBytes(&udp_, Piece.data, sizeof(udp_));
    }
    if (Position + DataBytes > capacity_) return Outcome::TooSmall;
    CopyBytes(data_ + Position, Piece.data + Skip, DataBytes);

    for (UINTN Block = Offset / kIpv4FragmentUnit; Block < BlocksUpTo(End); ++Block) {
      UINT8 &Byte = instance_->FragmentMap[Block / 8];
      const UINT8 Bit = static_cast<UINT8>(1u << (Block % 8));
      if ((Byte & Bit) == 0) {
        Byte = static_cast<UINT8>(Byte | Bit);
        ++blocksArrived_;
      }
    }
    highest_ = MaxOf(highest_, End);
    if (Offset == 0) firstSeen_ = true;
    if (Last) {
      lastSeen_ = true;
      end_ = End;
    }
    if (firstSeen_ && lastSeen_ && blocksArrived_ == BlocksUpTo(end_)) return Outcome::Complete;
    return Outcome::Pending;
  }

  // Data length of the complete datagram, bounded by its UDP length field
  // (bytes behind it in the IPv4 payload are not part of the datagram).
  bool Finish(UINTN *DataLength) {
    const UINTN UdpLength = udp_.length.get();
    if (UdpLength < sizeof(UdpHeader) || UdpLength > end_) return Drop(kDropUdpLength);
    if (UdpLength < headerLength_) return Drop(kDropHeaderShort);
    *DataLength = UdpLength - headerLength_;
    return true;
  }

  // Forgets the datagram, as if no fragment had arrived.
  void Reset() {
    started_ = firstSeen_ = lastSeen_ = false;
    end_ = highest_ = blocksArrived_ = 0;
  }

 private:
  static constexpr UINTN BlocksUpTo(UINTN Bytes) { return (Bytes + kIpv4FragmentUnit - 1) / kIpv4FragmentUnit; }
  bool Drop(NetDrop Reason) {
    CountDrop(instance_, Reason);
    return false;
  }

  ProtocolInstance *instance_;
  UINT8 *header_;
  UINTN headerLength_;
  UINT8 *data_;
  UINTN capacity_;
  bool started_ = false;
  bool firstSeen_ = false;
  bool lastSeen_ = false;
  UINT16 identification_ = 0;
  Ipv4Bytes source_{};
  Ipv4Bytes destination_{};
  UINTN end_ = 0;      // the datagram's IPv4 payload length, once the last fragment is known
  UINTN highest_ = 0;  // the furthest byte any fragment reached
  UINTN blocksArrived_ = 0;
  UdpHeader udp_{};
};

void WriteAddress(EFI_IP_ADDRESS *Argument, const Ipv4Bytes &Address) {
  if (Argument != nullptr) *Argument = Ipv4ToEfi(&Address);
}

// How long a polling caller waits for the rest of a fragmented datagram (1 s).
constexpr UINT64 kFragmentGrace = 10'000'000;

}  // namespace

EFI_STATUS ReceiveUdpDatagram(ProtocolInstance *Instance, UINT16 OpFlags, EFI_IP_ADDRESS *Source,
                              EFI_IP_ADDRESS *Destination, UINT8, void *Header, UINTN HeaderLength, void *Data,
                              UINTN *DataSize, EFI_EVENT Timeout) {
  if (DataSize == nullptr || (Header == nullptr && HeaderLength != 0) || (Data == nullptr && *DataSize != 0)) {
    return EFI_INVALID_PARAMETER;
  }
  Instance->Mode.IcmpErrorReceived = FALSE;
  Reassembly Datagram(Instance, Header, HeaderLength, Data, *DataSize);
  // A caller that only polls (no timeout event) would lose a datagram whose
  // later fragments are still on the wire: once a fragment is held, wait for
  // the rest up to kFragmentGrace.
  TimerEvent Grace;
  EFI_EVENT Wait = Timeout;

  for (;;) {
    UINTN FrameHeader = 0;
    UINTN FrameData = 0;
    UINT16 EtherType = 0;
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
        if (IsIcmpError(Instance, Packet.payload)) return RecordIcmpError(Instance, Packet.payload);
      } else {
        HandleIgmp(Instance, Packet.payload.data, Packet.payload.size);
      }
      continue;
    }
    if (Ip->protocol != kIpProtocolUdp) {
      CountDrop(Instance, kDropIpProtocol);
      continue;
    }

    if (!(OpFlags & EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_SRC_IP) && Source != nullptr &&
        !SameIpv4(Source->v4.Addr, &Ip->source)) {
      CountDrop(Instance, kDropSource);
      continue;
    }
    if (!DestinationAccepted(Instance, OpFlags, Ip->destination.b, Destination)) {
      CountDrop(Instance, kDropDestination);
      continue;
    }
    if (!Datagram.Acceptable(Ip, Packet.payload.size)) continue;
    if (!Datagram.SameDatagram(Ip)) {
      CountDrop(Instance, kDropOtherDatagram);
      continue;
    }
    if (!Datagram.Started()) {
      Datagram.Begin(Ip);
      WriteAddress(Destination, Ip->destination);
      WriteAddress(Source, Ip->source);
    }
    switch (Datagram.Add(Ip, Packet.payload)) {
      case Reassembly::Outcome::Dropped:
        break;
      case Reassembly::Outcome::Pending:
        if (Wait == nullptr && Grace.Arm(kFragmentGrace) == EFI_SUCCESS) Wait = Grace.Get();
        break;
      case Reassembly::Outcome::TooSmall:
        return EFI_BUFFER_TOO_SMALL;
      case Reassembly::Outcome::Complete: {
        UINTN Length = 0;
        if (!Datagram.Finish(&Length)) {
          Datagram.Reset();
          break;
        }
        *DataSize = Length;
        return EFI_SUCCESS;
      }
    }
  }
}
