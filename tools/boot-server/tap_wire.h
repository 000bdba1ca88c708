// A Wire between the boot server's station and the real link (a raw-frame
// UDP socket or a packet socket): it drops a seeded share of frames in each
// direction, as a lossy network would, and writes the frames that got through
// to a pcap file.
//
// It is a Port on the inner wire and a Wire to the station: frames the inner
// wire delivers pass through Deliver, frames the station sends through Send.
#ifndef ORVALE_TOOLS_BOOT_SERVER_TAP_WIRE_H
#define ORVALE_TOOLS_BOOT_SERVER_TAP_WIRE_H

#include <cstdint>
#include <string>

#include "platform/hosted.h"
#include "platform/pcap_writer.h"
#include "platform/port_set.h"

namespace bootserver {

class TapWire : public hosted::Wire, public hosted::Port {
 public:
  struct Counters {
    uint64_t in = 0;        // frames from the link handed to the station
    uint64_t out = 0;       // frames of the station put on the link
    uint64_t droppedIn = 0;
    uint64_t droppedOut = 0;
  };

  // lossPercent 0..100; the same seed gives the same pattern of drops.
  TapWire(hosted::Wire *inner, double lossPercent, uint32_t seed);
  ~TapWire() override;
  TapWire(const TapWire &) = delete;
  TapWire &operator=(const TapWire &) = delete;

  bool StartCapture(const std::string &path) { return pcap_.Open(path); }

  // Wire, towards the station.
  void Attach(hosted::Port *port) override { ports_.Attach(port); }
  void Detach(hosted::Port *port) override { ports_.Detach(port); }
  void Send(hosted::Port *from, const hosted::Bytes &frame) override;
  // Delivers what the station's neighbours sent, then what the link holds.
  void Pump() override;
  std::optional<uint64_t> NextDue() const override { return std::nullopt; }
  bool RealTime() const override { return true; }

  // Port, towards the link: a frame from it. The address is the station's,
  // so a wire that filters by address treats the tap as the station.
  hosted::Mac Address() const override;
  void Deliver(const hosted::Frame &frame) override;

  const Counters &Stats() const { return stats_; }

 private:
  bool Drop();
  void Capture(const hosted::Bytes &frame);

  hosted::Wire *inner_;
  uint32_t lossPerMillion_;
  uint64_t state_;
  hosted::PortSet ports_;
  hosted::PcapWriter pcap_;
  Counters stats_;
};

}  // namespace bootserver

#endif
