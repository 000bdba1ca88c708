// The raw-frame UDP wire (platform/dgram_wire.cpp) over loopback: what QEMU's
// `-netdev dgram` / `-netdev socket,udp=` put on their side is one Ethernet
// frame per datagram, and that is what crosses here.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <initializer_list>
#include <string>

#include "peers/station.h"
#include "platform/dgram_wire.h"

namespace {

using hosted::Bytes;
using hosted::DgramWire;

constexpr hosted::Mac kMacA = {0x02, 0, 0, 0, 0, 0xA};
constexpr hosted::Mac kMacB = {0x02, 0, 0, 0, 0, 0xB};
constexpr peers::Ip4 kIpA = {198, 18, 0, 10};
constexpr peers::Ip4 kIpB = {198, 18, 0, 1};

std::unique_ptr<DgramWire> OpenWire(const std::string &peer = "") {
  std::string error;
  auto wire = DgramWire::Open("127.0.0.1:0", peer, &error);
  EXPECT_NE(wire, nullptr) << error;
  return wire;
}

std::string Loopback(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

// Pumps the wires until done() holds or a second has passed.
bool PumpUntil(std::initializer_list<DgramWire *> wires, const std::function<bool()> &done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (std::chrono::steady_clock::now() < deadline) {
    for (DgramWire *w : wires) w->Pump();
    if (done()) return true;
    std::vector<pollfd> fds;
    for (DgramWire *w : wires) fds.push_back(pollfd{w->Descriptor(), POLLIN, 0});
    poll(fds.data(), fds.size(), 20);
  }
  return done();
}

// A plain UDP socket on loopback sending raw datagrams, as a stranger or as QEMU would.
struct RawSender {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ~RawSender() { close(fd); }
  uint16_t Bind() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    socklen_t n = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &n);
    return ntohs(a.sin_port);
  }
  void SendTo(uint16_t port, const Bytes &data) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr *>(&a), sizeof a),
              static_cast<ssize_t>(data.size()));
  }
};

TEST(DgramWire, ArpRoundTripBetweenTwoWires) {
  auto a = OpenWire();
  auto b = OpenWire(Loopback(a->LocalPort()));
  ASSERT_TRUE(a && b);
  // a learns its peer from b's first datagram, as the boot server does with a VM of unknown port.
  EXPECT_FALSE(a->HasPeer());
  peers::Station client(b.get(), kMacA, kIpA);
  peers::Station server(a.get(), kMacB, kIpB);

  client.SendArpRequest(kIpB);
  ASSERT_TRUE(PumpUntil({a.get(), b.get()}, [&] { return !client.ReceivedArp().empty(); }));
  EXPECT_TRUE(a->HasPeer());
  const auto replies = client.ReceivedArp();
  EXPECT_EQ(replies[0].operation, 2);
  EXPECT_EQ(replies[0].senderIp, kIpB);
  EXPECT_EQ(replies[0].senderMac, kMacB);
  // The request crossed as one datagram holding the whole (padded) frame.
  ASSERT_EQ(server.Received().size(), 1u);
  EXPECT_EQ(server.Received()[0].bytes.size(), 60u);
  EXPECT_EQ(a->Stats().received, 1u);
  EXPECT_EQ(b->Stats().sent, 1u);
  EXPECT_EQ(a->Stats().sent, 1u);
}

