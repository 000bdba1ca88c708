// IPv4 receive path: header validation, ICMP errors, IGMP, and the matching
// and reassembly of one UDP datagram into the caller's header and data buffers.
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

// Source, destination and identification: what names one datagram's fragments (RFC 791).
struct DatagramName {
  Ipv4Bytes source;
  Ipv4Bytes destination;
  UINT16 identification;

  static DatagramName Of(const Ipv4Header *Ip) {
    DatagramName Name;
    CopyBytes(&Name.source, &Ip->source, sizeof(Name.source));
    CopyBytes(&Name.destination, &Ip->destination, sizeof(Name.destination));
    Name.identification = Ip->identification.get();
    return Name;
  }
  bool Names(const Ipv4Header *Ip) const {
    return Ip->identification.get() == identification && SameIpv4(&Ip->source, &source) &&
           SameIpv4(&Ip->destination, &destination);
  }
};

// Reassembly of the one datagram a call is waiting for. Offsets are in the
// datagram's IPv4 payload; the caller's K header bytes come first, the data
// buffer holds the rest (bytes beyond it are tracked but not kept). Which
// 8-byte blocks have arrived is kept in the instance's FragmentMap: a block is
// held once, and a later fragment covering it must bring the same bytes.
class Reassembly {
 public:
  Reassembly(ProtocolInstance *Instance, void *Header, UINTN HeaderLength, void *Data, UINTN DataCapacity)
      : instance_(Instance),
        header_(static_cast<UINT8 *>(Header)),
        headerLength_(HeaderLength),
        data_(static_cast<UINT8 *>(Data)),
        capacity_(DataCapacity) {}

  enum class Outcome { Dropped, Pending, Complete, TooSmall, Void };

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

  bool Started() const { return started_; }
  bool HoldsFirst() const { return firstSeen_; }
  bool Reassembling(const Ipv4Header *Ip) const { return started_ && name_.Names(Ip); }
  bool Voided(const Ipv4Header *Ip) const {
    for (UINTN i = 0; i < voidedCount_; ++i) {
      if (voided_[i].Names(Ip)) return true;
    }
    return false;
  }

  // Starts over with the datagram Ip belongs to.
  void Begin(const Ipv4Header *Ip) {
    Reset();
    started_ = true;
    name_ = DatagramName::Of(Ip);
  }

  // Forgets the datagram, as if no fragment had arrived.
  void Reset() {
    started_ = firstSeen_ = lastSeen_ = false;
    end_ = highest_ = blocksArrived_ = 0;
    ZeroBytes(instance_->FragmentMap, mapDirty_);
    mapDirty_ = 0;
  }

  // Forgets the datagram and refuses its later fragments in this call.
  void Void() {
    voided_[voidedNext_] = name_;
    voidedNext_ = (voidedNext_ + 1) % kVoidedSlots;
    voidedCount_ = MinOf(voidedCount_ + 1, kVoidedSlots);
    Reset();
  }

