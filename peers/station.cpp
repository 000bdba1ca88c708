// The test station: its own packet builders and decoders (RFC 791, 768, 792,
// 826, 1112, 2236) and the Port that answers ARP and records frames.
#include "peers/station.h"

#include <algorithm>
#include <map>

namespace peers {

namespace {

constexpr size_t kEthernetHeader = 14;
constexpr size_t kMinFrame = 60;  // without FCS
constexpr size_t kIpv4Header = 20;
constexpr size_t kUdpHeader = 8;
constexpr Ip4 kAllHosts = {224, 0, 0, 1};


}  // namespace

uint16_t Checksum(const uint8_t *data, size_t length, uint32_t initial) {
  uint64_t sum = initial;
  for (size_t i = 0; i + 1 < length; i += 2) sum += (static_cast<uint32_t>(data[i]) << 8) | data[i + 1];
  if (length % 2 != 0) sum += static_cast<uint32_t>(data[length - 1]) << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum & 0xFFFF);
}

Mac MulticastMac(const Ip4 &group) {
  return Mac{0x01, 0x00, 0x5E, static_cast<uint8_t>(group[1] & 0x7F), group[2], group[3]};
}

void PutBe16(Bytes &b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v >> 8);
  b[at + 1] = static_cast<uint8_t>(v);
}
void PutBe32(Bytes &b, size_t at, uint32_t v) {
  PutBe16(b, at, static_cast<uint16_t>(v >> 16));
  PutBe16(b, at + 2, static_cast<uint16_t>(v));
}
uint16_t GetBe16(const Bytes &b, size_t at) { return static_cast<uint16_t>((b[at] << 8) | b[at + 1]); }

namespace {

size_t Ipv4HeaderLength(const Ipv4Fields &f) { return kIpv4Header + (f.options.size() + 3) / 4 * 4; }

// Appends an IPv4 header and its payload to out; the header's checksum covers
// the header alone.
void AppendIpv4(Bytes &out, const Ipv4Fields &f, const uint8_t *payload, size_t length) {
  const size_t headerLength = Ipv4HeaderLength(f);  // options padded with zeros
  const size_t at = out.size();
  out.resize(at + headerLength);
  out[at] = f.versionIhl ? *f.versionIhl : static_cast<uint8_t>(0x40 | (headerLength / 4));
  out[at + 1] = f.tos;
  PutBe16(out, at + 2, f.totalLength ? *f.totalLength : static_cast<uint16_t>(headerLength + length));
  PutBe16(out, at + 4, f.identification);
  uint16_t flags = static_cast<uint16_t>(f.offsetUnits & 0x1FFF);
  if (f.dontFragment) flags |= 0x4000;
  if (f.moreFragments) flags |= 0x2000;
  PutBe16(out, at + 6, flags);
  out[at + 8] = f.ttl;
  out[at + 9] = f.protocol;
  std::copy(f.source.begin(), f.source.end(), out.begin() + static_cast<long>(at + 12));
  std::copy(f.destination.begin(), f.destination.end(), out.begin() + static_cast<long>(at + 16));
  std::copy(f.options.begin(), f.options.end(), out.begin() + static_cast<long>(at + kIpv4Header));
  PutBe16(out, at + 10, f.checksum ? *f.checksum : Checksum(out.data() + at, headerLength));
  out.insert(out.end(), payload, payload + length);
}

// An Ethernet header with room reserved for the payload to follow.
Bytes StartEthernet(const Mac &destination, const Mac &source, uint16_t etherType, size_t payloadLength) {
  Bytes f;
  f.reserve(std::max(kEthernetHeader + payloadLength, kMinFrame));
  f.insert(f.end(), destination.begin(), destination.end());
  f.insert(f.end(), source.begin(), source.end());
  f.push_back(static_cast<uint8_t>(etherType >> 8));
  f.push_back(static_cast<uint8_t>(etherType));
  return f;
}

void FinishEthernet(Bytes &f, bool pad) {
  if (pad && f.size() < kMinFrame) f.resize(kMinFrame, 0);
}

}  // namespace

Bytes BuildIpv4(const Ipv4Fields &f, const Bytes &payload) {
  Bytes d;
  d.reserve(Ipv4HeaderLength(f) + payload.size());
  AppendIpv4(d, f, payload.data(), payload.size());
  return d;
}

