// Receive-path costs: a 1472-byte UDP datagram through MNP into the caller's
// buffer, an 8192-byte datagram reassembled from 6 fragments, and the
// Internet checksum beside a plain copy of the same bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "bench/bench_world.h"
#include "net/net.h"
#include "peers/station.h"
#include "platform/hosted.h"

namespace {

using bench_world::kClientIp;
using bench_world::kClientMac;
constexpr hosted::Mac kPeerMac = bench_world::kServerMac;
constexpr peers::Ip4 kPeerIp = bench_world::kServerIp;

// The benches' started instance and a peer that builds the frames.
struct World : bench_world::World {
  std::unique_ptr<peers::Station> peer = std::make_unique<peers::Station>(&segment, kPeerMac, kPeerIp);

  ~World() { peer.reset(); }

  // The frames of one datagram, each an Ethernet frame ready to inject.
  std::vector<hosted::Bytes> Frames(size_t dataLength) const {
    peers::UdpFields udp;
    udp.sourcePort = 5000;
    udp.destinationPort = 4000;
    std::vector<uint8_t> data(dataLength);
    for (size_t i = 0; i < dataLength; ++i) data[i] = static_cast<uint8_t>(i * 13);
    const hosted::Bytes payload = peers::BuildUdp(kPeerIp, kClientIp, udp, data);
    peers::Ipv4Fields ip;
    ip.source = kPeerIp;
    ip.destination = kClientIp;
    ip.identification = 0x4242;
    std::vector<hosted::Bytes> frames;
    for (const peers::Fragment &f : peers::SplitFragments(payload.size(), 1480)) {
      ip.offsetUnits = static_cast<uint16_t>(f.offset / 8);
      ip.moreFragments = f.more;
      const hosted::Bytes piece(payload.begin() + static_cast<long>(f.offset),
                                payload.begin() + static_cast<long>(f.offset + f.length));
      frames.push_back(peers::BuildEthernet(kClientMac, kPeerMac, peers::kEtherIpv4, peers::BuildIpv4(ip, piece)));
    }
    return frames;
  }
  EFI_STATUS Read(std::vector<uint8_t> &buffer) {
    EFI_IP_ADDRESS src{};
    std::memcpy(src.v4.Addr, kPeerIp.data(), 4);
    UINT16 srcPort = 5000, dstPort = 4000;
    UINTN size = buffer.size();
    return child.protocol->UdpRead(child.protocol, 0, nullptr, &dstPort, &src, &srcPort, nullptr, nullptr, &size,
                                   buffer.data());
  }
};

void ReceiveDatagram(benchmark::State &state, size_t dataLength) {
  World world;
  const std::vector<hosted::Bytes> frames = world.Frames(dataLength);
  std::vector<uint8_t> buffer(dataLength);
  for (auto _ : state) {
    state.PauseTiming();
    for (const hosted::Bytes &f : frames) world.segment.Inject(f);
    world.segment.ClearHistory();
    state.ResumeTiming();
    if (world.Read(buffer) != EFI_SUCCESS) state.SkipWithError("datagram not received");
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * dataLength));
  state.counters["fragments"] = static_cast<double>(frames.size());
}

void BM_UdpRead1472(benchmark::State &state) { ReceiveDatagram(state, 1472); }
// 8192 bytes of data and the UDP header: 1480 * 5 + 800, six fragments.
void BM_Reassemble8192(benchmark::State &state) { ReceiveDatagram(state, 8192); }

void BM_InternetChecksum(benchmark::State &state) {
  std::vector<uint8_t> bytes(static_cast<size_t>(state.range(0)));
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 31 + 7);
  for (auto _ : state) benchmark::DoNotOptimize(InternetChecksum(bytes.data(), bytes.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

void BM_Memcpy(benchmark::State &state) {
  std::vector<uint8_t> from(static_cast<size_t>(state.range(0)), 0x5A), to(from.size());
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), from.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * from.size()));
}

BENCHMARK(BM_UdpRead1472);
BENCHMARK(BM_Reassemble8192);
BENCHMARK(BM_InternetChecksum)->Arg(1472)->Arg(8192);
BENCHMARK(BM_Memcpy)->Arg(1472)->Arg(8192);

}  // namespace

BENCHMARK_MAIN();