  Outcome Add(const Ipv4Header *Ip, ByteView Piece) {
    const UINTN Offset = Ip->FragmentOffsetBytes();
    const UINTN End = Offset + Piece.size;
    const bool Last = !Ip->MoreFragments();
    if ((lastSeen_ && End > end_) || (lastSeen_ && Last && End != end_) || (Last && End < highest_)) {
      Drop(kDropFragmentConflict);
      return Outcome::Dropped;
    }
    const UINTN First = Offset / kIpv4FragmentUnit;
    const UINTN Past = BlocksUpTo(End);
    // A fragment that closes the datagram brings news even over held bytes.
    bool News = Last && !lastSeen_;
    // In-order fragments overlap nothing: the map is looked at word by word,
    // and block by block only where something is held.
    const bool Fresh = !AnyHeld(First, Past);
    if (Fresh) {
      News = News || First < Past;
    } else {
      for (UINTN Block = First; Block < Past; ++Block) {
        if (!BlockHeld(Block)) {
          News = true;
          continue;
        }
        const UINTN From = Block * kIpv4FragmentUnit;
        const UINTN To = MinOf(From + kIpv4FragmentUnit, End);
        if (!SameAsHeld(From, To, Piece.data + (From - Offset))) return Outcome::Void;
      }
    }
    if (!News) {
      Drop(kDropFragmentDuplicate);
      return Outcome::Dropped;
    }

    // Every byte held in the range was found equal, so one copy of the whole
    // piece changes none of them.
    Keep(Offset, End, Piece.data);
    if (Fresh) {
      MarkHeld(First, Past);
      blocksArrived_ += Past - First;
    } else {
      for (UINTN Block = First; Block < Past; ++Block) {
        if (BlockHeld(Block)) continue;
        instance_->FragmentMap[Block / 8] =
            static_cast<UINT8>(instance_->FragmentMap[Block / 8] | (1u << (Block % 8)));
        mapDirty_ = MaxOf(mapDirty_, Block / 8 + 1);
        ++blocksArrived_;
      }
    }
    if (Offset == 0) {
      CopyBytes(&udp_, Piece.data, sizeof(udp_));
      firstSeen_ = true;
    }
    highest_ = MaxOf(highest_, End);
    if (Last) {
      lastSeen_ = true;
      end_ = End;
    }
    if (firstSeen_ && lastSeen_ && blocksArrived_ == BlocksUpTo(end_)) return Finish();
    return Outcome::Pending;
  }

  // A whole datagram while nothing is being reassembled: kept at once,
  // without the map; what Begin and Add would make of it.
  Outcome Whole(const Ipv4Header *Ip, ByteView Piece) {
    name_ = DatagramName::Of(Ip);
    started_ = firstSeen_ = lastSeen_ = true;
    Keep(0, Piece.size, Piece.data);
    CopyBytes(&udp_, Piece.data, sizeof(udp_));
    highest_ = end_ = Piece.size;
    return Finish();
  }

  // Data length of the complete datagram: its UDP length field less the
  // caller's header (bytes behind the UDP length in the IPv4 payload are not
  // part of the datagram).
  UINTN DataLength() const { return dataLength_; }

 private:
  static constexpr UINTN kVoidedSlots = 4;
  static constexpr UINTN BlocksUpTo(UINTN Bytes) { return (Bytes + kIpv4FragmentUnit - 1) / kIpv4FragmentUnit; }

  bool Drop(NetDrop Reason) {
    CountDrop(instance_, Reason);
    return false;
  }
  bool BlockHeld(UINTN Block) const { return (instance_->FragmentMap[Block / 8] & (1u << (Block % 8))) != 0; }
  // Whether any block of [First, Past) is held: bits up to a byte boundary,
  // then 8 bytes at a time, then bytes, then bits.
  bool AnyHeld(UINTN First, UINTN Past) const {
    const UINT8 *Map = instance_->FragmentMap;
    for (; First < Past && First % 8 != 0; ++First) {
      if (BlockHeld(First)) return true;
    }
    for (; Past - First >= 64; First += 64) {
      UINT64 Word;
      CopyBytes(&Word, Map + First / 8, sizeof(Word));
      if (Word != 0) return true;
    }
    for (; Past - First >= 8; First += 8) {
      if (Map[First / 8] != 0) return true;
    }
    for (; First < Past; ++First) {
      if (BlockHeld(First)) return true;
    }
    return false;
  }
  // Marks [First, Past) held, none of it held before.
  void MarkHeld(UINTN First, UINTN Past) {
    if (First >= Past) return;
    UINT8 *Map = instance_->FragmentMap;
    mapDirty_ = MaxOf(mapDirty_, (Past - 1) / 8 + 1);
    auto Mark = [&](UINTN Block) { Map[Block / 8] = static_cast<UINT8>(Map[Block / 8] | (1u << (Block % 8))); };
    for (; First < Past && First % 8 != 0; ++First) Mark(First);
    const UINTN WholeBytes = (Past - First) / 8;
    if (WholeBytes != 0) __builtin_memset(Map + First / 8, 0xFF, WholeBytes);
    First += WholeBytes * 8;
    for (; First < Past; ++First) Mark(First);
  }

