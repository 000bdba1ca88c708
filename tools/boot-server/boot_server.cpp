#include "boot_server.h"

#include <algorithm>
#include <cstdio>

namespace bootserver {

namespace {

std::string MacText(const hosted::Mac &mac) { return FormatMac(mac); }
std::string IpText(const peers::Ip4 &ip) { return FormatIp(ip); }

}  // namespace

BootServer::BootServer(hosted::Wire *wire, const ServerOptions &options, Logger logger)
    : wire_(wire), options_(options), logger_(std::move(logger)), station_(wire, options.mac, options.address) {
  // The link carries what a real one would: frames padded to the 60-byte minimum.
  station_.SetPadFrames(true);
  station_.OnFrame = [this](const hosted::Frame &frame) { OnFrame(frame); };
}

void BootServer::AdoptStationHandler() {
  if (station_.OnFrame) handlers_.push_back(std::move(station_.OnFrame));
  station_.OnFrame = [this](const hosted::Frame &frame) { OnFrame(frame); };
}

double BootServer::Seconds() const {
  if (clock_) return clock_();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
}

void BootServer::Log(const std::string &line) {
  const double seconds = Seconds();
  char stamp[24];
  std::snprintf(stamp, sizeof stamp, "[%8.3f] ", seconds);
  if (logger_) logger_(stamp + (options_.primary ? "" : FormatIp(options_.address) + ": ") + line);
}

void BootServer::Poll() {
  wire_->Pump();
  // The station records every frame for tests; a long-running server keeps none.
  station_.ClearReceived();
  for (const auto &ticker : tickers_) ticker();
}

void BootServer::LogArp(const peers::ParsedArp &arp) {
  const bool forUs = arp.targetIp == options_.address;
  if (arp.operation == 1 && forUs) {
    Log("arp who-has " + IpText(arp.targetIp) + " tell " + IpText(arp.senderIp) + " (" + MacText(arp.senderMac) +
        "): answered " + MacText(options_.mac));
  } else if (arp.operation == 1 && arp.senderIp == arp.targetIp) {
    Log("arp announce " + IpText(arp.senderIp) + " is " + MacText(arp.senderMac));
  } else if (arp.operation == 1 && arp.senderIp == peers::Ip4{0, 0, 0, 0}) {
    Log("arp probe for " + IpText(arp.targetIp) + " from " + MacText(arp.senderMac));
  } else if (options_.verbose) {
    Log(std::string("arp ") + (arp.operation == 2 ? "reply " : "request ") + IpText(arp.senderIp) + " (" +
        MacText(arp.senderMac) + ") about " + IpText(arp.targetIp));
  }
}

void BootServer::LogFrame(const peers::ParsedEthernet &ethernet) {
  std::string line = "frame " + MacText(ethernet.source) + " > " + MacText(ethernet.destination);
  if (ethernet.etherType == peers::kEtherIpv4) {
    const auto ip = peers::ParseIpv4(ethernet.payload);
    if (ip && ip->protocol == peers::kProtoUdp && ip->offsetBytes == 0 && !ip->moreFragments) {
      const auto udp = peers::ParseUdp(ip->source, ip->destination, ip->payload);
      if (udp) {
        line += " udp " + IpText(ip->source) + ":" + std::to_string(udp->sourcePort) + " > " +
                IpText(ip->destination) + ":" + std::to_string(udp->destinationPort) + " " +
                std::to_string(udp->data.size()) + " bytes";
        if (!udp->checksumOk) line += " BAD-CHECKSUM";
      }
    } else if (ip) {
      line += " ipv4 proto " + std::to_string(ip->protocol) + " " + IpText(ip->source) + " > " +
              IpText(ip->destination) + (ip->moreFragments || ip->offsetBytes != 0 ? " fragment" : "");
    }
  } else {
    char type[8];
    std::snprintf(type, sizeof type, "%04x", ethernet.etherType);
    line += std::string(" type ") + type + " " + std::to_string(ethernet.payload.size()) + " bytes";
  }
  Log(line);
}

void BootServer::OnFrame(const hosted::Frame &frame) {
  const auto ethernet = peers::ParseEthernet(frame.bytes);
  if (!ethernet) return;
  if (ethernet->etherType == peers::kEtherArp) {
    if (const auto arp = peers::ParseArp(ethernet->payload)) LogArp(*arp);
  } else if (options_.verbose || handlers_.empty()) {
    // Without services nothing else would show what the client sends.
    LogFrame(*ethernet);
  }
  for (const FrameHandler &handler : handlers_) handler(frame);
}

}  // namespace bootserver
