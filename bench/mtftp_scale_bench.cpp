// Many machines booting at once: N driver instances, each on its own NIC with
// its own MAC, on one simulated segment with the boot server's services, read
// the same 4 MiB file, starting at times spread over 3 s of virtual time, by
// multicast TFTP (operation 6) or by unicast TFTP (operation 2, 512-byte
// blocks, for comparison). Each client runs on a thread of its own, one at a
// time, taking turns whenever its wait would move the clock.
//
// Counters: data_per_block = DATA frames the server sent / the file's blocks
// (counted on the segment); clients_ok = clients whose bytes equal the file;
// virtual_s = virtual time until the last client finished; cpu_ms_per_client =
// CPU time of the client threads (driver and hosted MNP) less the boot
// server's and the turn-taking's own, per client.
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <semaphore>
#include <string>
#include <thread>
#include <vector>

#include "boot_server.h"
#include "options.h"
#include "platform/hosted.h"

namespace {

constexpr size_t kFileSize = 4u << 20;
constexpr size_t kBlockSize = 512;
constexpr uint64_t kBlocks = kFileSize / kBlockSize + 1;  // the last one empty
constexpr uint64_t kSpread = 3 * hosted::kTicksPerSecond;
constexpr uint64_t kLinkDelay = 100 * hosted::kTicksPerMs / 1000;  // 100 us each way
constexpr peers::Ip4 kGroup = {239, 1, 2, 3};
constexpr uint16_t kCPort = 1758, kSPort = 1759;

double ThreadCpu() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

thread_local size_t tMe = 0;

// Callers of one firmware on threads of their own, one running at a time. A
// caller gives way when its CheckEvent would move the clock; it is taken up
// again when its NIC has taken a new frame or the clock has reached its
// timer's deadline. The clock moves only when no caller has anything to do.
class Turns {
 public:
  Turns(hosted::Firmware *fw, std::vector<hosted::Nic *> nics) : fw_(fw), nics_(std::move(nics)) {
    const size_t n = nics_.size();
    for (size_t i = 0; i < n; ++i) go_.push_back(std::make_unique<std::binary_semaphore>(0));
    parked_.assign(n, false);
    done_.assign(n, false);
    deadline_.assign(n, 0);
    queuedAt_.assign(n, 0);
    tpl_.assign(n, TPL_APPLICATION);
    outside_.assign(n, 0);
  }
  // Every so many turns, with its CPU time counted as outside.
  std::function<void()> housekeeping;
  // CPU seconds the caller's thread spent outside the driver (turns, housekeeping, what Outside measured).
  double Outside(size_t i) const { return outside_[i]; }
  void AddOutside(double seconds) { outside_[tMe] += seconds; }

  void Run(const std::vector<std::function<void()>> &tasks) {
    fw_->SetBeforeClockJump([this](uint64_t deadline) { return GiveWay(deadline); });
    std::vector<std::thread> threads;
    for (size_t i = 0; i < tasks.size(); ++i) {
      threads.emplace_back([this, i, &tasks] {
        tMe = i;
        go_[i]->acquire();
        SetLevel(tpl_[i]);
        tasks[i]();
        Finish();
      });
    }
    go_[0]->release();
    finished_.acquire();
    for (std::thread &t : threads) t.join();
    fw_->SetBeforeClockJump(nullptr);
  }

 private:
  bool Woken(size_t j) const {
    return nics_[j]->QueuedFrames() > queuedAt_[j] || fw_->Now() >= deadline_[j];
  }
  size_t NextRunnable(size_t me) const {
    const size_t n = nics_.size();
    for (size_t k = 1; k < n; ++k) {
      const size_t j = (me + k) % n;
      if (!done_[j] && (!parked_[j] || Woken(j))) return j;
    }
    return n;
  }
  void SetLevel(EFI_TPL level) {
    const EFI_TPL now = fw_->CurrentTpl();
    if (level > now) fw_->BootServices()->RaiseTPL(level);
    if (level < now) fw_->BootServices()->RestoreTPL(level);
  }
  void SwitchTo(size_t next) {
    const size_t me = tMe;
    tpl_[me] = fw_->CurrentTpl();
    parked_[next] = false;
    go_[next]->release();
    go_[me]->acquire();
    SetLevel(tpl_[me]);
  }
  bool GiveWay(uint64_t deadline) {
    const double t0 = ThreadCpu();
    const size_t me = tMe;
    if (housekeeping && ++turns_ % 4096 == 0) housekeeping();
    parked_[me] = true;
    deadline_[me] = deadline;
    queuedAt_[me] = nics_[me]->QueuedFrames();
    const size_t next = NextRunnable(me);
    bool gaveWay = false;
    if (next != nics_.size()) {
      SwitchTo(next);
      gaveWay = true;
    }
    parked_[me] = false;
    outside_[me] += ThreadCpu() - t0;
    return gaveWay;
  }
  void Finish() {
    const size_t me = tMe;
    done_[me] = true;
    size_t next = NextRunnable(me);
    // Nobody has work: one that waits takes the turn to move the clock.
    for (size_t k = 1; next == nics_.size() && k < nics_.size(); ++k) {
      if (!done_[(me + k) % nics_.size()]) next = (me + k) % nics_.size();
    }
    tpl_[me] = fw_->CurrentTpl();
    if (next == nics_.size()) {
      finished_.release();
    } else {
      parked_[next] = false;
      go_[next]->release();
    }
  }