  // The datagram bytes [From, To) are kept in the header area, then in the
  // data buffer up to its capacity.
  void Keep(UINTN From, UINTN To, const UINT8 *Bytes) {
    const UINTN HeaderEnd = MinOf(To, headerLength_);
    if (From < HeaderEnd) CopyBytes(header_ + From, Bytes, HeaderEnd - From);
    const UINTN DataFrom = MaxOf(From, headerLength_);
    const UINTN DataTo = MinOf(To, headerLength_ + capacity_);
    if (DataFrom < DataTo) CopyBytes(data_ + (DataFrom - headerLength_), Bytes + (DataFrom - From), DataTo - DataFrom);
  }
  // Compares with what Keep kept; bytes beyond the data buffer were not kept
  // and never reach the caller.
  bool SameAsHeld(UINTN From, UINTN To, const UINT8 *Bytes) const {
    const UINTN HeaderEnd = MinOf(To, headerLength_);
    if (From < HeaderEnd && !SameBytes(header_ + From, Bytes, HeaderEnd - From)) return false;
    const UINTN DataFrom = MaxOf(From, headerLength_);
    const UINTN DataTo = MinOf(To, headerLength_ + capacity_);
    return DataFrom >= DataTo ||
           SameBytes(data_ + (DataFrom - headerLength_), Bytes + (DataFrom - From), DataTo - DataFrom);
  }

  // A malformed datagram is forgotten once whole.
  Outcome Finish() {
    const UINTN UdpLength = udp_.length.get();
    NetDrop Reason = kNetDropCount;
    if (UdpLength < sizeof(UdpHeader) || UdpLength > end_) {
      Reason = kDropUdpLength;
    } else if (UdpLength < headerLength_) {
      Reason = kDropHeaderShort;
    }
    if (Reason != kNetDropCount) {
      Drop(Reason);
      Reset();
      return Outcome::Dropped;
    }
    dataLength_ = UdpLength - headerLength_;
    return dataLength_ > capacity_ ? Outcome::TooSmall : Outcome::Complete;
  }

  ProtocolInstance *instance_;
  UINT8 *header_;
  UINTN headerLength_;
  UINT8 *data_;
  UINTN capacity_;
  bool started_ = false;
  bool firstSeen_ = false;
  bool lastSeen_ = false;
  DatagramName name_{};
  UINTN end_ = 0;      // the datagram's IPv4 payload length, once the last fragment is known
  UINTN highest_ = 0;  // the furthest byte any fragment reached
  UINTN blocksArrived_ = 0;
  UINTN dataLength_ = 0;
  UINTN mapDirty_ = kFragmentMapBytes;  // map bytes that may be non-zero; the map is left over from earlier calls
  UdpHeader udp_{};
  DatagramName voided_[kVoidedSlots]{};
  UINTN voidedCount_ = 0;
  UINTN voidedNext_ = 0;
};

void WriteAddress(EFI_IP_ADDRESS *Argument, const Ipv4Bytes &Address) {
  if (Argument != nullptr) *Argument = Ipv4ToEfi(&Address);
}

// How long a polling caller waits for the rest of a fragmented datagram (1 s).
constexpr UINT64 kFragmentGrace = 10'000'000;

}  // namespace

EFI_STATUS ReceiveUdpDatagram(ProtocolInstance *Instance, UINT16 OpFlags, EFI_IP_ADDRESS *Source,
                              EFI_IP_ADDRESS *Destination, UINT8, void *Header, UINTN HeaderLength, void *Data,
                              UINTN *DataSize, EFI_EVENT Timeout, const EFI_PXE_BASE_CODE_UDP_PORT *ListenPort) {
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