Bytes BuildUdp(const Ip4 &source, const Ip4 &destination, const UdpFields &f, const Bytes &data) {
  Bytes u(kUdpHeader);
  u.reserve(kUdpHeader + data.size());
  PutBe16(u, 0, f.sourcePort);
  PutBe16(u, 2, f.destinationPort);
  PutBe16(u, 4, f.length ? *f.length : static_cast<uint16_t>(kUdpHeader + data.size()));
  u.insert(u.end(), data.begin(), data.end());
  uint16_t checksum = 0;
  if (f.withChecksum) {
    // The pseudo header's words summed in place: no copy of a 64 KB datagram.
    const uint32_t pseudo = ((source[0] << 8) | source[1]) + ((source[2] << 8) | source[3]) +
                            ((destination[0] << 8) | destination[1]) + ((destination[2] << 8) | destination[3]) +
                            kProtoUdp + static_cast<uint16_t>(u.size());
    checksum = Checksum(u.data(), u.size(), pseudo);
    if (checksum == 0) checksum = 0xFFFF;
  }
  PutBe16(u, 6, f.checksum ? *f.checksum : checksum);
  return u;
}

Bytes BuildArp(uint16_t operation, const Mac &senderMac, const Ip4 &senderIp, const Mac &targetMac,
               const Ip4 &targetIp) {
  Bytes a(28);
  PutBe16(a, 0, 1);
  PutBe16(a, 2, 0x0800);
  a[4] = 6;
  a[5] = 4;
  PutBe16(a, 6, operation);
  std::copy(senderMac.begin(), senderMac.end(), a.begin() + 8);
  std::copy(senderIp.begin(), senderIp.end(), a.begin() + 14);
  std::copy(targetMac.begin(), targetMac.end(), a.begin() + 18);
  std::copy(targetIp.begin(), targetIp.end(), a.begin() + 24);
  return a;
}

Bytes BuildIgmp(uint8_t type, uint8_t maxResponseTenths, const Ip4 &group) {
  Bytes m(8);
  m[0] = type;
  m[1] = maxResponseTenths;
  std::copy(group.begin(), group.end(), m.begin() + 4);
  PutBe16(m, 2, Checksum(m));
  return m;
}

Bytes BuildIcmpError(uint8_t type, uint8_t code, const Bytes &quoted, size_t quoteLength) {
  Bytes m(8);
  m[0] = type;
  m[1] = code;
  m.insert(m.end(), quoted.begin(), quoted.begin() + static_cast<long>(std::min(quoteLength, quoted.size())));
  PutBe16(m, 2, Checksum(m));
  return m;
}

Bytes BuildEthernet(const Mac &destination, const Mac &source, uint16_t etherType, const Bytes &payload, bool pad) {
  Bytes f = StartEthernet(destination, source, etherType, payload.size());
  f.insert(f.end(), payload.begin(), payload.end());
  FinishEthernet(f, pad);
  return f;
}

std::vector<Fragment> SplitFragments(size_t total, size_t perFragment) {
  perFragment -= perFragment % 8;
  std::vector<Fragment> list;
  for (size_t offset = 0; offset < total || list.empty(); offset += perFragment) {
    const size_t length = std::min(perFragment, total - offset);
    list.push_back({offset, length, offset + length < total});
    if (perFragment == 0) break;
  }
  return list;
}

std::optional<ParsedEthernet> ParseEthernet(const Bytes &frame) {
  if (frame.size() < kEthernetHeader) return std::nullopt;
  ParsedEthernet e;
  std::copy(frame.begin(), frame.begin() + 6, e.destination.begin());
  std::copy(frame.begin() + 6, frame.begin() + 12, e.source.begin());
  e.etherType = GetBe16(frame, 12);
  e.payload.assign(frame.begin() + kEthernetHeader, frame.end());
  return e;
}

std::optional<ParsedArp> ParseArp(const Bytes &p) {
  if (p.size() < 28 || p[4] != 6 || p[5] != 4) return std::nullopt;
  ParsedArp a;
  a.hardwareType = GetBe16(p, 0);
  a.protocolType = GetBe16(p, 2);
  a.hardwareLength = p[4];
  a.protocolLength = p[5];
  a.operation = GetBe16(p, 6);
  std::copy(p.begin() + 8, p.begin() + 14, a.senderMac.begin());
  std::copy(p.begin() + 14, p.begin() + 18, a.senderIp.begin());
  std::copy(p.begin() + 18, p.begin() + 24, a.targetMac.begin());
  std::copy(p.begin() + 24, p.begin() + 28, a.targetIp.begin());
  return a;
}

