#include "platform/packet_socket_wire.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>


namespace hosted {

namespace {

// Large enough for anything a 64 KiB GSO frame could be reported as; frames on
// an MTU-1500 link are at most 1514 bytes.
constexpr size_t kRxBufferSize = 65536 + 64;
constexpr int kSocketBufferBytes = 1 << 20;
constexpr int kSendRetryMs = 50;
// Keeps one Pump bounded under a flood; the rest waits for the next poll.
constexpr int kMaxFramesPerPump = 512;

std::string ErrnoText(const char *what) { return std::string(what) + ": " + strerror(errno); }

}  // namespace

std::unique_ptr<PacketSocketWire> PacketSocketWire::Open(const std::string &interfaceName, std::string *error) {
  std::string scratch;
  if (error == nullptr) error = &scratch;
  if (interfaceName.empty() || interfaceName.size() >= IFNAMSIZ) {
    *error = "bad interface name '" + interfaceName + "'";
    return nullptr;
  }
  std::unique_ptr<PacketSocketWire> wire(new PacketSocketWire());
  wire->name_ = interfaceName;
  wire->ifindex_ = static_cast<int>(if_nametoindex(interfaceName.c_str()));
  if (wire->ifindex_ == 0) {
    *error = ErrnoText(("interface " + interfaceName).c_str());
    return nullptr;
  }
  // Protocol 0 receives nothing until bind names the interface, so no frame of
  // another interface slips in between socket() and bind().
  wire->fd_ = socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (wire->fd_ < 0) {
    *error = ErrnoText("AF_PACKET socket (needs CAP_NET_RAW)");
    return nullptr;
  }
  sockaddr_ll addr{};
  addr.sll_family = AF_PACKET;
  addr.sll_protocol = htons(ETH_P_ALL);
  addr.sll_ifindex = wire->ifindex_;
  if (bind(wire->fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    *error = ErrnoText(("bind to " + interfaceName).c_str());
    return nullptr;
  }

  ifreq req{};
  memcpy(req.ifr_name, interfaceName.c_str(), interfaceName.size());
  if (ioctl(wire->fd_, SIOCGIFHWADDR, &req) != 0) {
    *error = ErrnoText("SIOCGIFHWADDR");
    return nullptr;
  }
  if (req.ifr_hwaddr.sa_family != ARPHRD_ETHER) {
    *error = interfaceName + " is not an Ethernet interface";
    return nullptr;
  }
  memcpy(wire->mac_.data(), req.ifr_hwaddr.sa_data, wire->mac_.size());
  if (ioctl(wire->fd_, SIOCGIFMTU, &req) == 0 && req.ifr_mtu > 0) wire->mtu_ = static_cast<unsigned>(req.ifr_mtu);

  // The auxiliary data says when a local sender left its checksum to offload:
  // such a frame would carry a completed checksum on a real cable, here it
  // does not, and the driver would rightly reject it.
  int on = 1;
  if (setsockopt(wire->fd_, SOL_PACKET, PACKET_AUXDATA, &on, sizeof on) != 0) {
    *error = ErrnoText("PACKET_AUXDATA");
    return nullptr;
  }
  // Every multicast frame, as MNP's multicast receive wants, on NICs that filter.
  packet_mreq mreq{};
  mreq.mr_ifindex = wire->ifindex_;
  mreq.mr_type = PACKET_MR_ALLMULTI;
  if (setsockopt(wire->fd_, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0) {
    *error = ErrnoText("PACKET_MR_ALLMULTI");
    return nullptr;
  }
  // A slow (sanitized) driver must not lose a burst of fragments.
  int bytes = kSocketBufferBytes;
  setsockopt(wire->fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  wire->rxBuffer_.resize(kRxBufferSize);
  return wire;
}

PacketSocketWire::~PacketSocketWire() {
  if (fd_ >= 0) close(fd_);
}

bool PacketSocketWire::Write(const Bytes &frame) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    ssize_t n = send(fd_, frame.data(), frame.size(), 0);
    if (n == static_cast<ssize_t>(frame.size())) {
      ++stats_.sent;
      return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) && attempt == 0) {
      pollfd p{fd_, POLLOUT, 0};
      poll(&p, 1, kSendRetryMs);
      continue;
    }
    lastSendError_ = n < 0 ? ErrnoText("send") : "send: short write";
    break;
  }
  ++stats_.sendErrors;
  return false;
}

void PacketSocketWire::Send(Port *from, const Bytes &frame) {
  Write(frame);
  ports_.QueueLocal(from, frame);
}

bool PacketSocketWire::SendRaw(const Bytes &frame) { return Write(frame); }

bool PacketSocketWire::WaitReadable(long ns) {
  if (ports_.HasQueued()) return true;  // the next Pump has frames already
  pollfd p{fd_, POLLIN, 0};
  const timespec wait{0, ns};
  ppoll(&p, 1, &wait, nullptr);
  return true;
}

void PacketSocketWire::Pump() {
  Firmware *fw = Firmware::Current();
  const uint64_t now = fw != nullptr ? fw->Now() : 0;

  ports_.DeliverLocal(now);

  for (int taken = 0; taken < kMaxFramesPerPump; ++taken) {
    sockaddr_ll from{};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(tpacket_auxdata))];
    iovec iov{rxBuffer_.data(), rxBuffer_.size()};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(fd_, &msg, MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0) return;  // EAGAIN: nothing more has arrived (EINTR: the next poll goes on)
    if (from.sll_pkttype == PACKET_OUTGOING) {
      ++stats_.outgoingSkipped;
      continue;
    }
    if ((msg.msg_flags & MSG_TRUNC) != 0 || static_cast<size_t>(n) > rxBuffer_.size()) {
      ++stats_.truncated;
      continue;
    }
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level != SOL_PACKET || c->cmsg_type != PACKET_AUXDATA) continue;
      tpacket_auxdata aux;
      memcpy(&aux, CMSG_DATA(c), sizeof aux);
      if ((aux.tp_status & TP_STATUS_CSUMNOTREADY) != 0) ++stats_.checksumNotReady;
    }
    ++stats_.received;
    Frame frame{Bytes(rxBuffer_.begin(), rxBuffer_.begin() + n), now};
    ports_.DeliverToAll(frame, nullptr);
  }
}

}  // namespace hosted
