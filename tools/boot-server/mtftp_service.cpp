#include "mtftp_service.h"

#include <algorithm>

#include "peers/tftp_server.h"

namespace bootserver {

namespace {

namespace tftp = peers::tftp;

constexpr uint8_t kIgmpV1Report = 0x12;
constexpr uint8_t kIgmpV2Report = 0x16;
constexpr size_t kListedClients = 8;

std::string ClientList(const std::set<peers::Ip4> &clients) {
  std::string text;
  size_t listed = 0;
  for (const peers::Ip4 &ip : clients) {
    if (listed == kListedClients) {
      text += ", ...";
      break;
    }
    text += (listed++ == 0 ? "" : ", ") + FormatIp(ip);
  }
  return text;
}

}  // namespace

MulticastTftp::MulticastTftp(BootServer *server, const std::map<std::string, peers::Bytes> *files,
                             ServerOptions::Mtftp settings)
    : server_(server), files_(files), settings_(settings) {}

peers::Bytes MulticastTftp::Block(uint64_t block) const {
  const peers::Bytes &content = *live_->content;
  const uint64_t start = std::min<uint64_t>((block - 1) * kBlockSize, content.size());
  const uint64_t end = std::min<uint64_t>(start + kBlockSize, content.size());
  return tftp::Data(static_cast<uint16_t>(block),
                    peers::Bytes(content.begin() + static_cast<long>(start), content.begin() + static_cast<long>(end)));
}

void MulticastTftp::SendToGroup(uint64_t block) {
  peers::Station &station = server_->Station();
  peers::Ipv4Fields fields;
  fields.destination = settings_.group;
  fields.ttl = 1;  // the group lives on this link
  peers::UdpFields udp;
  udp.sourcePort = settings_.serverPort;
  udp.destinationPort = settings_.clientPort;
  station.SendIpv4(peers::MulticastMac(settings_.group), fields,
                   peers::BuildUdp(station.Ip(), settings_.group, udp, Block(block)));
  live_->summary.lastSent = std::max(live_->summary.lastSent, block);
  ++live_->summary.dataFrames;
  ++dataFrames_;
}

void MulticastTftp::End(const std::string &why) {
  Summary &s = live_->summary;
  server_->Log("mtftp " + s.file + " to " + FormatIp(settings_.group) + ":" + std::to_string(settings_.clientPort) +
               " opened by " + FormatIp(s.opener) + ": " + why + "; " + std::to_string(s.clients.size()) +
               " client(s) heard (" + ClientList(s.clients) + "), " + std::to_string(s.lastSent) + " of " +
               std::to_string(s.blocks) + " blocks sent in " + std::to_string(s.dataFrames) + " DATA frames");
  finished_.push_back(std::move(s));
  live_.reset();
}

void MulticastTftp::Tick() {
  if (live_ && server_->Seconds() - live_->lastHeard >= settings_.transmitSeconds) {
    End("opener silent after block " + std::to_string(live_->summary.lastSent));
  }
}

void MulticastTftp::OnRequest(const peers::Mac &mac, const peers::Ip4 &ip, uint16_t port, const peers::Bytes &data) {
  const auto request = tftp::ParseRequest(data);
  if (!request || request->opcode != tftp::kRrq) return;
  const bool fromOpener = live_ && live_->summary.opener == ip && live_->openerPort == port;
  if (live_ && !fromOpener) {
    // The group is busy and its opener answering: the client hears the blocks in its listen rounds.
    live_->summary.clients.insert(ip);
    return;
  }
  const std::string from = " from " + FormatIp(ip) + ":" + std::to_string(port);
  const auto file = files_->find(request->file);
  if (file == files_->end()) {
    server_->Station().SendUdp(mac, ip, settings_.serverPort, port, tftp::Error(1, "File not found"));
    server_->Log("mtftp RRQ " + request->file + from + " > ERROR 1 File not found");
    return;
  }
  const uint64_t blocks = file->second.size() / kBlockSize + 1;
  if (blocks > kMaxBlocks) {
    server_->Station().SendUdp(mac, ip, settings_.serverPort, port, tftp::Error(3, "File too large for multicast"));
    server_->Log("mtftp RRQ " + request->file + from + " > ERROR 3, " + std::to_string(blocks) + " blocks");
    return;
  }
  // The opener asking again lost block 1 or began anew: the file starts over.
  if (fromOpener) End("opener asked again");
  Transfer t;
  t.summary.file = request->file;
  t.summary.opener = ip;
  t.summary.clients.swap(waiting_);
  t.summary.clients.insert(ip);
  t.summary.blocks = blocks;
  t.content = &file->second;
  t.openerMac = mac;
  t.openerPort = port;
  t.lastHeard = server_->Seconds();
  live_ = std::move(t);
  server_->Station().SendUdp(mac, ip, settings_.serverPort, port, Block(1));
  ++live_->summary.dataFrames;
  ++dataFrames_;
  SendToGroup(1);
}

void MulticastTftp::OnAck(const peers::Ip4 &ip, uint16_t port, uint16_t block) {
  if (!live_) return;
  Summary &s = live_->summary;
  s.clients.insert(ip);
  if (ip != s.opener || port != live_->openerPort) return;
  live_->lastHeard = server_->Seconds();
  if (block == static_cast<uint16_t>(s.lastSent)) {
    if (s.lastSent == s.blocks) {
      End("complete");
    } else {
      SendToGroup(s.lastSent + 1);
    }
  } else if (block == static_cast<uint16_t>(s.lastSent - 1)) {
    // The opener has not seen the last block.
    SendToGroup(s.lastSent);
  }
}

void MulticastTftp::OnFrame(const hosted::Frame &frame) {
  Tick();
  const auto ethernet = peers::ParseEthernet(frame.bytes);
  if (!ethernet || ethernet->etherType != peers::kEtherIpv4) return;
  const auto ip = peers::ParseIpv4(ethernet->payload);
  if (!ip || !ip->checksumOk || ip->moreFragments || ip->offsetBytes != 0) return;
  if (ip->protocol == peers::kProtoIgmp && ip->destination == settings_.group) {
    const auto report = peers::ParseIgmp(ip->payload);
    if (report && report->checksumOk && report->group == settings_.group &&
        (report->type == kIgmpV1Report || report->type == kIgmpV2Report)) {
      (live_ ? live_->summary.clients : waiting_).insert(ip->source);
    }
    return;
  }
  if (ip->protocol != peers::kProtoUdp || ip->destination != server_->Station().Ip()) return;
  const auto udp = peers::ParseUdp(ip->source, ip->destination, ip->payload);
  if (!udp || !udp->checksumOk || udp->destinationPort != settings_.serverPort || udp->data.size() < 4) return;
  const uint16_t opcode = peers::GetBe16(udp->data, 0);
  if (opcode == tftp::kRrq) {
    OnRequest(ethernet->source, ip->source, udp->sourcePort, udp->data);
  } else if (opcode == tftp::kAck) {
    OnAck(ip->source, udp->sourcePort, peers::GetBe16(udp->data, 2));
  }
}

}  // namespace bootserver