std::optional<ParsedIpv4> ParseIpv4(const Bytes &d) {
  if (d.size() < kIpv4Header) return std::nullopt;
  ParsedIpv4 p;
  p.version = d[0] >> 4;
  p.headerLength = static_cast<size_t>(d[0] & 0x0F) * 4;
  p.tos = d[1];
  p.totalLength = GetBe16(d, 2);
  if (p.headerLength < kIpv4Header || d.size() < p.headerLength || p.totalLength < p.headerLength ||
      d.size() < p.totalLength) {
    return std::nullopt;
  }
  p.identification = GetBe16(d, 4);
  const uint16_t flags = GetBe16(d, 6);
  p.dontFragment = (flags & 0x4000) != 0;
  p.moreFragments = (flags & 0x2000) != 0;
  p.offsetBytes = static_cast<size_t>(flags & 0x1FFF) * 8;
  p.ttl = d[8];
  p.protocol = d[9];
  p.checksum = GetBe16(d, 10);
  p.checksumOk = Checksum(d.data(), p.headerLength) == 0;
  std::copy(d.begin() + 12, d.begin() + 16, p.source.begin());
  std::copy(d.begin() + 16, d.begin() + 20, p.destination.begin());
  p.header.assign(d.begin(), d.begin() + static_cast<long>(p.headerLength));
  p.options.assign(d.begin() + kIpv4Header, d.begin() + static_cast<long>(p.headerLength));
  p.payload.assign(d.begin() + static_cast<long>(p.headerLength), d.begin() + p.totalLength);
  return p;
}

std::optional<ParsedUdp> ParseUdp(const Ip4 &source, const Ip4 &destination, const Bytes &u) {
  if (u.size() < kUdpHeader) return std::nullopt;
  ParsedUdp p;
  p.sourcePort = GetBe16(u, 0);
  p.destinationPort = GetBe16(u, 2);
  p.length = GetBe16(u, 4);
  p.checksum = GetBe16(u, 6);
  if (p.length < kUdpHeader || p.length > u.size()) return std::nullopt;
  p.data.assign(u.begin() + kUdpHeader, u.begin() + p.length);
  if (p.checksum == 0) {
    p.checksumOk = true;
  } else {
    Bytes pseudo(12);
    std::copy(source.begin(), source.end(), pseudo.begin());
    std::copy(destination.begin(), destination.end(), pseudo.begin() + 4);
    pseudo[9] = kProtoUdp;
    PutBe16(pseudo, 10, p.length);
    pseudo.insert(pseudo.end(), u.begin(), u.begin() + p.length);
    p.checksumOk = Checksum(pseudo) == 0;
  }
  return p;
}

std::optional<ParsedIgmp> ParseIgmp(const Bytes &m) {
  if (m.size() < 8) return std::nullopt;
  ParsedIgmp g;
  g.type = m[0];
  g.maxResponse = m[1];
  g.checksum = GetBe16(m, 2);
  g.checksumOk = Checksum(m) == 0;
  std::copy(m.begin() + 4, m.begin() + 8, g.group.begin());
  return g;
}

std::optional<Bytes> Reassemble(const std::vector<ParsedIpv4> &fragments, const Ip4 &source,
                                uint16_t identification) {
  std::map<size_t, const ParsedIpv4 *> byOffset;
  for (const ParsedIpv4 &f : fragments) {
    if (f.source == source && f.identification == identification) byOffset[f.offsetBytes] = &f;
  }
  Bytes whole;
  for (const auto &[offset, f] : byOffset) {
    if (offset != whole.size()) return std::nullopt;
    whole.insert(whole.end(), f->payload.begin(), f->payload.end());
    if (!f->moreFragments) return whole;
  }
  return std::nullopt;
}

Station::Station(hosted::Wire *wire, const Mac &mac, const Ip4 &ip) : wire_(wire), mac_(mac), ips_{ip} {
  wire_->Attach(this);
}

Station::~Station() { wire_->Detach(this); }

void Station::Deliver(const hosted::Frame &frame) {
  if (keepReceived_) received_.push_back(frame);
  const auto ethernet = ParseEthernet(frame.bytes);
  if (ethernet && answerArp_ && ethernet->etherType == kEtherArp) {
    const auto arp = ParseArp(ethernet->payload);
    if (arp && arp->operation == 1 && arp->hardwareType == 1 && arp->protocolType == 0x0800 &&
        std::find(ips_.begin(), ips_.end(), arp->targetIp) != ips_.end()) {
      SendArpReply(arp->senderMac, arp->senderIp, arp->targetIp);
    }
  }
  if (OnFrame) OnFrame(frame);
}

std::vector<ParsedArp> Station::ReceivedArp() const {
  std::vector<ParsedArp> out;
  for (const hosted::Frame &f : received_) {
    const auto e = ParseEthernet(f.bytes);
    if (!e || e->etherType != kEtherArp) continue;
    if (const auto a = ParseArp(e->payload)) out.push_back(*a);
  }
  return out;
}

std::vector<ParsedIpv4> Station::ReceivedIpv4() const {
  std::vector<ParsedIpv4> out;
  for (const hosted::Frame &f : received_) {
    const auto e = ParseEthernet(f.bytes);
    if (!e || e->etherType != kEtherIpv4) continue;
    if (const auto p = ParseIpv4(e->payload)) out.push_back(*p);
  }
  return out;
}

