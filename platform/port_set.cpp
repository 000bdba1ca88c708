#include "platform/port_set.h"

#include <algorithm>

#include "platform/small_list.h"

namespace hosted {

void PortSet::Attach(Port *port) {
  if (port != nullptr && std::find(ports_.begin(), ports_.end(), port) == ports_.end()) ports_.push_back(port);
}

void PortSet::Detach(Port *port) {
  ports_.erase(std::remove(ports_.begin(), ports_.end(), port), ports_.end());
  local_.erase(std::remove_if(local_.begin(), local_.end(), [port](const Local &l) { return l.from == port; }),
               local_.end());
}

void PortSet::QueueLocal(Port *from, const Bytes &frame) {
  if (ports_.size() > 1) local_.push_back(Local{from, frame});
}

void PortSet::DeliverLocal(uint64_t now) {
  std::vector<Local> local;
  local.swap(local_);
  for (Local &l : local) DeliverToAll(Frame{std::move(l.bytes), now}, l.from);
}

void PortSet::DeliverToAll(const Frame &frame, Port *except) {
  const internal::SmallList<Port *> ports(ports_);
  for (Port *port : ports) {
    if (port == except || std::find(ports_.begin(), ports_.end(), port) == ports_.end()) continue;
    port->Deliver(frame);
  }
}

}  // namespace hosted