TEST(DgramWire, FramesCrossByteForByte) {
  RawSender vm;
  const uint16_t vmPort = vm.Bind();
  auto wire = OpenWire(Loopback(vmPort));
  peers::Station server(wire.get(), kMacB, kIpB);
  server.SetPadFrames(false);

  // One 1514-byte frame from the "VM" arrives whole.
  Bytes frame(1514, 0x5A);
  for (size_t i = 0; i < 6; ++i) frame[i] = kMacB[i];
  frame[12] = 0x08;
  frame[13] = 0x00;
  vm.SendTo(wire->LocalPort(), frame);
  ASSERT_TRUE(PumpUntil({wire.get()}, [&] { return !server.Received().empty(); }));
  EXPECT_EQ(server.Received()[0].bytes, frame);

  // What the station sends reaches the VM's socket as exactly one datagram of the frame's bytes.
  server.SendFrame(kMacA, peers::kEtherIpv4, Bytes{1, 2, 3});
  uint8_t got[2048];
  pollfd p{vm.fd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 1000), 1);
  const ssize_t n = recv(vm.fd, got, sizeof got, 0);
  const Bytes expected = {0x02, 0, 0, 0, 0, 0xA,   // destination
                          0x02, 0, 0, 0, 0, 0xB,   // source
                          0x08, 0x00,              // IPv4
                          1, 2, 3};                // payload, unpadded
  EXPECT_EQ(Bytes(got, got + n), expected);
}

TEST(DgramWire, DropsStrangersRuntsAndGiants) {
  RawSender vm;
  const uint16_t vmPort = vm.Bind();
  auto wire = OpenWire(Loopback(vmPort));
  peers::Station server(wire.get(), kMacB, kIpB);
  RawSender stranger;
  stranger.Bind();

  Bytes frame(60, 0);
  for (size_t i = 0; i < 6; ++i) frame[i] = 0xFF;
  stranger.SendTo(wire->LocalPort(), frame);             // not the peer
  vm.SendTo(wire->LocalPort(), Bytes(13, 0xFF));         // one byte short of a header
  vm.SendTo(wire->LocalPort(), Bytes(14, 0xFF));         // a bare header: a frame
  Bytes giant(9217, 0xFF);
  vm.SendTo(wire->LocalPort(), giant);                   // one byte over a jumbo frame
  giant.pop_back();
  vm.SendTo(wire->LocalPort(), giant);                   // a jumbo frame exactly
  ASSERT_TRUE(PumpUntil({wire.get()}, [&] { return server.Received().size() >= 2 && wire->Stats().truncated == 1; }));
  EXPECT_EQ(wire->Stats().foreign, 1u);
  EXPECT_EQ(wire->Stats().notFrames, 1u);
  EXPECT_EQ(wire->Stats().truncated, 1u);
  ASSERT_EQ(server.Received().size(), 2u);
  EXPECT_EQ(server.Received()[0].bytes.size(), 14u);
  EXPECT_EQ(server.Received()[1].bytes.size(), 9216u);
}

TEST(DgramWire, PortsOnOneWireHearEachOther) {
  RawSender vm;
  auto wire = OpenWire(Loopback(vm.Bind()));
  peers::Station one(wire.get(), kMacA, kIpA);
  peers::Station two(wire.get(), kMacB, kIpB);
  one.SendArpRequest(kIpB);
  ASSERT_TRUE(PumpUntil({wire.get()}, [&] { return !one.ReceivedArp().empty(); }));
  EXPECT_EQ(one.ReceivedArp()[0].senderMac, kMacB);
  EXPECT_EQ(wire->Stats().sent, 2u);  // both frames also went to the peer
}

TEST(DgramWire, OpenRefusesMalformedAddresses) {
  std::string error;
  EXPECT_EQ(DgramWire::Open("127.0.0.1", "", &error), nullptr);
  EXPECT_NE(error.find("local"), std::string::npos);
  EXPECT_EQ(DgramWire::Open("127.0.0.1:65536", "", &error), nullptr);
  EXPECT_EQ(DgramWire::Open("localhost:5000", "", &error), nullptr);
  EXPECT_EQ(DgramWire::Open("127.0.0.1:0", "127.0.0.1:0", &error), nullptr);
  EXPECT_NE(error.find("peer"), std::string::npos);
  EXPECT_EQ(DgramWire::Open("127.0.0.1:0", "127.0.0.1:x", &error), nullptr);
  auto first = OpenWire();
  EXPECT_EQ(DgramWire::Open(Loopback(first->LocalPort()), "", &error), nullptr);  // port taken
  EXPECT_NE(error.find("bind"), std::string::npos);
}

}  // namespace
