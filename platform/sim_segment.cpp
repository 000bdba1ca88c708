// The simulated Ethernet segment: frames in flight ordered by due time,
// faults drawn from a seeded generator, history and pcap capture.
//
// Every send draws the same four numbers (loss, duplication and two jitters)
// whatever the rates, so changing one rate does not shift the others' pattern.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/firmware_core.h"
#include "platform/pcap_writer.h"
#include "platform/small_list.h"

namespace hosted {

namespace {

uint64_t PlatformNow() {
  Firmware *fw = Firmware::Current();
  return fw != nullptr ? fw->Now() : 0;
}

// splitmix64: small, seedable, good enough for fault patterns.
struct Prng {
  uint64_t state = 1;
  uint64_t Next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double Unit() { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }
};

}  // namespace

struct SimSegment::Impl {
  struct InFlight {
    Frame frame;
    Port *from = nullptr;
    uint64_t order = 0;  // send order breaks ties of due time
  };
  // Heap order: the frame due first (of equals, sent first) on top, so the
  // next due frame is found without walking all in flight.
  static bool Later(const InFlight &a, const InFlight &b) {
    return a.frame.time != b.frame.time ? a.frame.time > b.frame.time : a.order > b.order;
  }

  std::vector<Port *> ports;
  uint64_t detaches = 0;  // counts Detach calls, so a delivery looks the list up only after one
  std::vector<InFlight> inFlight;
  std::vector<Frame> history;
  bool keepHistory = true;
  SegmentFaults faults;
  Prng prng;
  uint64_t sends = 0;
  uint64_t order = 0;
  PcapWriter capture;
  // FNV-1a over every frame sent, each followed by its length; only when asked for.
  uint64_t digest = 1469598103934665603ull;
  uint64_t digestFrames = 0;

  static const char *DigestFile() {
    static const char *path = std::getenv("ORVALE_FRAME_DIGEST");
    return path;
  }
  void Digest(const Bytes &bytes) {
    if (DigestFile() == nullptr) return;
    auto mix = [this](uint8_t b) { digest = (digest ^ b) * 1099511628211ull; };
    for (uint8_t b : bytes) mix(b);
    for (int i = 0; i < 4; ++i) mix(static_cast<uint8_t>(bytes.size() >> (8 * i)));
    ++digestFrames;
  }

  // Byte buffers of delivered frames, taken again by the next ones sent.
  std::vector<Bytes> spare;

  void Enqueue(Port *from, const Bytes &bytes, uint64_t due) {
    Bytes copy;
    if (!spare.empty()) {
      copy = std::move(spare.back());
      spare.pop_back();
    }
    copy.assign(bytes.begin(), bytes.end());
    inFlight.push_back({{std::move(copy), due}, from, order++});
    std::push_heap(inFlight.begin(), inFlight.end(), Later);
  }
  void Recycle(Bytes &&bytes) {
    if (spare.size() < 64) spare.push_back(std::move(bytes));
  }

  void Capture(const Bytes &bytes, uint64_t time) { capture.Write(bytes, time / 10); }

  uint64_t Jitter() {
    const uint64_t r = prng.Next();
    return faults.jitter == 0 ? 0 : r % (faults.jitter + 1);
  }
};

SimSegment::SimSegment() : impl_(std::make_unique<Impl>()) { SetFaults(SegmentFaults{}); }

std::string (*FrameDigestLabel)() = nullptr;

SimSegment::~SimSegment() {
  if (const char *path = Impl::DigestFile(); path != nullptr && impl_->digestFrames != 0) {
    if (FILE *f = std::fopen(path, "a")) {
      std::fprintf(f, "%s %llu %016llx\n", FrameDigestLabel != nullptr ? FrameDigestLabel().c_str() : "-",
                   static_cast<unsigned long long>(impl_->digestFrames), static_cast<unsigned long long>(impl_->digest));
      std::fclose(f);
    }
  }
  StopCapture();
  // NICs of a firmware that outlives the segment must not reach it any more.
  if (internal::Core *c = internal::CurrentOrNull()) c->ForgetWire(this);
}

void SimSegment::Attach(Port *port) {
  if (port != nullptr && std::find(impl_->ports.begin(), impl_->ports.end(), port) == impl_->ports.end())
    impl_->ports.push_back(port);
  if (internal::Core *c = internal::CurrentOrNull()) c->UseWire(this);
}

void SimSegment::Detach(Port *port) {
  impl_->ports.erase(std::remove(impl_->ports.begin(), impl_->ports.end(), port), impl_->ports.end());
  ++impl_->detaches;
  for (Impl::InFlight &f : impl_->inFlight) {
    if (f.from == port) f.from = nullptr;
  }
}

void SimSegment::Send(Port *from, const Bytes &frame) {
  Impl &m = *impl_;
  const uint64_t now = PlatformNow();
  const uint64_t index = m.sends++;
  if (m.keepHistory) m.history.push_back({frame, now});
  m.Capture(frame, now);
  m.Digest(frame);
  const double lossDraw = m.prng.Unit();
  const double dupDraw = m.prng.Unit();
  const uint64_t jitter1 = m.Jitter();
  const uint64_t jitter2 = m.Jitter();
  const bool listed =
      std::find(m.faults.dropIndexes.begin(), m.faults.dropIndexes.end(), index) != m.faults.dropIndexes.end();
  if (listed || lossDraw < m.faults.lossRate) return;
  m.Enqueue(from, frame, now + m.faults.delay + jitter1);
  if (dupDraw < m.faults.duplicateRate) m.Enqueue(from, frame, now + m.faults.delay + jitter2);
}

void SimSegment::Pump() {
  Impl &m = *impl_;
  const uint64_t now = PlatformNow();
  // Frames sent by a port while it handles a delivery are due now as well
  // and go out in this same call. Bounded against two ports in an endless
  // zero-delay exchange.
  for (int guard = 0; guard < 100000; ++guard) {
    if (m.inFlight.empty() || m.inFlight.front().frame.time > now) return;
    std::pop_heap(m.inFlight.begin(), m.inFlight.end(), Impl::Later);
    Impl::InFlight f = std::move(m.inFlight.back());
    m.inFlight.pop_back();
    const internal::SmallList<Port *> targets(m.ports);
    const uint64_t detaches = m.detaches;
    for (Port *p : targets) {
      if (p == f.from) continue;
      // A port detached by an earlier delivery of this frame gets nothing.
      if (m.detaches != detaches && std::find(m.ports.begin(), m.ports.end(), p) == m.ports.end()) continue;
      p->Deliver(f.frame);
    }
    m.Recycle(std::move(f.frame.bytes));
  }
}

std::optional<uint64_t> SimSegment::NextDue() const {
  if (impl_->inFlight.empty()) return std::nullopt;
  return impl_->inFlight.front().frame.time;
}

void SimSegment::SetFaults(const SegmentFaults &faults) {
  impl_->faults = faults;
  impl_->prng.state = faults.seed;
}

void SimSegment::Inject(const Bytes &frame, uint64_t delay) {
  const uint64_t now = PlatformNow();
  if (impl_->keepHistory) impl_->history.push_back({frame, now});
  impl_->Capture(frame, now);
  impl_->Enqueue(nullptr, frame, now + delay);
}

const std::vector<Frame> &SimSegment::History() const { return impl_->history; }
void SimSegment::ClearHistory() { impl_->history.clear(); }
void SimSegment::SetKeepHistory(bool on) { impl_->keepHistory = on; }

bool SimSegment::StartCapture(const std::string &path) { return impl_->capture.Open(path); }

void SimSegment::StopCapture() { impl_->capture.Close(); }

}  // namespace hosted
