// A scripted IPv4 station on a hosted wire, the base of every test peer.
//
// A Station is a hosted::Port with one MAC address and one or more IPv4
// addresses. It answers ARP requests for its addresses (unless told not to),
// records every frame that reaches it, and sends on demand: ARP requests,
// replies and gratuitous announcements; IPv4 datagrams with any header
// fields, options or deliberate faults; UDP datagrams whole or as fragments
// in any order, duplicated or overlapping; ICMP errors quoting a datagram;
// IGMP queries and reports.
//
// Peers never use the driver's code: the builders and decoders here are the
// peer's own, written from RFC 791, 768, 792, 826, 1112 and 2236.
//
// Server peers (DHCP, TFTP, ...) build on a Station: set OnFrame to react to
// what arrives (it runs inside Deliver, after ARP handling), and use the
// decoders and SendUdp to answer.
#ifndef ORVALE_PEERS_STATION_H
#define ORVALE_PEERS_STATION_H

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "platform/hosted.h"

namespace peers {

using hosted::Bytes;
using hosted::Mac;
using Ip4 = std::array<uint8_t, 4>;

constexpr Mac kBroadcastMac = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr Ip4 kBroadcastIp = {255, 255, 255, 255};
constexpr uint16_t kEtherIpv4 = 0x0800;
constexpr uint16_t kEtherArp = 0x0806;
constexpr uint8_t kProtoIcmp = 1;
constexpr uint8_t kProtoIgmp = 2;
constexpr uint8_t kProtoUdp = 17;

// RFC 1071 Internet checksum over bytes, as a host-order value to be written big-endian.
uint16_t Checksum(const uint8_t *data, size_t length, uint32_t initial = 0);
inline uint16_t Checksum(const Bytes &b) { return Checksum(b.data(), b.size()); }
// The multicast MAC of an IPv4 group (RFC 1112 section 6.4).
Mac MulticastMac(const Ip4 &group);

void PutBe16(Bytes &b, size_t at, uint16_t v);
void PutBe32(Bytes &b, size_t at, uint32_t v);
uint16_t GetBe16(const Bytes &b, size_t at);

// ---- Builders ----

// Every IPv4 header field; the optional ones override what is computed, to build faulty packets.
struct Ipv4Fields {
  Ip4 source{};
  Ip4 destination{};
  uint8_t protocol = kProtoUdp;
  uint8_t tos = 0;
  uint8_t ttl = 64;
  uint16_t identification = 0;
  bool dontFragment = false;
  bool moreFragments = false;
  uint16_t offsetUnits = 0;  // fragment offset in 8-byte units
  Bytes options;             // padded with zeros to a multiple of 4
  std::optional<uint8_t> versionIhl;
  std::optional<uint16_t> totalLength;
  std::optional<uint16_t> checksum;
};
// Header and payload; the checksum is correct unless overridden.
Bytes BuildIpv4(const Ipv4Fields &fields, const Bytes &payload);

struct UdpFields {
  uint16_t sourcePort = 0;
  uint16_t destinationPort = 0;
  bool withChecksum = true;              // false: checksum field 0
  std::optional<uint16_t> length;        // override the length field
  std::optional<uint16_t> checksum;      // override the checksum field
};
// UDP header and data (the IPv4 payload); the checksum covers the pseudo-header of source and destination.
Bytes BuildUdp(const Ip4 &source, const Ip4 &destination, const UdpFields &fields, const Bytes &data);

Bytes BuildArp(uint16_t operation, const Mac &senderMac, const Ip4 &senderIp, const Mac &targetMac,
               const Ip4 &targetIp);
// IGMP message (8 bytes) with a correct checksum.
Bytes BuildIgmp(uint8_t type, uint8_t maxResponseTenths, const Ip4 &group);
// ICMP error (type, code) quoting the first bytes of a datagram (IPv4 header + 8 bytes by default).
Bytes BuildIcmpError(uint8_t type, uint8_t code, const Bytes &quotedDatagram, size_t quoteLength = 28);
// Ethernet II frame, padded to 60 bytes when pad is set (as a real link would).
Bytes BuildEthernet(const Mac &destination, const Mac &source, uint16_t etherType, const Bytes &payload,
                    bool pad = true);

// One fragment of an IPv4 payload: bytes [offset, offset + length) with MF as given.
struct Fragment {
  size_t offset = 0;  // bytes, a multiple of 8 for a well-formed fragment
  size_t length = 0;
  bool more = false;
};
// The in-order fragments of a payload of total bytes, each carrying at most perFragment bytes
// (rounded down to a multiple of 8).
std::vector<Fragment> SplitFragments(size_t total, size_t perFragment);

// ---- Decoders ----

struct ParsedEthernet {
  Mac destination{};
  Mac source{};
  uint16_t etherType = 0;
  Bytes payload;  // includes any link padding
};
std::optional<ParsedEthernet> ParseEthernet(const Bytes &frame);

struct ParsedArp {
  uint16_t hardwareType = 0;
  uint16_t protocolType = 0;
  uint8_t hardwareLength = 0;
  uint8_t protocolLength = 0;
  uint16_t operation = 0;
  Mac senderMac{};
  Ip4 senderIp{};
  Mac targetMac{};
  Ip4 targetIp{};
};
// Ethernet/IPv4 ARP only (HLEN 6, PLEN 4).
std::optional<ParsedArp> ParseArp(const Bytes &arpPacket);

struct ParsedIpv4 {
  uint8_t version = 0;
  size_t headerLength = 0;
  uint8_t tos = 0;
  uint16_t totalLength = 0;
  uint16_t identification = 0;
  bool dontFragment = false;
  bool moreFragments = false;
  size_t offsetBytes = 0;
  uint8_t ttl = 0;
  uint8_t protocol = 0;
  uint16_t checksum = 0;
  bool checksumOk = false;
  Ip4 source{};
  Ip4 destination{};
  Bytes header;   // all header bytes, options included
  Bytes options;
  Bytes payload;  // up to the total length
};
std::optional<ParsedIpv4> ParseIpv4(const Bytes &datagram);

struct ParsedUdp {
  uint16_t sourcePort = 0;
  uint16_t destinationPort = 0;
  uint16_t length = 0;
  uint16_t checksum = 0;
  bool checksumOk = false;  // true also for checksum 0 (none)
  Bytes data;
};
// A whole (unfragmented or reassembled) UDP datagram; source/destination for the pseudo-header.
std::optional<ParsedUdp> ParseUdp(const Ip4 &source, const Ip4 &destination, const Bytes &udp);

struct ParsedIgmp {
  uint8_t type = 0;
  uint8_t maxResponse = 0;
  uint16_t checksum = 0;
  bool checksumOk = false;
  Ip4 group{};
};
std::optional<ParsedIgmp> ParseIgmp(const Bytes &message);

// Reassembles the IPv4 payload of the datagram (source, identification) from fragments, if complete.
std::optional<Bytes> Reassemble(const std::vector<ParsedIpv4> &fragments, const Ip4 &source, uint16_t identification);

// ---- The station ----

class Station : public hosted::Port {
 public:
  Station(hosted::Wire *wire, const Mac &mac, const Ip4 &ip);
  ~Station() override;
  Station(const Station &) = delete;
  Station &operator=(const Station &) = delete;

