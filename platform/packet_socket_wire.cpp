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
#include <sys/mman.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>


namespace hosted {

namespace {

// About 1 MiB of ring: a slow (sanitized) driver must not lose a burst of
// fragments.
constexpr size_t kRingBytes = 1 << 20;
constexpr size_t kRingBlockBytes = 1 << 16;
constexpr int kSendRetryMs = 50;
// Keeps one Pump bounded under a flood; the rest waits for the next poll.
constexpr int kMaxFramesPerPump = 512;

// A wait within this long of the last frame watches the ring instead of sleeping.
constexpr int64_t kBusyWindowNs = 1'000'000;
constexpr int kSpinsPerClockRead = 64;

std::string ErrnoText(const char *what) { return std::string(what) + ": " + strerror(errno); }

int64_t MonotonicNs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

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
  {
    ifreq req{};
    memcpy(req.ifr_name, interfaceName.c_str(), interfaceName.size());
    if (ioctl(wire->fd_, SIOCGIFMTU, &req) == 0 && req.ifr_mtu > 0) wire->mtu_ = static_cast<unsigned>(req.ifr_mtu);
  }
  if (!wire->MapRing(error)) return nullptr;
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

  // Every multicast frame, as MNP's multicast receive wants, on NICs that filter.
  packet_mreq mreq{};
  mreq.mr_ifindex = wire->ifindex_;
  mreq.mr_type = PACKET_MR_ALLMULTI;
  if (setsockopt(wire->fd_, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0) {
    *error = ErrnoText("PACKET_MR_ALLMULTI");
    return nullptr;
  }
  return wire;
}

bool PacketSocketWire::MapRing(std::string *error) {
  int version = TPACKET_V2;
  if (setsockopt(fd_, SOL_PACKET, PACKET_VERSION, &version, sizeof version) != 0) {
    *error = ErrnoText("PACKET_VERSION");
    return false;
  }
  // A slot holds the header, the address and the largest frame of this MTU
  // (a VLAN tag included); a power of two, so slots tile the ring's blocks.
  const size_t need = TPACKET_ALIGN(TPACKET2_HDRLEN) + 16 + mtu_ + 18;
  size_t slot = 2048;
  while (slot < need) slot <<= 1;
  const size_t block = slot > kRingBlockBytes ? slot : kRingBlockBytes;
  const size_t blocks = kRingBytes / block > 0 ? kRingBytes / block : 1;
  tpacket_req req{};
  req.tp_block_size = static_cast<unsigned>(block);
  req.tp_block_nr = static_cast<unsigned>(blocks);
  req.tp_frame_size = static_cast<unsigned>(slot);
  req.tp_frame_nr = static_cast<unsigned>(blocks * (block / slot));
  if (setsockopt(fd_, SOL_PACKET, PACKET_RX_RING, &req, sizeof req) != 0) {
    *error = ErrnoText("PACKET_RX_RING");
    return false;
  }
  void *ring = mmap(nullptr, block * blocks, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
  if (ring == MAP_FAILED) {
    *error = ErrnoText("mmap of the receive ring");
    return false;
  }
  ring_ = static_cast<uint8_t *>(ring);
  ringBytes_ = block * blocks;
  frameSize_ = slot;
  frameCount_ = req.tp_frame_nr;
  return true;
}

PacketSocketWire::~PacketSocketWire() {
  if (ring_ != nullptr) munmap(ring_, ringBytes_);
  if (fd_ >= 0) close(fd_);
}

void *PacketSocketWire::ReadySlot() const {
  auto *h = reinterpret_cast<tpacket2_hdr *>(ring_ + next_ * frameSize_);
  return (__atomic_load_n(&h->tp_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER) != 0 ? h : nullptr;
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
  if (ports_.HasQueued() || ReadySlot() != nullptr) return true;  // the next Pump has frames already
  // While frames flow (one came within kBusyWindowNs) the wait watches the
  // ring, as a polling firmware would, instead of sleeping: the next frame of
  // a lock-step transfer then costs no sleep and wake-up. Idle, it sleeps in
  // ppoll, so a long wait for a reply burns no CPU.
  const int64_t start = MonotonicNs();
  if (start - lastArrivalNs_ < kBusyWindowNs) {
    for (int64_t now = start; now - start < ns; now = MonotonicNs()) {
      for (int i = 0; i < kSpinsPerClockRead; ++i) {
        if (ReadySlot() != nullptr) return true;
        __builtin_ia32_pause();
      }
    }
    return true;
  }
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
    auto *h = static_cast<tpacket2_hdr *>(ReadySlot());
    if (h == nullptr) return;  // nothing more has arrived
    if (taken == 0) lastArrivalNs_ = MonotonicNs();
    const auto *from = reinterpret_cast<const sockaddr_ll *>(reinterpret_cast<uint8_t *>(h) +
                                                             TPACKET_ALIGN(sizeof(tpacket2_hdr)));
    const uint32_t status = h->tp_status;
    const size_t offset = h->tp_mac;
    const size_t length = h->tp_snaplen;
    if (from->sll_pkttype == PACKET_OUTGOING) {
      ++stats_.outgoingSkipped;
    } else if (length < h->tp_len || offset > frameSize_ || length > frameSize_ - offset) {
      ++stats_.truncated;
    } else {
      // A local sender that left its checksum to offload: such a frame would
      // carry a completed checksum on a real cable, here it does not, and the
      // driver would rightly reject it.
      if ((status & TP_STATUS_CSUMNOTREADY) != 0) ++stats_.checksumNotReady;
      ++stats_.received;
      const uint8_t *bytes = reinterpret_cast<uint8_t *>(h) + offset;
      // Into the wire's own buffer, so a frame allocates nothing; a Pump
      // from inside a delivery uses one of its own.
      Frame nested;
      Frame &frame = pumping_ ? nested : rx_;
      frame.bytes.assign(bytes, bytes + length);
      frame.time = now;
      // The slot goes back before delivery: a port may detach or send on the way.
      __atomic_store_n(&h->tp_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
      next_ = (next_ + 1) % frameCount_;
      const bool outer = !pumping_;
      pumping_ = true;
      ports_.DeliverToAll(frame, nullptr);
      if (outer) pumping_ = false;
      continue;
    }
    __atomic_store_n(&h->tp_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
    next_ = (next_ + 1) % frameCount_;
  }
}

}  // namespace hosted
