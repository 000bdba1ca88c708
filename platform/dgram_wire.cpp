#include "platform/dgram_wire.h"

#include <arpa/inet.h>
#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace hosted {

namespace {

constexpr size_t kEthernetHeader = 14;
// A jumbo frame; anything larger is no frame a NIC sends. MSG_TRUNC reports
// a datagram's true size, so a larger one is dropped, not cut.
constexpr size_t kMaxFrame = 9216;
constexpr int kSocketBufferBytes = 4 << 20;
// Keeps one Pump bounded under a flood; the rest waits for the next poll.
constexpr int kMaxFramesPerPump = 512;

std::string ErrnoText(const std::string &what) { return what + ": " + strerror(errno); }

}  // namespace

bool ParseInetAddress(const std::string &text, sockaddr_in *out) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) return false;
  const std::string host = text.substr(0, colon);
  const std::string port = text.substr(colon + 1);
  if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
  const unsigned long number = std::stoul(port);
  if (number > 65535) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(number));
  if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) return false;
  *out = addr;
  return true;
}

std::unique_ptr<DgramWire> DgramWire::Open(const std::string &local, const std::string &peer, std::string *error) {
  std::string scratch;
  if (error == nullptr) error = &scratch;
  sockaddr_in localAddr{};
  if (!ParseInetAddress(local, &localAddr)) {
    *error = "bad local address '" + local + "' (want host:port)";
    return nullptr;
  }
  std::unique_ptr<DgramWire> wire(new DgramWire());
  if (!peer.empty()) {
    if (!ParseInetAddress(peer, &wire->peer_) || wire->peer_.sin_port == 0) {
      *error = "bad peer address '" + peer + "' (want host:port)";
      return nullptr;
    }
    wire->hasPeer_ = true;
  }
  wire->fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (wire->fd_ < 0) {
    *error = ErrnoText("UDP socket");
    return nullptr;
  }
  if (bind(wire->fd_, reinterpret_cast<const sockaddr *>(&localAddr), sizeof localAddr) != 0) {
    *error = ErrnoText("bind to " + local);
    return nullptr;
  }
  // A burst of a large TFTP window must not be lost in the socket.
  int bytes = kSocketBufferBytes;
  setsockopt(wire->fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  setsockopt(wire->fd_, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
  wire->rxBuffer_.resize(kMaxFrame + 1);
  return wire;
}

DgramWire::~DgramWire() {
  if (fd_ >= 0) close(fd_);
}

uint16_t DgramWire::LocalPort() const {
  sockaddr_in addr{};
  socklen_t length = sizeof addr;
  if (getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &length) != 0) return 0;
  return ntohs(addr.sin_port);
}

void DgramWire::Send(Port *from, const Bytes &frame) {
  ports_.QueueLocal(from, frame);
  if (!hasPeer_) {
    ++stats_.sendErrors;
    lastSendError_ = "no peer yet";
    return;
  }
  const ssize_t n = sendto(fd_, frame.data(), frame.size(), 0, reinterpret_cast<const sockaddr *>(&peer_),
                           sizeof peer_);
  if (n == static_cast<ssize_t>(frame.size())) {
    ++stats_.sent;
    return;
  }
  ++stats_.sendErrors;
  lastSendError_ = n < 0 ? ErrnoText("sendto") : "sendto: short write";
}

void DgramWire::Pump() {
  Firmware *fw = Firmware::Current();
  const uint64_t now = fw != nullptr ? fw->Now() : 0;

  ports_.DeliverLocal(now);

  for (int taken = 0; taken < kMaxFramesPerPump; ++taken) {
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const ssize_t n = recvfrom(fd_, rxBuffer_.data(), rxBuffer_.size(), MSG_DONTWAIT | MSG_TRUNC,
                               reinterpret_cast<sockaddr *>(&from), &fromLength);
    if (n < 0) return;  // EAGAIN: nothing more has arrived
    if (!hasPeer_) {
      peer_ = from;
      hasPeer_ = true;
    } else if (from.sin_addr.s_addr != peer_.sin_addr.s_addr || from.sin_port != peer_.sin_port) {
      ++stats_.foreign;
      continue;
    }
    if (static_cast<size_t>(n) > kMaxFrame) {
      ++stats_.truncated;
      continue;
    }
    if (static_cast<size_t>(n) < kEthernetHeader) {
      ++stats_.notFrames;
      continue;
    }
    ++stats_.received;
    ports_.DeliverToAll(Frame{Bytes(rxBuffer_.begin(), rxBuffer_.begin() + n), now}, nullptr);
  }
}

}  // namespace hosted