  hosted::Firmware *fw_;
  std::vector<hosted::Nic *> nics_;
  std::vector<std::unique_ptr<std::binary_semaphore>> go_;
  std::binary_semaphore finished_{0};
  std::vector<bool> parked_, done_;
  std::vector<uint64_t> deadline_;
  std::vector<size_t> queuedAt_;
  std::vector<EFI_TPL> tpl_;
  std::vector<double> outside_;
  uint64_t turns_ = 0;
};

// DATA frames from the server among the frames on the segment.
uint64_t CountData(const std::vector<hosted::Frame> &frames, const peers::Mac &server) {
  uint64_t n = 0;
  for (const hosted::Frame &f : frames) {
    const auto e = peers::ParseEthernet(f.bytes);
    if (!e || e->source != server || e->etherType != peers::kEtherIpv4) continue;
    const auto ip = peers::ParseIpv4(e->payload);
    if (!ip || ip->protocol != peers::kProtoUdp || ip->moreFragments || ip->offsetBytes != 0) continue;
    const auto udp = peers::ParseUdp(ip->source, ip->destination, ip->payload);
    if (udp && udp->sourcePort != 67 && udp->data.size() >= 4 && peers::GetBe16(udp->data, 0) == 3) ++n;
  }
  return n;
}

void BM_BootTogether(benchmark::State &state) {
  const size_t n = static_cast<size_t>(state.range(0));
  const bool multicast = state.range(1) != 0;
  hosted::Bytes file(kFileSize);
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i * 7 + (i >> 9) + (i >> 17));
  char folder[] = "/tmp/orvale-scale-XXXXXX";
  if (mkdtemp(folder) == nullptr) {
    state.SkipWithError("no temporary folder");
    return;
  }
  const std::string path = std::string(folder) + "/boot.img";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(file.data()),
                                              static_cast<std::streamsize>(file.size()));

  for (auto _ : state) {
    hosted::SimSegment segment;
    hosted::SegmentFaults faults;
    faults.delay = kLinkDelay;
    segment.SetFaults(faults);
    hosted::Firmware fw;
    fw.LoadDriver();
    std::string error;
    auto options = bootserver::ParseServerOptions(
        {"--dgram", "127.0.0.1:1", "--image", path, "--address", "198.18.0.1/16", "--mtftp",
         "239.1.2.3,1758,1759,listen=1,transmit=1"},
        &error);
    std::vector<std::string> transfers;
    bootserver::BootServer server(&segment, *options, [&](const std::string &line) {
      if (line.find("] mtftp ") != std::string::npos) transfers.push_back(line);
    });
    server.SetClock([&] { return static_cast<double>(fw.Now()) / hosted::kTicksPerSecond; });
    bootserver::AttachServices(server);

    std::vector<hosted::Nic *> nics;
    std::vector<OrvaleProtocol *> clients;
    for (size_t i = 0; i < n; ++i) {
      const hosted::Mac mac = {0x52, 0x54, 0x00, 0x5C, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
      hosted::Nic *nic = fw.AddNic(&segment, mac);
      fw.ConnectDriver(nic);
      hosted::Child child;
      hosted::CreateChild(fw, nic, &child);
      OrvaleProtocol *p = child.protocol;
      p->Start(p);
      EFI_IP_ADDRESS ip{}, mask{};
      const uint8_t a[4] = {198, 18, static_cast<uint8_t>(1 + i / 250), static_cast<uint8_t>(1 + i % 250)};
      const uint8_t m[4] = {255, 255, 0, 0};
      std::memcpy(ip.v4.Addr, a, 4);
      std::memcpy(mask.v4.Addr, m, 4);
      p->SetStationIp(p, &ip, &mask);
      nics.push_back(nic);
      clients.push_back(p);
    }

    Turns turns(&fw, nics);
    uint64_t dataFrames = 0;
    turns.housekeeping = [&] {
      dataFrames += CountData(segment.History(), options->mac);
      segment.ClearHistory();
      server.Station().ClearReceived();
      for (hosted::Nic *nic : nics) nic->sent.clear();
    };
    // The boot server's work runs on whichever client thread delivers its frames.
    auto inner = server.Station().OnFrame;
    server.Station().OnFrame = [&](const hosted::Frame &f) {
      const double t0 = ThreadCpu();
      inner(f);
      turns.AddOutside(ThreadCpu() - t0);
    };

    const uint64_t t0 = fw.Now();
    std::vector<double> cpu(n, 0);
    std::vector<uint64_t> finished(n, 0);
    std::vector<bool> ok(n, false);
    std::vector<std::function<void()>> tasks;
    for (size_t i = 0; i < n; ++i) {
      tasks.push_back([&, i] {
        EFI_BOOT_SERVICES *bs = fw.BootServices();
        EFI_EVENT wait = nullptr;
        bs->CreateEvent(EVT_TIMER, 0, nullptr, nullptr, &wait);
        bs->SetTimer(wait, TimerRelative, n == 1 ? 0 : kSpread * i / (n - 1));
        while (bs->CheckEvent(wait) != EFI_SUCCESS) {
        }
        bs->CloseEvent(wait);
        std::vector<uint8_t> buffer(kFileSize + kBlockSize);
        UINT64 size = buffer.size();
        UINTN block = kBlockSize;
        EFI_IP_ADDRESS serverIp{};
        std::memcpy(serverIp.v4.Addr, options->address.data(), 4);
        EFI_PXE_BASE_CODE_MTFTP_INFO info{};
        std::memcpy(info.MCastIp.v4.Addr, kGroup.data(), 4);
        info.CPort = kCPort;
        info.SPort = kSPort;
        info.ListenTimeout = 1;
        info.TransmitTimeout = 1;
        UINT8 name[] = "boot.img";
        OrvaleProtocol *p = clients[i];
        const double outside0 = turns.Outside(i), c0 = ThreadCpu();
        const EFI_STATUS status =
            multicast ? p->Mtftp(p, EFI_PXE_BASE_CODE_MTFTP_READ_FILE, buffer.data(), FALSE, &size, nullptr,
                                 &serverIp, name, &info, FALSE)
                      : p->Mtftp(p, EFI_PXE_BASE_CODE_TFTP_READ_FILE, buffer.data(), FALSE, &size, &block,
                                 &serverIp, name, nullptr, FALSE);
        cpu[i] = ThreadCpu() - c0 - (turns.Outside(i) - outside0);
        finished[i] = fw.Now();
        ok[i] = status == EFI_SUCCESS && size == kFileSize && std::memcmp(buffer.data(), file.data(), kFileSize) == 0;
      });
    }
    turns.Run(tasks);
    dataFrames += CountData(segment.History(), options->mac);

    double cpuSum = 0;
    uint64_t last = 0;
    size_t good = 0;
    for (size_t i = 0; i < n; ++i) {
      cpuSum += cpu[i];
      last = std::max(last, finished[i] - t0);
      good += ok[i];
    }
    state.counters["data_per_block"] = static_cast<double>(dataFrames) / kBlocks;
    state.counters["clients_ok"] = static_cast<double>(good);
    state.counters["virtual_s"] = static_cast<double>(last) / hosted::kTicksPerSecond;
    state.counters["cpu_ms_per_client"] = cpuSum * 1000 / static_cast<double>(n);
    state.counters["transfers"] = static_cast<double>(transfers.size());
    if (good != n) state.SkipWithError("a client's bytes differ from the file");
    if (std::getenv("ORVALE_SCALE_LOG") != nullptr) {
      for (const std::string &line : transfers) std::fprintf(stderr, "%s\n", line.c_str());
    }
    for (OrvaleProtocol *p : clients) p->Stop(p);
    for (hosted::Nic *nic : nics) fw.DisconnectDriver(nic);
    if (fw.CurrentTpl() != TPL_APPLICATION) state.SkipWithError("the TPL did not come back");
  }
  std::remove(path.c_str());
  rmdir(folder);
}

BENCHMARK(BM_BootTogether)
    ->ArgsProduct({{1, 8, 32, 128}, {1, 0}})
    ->ArgNames({"clients", "multicast"})
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->UseRealTime();

}  // namespace
