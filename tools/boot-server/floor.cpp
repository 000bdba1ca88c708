#include "floor.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <vector>

#include "peers/station.h"

namespace bootserver {

namespace {

constexpr size_t kMtuPayload = 1480;  // IPv4 payload per frame at MTU 1500
constexpr size_t kRequestBytes = 16;  // magic, block size, frames, sequence, answer address
constexpr uint16_t kIpv4EtherType = 0x0800;
constexpr uint16_t kMinBlock = 512;
constexpr uint16_t kMaxBlock = 65464;
constexpr size_t kIdentificationAt = 4;
constexpr size_t kChecksumAt = 10;
constexpr size_t kIpv4HeaderBytes = 20;
// A pause this long ends a run of requests (a turn of the loader's).
constexpr double kRunGapSeconds = 0.2;

using Clock = std::chrono::steady_clock;

struct Floor {
  BootServer *server;
  // The IPv4 fragments of one DATA datagram, by block size and destination.
  std::map<std::pair<uint16_t, peers::Ip4>, std::vector<peers::Bytes>> answers;

  // The server's view of a run: from sending an answer to the next request,
  // as the TFTP service times each block from its DATA to the ACK.
  struct Run {
    bool open = false;
    uint16_t blockSize = 0;
    uint64_t requests = 0;
    double waitedUs = 0;
    Clock::time_point started;
    Clock::time_point answered;
  } run;

  void EndRun() {
    if (!run.open) return;
    run.open = false;
    const double seconds = std::chrono::duration<double>(run.answered - run.started).count();
    char line[160];
    std::snprintf(line, sizeof line,
                  "floor blksize %u: %llu requests in %.3f s, %.1f us per round from answer to request",
                  static_cast<unsigned>(run.blockSize), static_cast<unsigned long long>(run.requests), seconds,
                  run.requests > 1 ? run.waitedUs / static_cast<double>(run.requests - 1) : 0.0);
    server->Log(line);
  }

  void Tick() {
    if (run.open && std::chrono::duration<double>(Clock::now() - run.answered).count() > kRunGapSeconds) EndRun();
  }

  const std::vector<peers::Bytes> &AnswerFor(uint16_t blockSize, const peers::Ip4 &client) {
    auto found = answers.find({blockSize, client});
    if (found != answers.end()) return found->second;
    // DATA 1 of zeros, from port 69 to the port a client would use.
    peers::Bytes data(4 + blockSize, 0);
    peers::PutBe16(data, 0, 3);
    peers::PutBe16(data, 2, 1);
    const peers::Ip4 self = server->Station().Ip();
    peers::UdpFields udp;
    udp.sourcePort = 69;
    udp.destinationPort = 2070;
    const peers::Bytes datagram = peers::BuildUdp(self, client, udp, data);
    std::vector<peers::Bytes> fragments;
    for (const peers::Fragment &f : peers::SplitFragments(datagram.size(), kMtuPayload)) {
      peers::Ipv4Fields ip;
      ip.source = self;
      ip.destination = client;
      ip.moreFragments = f.more;
      ip.offsetUnits = static_cast<uint16_t>(f.offset / 8);
      const peers::Bytes piece(datagram.begin() + static_cast<std::ptrdiff_t>(f.offset),
                               datagram.begin() + static_cast<std::ptrdiff_t>(f.offset + f.length));
      fragments.push_back(peers::BuildIpv4(ip, piece));
    }
    server->Log("floor blksize " + std::to_string(blockSize) + ": " + std::to_string(fragments.size()) +
                " frame(s) per answer");
    return answers.emplace(std::make_pair(blockSize, client), std::move(fragments)).first->second;
  }

  void OnFrame(const hosted::Frame &frame) {
    const auto ethernet = peers::ParseEthernet(frame.bytes);
    if (!ethernet || ethernet->etherType != kFloorEtherType) return;
    const peers::Bytes &p = ethernet->payload;
    if (p.size() < kRequestBytes || p[0] != 'O' || p[1] != 'R' || p[2] != 'V' || p[3] != 'F') return;
    const uint16_t blockSize = peers::GetBe16(p, 4);
    if (blockSize < kMinBlock || blockSize > kMaxBlock) return;
    const uint16_t sequence = peers::GetBe16(p, 10);  // the low half of the 32-bit field
    const Clock::time_point now = Clock::now();
    if (run.open && run.blockSize != blockSize) EndRun();
    if (!run.open) {
      run = Run{};
      run.open = true;
      run.blockSize = blockSize;
      run.started = now;
    } else {
      run.waitedUs += std::chrono::duration<double, std::micro>(now - run.answered).count();
    }
    ++run.requests;
    const peers::Ip4 to{p[12], p[13], p[14], p[15]};
    const bool ipv4 = to != peers::Ip4{0, 0, 0, 0};
    for (peers::Bytes fragment : AnswerFor(blockSize, to)) {
      peers::PutBe16(fragment, kIdentificationAt, sequence);
      peers::PutBe16(fragment, kChecksumAt, 0);
      peers::PutBe16(fragment, kChecksumAt, peers::Checksum(fragment.data(), kIpv4HeaderBytes));
      server->Station().SendFrame(ethernet->source, ipv4 ? kIpv4EtherType : kFloorEtherType, fragment);
    }
    run.answered = Clock::now();
  }
};

}  // namespace

std::string FloorAttach(BootServer &server) {
  auto floor = std::make_shared<Floor>();
  floor->server = &server;
  Floor *f = floor.get();
  server.AddFrameHandler([f](const hosted::Frame &frame) { f->OnFrame(frame); });
  server.AddTicker([f] { f->Tick(); });
  server.Keep(floor);
  return "floor (EtherType 0x88b5)";
}

}  // namespace bootserver
