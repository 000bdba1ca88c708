// A 32 MiB TFTP read through the Mtftp member from the server peer on the
// simulated segment, at block sizes 512, 1468 and 8192: throughput and CPU
// time per MiB. The peer's own work (building and parsing every frame) is in
// the figures; the "peer" counter gives its share of the CPU time.
#include <benchmark/benchmark.h>
#include <time.h>

#include <cstring>
#include <memory>
#include <vector>

#include "net/net.h"
#include "peers/tftp_server.h"
#include "platform/hosted.h"
#include "bench/bench_world.h"

namespace {

using bench_world::kServerIp;
using bench_world::kServerMac;
constexpr size_t kFileSize = 32u << 20;

double CpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void BM_TftpRead32MiB(benchmark::State &state) {
  bench_world::World w;
  hosted::SimSegment &segment = w.segment;
  hosted::Nic *nic = w.nic;
  OrvaleProtocol *p = w.p;
  EFI_IP_ADDRESS &server = w.server;
  {
    peers::Station station(&segment, kServerMac, kServerIp);
    peers::TftpServerConfig config;
    const hosted::Bytes file = bench_world::File(kFileSize);
    config.files["image"] = file;
    peers::TftpServer tftp(&station, config);
    // The peer's CPU time: measured around every frame it handles.
    double peerSeconds = 0;
    auto inner = station.OnFrame;
    station.OnFrame = [&](const hosted::Frame &f) {
      const double t0 = CpuSeconds();
      inner(f);
      peerSeconds += CpuSeconds() - t0;
    };
    std::vector<uint8_t> buffer(kFileSize + 1);
    UINT8 name[] = "image";
    double cpu = 0;
    for (auto _ : state) {
      UINT64 size = buffer.size();
      UINTN block = static_cast<UINTN>(state.range(0));
      const double c0 = CpuSeconds();
      const EFI_STATUS status = p->Mtftp(p, EFI_PXE_BASE_CODE_TFTP_READ_FILE, buffer.data(), FALSE, &size, &block,
                                         &server, name, nullptr, FALSE);
      cpu += CpuSeconds() - c0;
      if (status != EFI_SUCCESS || size != kFileSize || std::memcmp(buffer.data(), file.data(), kFileSize) != 0) {
        state.SkipWithError("the file did not arrive whole");
        break;
      }
      segment.ClearHistory();
      nic->sent.clear();
      station.ClearReceived();
    }
    const double mib = static_cast<double>(state.iterations()) * (kFileSize >> 20);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
    state.counters["cpu_ms_per_MiB"] = cpu * 1000 / mib;
    state.counters["peer_share"] = cpu > 0 ? peerSeconds / cpu : 0;
    station.OnFrame = inner;
  }
}

BENCHMARK(BM_TftpRead32MiB)->Arg(512)->Arg(1468)->Arg(8192)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
