// The ports attached to a wire that leaves this process (a socket), and the
// frames they send each other: the far side never echoes a frame back, so
// the wire hands it to its other local ports itself at the next Pump, as a
// shared segment would.
#ifndef ORVALE_PLATFORM_PORT_SET_H
#define ORVALE_PLATFORM_PORT_SET_H

#include <cstdint>
#include <vector>

#include "platform/hosted.h"

namespace hosted {

class PortSet {
 public:
  void Attach(Port *port);
  // Also forgets the frames the port sent that are still queued.
  void Detach(Port *port);
  size_t Size() const { return ports_.size(); }
  Port *First() const { return ports_.empty() ? nullptr : ports_.front(); }

  bool HasQueued() const { return !local_.empty(); }
  // Queues a frame a port sent, for the other ports (when there are any).
  void QueueLocal(Port *from, const Bytes &frame);
  // Delivers the queued frames, each to every port but its sender.
  void DeliverLocal(uint64_t now);
  // Delivers a frame to every port but except (null: to all). A port may
  // detach itself or another while a frame is delivered.
  void DeliverToAll(const Frame &frame, Port *except);

 private:
  std::vector<Port *> ports_;
  struct Local {
    Port *from;
    Bytes bytes;
  };
  std::vector<Local> local_;
};

}  // namespace hosted

#endif
