// BOOTP/DHCP message layout (RFC 951, RFC 2131 section 2) and the option
// codes this driver writes or reads (RFC 2132, RFC 4578). Layout only.
#ifndef ORVALE_DHCP_BOOTP_WIRE_H
#define ORVALE_DHCP_BOOTP_WIRE_H

#include "../include/orvale/orvale_protocol.h"
#include "../instance/support.h"

constexpr UINTN kBootpChaddrSize = 16;
constexpr UINTN kBootpSnameSize = 64;
constexpr UINTN kBootpFileSize = 128;
constexpr UINTN kBootpFixedSize = 240;         // fixed fields and cookie: the least a reply may be
constexpr UINTN kBootpClientOptionSize = 308;  // option area of a 548-byte client message

// The fixed fields, the cookie and the option area of a client message.
// Received option areas may run on to the end of the DhcpPacket buffer; walk
// them by the received length, never by the size of `options`.
struct BootpMessage {
  UINT8 op;
  UINT8 htype;
  UINT8 hlen;
  UINT8 hops;
  Be32 xid;
  Be16 secs;
  Be16 flags;
  Ipv4Bytes ciaddr;
  Ipv4Bytes yiaddr;
  Ipv4Bytes siaddr;
  Ipv4Bytes giaddr;
  UINT8 chaddr[kBootpChaddrSize];
  UINT8 sname[kBootpSnameSize];
  UINT8 file[kBootpFileSize];
  Be32 cookie;
  UINT8 options[kBootpClientOptionSize];
};
static_assert(alignof(BootpMessage) == 1, "BootpMessage is a byte overlay");
static_assert(offsetof(BootpMessage, op) == 0, "op");
static_assert(offsetof(BootpMessage, htype) == 1, "htype");
static_assert(offsetof(BootpMessage, hlen) == 2, "hlen");
static_assert(offsetof(BootpMessage, hops) == 3, "hops");
static_assert(offsetof(BootpMessage, xid) == 4, "xid");
static_assert(offsetof(BootpMessage, secs) == 8, "secs");
static_assert(offsetof(BootpMessage, flags) == 10, "flags");
static_assert(offsetof(BootpMessage, ciaddr) == 12, "ciaddr");
static_assert(offsetof(BootpMessage, yiaddr) == 16, "yiaddr");
static_assert(offsetof(BootpMessage, siaddr) == 20, "siaddr");
static_assert(offsetof(BootpMessage, giaddr) == 24, "giaddr");
static_assert(offsetof(BootpMessage, chaddr) == 28, "chaddr");
static_assert(offsetof(BootpMessage, sname) == 44, "sname");
static_assert(offsetof(BootpMessage, file) == 108, "file");
static_assert(offsetof(BootpMessage, cookie) == 236, "cookie");
static_assert(offsetof(BootpMessage, options) == kBootpFixedSize, "options");
static_assert(sizeof(BootpMessage) == 548, "client message");
static_assert(sizeof(BootpMessage) <= sizeof(DhcpPacket), "a message fits its packet buffer");

inline BootpMessage *BootpOf(DhcpPacket *Packet) { return reinterpret_cast<BootpMessage *>(Packet->Raw); }
inline const BootpMessage *BootpOf(const DhcpPacket *Packet) {
  return reinterpret_cast<const BootpMessage *>(Packet->Raw);
}

constexpr UINT8 kBootpRequest = 1;
constexpr UINT8 kBootpReply = 2;
constexpr UINT16 kDhcpServerPort = 67;
constexpr UINT16 kDhcpClientPort = 68;
constexpr UINT32 kDhcpMagicCookie = 0x63825363;  // 99.130.83.99, RFC 2131 section 3
constexpr UINT16 kBootpBroadcastFlag = 0x8000;

// Option codes.
constexpr UINT8 kOptPad = 0;
constexpr UINT8 kOptSubnetMask = 1;
constexpr UINT8 kOptRouter = 3;
constexpr UINT8 kOptBootFileSize = 13;
constexpr UINT8 kOptVendorSpecific = 43;
constexpr UINT8 kOptRequestedIp = 50;
constexpr UINT8 kOptLeaseTime = 51;
constexpr UINT8 kOptOverload = 52;
constexpr UINT8 kOptMessageType = 53;
constexpr UINT8 kOptServerId = 54;
constexpr UINT8 kOptParameterList = 55;
constexpr UINT8 kOptMaxMessageSize = 57;
constexpr UINT8 kOptVendorClass = 60;
constexpr UINT8 kOptClientId = 61;
constexpr UINT8 kOptBootFileName = 67;
constexpr UINT8 kOptClientArch = 93;
constexpr UINT8 kOptInterfaceId = 94;
constexpr UINT8 kOptClientUuid = 97;
constexpr UINT8 kOptEnd = 255;

// Values of option 52 (RFC 2132 section 9.3): which fixed fields hold options.
constexpr UINT8 kOverloadFile = 1;
constexpr UINT8 kOverloadSname = 2;
constexpr UINT8 kOverloadBoth = 3;

#endif