  Mac Address() const override { return mac_; }
  void Deliver(const hosted::Frame &frame) override;

  const Ip4 &Ip() const { return ips_.front(); }
  // Further addresses this station answers ARP for (a router, an address owner).
  void AddIp(const Ip4 &ip) { ips_.push_back(ip); }
  void SetAnswerArp(bool on) { answerArp_ = on; }
  // Pad sent frames to 60 bytes (default on).
  void SetPadFrames(bool on) { pad_ = on; }
  // Runs for every frame that reaches the station, after its own ARP answer.
  std::function<void(const hosted::Frame &)> OnFrame;

  // Every frame that reached this station (frames it sent itself are not delivered back).
  const std::vector<hosted::Frame> &Received() const { return received_; }
  void ClearReceived() { received_.clear(); }
  // Off: Received stays empty, for a peer that reacts in OnFrame and keeps no record.
  void SetKeepReceived(bool on) { keepReceived_ = on; }
  // The received frames of one EtherType, decoded.
  std::vector<ParsedArp> ReceivedArp() const;
  std::vector<ParsedIpv4> ReceivedIpv4() const;
  // Whole UDP datagrams received (unfragmented ones only), with their IPv4 header.
  struct UdpSeen {
    ParsedIpv4 ip;
    ParsedUdp udp;
  };
  std::vector<UdpSeen> ReceivedUdp() const;
  std::vector<ParsedIgmp> ReceivedIgmp() const;

  // ---- Sending ----
  void SendFrame(const Mac &destination, uint16_t etherType, const Bytes &payload);
  // Who-has targetIp, from senderIp (the station's address unless given).
  void SendArpRequest(const Ip4 &targetIp, std::optional<Ip4> senderIp = std::nullopt);
  // An ARP reply to (targetMac, targetIp) for senderIp (the station's address unless given).
  void SendArpReply(const Mac &targetMac, const Ip4 &targetIp, std::optional<Ip4> senderIp = std::nullopt);
  // Gratuitous announcement: a broadcast request for its own address.
  void SendGratuitousArp();

  // An IPv4 datagram to a hardware address; source defaults to the station's address
  // and identification to the station's counter when left 0.
  void SendIpv4(const Mac &destination, Ipv4Fields fields, const Bytes &payload);
  // A whole UDP datagram; returns the IPv4 datagram sent.
  Bytes SendUdp(const Mac &destination, const Ip4 &destinationIp, uint16_t sourcePort, uint16_t destinationPort,
                const Bytes &data, uint16_t identification = 0);
  // The fragments of ipPayload, in the order (and with the duplicates) listed, each an IPv4
  // datagram built from fields with the fragment's offset and MF.
  void SendFragments(const Mac &destination, Ipv4Fields fields, const Bytes &ipPayload,
                     const std::vector<Fragment> &fragments);
  // ICMP error quoting a datagram (quoteLength bytes of it).
  void SendIcmpError(const Mac &destination, const Ip4 &destinationIp, uint8_t type, uint8_t code,
                     const Bytes &quotedDatagram, size_t quoteLength = 28);
  // IGMP query (maxResponseTenths 0: version 1) to 224.0.0.1 for group (0.0.0.0: general).
  void SendIgmpQuery(uint8_t maxResponseTenths, const Ip4 &group = {0, 0, 0, 0});
  // Another host's membership report for group.
  void SendIgmpReport(uint8_t type, const Ip4 &group);

  uint16_t NextIdentification() { return nextId_++; }

 private:
  hosted::Wire *wire_;
  Mac mac_;
  std::vector<Ip4> ips_;
  bool answerArp_ = true;
  bool pad_ = true;
  bool keepReceived_ = true;
  uint16_t nextId_ = 0x4D00;
  std::vector<hosted::Frame> received_;
};

}  // namespace peers

#endif
