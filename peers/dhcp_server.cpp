// The scripted DHCP and WIRL servers and their own BOOTP/DHCP encoder and
// decoder (RFC 951, RFC 2131 section 2, RFC 2132).
#include "peers/dhcp_server.h"

#include <algorithm>

namespace peers {

namespace {

constexpr size_t kFixed = 236;
constexpr size_t kOptionsStart = 240;
constexpr uint8_t kCookie[4] = {99, 130, 83, 99};
constexpr uint8_t kMessageType = 53;
constexpr uint8_t kServerId = 54;
constexpr uint8_t kVendor = 43;
constexpr uint8_t kVendorClass = 60;
constexpr uint8_t kBootFile = 67;

Bytes Be32Bytes(uint32_t v) {
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
          static_cast<uint8_t>(v)};
}

Mac MacOfChaddr(const Chaddr &c) { return {c[0], c[1], c[2], c[3], c[4], c[5]}; }

void CopyIp(Bytes &b, size_t at, const Ip4 &ip) { std::copy(ip.begin(), ip.end(), b.begin() + at); }
Ip4 IpAt(const Bytes &b, size_t at) { return {b[at], b[at + 1], b[at + 2], b[at + 3]}; }

}  // namespace

const Bytes *DhcpMessage::Option(uint8_t code) const {
  for (const auto &o : options)
    if (o.first == code) return &o.second;
  return nullptr;
}
void DhcpMessage::Set(uint8_t code, const Bytes &value) {
  for (auto &o : options) {
    if (o.first == code) {
      o.second = value;
      return;
    }
  }
  options.emplace_back(code, value);
}
void DhcpMessage::Remove(uint8_t code) {
  options.erase(std::remove_if(options.begin(), options.end(), [&](const auto &o) { return o.first == code; }),
                options.end());
}

Bytes Ip4Bytes(const Ip4 &ip) { return Bytes(ip.begin(), ip.end()); }

Bytes EncodeDhcp(const DhcpMessage &m) {
  Bytes b(kOptionsStart, 0);
  b[0] = m.op;
  b[1] = m.htype;
  b[2] = m.hlen;
  PutBe32(b, 4, m.xid);
  PutBe16(b, 8, m.secs);
  PutBe16(b, 10, m.flags);
  CopyIp(b, 12, m.ciaddr);
  CopyIp(b, 16, m.yiaddr);
  CopyIp(b, 20, m.siaddr);
  CopyIp(b, 24, m.giaddr);
  std::copy(m.chaddr.begin(), m.chaddr.end(), b.begin() + 28);
  std::copy_n(m.sname.begin(), std::min<size_t>(m.sname.size(), 63), b.begin() + 44);
  std::copy_n(m.file.begin(), std::min<size_t>(m.file.size(), 128), b.begin() + 108);
  if (m.cookie) std::copy(std::begin(kCookie), std::end(kCookie), b.begin() + kFixed);
  for (const auto &[code, value] : m.options) {
    b.push_back(code);
    b.push_back(static_cast<uint8_t>(value.size()));
    b.insert(b.end(), value.begin(), value.end());
  }
  b.insert(b.end(), m.rawOptions.begin(), m.rawOptions.end());
  if (m.end) b.push_back(255);
  if (b.size() < m.minimumSize) b.resize(m.minimumSize, 0);
  return b;
}

std::optional<DhcpMessage> DecodeDhcp(const Bytes &b) {
  if (b.size() < kOptionsStart || !std::equal(std::begin(kCookie), std::end(kCookie), b.begin() + kFixed)) {
    return std::nullopt;
  }
  DhcpMessage m;
  m.op = b[0];
  m.htype = b[1];
  m.hlen = b[2];
  m.xid = (static_cast<uint32_t>(GetBe16(b, 4)) << 16) | GetBe16(b, 6);
  m.secs = GetBe16(b, 8);
  m.flags = GetBe16(b, 10);
  m.ciaddr = IpAt(b, 12);
  m.yiaddr = IpAt(b, 16);
  m.siaddr = IpAt(b, 20);
  m.giaddr = IpAt(b, 24);
  std::copy_n(b.begin() + 28, 16, m.chaddr.begin());
  m.file.assign(b.begin() + 108, b.begin() + 236);
  m.end = false;
  size_t at = kOptionsStart;
  while (at < b.size()) {
    const uint8_t code = b[at];
    if (code == 0) {
      ++at;
      continue;
    }
    if (code == 255) {
      m.end = true;
      break;
    }
    if (at + 2 > b.size() || at + 2 + b[at + 1] > b.size()) return std::nullopt;
    m.options.emplace_back(code, Bytes(b.begin() + at + 2, b.begin() + at + 2 + b[at + 1]));
    at += 2 + b[at + 1];
  }
  return m;
}

