// The reassembly of the one UDP datagram a receive is waiting for, in the
// caller's header area and data buffer, with the instance's FragmentMap
// telling which 8-byte blocks arrived. Used by the IPv4 receive path
// (ipv4_receive.cpp) alone.
//
// Overlaps, as current IPv4 stacks treat them: an exact duplicate is dropped;
// a fragment that would change any byte already held voids the datagram, and
// every later fragment of that identification is dropped for the rest of the
// call. No byte once accepted, the caller's header area least of all, is ever
// rewritten.
#ifndef ORVALE_NET_REASSEMBLY_H
#define ORVALE_NET_REASSEMBLY_H

#include "net.h"

#include "ethernet_wire.h"
#include "icmp_wire.h"
#include "ip_address.h"
#include "ipv4_wire.h"
#include "udp_wire.h"

static_assert(kFragmentMapBytes * 8 * kIpv4FragmentUnit >= kIpv4MaxDatagram, "fragment map covers a datagram");

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

#endif
