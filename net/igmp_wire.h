// IGMP version 1 and 2 message (RFC 1112, RFC 2236). Layout and constants only.
#ifndef ORVALE_NET_IGMP_WIRE_H
#define ORVALE_NET_IGMP_WIRE_H

#include "../instance/support.h"
#include "ipv4_wire.h"

struct IgmpMessage {
  UINT8 type;
  UINT8 maxResponseTime;  // tenths of a second; 0 in a version 1 query
  Be16 checksum;
  Ipv4Bytes group;
};
static_assert(sizeof(IgmpMessage) == 8, "IgmpMessage");
static_assert(offsetof(IgmpMessage, group) == 4, "IGMP group");

constexpr UINT8 kIgmpMembershipQuery = 0x11;
constexpr UINT8 kIgmpV1MembershipReport = 0x12;
constexpr UINT8 kIgmpV2MembershipReport = 0x16;
constexpr UINT8 kIgmpLeaveGroup = 0x17;

// RFC 2236 section 8.11, Version 1 Router Present Timeout: 400 s in 100-ns units.
constexpr UINT64 kIgmpV1RouterPresentTimeout = 4'000'000'000ull;

constexpr Ipv4Bytes kIgmpAllRouters = {{224, 0, 0, 2}};
constexpr Ipv4Bytes kIgmpAllHosts = {{224, 0, 0, 1}};
// RFC 2236 section 2, RFC 1112 appendix I: IGMP messages never leave the link.
constexpr UINT8 kIgmpTtl = 1;

// The datagram the driver sends: IPv4 header with Router Alert, then the message.
struct IgmpDatagram {
  Ipv4Header ip;
  Ipv4RouterAlertOption routerAlert;
  IgmpMessage message;
};
static_assert(sizeof(IgmpDatagram) == 32, "IgmpDatagram");
static_assert(offsetof(IgmpDatagram, message) == 24, "IGMP behind a 24-byte header");

#endif