std::vector<Station::UdpSeen> Station::ReceivedUdp() const {
  std::vector<UdpSeen> out;
  for (const ParsedIpv4 &ip : ReceivedIpv4()) {
    if (ip.protocol != kProtoUdp || ip.moreFragments || ip.offsetBytes != 0) continue;
    if (const auto u = ParseUdp(ip.source, ip.destination, ip.payload)) out.push_back({ip, *u});
  }
  return out;
}

std::vector<ParsedIgmp> Station::ReceivedIgmp() const {
  std::vector<ParsedIgmp> out;
  for (const ParsedIpv4 &ip : ReceivedIpv4()) {
    if (ip.protocol != kProtoIgmp) continue;
    if (const auto g = ParseIgmp(ip.payload)) out.push_back(*g);
  }
  return out;
}

void Station::SendFrame(const Mac &destination, uint16_t etherType, const Bytes &payload) {
  wire_->Send(this, BuildEthernet(destination, mac_, etherType, payload, pad_));
}

void Station::SendArpRequest(const Ip4 &targetIp, std::optional<Ip4> senderIp) {
  SendFrame(kBroadcastMac, kEtherArp, BuildArp(1, mac_, senderIp.value_or(Ip()), Mac{}, targetIp));
}

void Station::SendArpReply(const Mac &targetMac, const Ip4 &targetIp, std::optional<Ip4> senderIp) {
  SendFrame(targetMac, kEtherArp, BuildArp(2, mac_, senderIp.value_or(Ip()), targetMac, targetIp));
}

void Station::SendGratuitousArp() { SendFrame(kBroadcastMac, kEtherArp, BuildArp(1, mac_, Ip(), Mac{}, Ip())); }

void Station::SendIpv4(const Mac &destination, Ipv4Fields fields, const Bytes &payload) {
  if (fields.source == Ip4{}) fields.source = Ip();
  if (fields.identification == 0) fields.identification = NextIdentification();
  SendFrame(destination, kEtherIpv4, BuildIpv4(fields, payload));
}

Bytes Station::SendUdp(const Mac &destination, const Ip4 &destinationIp, uint16_t sourcePort,
                       uint16_t destinationPort, const Bytes &data, uint16_t identification) {
  Ipv4Fields fields;
  fields.source = Ip();
  fields.destination = destinationIp;
  fields.identification = identification != 0 ? identification : NextIdentification();
  UdpFields udp;
  udp.sourcePort = sourcePort;
  udp.destinationPort = destinationPort;
  const Bytes datagram = BuildIpv4(fields, BuildUdp(fields.source, destinationIp, udp, data));
  SendFrame(destination, kEtherIpv4, datagram);
  return datagram;
}

void Station::SendFragments(const Mac &destination, Ipv4Fields fields, const Bytes &ipPayload,
                            const std::vector<Fragment> &fragments) {
  if (fields.source == Ip4{}) fields.source = Ip();
  if (fields.identification == 0) fields.identification = NextIdentification();
  for (const Fragment &f : fragments) {
    Ipv4Fields piece = fields;
    piece.offsetUnits = static_cast<uint16_t>(f.offset / 8);
    piece.moreFragments = f.more;
    const size_t begin = std::min(f.offset, ipPayload.size());
    const size_t end = std::min(f.offset + f.length, ipPayload.size());
    // Built in place: a 64 KB datagram is 45 fragments, each copied three times otherwise.
    Bytes frame = StartEthernet(destination, mac_, kEtherIpv4, Ipv4HeaderLength(piece) + (end - begin));
    AppendIpv4(frame, piece, ipPayload.data() + begin, end - begin);
    FinishEthernet(frame, pad_);
    wire_->Send(this, frame);
  }
}

void Station::SendIcmpError(const Mac &destination, const Ip4 &destinationIp, uint8_t type, uint8_t code,
                            const Bytes &quotedDatagram, size_t quoteLength) {
  Ipv4Fields fields;
  fields.destination = destinationIp;
  fields.protocol = kProtoIcmp;
  SendIpv4(destination, fields, BuildIcmpError(type, code, quotedDatagram, quoteLength));
}

void Station::SendIgmpQuery(uint8_t maxResponseTenths, const Ip4 &group) {
  Ipv4Fields fields;
  fields.destination = group == Ip4{} ? kAllHosts : group;
  fields.protocol = kProtoIgmp;
  fields.ttl = 1;
  fields.options = {0x94, 0x04, 0x00, 0x00};
  SendIpv4(MulticastMac(fields.destination), fields, BuildIgmp(0x11, maxResponseTenths, group));
}

void Station::SendIgmpReport(uint8_t type, const Ip4 &group) {
  Ipv4Fields fields;
  fields.destination = group;
  fields.protocol = kProtoIgmp;
  fields.ttl = 1;
  fields.options = {0x94, 0x04, 0x00, 0x00};
  SendIpv4(MulticastMac(group), fields, BuildIgmp(type, 0, group));
}

}  // namespace peers
