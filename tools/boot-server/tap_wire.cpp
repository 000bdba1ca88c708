#include "tap_wire.h"

#include <algorithm>
#include <chrono>

namespace bootserver {

TapWire::TapWire(hosted::Wire *inner, double lossPercent, uint32_t seed)
    : inner_(inner),
      lossPerMillion_(static_cast<uint32_t>(std::clamp(lossPercent, 0.0, 100.0) * 10000.0 + 0.5)),
      state_(seed) {
  inner_->Attach(this);
}

TapWire::~TapWire() { inner_->Detach(this); }

hosted::Mac TapWire::Address() const {
  const hosted::Port *station = ports_.First();
  return station == nullptr ? hosted::Mac{} : station->Address();
}

// splitmix64: one draw per frame, whatever the rate, so a seed fixes the pattern.
bool TapWire::Drop() {
  uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  return z % 1'000'000 < lossPerMillion_;
}

void TapWire::Capture(const hosted::Bytes &frame) {
  if (!pcap_.IsOpen()) return;
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  pcap_.Write(frame, static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(now).count()));
}

void TapWire::Send(hosted::Port *from, const hosted::Bytes &frame) {
  if (Drop()) {
    ++stats_.droppedOut;
    return;
  }
  ++stats_.out;
  Capture(frame);
  inner_->Send(this, frame);
  // Other stations on the server's side hear it too, at the next Pump, as on one segment.
  ports_.QueueLocal(from, frame);
}

void TapWire::Pump() {
  ports_.DeliverLocal(0);
  inner_->Pump();
}

void TapWire::Deliver(const hosted::Frame &frame) {
  if (Drop()) {
    ++stats_.droppedIn;
    return;
  }
  ++stats_.in;
  Capture(frame.bytes);
  ports_.DeliverToAll(frame, nullptr);
}

}  // namespace bootserver
