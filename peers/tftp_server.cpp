// TFTP server peers: their own request decoder and packet encoders (RFC 1350,
// 2347, 2348, 2349), the unicast server and the multicast server.
#include "peers/tftp_server.h"

#include <algorithm>

namespace peers {

namespace {

constexpr size_t kMaxUnfragmented = 1472;  // UDP data in one 1500-byte IPv4 datagram

Bytes Header(uint16_t opcode, uint16_t field) {
  Bytes b(4);
  PutBe16(b, 0, opcode);
  PutBe16(b, 2, field);
  return b;
}

void AppendText(Bytes &b, const std::string &text) {
  b.insert(b.end(), text.begin(), text.end());
  b.push_back(0);
}

// A datagram to the station's UDP handler; fragments are held until whole.
void DispatchFrame(const hosted::Frame &frame, const Station &station, std::vector<ParsedIpv4> &fragments,
                   const std::function<void(const Mac &, const ParsedIpv4 &, const ParsedUdp &)> &handle) {
  const auto ethernet = ParseEthernet(frame.bytes);
  if (!ethernet || ethernet->etherType != kEtherIpv4) return;
  auto ip = ParseIpv4(ethernet->payload);
  if (!ip || ip->protocol != kProtoUdp || ip->destination != station.Ip()) return;
  Bytes udpBytes = ip->payload;
  if (ip->moreFragments || ip->offsetBytes != 0) {
    fragments.push_back(*ip);
    const auto whole = Reassemble(fragments, ip->source, ip->identification);
    if (!whole) return;
    const uint16_t id = ip->identification;
    const Ip4 source = ip->source;
    fragments.erase(std::remove_if(fragments.begin(), fragments.end(),
                                   [&](const ParsedIpv4 &f) { return f.identification == id && f.source == source; }),
                    fragments.end());
    udpBytes = *whole;
  }
  const auto udp = ParseUdp(ip->source, ip->destination, udpBytes);
  if (!udp || !udp->checksumOk) return;
  handle(ethernet->source, *ip, *udp);
}

void SendUdpFrom(Station *station, const Mac &mac, const Ip4 &destination, uint16_t fromPort, uint16_t toPort,
                 const Bytes &data) {
  if (data.size() <= kMaxUnfragmented) {
    station->SendUdp(mac, destination, fromPort, toPort, data);
    return;
  }
  Ipv4Fields fields;
  fields.source = station->Ip();
  fields.destination = destination;
  fields.identification = station->NextIdentification();
  UdpFields udp;
  udp.sourcePort = fromPort;
  udp.destinationPort = toPort;
  const Bytes payload = BuildUdp(fields.source, destination, udp, data);
  station->SendFragments(mac, fields, payload, SplitFragments(payload.size(), 1480));
}

}  // namespace

namespace tftp {

Bytes Data(uint16_t block, const Bytes &data) {
  Bytes b = Header(kData, block);
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

Bytes BigData(uint64_t block, const Bytes &data) {
  Bytes b(10);
  PutBe16(b, 0, kBigData);
  for (int i = 0; i < 8; ++i) b[2 + i] = static_cast<uint8_t>(block >> (56 - 8 * i));
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

Bytes Ack(uint16_t block) { return Header(kAck, block); }

Bytes Error(uint16_t code, const std::string &text, bool terminated) {
  Bytes b = Header(kError, code);
  b.insert(b.end(), text.begin(), text.end());
  if (terminated) b.push_back(0);
  return b;
}

Bytes Oack(const std::vector<std::pair<std::string, std::string>> &options) {
  Bytes text;
  for (const auto &[name, value] : options) {
    AppendText(text, name);
    AppendText(text, value);
  }
  return OackRaw(text);
}

Bytes OackRaw(const Bytes &text) {
  Bytes b(2);
  PutBe16(b, 0, kOack);
  b.insert(b.end(), text.begin(), text.end());
  return b;
}

std::optional<std::string> Request::Option(const std::string &name) const {
  for (const auto &[n, v] : options) {
    if (n == name) return v;
  }
  return std::nullopt;
}

std::optional<Request> ParseRequest(const Bytes &d) {
  if (d.size() < 2) return std::nullopt;
  Request r;
  r.opcode = GetBe16(d, 0);
  if (r.opcode != kRrq && r.opcode != kWrq && r.opcode != kDir) return std::nullopt;
  std::vector<std::string> strings;
  size_t at = 2;
  while (at < d.size()) {
    const auto end = std::find(d.begin() + static_cast<long>(at), d.end(), 0);
    if (end == d.end()) return std::nullopt;  // every string is terminated
    strings.emplace_back(d.begin() + static_cast<long>(at), end);
    at = static_cast<size_t>(end - d.begin()) + 1;
  }
  if (strings.size() < 2 || strings.size() % 2 != 0) return std::nullopt;
  r.file = strings[0];
  r.mode = strings[1];
  for (size_t i = 2; i + 1 < strings.size(); i += 2) r.options.emplace_back(strings[i], strings[i + 1]);
  return r;
}

}  // namespace tftp

// ---- Unicast server ----

TftpServer::TftpServer(Station *station, TftpServerConfig config)
    : station_(station), config_(std::move(config)), nextPort_(config_.firstTransferPort) {
  previous_ = station_->OnFrame;
  station_->OnFrame = [this](const hosted::Frame &frame) {
    if (previous_) previous_(frame);
    DispatchFrame(frame, *station_, fragments_, [this](const Mac &mac, const ParsedIpv4 &ip, const ParsedUdp &udp) {
      OnDatagram(mac, ip.source, udp.sourcePort, udp.destinationPort, udp.data);
    });
  };
}

TftpServer::~TftpServer() { station_->OnFrame = previous_; }

Bytes TftpServer::BlockOf(const Transfer &t, uint64_t block) const {
  const uint64_t start = (block - 1) * t.blockSize;
  if (start >= t.content.size()) return {};
  const uint64_t end = std::min<uint64_t>(t.content.size(), start + t.blockSize);
  return Bytes(t.content.begin() + static_cast<long>(start), t.content.begin() + static_cast<long>(end));
}

void TftpServer::SendTo(const Transfer &t, uint16_t fromPort, const Bytes &data) {
  SendUdpFrom(station_, t.request.clientMac, t.request.clientIp, fromPort, t.request.clientPort, data);
}

void TftpServer::SendData(Transfer &t, uint64_t block, const Bytes &data) {
  SendTo(t, t.port, t.big ? tftp::BigData(block, data) : tftp::Data(static_cast<uint16_t>(block), data));
}

void TftpServer::SendBlock(Transfer &t, uint64_t block) {
  t.lastSent = block;
  Bytes data = BlockOf(t, block);
  if (hooks.beforeData && hooks.beforeData(*this, t, block, data)) return;
  SendData(t, block, data);
}

void TftpServer::OnRequest(const tftp::Request &request) {
  requests_.push_back(request);
  ++requestCount_;
  if (config_.silent) return;
  Transfer t;
  t.request = request;
  t.port = nextPort_++;
  t.write = request.opcode == tftp::kWrq;
  if (request.opcode == tftp::kDir && !config_.answerDirectory) return;
  if (requestCount_ <= config_.errorRequests && (!config_.errorOnlyWithOptions || !request.options.empty())) {
    SendTo(t, t.port, config_.errorPacket);
    return;
  }
  if (!t.write) {
    const auto file = config_.files.find(request.file);
    if (file == config_.files.end()) {
      SendTo(t, t.port, tftp::Error(1, "File not found"));
      return;
    }
    t.content = file->second;
  }
  std::vector<std::pair<std::string, std::string>> oack;
  if (config_.honourOptions) {
    if (const auto v = request.Option("blksize")) {
      const uint64_t asked = std::stoull(*v);
      t.blockSize = std::min(asked, config_.maxBlockSize);
      if (config_.oackBlockSize) t.blockSize = *config_.oackBlockSize;
      oack.emplace_back("blksize", std::to_string(t.blockSize));
    }
    if (request.Option("tsize") && !t.write) oack.emplace_back("tsize", std::to_string(t.content.size()));
    if (config_.offerBigBlock) {
      oack.emplace_back("bigblk#", "8");
      t.big = true;
    }
  }
  transfers_.push_back(t);
  Transfer &live = transfers_.back();
  if (hooks.beforeFirstReply && hooks.beforeFirstReply(*this, live)) return;
  if (config_.oackText) {
    SendTo(live, live.port, tftp::OackRaw(*config_.oackText));
  } else if (!oack.empty()) {
    SendTo(live, live.port, tftp::Oack(oack));
  } else if (live.write) {
    SendTo(live, live.port, tftp::Ack(0));
  } else {
    SendBlock(live, 1);
  }
}

void TftpServer::OnDatagram(const Mac &sourceMac, const Ip4 &source, uint16_t sourcePort, uint16_t destinationPort,
                            const Bytes &data) {
  seen_.push_back({source, sourcePort, destinationPort, data});
  if (destinationPort == config_.port) {
    auto request = tftp::ParseRequest(data);
    if (!request) return;
    request->clientIp = source;
    request->clientPort = sourcePort;
    request->clientMac = sourceMac;
    OnRequest(*request);
    return;
  }
  if (data.size() < 4) return;
  for (Transfer &t : transfers_) {
    if (t.port != destinationPort || t.request.clientPort != sourcePort || t.done) continue;
    const uint16_t opcode = GetBe16(data, 0);
    if (!t.write && (opcode == tftp::kAck || opcode == tftp::kBigAck)) {
      uint64_t block = GetBe16(data, 2);
      if (opcode == tftp::kBigAck) {
        if (data.size() < 10) return;
        block = 0;
        for (int i = 0; i < 8; ++i) block = (block << 8) | data[2 + i];
      }
      const bool lastWasShort = t.lastSent != 0 && BlockOf(t, t.lastSent).size() < t.blockSize;
      if (t.big ? block == t.lastSent : static_cast<uint16_t>(block) == static_cast<uint16_t>(t.lastSent)) {
        if (lastWasShort) {
          t.done = true;
          return;
        }
        SendBlock(t, t.lastSent + 1);
      } else if (static_cast<uint16_t>(block + 1) == static_cast<uint16_t>(t.lastSent)) {
        // The client has not seen the last block: send it again.
        SendBlock(t, t.lastSent);
      }
    } else if (t.write && opcode == tftp::kData) {
      const uint16_t block = GetBe16(data, 2);
      if (block == static_cast<uint16_t>(t.lastSent + 1)) {
        t.content.insert(t.content.end(), data.begin() + 4, data.end());
        t.lastSent = block;
        if (data.size() - 4 < t.blockSize) {
          written_[t.request.file] = t.content;
          t.done = true;
        }
      }
      SendTo(t, t.port, tftp::Ack(block));
    }
    return;
  }
}

// ---- Multicast server ----

MulticastTftpServer::MulticastTftpServer(Station *station, hosted::SimSegment *segment, MulticastServerConfig config)
    : station_(station), segment_(segment), config_(std::move(config)) {
  previous_ = station_->OnFrame;
  station_->OnFrame = [this](const hosted::Frame &frame) {
    if (previous_) previous_(frame);
    DispatchFrame(frame, *station_, fragments_, [this](const Mac &mac, const ParsedIpv4 &ip, const ParsedUdp &udp) {
      if (udp.data.size() < 4) return;
      const uint16_t opcode = GetBe16(udp.data, 0);
      if (opcode == tftp::kRrq && udp.destinationPort == config_.serverPort) {
        auto request = tftp::ParseRequest(udp.data);
        if (!request) return;
        request->clientIp = ip.source;
        request->clientPort = udp.sourcePort;
        request->clientMac = mac;
        requests_.push_back(*request);
        if (config_.silent || request->file != config_.file) return;
        opener_ = *request;
        const Bytes first = tftp::Data(1, Bytes(config_.content.begin(),
                                                config_.content.begin() +
                                                    static_cast<long>(std::min<uint64_t>(config_.blockSize,
                                                                                         config_.content.size()))));
        if (config_.firstBlockTo) {
          station_->SendUdp(kBroadcastMac, *config_.firstBlockTo, DataPort(), udp.sourcePort, first);
        } else {
          station_->SendUdp(mac, ip.source, DataPort(), udp.sourcePort, first);
        }
        segment_->Inject(GroupFrame(1));
      } else if (opcode == tftp::kAck && opener_ && udp.sourcePort == opener_->clientPort &&
                 udp.destinationPort == DataPort()) {
        const uint16_t block = GetBe16(udp.data, 2);
        acks_.push_back(block);
        const uint64_t next = static_cast<uint64_t>(block) + 1;
        if (block != 0 && next <= BlockCount()) segment_->Inject(GroupFrame(next));
      }
    });
  };
}

MulticastTftpServer::~MulticastTftpServer() { station_->OnFrame = previous_; }

uint64_t MulticastTftpServer::BlockCount() const { return config_.content.size() / config_.blockSize + 1; }

Bytes MulticastTftpServer::GroupFrame(uint64_t block) const {
  const uint64_t start = (block - 1) * config_.blockSize;
  const uint64_t end = std::min<uint64_t>(config_.content.size(), start + config_.blockSize);
  const Bytes data(config_.content.begin() + static_cast<long>(std::min<uint64_t>(start, config_.content.size())),
                   config_.content.begin() + static_cast<long>(end));
  Ipv4Fields fields;
  fields.source = station_->Ip();
  fields.destination = config_.group;
  fields.identification = static_cast<uint16_t>(0x6000 + block);
  fields.ttl = 1;
  UdpFields udp;
  udp.sourcePort = DataPort();
  udp.destinationPort = config_.clientPort;
  const Bytes datagram = BuildIpv4(fields, BuildUdp(fields.source, config_.group, udp,
                                                    tftp::Data(static_cast<uint16_t>(block), data)));
  return BuildEthernet(MulticastMac(config_.group), station_->Address(), kEtherIpv4, datagram);
}

void MulticastTftpServer::Broadcast(uint64_t first, uint64_t last, uint64_t start, uint64_t interval) {
  for (uint64_t b = first; b <= last; ++b) segment_->Inject(GroupFrame(b), start + (b - first) * interval);
}

}  // namespace peers
