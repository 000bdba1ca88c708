// Ethernet II header and the ARP packet (RFC 826). Layout and constants only.
// The ARP header is fixed at 8 bytes; the addresses behind it are HLEN and
// PLEN bytes long, so their offsets are computed from the packet's own
// lengths. ArpEthernetIpv4 is the 28-byte form for HLEN 6, PLEN 4.
#ifndef ORVALE_NET_ETHERNET_WIRE_H
#define ORVALE_NET_ETHERNET_WIRE_H

#include "../instance/support.h"

constexpr UINTN kEthernetAddressLength = 6;
constexpr UINTN kEthernetMtu = 1500;  // RFC 894: the largest IPv4 datagram in one frame

struct EthernetHeader {
  UINT8 destination[kEthernetAddressLength];
  UINT8 source[kEthernetAddressLength];
  Be16 etherType;
};
static_assert(sizeof(EthernetHeader) == 14, "EthernetHeader");
static_assert(offsetof(EthernetHeader, etherType) == 12, "EtherType");

constexpr UINT16 kArpHardwareEthernet = 1;
constexpr UINT16 kArpProtocolIpv4 = 0x0800;
constexpr UINT16 kArpOpRequest = 1;
constexpr UINT16 kArpOpReply = 2;
constexpr UINTN kArpMaxHardwareLength = 32;  // EFI_MAC_ADDRESS
constexpr UINTN kArpMaxProtocolLength = 16;  // EFI_IP_ADDRESS

// The fixed part of every ARP packet.
struct ArpHeader {
  Be16 hardwareType;
  Be16 protocolType;
  UINT8 hardwareLength;  // HLEN
  UINT8 protocolLength;  // PLEN
  Be16 operation;
};
static_assert(sizeof(ArpHeader) == 8, "ArpHeader");
static_assert(offsetof(ArpHeader, hardwareLength) == 4, "HLEN");
static_assert(offsetof(ArpHeader, protocolLength) == 5, "PLEN");
static_assert(offsetof(ArpHeader, operation) == 6, "operation");

// Offsets of the variable address fields for given HLEN and PLEN.
constexpr UINTN ArpSenderHardwareOffset(UINTN, UINTN) { return sizeof(ArpHeader); }
constexpr UINTN ArpSenderProtocolOffset(UINTN Hlen, UINTN) { return sizeof(ArpHeader) + Hlen; }
constexpr UINTN ArpTargetHardwareOffset(UINTN Hlen, UINTN Plen) { return sizeof(ArpHeader) + Hlen + Plen; }
constexpr UINTN ArpTargetProtocolOffset(UINTN Hlen, UINTN Plen) { return sizeof(ArpHeader) + 2 * Hlen + Plen; }
constexpr UINTN ArpPacketLength(UINTN Hlen, UINTN Plen) { return sizeof(ArpHeader) + 2 * (Hlen + Plen); }

constexpr UINTN kArpMaxPacketLength = ArpPacketLength(kArpMaxHardwareLength, kArpMaxProtocolLength);

struct ArpEthernetIpv4 {
  ArpHeader header;
  UINT8 senderHardware[kEthernetAddressLength];
  Ipv4Bytes senderProtocol;
  UINT8 targetHardware[kEthernetAddressLength];
  Ipv4Bytes targetProtocol;
};
static_assert(sizeof(ArpEthernetIpv4) == 28, "ArpEthernetIpv4");
static_assert(offsetof(ArpEthernetIpv4, senderHardware) == ArpSenderHardwareOffset(6, 4), "sha");
static_assert(offsetof(ArpEthernetIpv4, senderProtocol) == ArpSenderProtocolOffset(6, 4), "spa");
static_assert(offsetof(ArpEthernetIpv4, targetHardware) == ArpTargetHardwareOffset(6, 4), "tha");
static_assert(offsetof(ArpEthernetIpv4, targetProtocol) == ArpTargetProtocolOffset(6, 4), "tpa");
static_assert(sizeof(ArpEthernetIpv4) == ArpPacketLength(6, 4), "ARP length formula");

#endif