Bytes EncodeSubOptions(const DhcpOptions &subOptions) {
  Bytes b;
  for (const auto &[code, value] : subOptions) {
    b.push_back(code);
    b.push_back(static_cast<uint8_t>(value.size()));
    b.insert(b.end(), value.begin(), value.end());
  }
  return b;
}

DhcpOptions DecodeSubOptions(const Bytes &value) {
  DhcpOptions out;
  size_t at = 0;
  while (at < value.size()) {
    if (value[at] == 0) {
      ++at;
      continue;
    }
    if (value[at] == 255 || at + 2 > value.size() || at + 2 + value[at + 1] > value.size()) break;
    out.emplace_back(value[at], Bytes(value.begin() + at + 2, value.begin() + at + 2 + value[at + 1]));
    at += 2 + value[at + 1];
  }
  return out;
}

uint8_t WirlTypeOf(const DhcpMessage &m) {
  const Bytes *vendor = m.Option(kVendor);
  if (vendor == nullptr) return 0;
  for (const auto &[code, value] : DecodeSubOptions(*vendor))
    if (code == 1 && value.size() == 1) return value[0];
  return 0;
}

std::optional<DhcpSeen> DecodeDhcpFrame(const hosted::Frame &frame, const std::vector<uint16_t> &ports) {
  const auto eth = ParseEthernet(frame.bytes);
  if (!eth || eth->etherType != kEtherIpv4) return std::nullopt;
  const auto ip = ParseIpv4(eth->payload);
  if (!ip || ip->protocol != kProtoUdp || ip->moreFragments || ip->offsetBytes != 0) return std::nullopt;
  const auto udp = ParseUdp(ip->source, ip->destination, ip->payload);
  if (!udp || std::find(ports.begin(), ports.end(), udp->destinationPort) == ports.end()) return std::nullopt;
  auto message = DecodeDhcp(udp->data);
  if (!message || message->op != 1) return std::nullopt;
  DhcpSeen seen;
  seen.message = std::move(*message);
  seen.sourcePort = udp->sourcePort;
  seen.destinationPort = udp->destinationPort;
  seen.source = ip->source;
  seen.destination = ip->destination;
  seen.sourceMac = eth->source;
  seen.time = frame.time;
  return seen;
}

// ---- DhcpServer ----

DhcpServer::DhcpServer(Station *station, const Config &config) : station_(station), config_(config) {
  station_->OnFrame = [this](const hosted::Frame &frame) { OnFrame(frame); };
}
DhcpServer::~DhcpServer() { station_->OnFrame = nullptr; }

std::vector<DhcpSeen> DhcpServer::SeenOfType(uint8_t type) const {
  std::vector<DhcpSeen> out;
  for (const DhcpSeen &s : seen_) {
    const Bytes *t = s.message.Option(kMessageType);
    if (t != nullptr && t->size() == 1 && (*t)[0] == type) out.push_back(s);
  }
  return out;
}

DhcpMessage DhcpServer::Reply(const DhcpMessage &request, uint8_t type) const {
  DhcpMessage r;
  r.op = 2;
  r.htype = request.htype;
  r.hlen = request.hlen;
  r.xid = request.xid;
  r.chaddr = request.chaddr;
  r.yiaddr = type == 6 ? Ip4{} : config_.offer;
  r.siaddr = station_->Ip();
  if (!config_.bootp) r.Set(kMessageType, {type});
  if (!config_.bootp) r.Set(kServerId, Ip4Bytes(config_.serverId ? *config_.serverId : station_->Ip()));
  if (type == 6) return r;
  if (!config_.bootp) r.Set(51, Be32Bytes(config_.leaseSeconds));
  if (config_.mask) r.Set(1, Ip4Bytes(*config_.mask));
  if (config_.router) r.Set(3, Ip4Bytes(*config_.router));
  if (!config_.bootFile.empty()) r.Set(kBootFile, config_.bootFile);
  if (config_.wirlClass) {
    r.Set(kVendorClass, {'Z', 'E', 'K', 'O', 'W', 'I', 'R', 'L', 'C'});
    r.Set(kVendor, config_.vendorOptions);
  }
  return r;
}

void DhcpServer::Send(const DhcpMessage &reply, const Mac &clientMac) {
  if (config_.broadcastReplies) {
    station_->SendUdp(kBroadcastMac, kBroadcastIp, 67, 68, EncodeDhcp(reply));
  } else {
    station_->SendUdp(clientMac, reply.yiaddr, 67, 68, EncodeDhcp(reply));
  }
}

