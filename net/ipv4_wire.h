// IPv4 header (RFC 791). Layout, constants and the field helpers; the flag
// and offset helpers are the only place those bits are touched.
#ifndef ORVALE_NET_IPV4_WIRE_H
#define ORVALE_NET_IPV4_WIRE_H

#include "../instance/support.h"

constexpr UINT8 kIpv4Version = 4;
constexpr UINTN kIpv4MinHeaderLength = 20;
constexpr UINTN kIpv4MaxHeaderLength = 60;
constexpr UINTN kIpv4MaxDatagram = 65535;
constexpr UINT16 kIpv4FlagDontFragment = 0x4000;
constexpr UINT16 kIpv4FlagMoreFragments = 0x2000;
constexpr UINT16 kIpv4OffsetMask = 0x1FFF;  // in 8-byte units
constexpr UINTN kIpv4FragmentUnit = 8;

constexpr UINT8 kIpProtocolIcmp = 1;
constexpr UINT8 kIpProtocolIgmp = 2;
constexpr UINT8 kIpProtocolUdp = 17;

struct Ipv4Header {
  UINT8 versionIhl;
  UINT8 typeOfService;
  Be16 totalLength;
  Be16 identification;
  Be16 flagsFragment;
  UINT8 timeToLive;
  UINT8 protocol;
  Be16 checksum;
  Ipv4Bytes source;
  Ipv4Bytes destination;

  constexpr UINT8 Version() const { return static_cast<UINT8>(versionIhl >> 4); }
  // IHL in bytes.
  constexpr UINTN HeaderLength() const { return static_cast<UINTN>(versionIhl & 0x0F) * 4; }
  // Version 4 and a header of HeaderBytes (a multiple of 4, 20 to 60).
  constexpr void SetVersionAndLength(UINTN HeaderBytes) {
    versionIhl = static_cast<UINT8>((kIpv4Version << 4) | ((HeaderBytes / 4) & 0x0F));
  }

  constexpr bool DontFragment() const { return (flagsFragment.get() & kIpv4FlagDontFragment) != 0; }
  constexpr bool MoreFragments() const { return (flagsFragment.get() & kIpv4FlagMoreFragments) != 0; }
  constexpr UINTN FragmentOffsetBytes() const {
    return static_cast<UINTN>(flagsFragment.get() & kIpv4OffsetMask) * kIpv4FragmentUnit;
  }
  constexpr void SetDontFragment(bool On) { SetFlag(kIpv4FlagDontFragment, On); }
  constexpr void SetMoreFragments(bool On) { SetFlag(kIpv4FlagMoreFragments, On); }
  // Offset in 8-byte units; the flag bits are kept.
  constexpr void SetFragmentOffsetUnits(UINT16 Units) {
    flagsFragment.set(static_cast<UINT16>((flagsFragment.get() & ~kIpv4OffsetMask) | (Units & kIpv4OffsetMask)));
  }
  // A fragment is any datagram with MF set or a non-zero offset.
  constexpr bool IsFragment() const { return MoreFragments() || FragmentOffsetBytes() != 0; }

 private:
  constexpr void SetFlag(UINT16 Flag, bool On) {
    const UINT16 Value = flagsFragment.get();
    flagsFragment.set(static_cast<UINT16>(On ? (Value | Flag) : (Value & ~Flag)));
  }
};
static_assert(sizeof(Ipv4Header) == 20, "Ipv4Header");
static_assert(alignof(Ipv4Header) == 1, "Ipv4Header is a byte overlay");
static_assert(offsetof(Ipv4Header, totalLength) == 2, "total length");
static_assert(offsetof(Ipv4Header, identification) == 4, "identification");
static_assert(offsetof(Ipv4Header, flagsFragment) == 6, "flags");
static_assert(offsetof(Ipv4Header, timeToLive) == 8, "ttl");
static_assert(offsetof(Ipv4Header, protocol) == 9, "protocol");
static_assert(offsetof(Ipv4Header, checksum) == 10, "checksum");
static_assert(offsetof(Ipv4Header, source) == 12, "source");
static_assert(offsetof(Ipv4Header, destination) == 16, "destination");

// RFC 2113 Router Alert option, as IGMP messages carry it.
struct Ipv4RouterAlertOption {
  UINT8 type;    // 0x94: copied, class 0, number 20
  UINT8 length;  // 4
  Be16 value;    // 0: routers examine the packet
};
static_assert(sizeof(Ipv4RouterAlertOption) == 4, "Router Alert option");
constexpr UINT8 kIpv4OptionRouterAlert = 0x94;

#endif
