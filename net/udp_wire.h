// UDP header and checksum pseudo-header (RFC 768). Layout and constants only.
#ifndef ORVALE_NET_UDP_WIRE_H
#define ORVALE_NET_UDP_WIRE_H

#include "../instance/support.h"

struct UdpHeader {
  Be16 sourcePort;
  Be16 destinationPort;
  Be16 length;  // header and data
  Be16 checksum;
};
static_assert(sizeof(UdpHeader) == 8, "UdpHeader");
static_assert(offsetof(UdpHeader, destinationPort) == 2, "destination port");
static_assert(offsetof(UdpHeader, length) == 4, "length");
static_assert(offsetof(UdpHeader, checksum) == 6, "checksum");

struct UdpPseudoHeader {
  Ipv4Bytes source;
  Ipv4Bytes destination;
  UINT8 zero;
  UINT8 protocol;  // 17
  Be16 udpLength;
};
static_assert(sizeof(UdpPseudoHeader) == 12, "UdpPseudoHeader");
static_assert(offsetof(UdpPseudoHeader, protocol) == 9, "pseudo-header protocol");
static_assert(offsetof(UdpPseudoHeader, udpLength) == 10, "pseudo-header length");

constexpr UINTN kUdpMaxLength = 65535;
// A computed checksum of 0 goes on the wire as all ones; 0 means "none" (RFC 768).
constexpr UINT16 kUdpChecksumNone = 0;
constexpr UINT16 kUdpChecksumZeroSent = 0xFFFF;

#endif
