// A Wire over a real Linux interface: an AF_PACKET raw socket bound to one
// interface. The driver's NIC attached to it then talks to whatever else is on
// that link (the real-network suite puts the Linux kernel there).
//
// Runs on the real clock: frames arrive when they arrive, so NextDue() knows
// nothing and Pump() takes whatever the socket holds at that moment.
// Received frames land in a receive ring shared with the kernel
// (PACKET_RX_RING), so a Pump that finds nothing costs no system call: the
// driver polls, and a poll per loop turn must stay cheap.
// Linux only; needs CAP_NET_RAW.
#ifndef ORVALE_PLATFORM_PACKET_SOCKET_WIRE_H
#define ORVALE_PLATFORM_PACKET_SOCKET_WIRE_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/hosted.h"
#include "platform/port_set.h"

namespace hosted {

class PacketSocketWire : public Wire {
 public:
  struct Counters {
    uint64_t sent = 0;
    uint64_t sendErrors = 0;
    uint64_t received = 0;          // frames delivered to the ports
    uint64_t outgoingSkipped = 0;   // our own transmissions, as the socket reports them
    uint64_t checksumNotReady = 0;  // a local sender left its checksum to offload (see below)
    uint64_t truncated = 0;         // larger than a ring frame, dropped
  };

  // Opens and binds the socket; null with *error set when that fails.
  static std::unique_ptr<PacketSocketWire> Open(const std::string &interfaceName, std::string *error);
  ~PacketSocketWire() override;
  PacketSocketWire(const PacketSocketWire &) = delete;
  PacketSocketWire &operator=(const PacketSocketWire &) = delete;

  const std::string &InterfaceName() const { return name_; }
  Mac InterfaceMac() const { return mac_; }
  int InterfaceIndex() const { return ifindex_; }
  // The socket, for poll() in a program's main loop (readable while the ring
  // holds a frame).
  int Descriptor() const { return fd_; }
  unsigned Mtu() const { return mtu_; }

  void Attach(Port *port) override { ports_.Attach(port); }
  void Detach(Port *port) override { ports_.Detach(port); }
  // Writes the frame to the interface and hands a copy to the other attached
  // ports at the next Pump, as a shared segment would.
  void Send(Port *from, const Bytes &frame) override;
  // Delivers, without blocking, every frame that has arrived since the last call.
  void Pump() override;
  std::optional<uint64_t> NextDue() const override { return std::nullopt; }
  bool RealTime() const override { return true; }
  bool WaitReadable(long ns) override;

  // Writes a frame to the interface without any port seeing it (for tests that
  // need a frame on the wire the driver did not build). False on error.
  bool SendRaw(const Bytes &frame);

  const Counters &Stats() const { return stats_; }
  // errno text of the last failed send, empty when none failed.
  const std::string &LastSendError() const { return lastSendError_; }

 private:
  PacketSocketWire() = default;
  bool Write(const Bytes &frame);
  bool MapRing(std::string *error);
  // The header of the ring's next slot when the kernel has handed it over.
  void *ReadySlot() const;

  int fd_ = -1;
  int ifindex_ = 0;
  unsigned mtu_ = 1500;
  std::string name_;
  Mac mac_{};
  PortSet ports_;
  // The receive ring: frameCount_ slots of frameSize_ bytes, each a
  // tpacket2_hdr, the sender's address and the frame; next_ is the slot the
  // kernel fills next.
  uint8_t *ring_ = nullptr;
  size_t ringBytes_ = 0;
  size_t frameSize_ = 0;
  size_t frameCount_ = 0;
  size_t next_ = 0;
  Frame rx_;              // the frame being delivered
  bool pumping_ = false;  // a delivery is under way
  // CLOCK_MONOTONIC (ns) when a Pump last took a frame off the ring.
  int64_t lastArrivalNs_ = INT64_MIN / 2;
  Counters stats_;
  std::string lastSendError_;
};

}  // namespace hosted

#endif