void DhcpServer::OnFrame(const hosted::Frame &frame) {
  auto seen = DecodeDhcpFrame(frame, {67});
  if (!seen || (seen->destination != station_->Ip() && seen->destination != kBroadcastIp)) return;
  seen_.push_back(*seen);
  const Bytes *type = seen->message.Option(kMessageType);
  if (type == nullptr || type->size() != 1) return;
  std::optional<DhcpMessage> reply;
  if ((*type)[0] == 1) {
    if (!config_.answerDiscover || discovers_++ < config_.ignoreDiscovers) return;
    reply = Reply(seen->message, 2);
  } else if ((*type)[0] == 3) {
    const Bytes *server = seen->message.Option(kServerId);
    const Ip4 mine = config_.serverId ? *config_.serverId : station_->Ip();
    if (!config_.answerRequest || server == nullptr || *server != Ip4Bytes(mine)) return;
    reply = Reply(seen->message, config_.nakRequest ? 6 : 5);
  } else {
    return;
  }
  if (Shape) Shape(*seen, reply);
  if (reply) Send(*reply, MacOfChaddr(seen->message.chaddr));
}

// ---- WirlServer ----

WirlServer::WirlServer(Station *station, const Config &config) : station_(station), config_(config) {
  station_->OnFrame = [this](const hosted::Frame &frame) { OnFrame(frame); };
}
WirlServer::~WirlServer() { station_->OnFrame = nullptr; }

std::vector<DhcpSeen> WirlServer::SeenOfKind(uint8_t wirlType) const {
  std::vector<DhcpSeen> out;
  for (const DhcpSeen &s : seen_)
    if (WirlTypeOf(s.message) == wirlType) out.push_back(s);
  return out;
}

void WirlServer::OnFrame(const hosted::Frame &frame) {
  auto seen = DecodeDhcpFrame(frame, config_.ports);
  if (!seen || (seen->destination != station_->Ip() && seen->destination != kBroadcastIp)) return;
  const Bytes *type = seen->message.Option(kMessageType);
  if (type == nullptr || *type != Bytes{8}) return;
  seen_.push_back(*seen);
  const uint8_t kind = WirlTypeOf(seen->message);
  DhcpMessage r;
  r.op = 2;
  r.htype = seen->message.htype;
  r.hlen = seen->message.hlen;
  r.xid = seen->message.xid;
  r.ciaddr = seen->message.ciaddr;
  r.chaddr = seen->message.chaddr;
  r.Set(kMessageType, {5});
  r.Set(kServerId, Ip4Bytes(station_->Ip()));
  r.Set(kVendorClass, Bytes(config_.vendorClass.begin(), config_.vendorClass.end()));
  DhcpOptions sub;
  if (kind == 1) {
    if (!config_.answerList) return;
    sub.push_back({1, {1}});
    if (config_.priority) sub.push_back({4, {static_cast<uint8_t>(*config_.priority >> 8),
                                             static_cast<uint8_t>(*config_.priority)}});
    if (config_.defaultImage) sub.push_back({7, Bytes(config_.defaultImage->begin(), config_.defaultImage->end())});
    if (config_.selectedImage) {
      sub.push_back({8, Bytes(config_.selectedImage->begin(), config_.selectedImage->end())});
    }
    for (const Bytes &piece : config_.imageList) sub.push_back({9, piece});
  } else if (kind == 2) {
    if (!config_.answerSelect) return;
    sub.push_back({1, {static_cast<uint8_t>(config_.refuseSelect ? 3 : 2)}});
    if (!config_.refuseSelect) r.Set(kBootFile, config_.bootFile);
  } else {
    return;
  }
  // Option 43 instances of at most 255 bytes, split between sub-options.
  DhcpOptions piece;
  size_t pieceLength = 0;
  for (const auto &s : sub) {
    if (pieceLength + 2 + s.second.size() > 255 && !piece.empty()) {
      r.options.emplace_back(kVendor, EncodeSubOptions(piece));
      piece.clear();
      pieceLength = 0;
    }
    piece.push_back(s);
    pieceLength += 2 + s.second.size();
  }
  r.options.emplace_back(kVendor, EncodeSubOptions(piece));
  std::optional<DhcpMessage> reply = r;
  if (Shape) Shape(*seen, reply);
  if (!reply) return;
  // RFC 2131 4.3.5: the ACK to an INFORM goes to ciaddr, unicast.
  station_->SendUdp(seen->sourceMac, seen->message.ciaddr, seen->destinationPort, 68, EncodeDhcp(*reply));
}

}  // namespace peers
