// A Wire over QEMU's raw-frame UDP netdevs: one Ethernet frame per UDP
// datagram, no length prefix, no padding, no trailer. QEMU's side is
// `-netdev dgram,id=n0,local.type=inet,local.host=127.0.0.1,local.port=P2,
// remote.type=inet,remote.host=127.0.0.1,remote.port=P1` or
// `-netdev socket,id=n0,udp=127.0.0.1:P1,localaddr=127.0.0.1:P2`: this wire
// binds P1 and sends to P2. Neither root nor namespaces are needed.
//
// Only datagrams from the configured peer address are taken; anything else
// on the port is counted and dropped. With no peer configured, the first
// sender becomes the peer (for a VM whose port is not known in advance).
// Runs on the real clock, like the packet-socket wire.
#ifndef ORVALE_PLATFORM_DGRAM_WIRE_H
#define ORVALE_PLATFORM_DGRAM_WIRE_H

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/hosted.h"
#include "platform/port_set.h"

namespace hosted {

class DgramWire : public Wire {
 public:
  struct Counters {
    uint64_t sent = 0;
    uint64_t sendErrors = 0;
    uint64_t received = 0;       // frames delivered to the ports
    uint64_t foreign = 0;        // datagrams from another address than the peer's
    uint64_t notFrames = 0;      // shorter than an Ethernet header
    uint64_t truncated = 0;      // larger than a jumbo frame (9216 bytes), dropped
  };

  // Binds local ("127.0.0.1:5555"; port 0 picks a free one) and, unless peer
  // is empty, sends to peer. Null with *error set when that fails.
  static std::unique_ptr<DgramWire> Open(const std::string &local, const std::string &peer, std::string *error);
  ~DgramWire() override;
  DgramWire(const DgramWire &) = delete;
  DgramWire &operator=(const DgramWire &) = delete;

  uint16_t LocalPort() const;
  // The socket, for poll() in a program's main loop.
  int Descriptor() const { return fd_; }
  bool HasPeer() const { return hasPeer_; }

  void Attach(Port *port) override { ports_.Attach(port); }
  void Detach(Port *port) override { ports_.Detach(port); }
  // Sends the frame to the peer (dropped and counted while there is none) and
  // hands a copy to the other attached ports at the next Pump.
  void Send(Port *from, const Bytes &frame) override;
  // Delivers, without blocking, every frame that has arrived since the last call.
  void Pump() override;
  std::optional<uint64_t> NextDue() const override { return std::nullopt; }
  bool RealTime() const override { return true; }

  const Counters &Stats() const { return stats_; }
  const std::string &LastSendError() const { return lastSendError_; }

 private:
  DgramWire() = default;

  int fd_ = -1;
  sockaddr_in peer_{};
  bool hasPeer_ = false;
  PortSet ports_;
  std::vector<uint8_t> rxBuffer_;
  Counters stats_;
  std::string lastSendError_;
};

// "host:port" (IPv4 dotted host) into a socket address; false when malformed.
bool ParseInetAddress(const std::string &text, sockaddr_in *out);

}  // namespace hosted

#endif
