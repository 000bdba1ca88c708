// The boot server shell (tools/boot-server): image options and the list layout
// the loader reads, options and config file, the lossy capturing tap, and
// the station answering ARP with one log line per exchange.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "boot_server.h"
#include "floor.h"
#include "tests/test_support.h"
#include "tests/net_test_support.h"
#include "peers/dhcp_server.h"
#include "efi/loader/image_list.h"
#include "efi/loader/pxe_reply.h"
#include "images.h"
#include "options.h"
#include "tap_wire.h"

namespace {

using bootserver::BootImage;
using bootserver::Bytes;

BootImage Image(const std::string &text, unsigned ordinal = 1) {
  std::string error;
  auto image = bootserver::ParseImageOption(text, ordinal, &error);
  EXPECT_TRUE(image.has_value()) << error;
  return image.value_or(BootImage{});
}

bool Refused(const std::string &text) {
  std::string error;
  return !bootserver::ParseImageOption(text, 1, &error).has_value() && !error.empty();
}

TEST(BootServerImages, OptionsWithDefaultsAndEveryField) {
  const BootImage plain = Image("/srv/boot/sample.efi", 2);
  EXPECT_EQ(plain.path, "/srv/boot/sample.efi");
  EXPECT_EQ(plain.name, "sample.efi");
  EXPECT_EQ(plain.BootFileName(), "sample.efi");
  EXPECT_EQ(plain.kind, 3);
  EXPECT_EQ(plain.priority, 0);
  EXPECT_EQ(plain.id, (std::array<uint8_t, 4>{3, 0, 0, 2}));

  const BootImage full = Image("big.bin,name=Big one,kind=5,priority=9", 300);
  EXPECT_EQ(full.name, "Big one");
  EXPECT_EQ(full.kind, 5);
  EXPECT_EQ(full.priority, 9);
  EXPECT_EQ(full.id, (std::array<uint8_t, 4>{5, 0, 0x01, 0x2C}));  // ordinal 300

  // An explicit identifier carries the kind (top bit aside).
  const BootImage withId = Image("x.efi,kind=3,id=8400ABCD");
  EXPECT_EQ(withId.id, (std::array<uint8_t, 4>{0x84, 0x00, 0xAB, 0xCD}));
  EXPECT_EQ(withId.kind, 4);

  EXPECT_TRUE(Refused(""));
  EXPECT_TRUE(Refused(",name=x"));
  EXPECT_TRUE(Refused("a.efi,kind=128"));
  EXPECT_FALSE(Refused("a.efi,kind=127"));
  EXPECT_TRUE(Refused("a.efi,priority=65536"));
  EXPECT_FALSE(Refused("a.efi,priority=65535"));
  EXPECT_TRUE(Refused("a.efi,id=0300001"));
  EXPECT_TRUE(Refused("a.efi,id=0300000g"));
  EXPECT_TRUE(Refused("a.efi,colour=red"));
  EXPECT_TRUE(Refused("a.efi,name="));
  EXPECT_FALSE(Refused("a.efi,name=" + std::string(255, 'n')));
  EXPECT_TRUE(Refused("a.efi,name=" + std::string(256, 'n')));
}

TEST(BootServerImages, ListLayoutPiecesAndDefault) {
  const std::vector<BootImage> images = {Image("a.efi,name=ab,priority=1", 1),
                                         Image("b.efi,name=c,kind=4,priority=7", 2),
                                         Image("c.efi,name=d,priority=7", 3)};
  const Bytes expected = {
      0x03, 0x00, 0x00, 0x01, 2, 'a', 'b',  // image 1
      0x04, 0x00, 0x00, 0x02, 1, 'c',       // image 2
      0x03, 0x00, 0x00, 0x03, 1, 'd',       // image 3
  };
  const Bytes list = bootserver::EncodeImageList(images);
  EXPECT_EQ(list, expected);
  // The highest priority wins; of equals, the first.
  EXPECT_EQ(bootserver::DefaultImage(images), &images[1]);
  EXPECT_EQ(bootserver::DefaultImage({}), nullptr);
  EXPECT_EQ(bootserver::FindImage(images, {3, 0, 0, 3}), &images[2]);
  EXPECT_EQ(bootserver::FindImage(images, {3, 0, 0, 4}), nullptr);

  // The loader reads back what the server writes.
  std::vector<std::string> names;
  UINTN at = 0;
  ImageEntry entry;
  while (ReadImageEntry(list.data(), list.size(), &at, &entry)) {
    names.emplace_back(reinterpret_cast<const char *>(entry.Name), entry.NameLength);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"ab", "c", "d"}));
  EXPECT_EQ(at, list.size());

  EXPECT_TRUE(bootserver::SubOption9Pieces({}).empty());
  EXPECT_EQ(bootserver::SubOption9Pieces(Bytes(255, 1)).size(), 1u);
  const auto pieces = bootserver::SubOption9Pieces(Bytes(256, 1));
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0].size(), 255u);
  EXPECT_EQ(pieces[1].size(), 1u);
}

std::optional<bootserver::ServerOptions> Options(const std::vector<std::string> &args, std::string *error) {
  return bootserver::ParseServerOptions(args, error);
}

TEST(BootServerOptions, CommandLineAndConfigFile) {
  std::string error;
  auto o = Options({"--dgram", "127.0.0.1:5555,127.0.0.1:5556", "--image", "/srv/s.efi"}, &error);
  ASSERT_TRUE(o) << error;
  EXPECT_EQ(o->dgramLocal, "127.0.0.1:5555");
  EXPECT_EQ(o->dgramPeer, "127.0.0.1:5556");
  EXPECT_EQ(o->tftpRoot, "/srv");
  EXPECT_EQ(o->wirlPorts, (std::vector<uint16_t>{67, 7799}));
  EXPECT_EQ(o->address, (bootserver::Ip4{198, 18, 0, 1}));

  const std::string path = ::testing::TempDir() + "boot-server-test.conf";
  {
    std::ofstream out(path);
    out << "# two images\n"
           "image = a.efi,name=first,priority=2\n"
           "image = b.efi , name=second\n"
           "address = 10.9.0.1/16   # the server\n"
           "wirl-port = 4011\n"
           "loss = 10\n"
           "pcap = /tmp/x.pcap\n";
  }
  o = Options({"--interface=veth0", "--config", path, "--priority", "5", "--wirl-port=7799", "--verbose"}, &error);
  ASSERT_TRUE(o) << error;
  ASSERT_EQ(o->images.size(), 2u);
  EXPECT_EQ(o->images[1].name, "second");
  EXPECT_EQ(o->images[1].id, (std::array<uint8_t, 4>{3, 0, 0, 2}));
  EXPECT_EQ(o->address, (bootserver::Ip4{10, 9, 0, 1}));
  EXPECT_EQ(o->prefixLength, 16);
  EXPECT_EQ(o->wirlPorts, (std::vector<uint16_t>{4011, 7799}));  // given ports replace the defaults
  EXPECT_DOUBLE_EQ(o->lossPercent, 10.0);
  EXPECT_EQ(o->serverPriority, 5);
  EXPECT_EQ(o->tftpRoot, ".");
  EXPECT_TRUE(o->verbose);

  {
    std::ofstream out(path);
    out << "image = a.efi\n\nbogus = 1\n";
  }
  EXPECT_FALSE(Options({"--dgram", "127.0.0.1:1", "--config", path}, &error));
  EXPECT_EQ(error, path + ":3: unknown option bogus");
  std::remove(path.c_str());

  EXPECT_FALSE(Options({"--image", "a.efi"}, &error));
  EXPECT_NE(error.find("exactly one"), std::string::npos);
  EXPECT_FALSE(Options({"--dgram", "127.0.0.1:1", "--interface", "x", "--image", "a"}, &error));
  EXPECT_FALSE(Options({"--dgram", "127.0.0.1:1"}, &error));
  EXPECT_NE(error.find("--image"), std::string::npos);
  EXPECT_FALSE(Options({"--dgram", "127.0.0.1:1", "--image", "a", "--loss", "100.5"}, &error));
  EXPECT_TRUE(Options({"--dgram", "127.0.0.1:1", "--image", "a", "--loss", "100"}, &error));
  EXPECT_FALSE(Options({"--dgram", "127.0.0.1:1", "--image", "a", "--address", "10.0.0.1/31"}, &error));
  EXPECT_FALSE(Options({"--dgram", "127.0.0.1:1", "--image", "a", "stray"}, &error));
  EXPECT_FALSE(Options({"--dgram", "127.0.0.1:1", "--image"}, &error));
  EXPECT_TRUE(Options({"--help"}, &error)->help);
}

TEST(BootServerOptions, ExtraServers) {
  std::string error;
  auto o = Options({"--dgram", "127.0.0.1:1", "--image", "a", "--extra-server", "198.18.0.2,priority=9",
                    "--extra-server", "198.18.0.3, mac=02:aa:bb:cc:dd:ee"},
                   &error);
  ASSERT_TRUE(o) << error;
  ASSERT_EQ(o->extraServers.size(), 2u);
  EXPECT_EQ(o->extraServers[0].address, (bootserver::Ip4{198, 18, 0, 2}));
  EXPECT_EQ(o->extraServers[0].priority, 9);
  EXPECT_EQ(o->extraServers[0].mac, (bootserver::Mac{0x02, 0x00, 0x5E, 0x10, 0x00, 0x02}));  // the server's, + 1
  EXPECT_EQ(o->extraServers[1].mac, (bootserver::Mac{0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE}));
  EXPECT_EQ(o->extraServers[1].priority, 0);
  EXPECT_FALSE(Options({"--dgram", "127.0.0.1:1", "--image", "a", "--extra-server", "198.18.0"}, &error));
  EXPECT_FALSE(Options({"--dgram", "127.0.0.1:1", "--image", "a", "--extra-server", "198.18.0.2,priority=65536"},
                       &error));
  EXPECT_FALSE(Options({"--dgram", "127.0.0.1:1", "--image", "a", "--extra-server", "198.18.0.2,colour=red"}, &error));
  EXPECT_NE(error.find("colour"), std::string::npos);
}

// A port that records what reaches it.
struct Recorder : hosted::Port {
  hosted::Mac mac{0x02, 0, 0, 0, 0, 0x77};
  std::vector<hosted::Bytes> frames;
  hosted::Mac Address() const override { return mac; }
  void Deliver(const hosted::Frame &frame) override { frames.push_back(frame.bytes); }
};

Bytes Frame(uint8_t tag) {
  Bytes f(60, 0);
  f[14] = tag;
  return f;
}

TEST(BootServerTap, LossBothWaysIsSeededAndNearTheRate) {
  auto count = [](double loss, uint32_t seed) {
    hosted::SimSegment link;
    Recorder client;
    link.Attach(&client);
    bootserver::TapWire tap(&link, loss, seed);
    Recorder server;
    tap.Attach(&server);
    for (int i = 0; i < 2000; ++i) {
      tap.Send(&server, Frame(1));
      link.Send(&client, Frame(2));
      tap.Pump();
    }
    return std::make_pair(tap.Stats(), client.frames.size() + 1000000 * server.frames.size());
  };
  const auto none = count(0, 1);
  EXPECT_EQ(none.first.out, 2000u);
  EXPECT_EQ(none.first.in, 2000u);
  const auto all = count(100, 1);
  EXPECT_EQ(all.first.out + all.first.in, 0u);
  EXPECT_EQ(all.second, 0u);
  const auto tenth = count(10, 7);
  EXPECT_NEAR(static_cast<double>(tenth.first.droppedOut), 200, 60);
  EXPECT_NEAR(static_cast<double>(tenth.first.droppedIn), 200, 60);
  EXPECT_EQ(tenth.first.out + tenth.first.droppedOut, 2000u);
  // What was not dropped arrived: the counts agree with what the ports saw.
  EXPECT_EQ(tenth.second, tenth.first.out + 1000000 * tenth.first.in);
  EXPECT_EQ(count(10, 7).first.droppedIn, tenth.first.droppedIn);  // same seed, same pattern
  EXPECT_NE(count(10, 8).first.droppedIn + 1000 * count(10, 8).first.droppedOut,
            tenth.first.droppedIn + 1000 * tenth.first.droppedOut);
}

TEST(BootServerTap, CaptureHoldsTheFramesThatPassed) {
  const std::string path = ::testing::TempDir() + "boot-server-tap.pcap";
  {
    hosted::SimSegment link;
    Recorder client;
    link.Attach(&client);
    bootserver::TapWire tap(&link, 0, 1);
    Recorder server;
    tap.Attach(&server);
    ASSERT_TRUE(tap.StartCapture(path));
    tap.Send(&server, Frame(0xAA));
    link.Send(&client, Bytes(42, 0xBB));
    tap.Pump();
  }
  std::ifstream in(path, std::ios::binary);
  const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::remove(path.c_str());
  ASSERT_EQ(file.size(), 24u + 16 + 60 + 16 + 42);
  const Bytes header = {0xD4, 0xC3, 0xB2, 0xA1,  // magic, microseconds
                        2, 0, 4, 0,              // version 2.4
                        0, 0, 0, 0, 0, 0, 0, 0,  // zone, sigfigs
                        0xFF, 0xFF, 0, 0,        // snaplen 65535
                        1, 0, 0, 0};             // Ethernet
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 24), header);
  EXPECT_EQ(Bytes(file.begin() + 32, file.begin() + 40), (Bytes{60, 0, 0, 0, 60, 0, 0, 0}));  // lengths
  EXPECT_EQ(file[40 + 14], 0xAA);
  EXPECT_EQ(Bytes(file.begin() + 108, file.begin() + 116), (Bytes{42, 0, 0, 0, 42, 0, 0, 0}));
  EXPECT_EQ(file[116], 0xBB);
}

// A floor request is answered with the frames one TFTP DATA datagram of the
// block size asked takes, fragmented at MTU 1500, the request's sequence in
// each identification, as IPv4 to the address the request names or under
// the floor's EtherType; anything else under that EtherType is not.
TEST(BootServerFloor, AnswersARequestWithTheFramesOfOneDataDatagram) {
  std::string error;
  auto o = Options({"--dgram", "127.0.0.1:1", "--image", "a.efi", "--floor"}, &error);
  ASSERT_TRUE(o) << error;
  EXPECT_TRUE(o->floor);
  hosted::SimSegment link;
  peers::Station client(&link, {0x52, 0x54, 0, 0x12, 0x34, 0x56}, {198, 18, 0, 100});
  bootserver::BootServer server(&link, *o, [](const std::string &) {});
  bootserver::FloorAttach(server);

  const peers::Ip4 none{0, 0, 0, 0};
  const peers::Ip4 station{198, 18, 0, 100};
  auto Request = [](char first, uint16_t blockSize, const peers::Ip4 &to) {
    Bytes r = {static_cast<uint8_t>(first), 'R', 'V', 'F', static_cast<uint8_t>(blockSize >> 8),
               static_cast<uint8_t>(blockSize), 0, 1, 0x00, 0x01, 0x23, 0x45, to[0], to[1], to[2], to[3]};
    r.resize(32, 0);
    return r;
  };
  struct Case {
    char first;
    uint16_t blockSize;
    peers::Ip4 to;
    std::vector<uint16_t> totalLengths;  // IPv4 total length of each answer frame
  };
  const std::vector<Case> cases = {
      {'O', 512, none, {544}},
      {'O', 1468, none, {1500}},
      {'O', 1469, none, {1500, 21}},
      {'O', 8192, none, {1500, 1500, 1500, 1500, 1500, 824}},
      {'O', 1468, station, {1500}},
      {'O', 8192, station, {1500, 1500, 1500, 1500, 1500, 824}},
      {'X', 1468, station, {}},  // not the magic
      {'O', 511, none, {}},      // below any TFTP block size
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(1, c.first) + " " + std::to_string(c.blockSize) + " to ." + std::to_string(c.to[3]));
    client.ClearReceived();
    client.SendFrame(o->mac, 0x88B5, Request(c.first, c.blockSize, c.to));
    server.Poll();
    link.Pump();
    std::vector<peers::ParsedIpv4> answers;
    Bytes datagram;
    for (const hosted::Frame &f : client.Received()) {
      const auto ethernet = peers::ParseEthernet(f.bytes);
      ASSERT_TRUE(ethernet);
      EXPECT_EQ(ethernet->etherType, c.to == none ? 0x88B5 : 0x0800);
      EXPECT_EQ(ethernet->source, o->mac);
      const auto ip = peers::ParseIpv4(ethernet->payload);
      ASSERT_TRUE(ip);
      EXPECT_EQ(ip->destination, c.to);
      datagram.insert(datagram.end(), ip->payload.begin(), ip->payload.end());
      answers.push_back(*ip);
    }
    ASSERT_EQ(answers.size(), c.totalLengths.size());
    // The fragments put together are one DATA datagram, its checksum right for the address.
    if (!answers.empty()) {
      const auto udp = peers::ParseUdp(o->address, c.to, datagram);
      ASSERT_TRUE(udp);
      EXPECT_TRUE(udp->checksumOk);
      EXPECT_NE(udp->checksum, 0);
      EXPECT_EQ(udp->data.size(), 4u + c.blockSize);
    }
    for (size_t i = 0; i < answers.size(); ++i) {
      EXPECT_EQ(answers[i].totalLength, c.totalLengths[i]);
      EXPECT_EQ(answers[i].identification, 0x2345);
      EXPECT_TRUE(answers[i].checksumOk);
      EXPECT_EQ(answers[i].offsetBytes, 1480 * i);
      EXPECT_EQ(answers[i].moreFragments, i + 1 < answers.size());
    }
  }
}

TEST(BootServerStation, AnswersArpForItsAddressAndLogsEachExchange) {
  std::string error;
  auto o = Options({"--dgram", "127.0.0.1:1", "--image", "a.efi"}, &error);
  ASSERT_TRUE(o) << error;
  hosted::SimSegment link;
  peers::Station client(&link, {0x52, 0x54, 0, 0x12, 0x34, 0x56}, {198, 18, 0, 100});
  std::vector<std::string> log;
  bootserver::BootServer server(&link, *o, [&](const std::string &line) { log.push_back(line); });

  client.SendArpRequest({198, 18, 0, 1});
  client.SendArpRequest({198, 18, 0, 2});  // another address: not answered
  server.Poll();
  link.Pump();
  const auto replies = client.ReceivedArp();
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].senderMac, o->mac);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_NE(log[0].find("arp who-has 198.18.0.1 tell 198.18.0.100 (52:54:00:12:34:56): answered 02:00:5e:10:00:01"),
            std::string::npos);

  // Without services a datagram is logged; with one, the service sees it and the log stays quiet.
  client.SendUdp(peers::kBroadcastMac, peers::kBroadcastIp, 68, 67, Bytes(300, 0));
  server.Poll();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_NE(log[1].find("udp 198.18.0.100:68 > 255.255.255.255:67 300 bytes"), std::string::npos);
  int seen = 0;
  server.AddFrameHandler([&](const hosted::Frame &) { ++seen; });
  client.SendUdp(peers::kBroadcastMac, peers::kBroadcastIp, 68, 67, Bytes(300, 0));
  server.Poll();
  EXPECT_EQ(seen, 1);
  EXPECT_EQ(log.size(), 2u);
  EXPECT_TRUE(server.Station().Received().empty());  // a long run keeps no frames

  // A peer that took the station's OnFrame for itself is adopted as a service: it and the server's
  // own handling both go on.
  int peerSaw = 0;
  server.Station().OnFrame = [&](const hosted::Frame &) { ++peerSaw; };
  server.AdoptStationHandler();
  client.SendArpRequest({198, 18, 0, 1});
  server.Poll();
  EXPECT_EQ(peerSaw, 1);
  EXPECT_EQ(seen, 2);
  ASSERT_EQ(log.size(), 3u);
  EXPECT_NE(log[2].find("arp who-has 198.18.0.1"), std::string::npos);

  // An extra server on the same link answers ARP for its own address and says who it is in its log.
  bootserver::ServerOptions extraOptions = *o;
  extraOptions.address = {198, 18, 0, 2};
  extraOptions.mac = {0x02, 0, 0x5E, 0x10, 0, 0x02};
  extraOptions.primary = false;
  std::vector<std::string> extraLog;
  bootserver::BootServer extra(&link, extraOptions, [&](const std::string &l) { extraLog.push_back(l); });
  EXPECT_TRUE(server.Primary());
  EXPECT_FALSE(extra.Primary());
  client.ClearReceived();
  client.SendArpRequest({198, 18, 0, 2});
  server.Poll();
  ASSERT_EQ(client.ReceivedArp().size(), 1u);
  EXPECT_EQ(client.ReceivedArp()[0].senderMac, extraOptions.mac);
  ASSERT_EQ(extraLog.size(), 1u);
  EXPECT_NE(extraLog[0].find("] 198.18.0.2: arp who-has 198.18.0.2"), std::string::npos);
}

}  // namespace

namespace {

// The hosted driver and the boot server on one simulated segment: what the
// driver sends reaches the server's station, and the server answers ARP.
class BootServerWithDriver : public orvale_test::DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    if (HasFatalFailure()) return;
    std::string error;
    auto options = bootserver::ParseServerOptions({"--dgram", "127.0.0.1:1", "--image", "sample.efi"}, &error);
    ASSERT_TRUE(options) << error;
    server_ = std::make_unique<bootserver::BootServer>(&segment_, *options,
                                                       [this](const std::string &l) { log_.push_back(l); });
    ASSERT_EQ(StartChild(), EFI_SUCCESS);
    EFI_IP_ADDRESS ip{}, mask{};
    const uint8_t station[4] = {198, 18, 0, 100}, prefix[4] = {255, 255, 255, 0};
    for (int i = 0; i < 4; ++i) {
      ip.v4.Addr[i] = station[i];
      mask.v4.Addr[i] = prefix[i];
    }
    ASSERT_EQ(Proto()->SetStationIp(Proto(), &ip, &mask), EFI_SUCCESS);
  }
  void TearDown() override {
    if (child_.protocol != nullptr) EXPECT_EQ(Proto()->Stop(Proto()), EFI_SUCCESS);
    DriverTest::TearDown();
    server_.reset();
  }
  std::unique_ptr<bootserver::BootServer> server_;
  std::vector<std::string> log_;
};

TEST_F(BootServerWithDriver, DriverResolvesTheServerAndItsDatagramsAreLogged) {
  EFI_IP_ADDRESS server{};
  server.v4.Addr[0] = 198;
  server.v4.Addr[1] = 18;
  server.v4.Addr[3] = 1;
  EFI_MAC_ADDRESS mac{};
  ASSERT_EQ(Proto()->Arp(Proto(), &server, &mac), EFI_SUCCESS);
  EXPECT_EQ((std::array<uint8_t, 6>{mac.Addr[0], mac.Addr[1], mac.Addr[2], mac.Addr[3], mac.Addr[4], mac.Addr[5]}),
            server_->Options().mac);
  ASSERT_FALSE(log_.empty());
  EXPECT_NE(log_[0].find("arp who-has 198.18.0.1 tell 198.18.0.100"), std::string::npos);

  UINT16 port = 67, from = 68;
  std::vector<uint8_t> data(300, 0x42);
  UINTN size = data.size();
  ASSERT_EQ(Proto()->UdpWrite(Proto(), 0, &server, &port, nullptr, nullptr, &from, nullptr, nullptr, &size,
                              data.data()),
            EFI_SUCCESS);
  segment_.Pump();
  server_->Poll();
  ASSERT_EQ(log_.size(), 2u);
  EXPECT_NE(log_[1].find("udp 198.18.0.100:68 > 198.18.0.1:67 300 bytes"), std::string::npos);
  EXPECT_EQ(log_[1].find("BAD-CHECKSUM"), std::string::npos);
}

}  // namespace

namespace {

// Whether a line of the server's log holds text; the whole log when none does.
::testing::AssertionResult LoggedIn(const std::vector<std::string> &log, const std::string &text) {
  std::string all;
  for (const std::string &l : log) {
    if (l.find(text) != std::string::npos) return ::testing::AssertionSuccess();
    all += l + "\n";
  }
  return ::testing::AssertionFailure() << "not in the log:\n" << all;
}

// A folder of this test's own: ctest runs the tests of one fixture side by
// side, and a shared folder let one test's set-up remove another's file.
std::string OwnFolder(const char *prefix) {
  return ::testing::TempDir() + prefix + "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + "-" +
         std::to_string(getpid());
}

// The whole WIRL boot of the hosted driver against two boot servers with
// their services: the address from the primary, the image of the server of
// higher priority, its boot file read by TFTP, and a missing file refused.
class BootServerServices : public orvale_test::NetTest {
 protected:
  bool SetAddress() const override { return false; }
  void SetUp() override {
    folder_ = OwnFolder("boot-server-services");
    std::remove((folder_ + "/sample.efi").c_str());
    ASSERT_EQ(std::system(("mkdir -p " + folder_).c_str()), 0);
    content_.resize(5000);
    for (size_t i = 0; i < content_.size(); ++i) content_[i] = static_cast<uint8_t>(i * 7 + 3);
    std::ofstream(folder_ + "/sample.efi", std::ios::binary)
        .write(reinterpret_cast<const char *>(content_.data()), static_cast<std::streamsize>(content_.size()));
    NetTest::SetUp();
    if (HasFatalFailure()) return;
    std::string error;
    auto o = bootserver::ParseServerOptions({"--dgram", "127.0.0.1:1", "--image", folder_ + "/sample.efi,priority=5",
                                             "--image", folder_ + "/other.efi,priority=1", "--priority", "2",
                                             "--extra-server", "198.18.0.2,priority=9"},
                                            &error);
    ASSERT_TRUE(o) << error;
    primary_ = std::make_unique<bootserver::BootServer>(&segment_, *o, [this](const std::string &l) {
      log_.push_back(l);
    });
    bootserver::ServerOptions extra = *o;
    extra.address = o->extraServers[0].address;
    extra.mac = o->extraServers[0].mac;
    extra.serverPriority = o->extraServers[0].priority;
    extra.primary = false;
    extra_ = std::make_unique<bootserver::BootServer>(&segment_, extra, [this](const std::string &l) {
      log_.push_back(l);
    });
    services_ = bootserver::AttachServices(*primary_);
    extraServices_ = bootserver::AttachServices(*extra_);
  }
  void TearDown() override {
    NetTest::TearDown();
    extra_.reset();
    primary_.reset();
    (void)std::system(("rm -rf " + folder_).c_str());
  }
  ::testing::AssertionResult Logged(const std::string &text) const { return LoggedIn(log_, text); }

  std::string folder_;
  Bytes content_;
  std::unique_ptr<bootserver::BootServer> primary_, extra_;
  std::vector<std::string> services_, extraServices_;
  std::vector<std::string> log_;
};

TEST_F(BootServerServices, WirlBootFromTheServerOfHigherPriorityThenTftp) {
  ASSERT_EQ(services_.size(), 3u);
  EXPECT_EQ(services_[0], "dhcp");
  EXPECT_EQ(extraServices_.size(), 2u);  // no DHCP on an extra server
  EXPECT_EQ(extraServices_[0], "wirl");

  PacketRecord *packets = Proto()->Packets;
  packets->BootMode = ORVALE_BOOT_MODE_WIRL;
  packets->WirlServerPort = 67;
  packets->AutoSelect = 1;
  packets->UseDefaultImage = 1;
  ASSERT_EQ(Proto()->Dhcp(Proto(), FALSE), EFI_SUCCESS);
  EXPECT_EQ(orvale_test::Ip4Of(Proto()->Mode->StationIp), (peers::Ip4{198, 18, 0, 100}));
  EXPECT_EQ(orvale_test::Ip4Of(Proto()->Mode->SubnetMask), (peers::Ip4{255, 255, 255, 0}));
  ASSERT_TRUE(packets->PxeReplyReceived);
  const Bytes raw(packets->PxeReply.Raw, packets->PxeReply.Raw + sizeof(packets->PxeReply.Raw));
  const auto ack = peers::DecodeDhcp(raw);
  ASSERT_TRUE(ack);
  // The acknowledgement of the server of priority 9, naming the default image's file and itself.
  EXPECT_EQ(ack->siaddr, (peers::Ip4{198, 18, 0, 2}));
  ASSERT_NE(ack->Option(54), nullptr);
  EXPECT_EQ(*ack->Option(54), (Bytes{198, 18, 0, 2}));
  ASSERT_NE(ack->Option(67), nullptr);
  EXPECT_EQ(*ack->Option(67), (Bytes{'s', 'a', 'm', 'p', 'l', 'e', '.', 'e', 'f', 'i'}));
  ASSERT_NE(ack->Option(43), nullptr);
  EXPECT_EQ(*ack->Option(43), (Bytes{1, 1, 2, 8, 4, 3, 0, 0, 1}));
  EXPECT_TRUE(Logged("dhcp DISCOVER 52:54:00:12:34:56 > OFFER 198.18.0.100"));
  EXPECT_TRUE(Logged("dhcp REQUEST 52:54:00:12:34:56 > ACK 198.18.0.100"));
  EXPECT_TRUE(Logged("198.18.0.2: wirl LIST from 198.18.0.100 port 67 > 2 image(s), default 03000001, priority 9"));
  EXPECT_TRUE(Logged("198.18.0.2: wirl SELECT from 198.18.0.100 port 67 image 03000001 > boot file"));

  // The file, with blksize and tsize, from the chosen server.
  EFI_IP_ADDRESS server = orvale_test::Efi({198, 18, 0, 2});
  UINT8 name[] = "sample.efi";
  UINT64 size = 0;
  UINTN blockSize = 1468;
  ASSERT_EQ(Proto()->Mtftp(Proto(), EFI_PXE_BASE_CODE_TFTP_GET_FILE_SIZE, nullptr, FALSE, &size, &blockSize, &server,
                           name, nullptr, FALSE),
            EFI_SUCCESS);
  EXPECT_EQ(size, content_.size());
  Bytes buffer(size);
  blockSize = 1468;
  ASSERT_EQ(Proto()->Mtftp(Proto(), EFI_PXE_BASE_CODE_TFTP_READ_FILE, buffer.data(), FALSE, &size, &blockSize,
                           &server, name, nullptr, FALSE),
            EFI_SUCCESS);
  EXPECT_EQ(buffer, content_);
  EXPECT_TRUE(Logged("198.18.0.2: tftp sent sample.efi to 198.18.0.100: 5000 bytes, 4 blocks of 1468 in"));

  // other.efi is listed but not in the folder: TFTP error 1, and nothing read.
  UINT8 missing[] = "other.efi";
  size = 0;
  EXPECT_EQ(Proto()->Mtftp(Proto(), EFI_PXE_BASE_CODE_TFTP_GET_FILE_SIZE, nullptr, FALSE, &size, &blockSize,
                           &server, missing, nullptr, FALSE),
            EFI_TFTP_ERROR);
  EXPECT_TRUE(Logged("tftp RRQ other.efi"));
  EXPECT_TRUE(Logged("> ERROR 1 File not found"));
}

// 10% of the frames lost both ways: the address, the selection and a 30-block read still get through,
// the retransmissions answered by the services.
TEST_F(BootServerServices, WholeRoadUnderTenPercentLoss) {
  content_.resize(30 * 512 + 100);
  for (size_t i = 0; i < content_.size(); ++i) content_[i] = static_cast<uint8_t>(i * 13 + 1);
  // The services read the folder when attached: a fresh primary with the longer file.
  std::ofstream(folder_ + "/sample.efi", std::ios::binary)
      .write(reinterpret_cast<const char *>(content_.data()), static_cast<std::streamsize>(content_.size()));
  extra_.reset();
  primary_.reset();
  std::string error;
  auto o = bootserver::ParseServerOptions({"--dgram", "127.0.0.1:1", "--image", folder_ + "/sample.efi"}, &error);
  ASSERT_TRUE(o) << error;
  primary_ = std::make_unique<bootserver::BootServer>(&segment_, *o, [this](const std::string &l) {
    log_.push_back(l);
  });
  bootserver::AttachServices(*primary_);
  hosted::SegmentFaults faults;
  faults.lossRate = 0.10;
  faults.seed = 5;
  segment_.SetFaults(faults);

  PacketRecord *packets = Proto()->Packets;
  packets->BootMode = ORVALE_BOOT_MODE_WIRL;
  packets->WirlServerPort = 67;
  packets->AutoSelect = 1;
  ASSERT_EQ(Proto()->Dhcp(Proto(), FALSE), EFI_SUCCESS);
  ASSERT_TRUE(packets->PxeReplyReceived);
  EFI_IP_ADDRESS server = orvale_test::Efi({198, 18, 0, 1});
  UINT8 name[] = "sample.efi";
  UINT64 size = content_.size();
  Bytes buffer(size);
  UINTN blockSize = 512;
  ASSERT_EQ(Proto()->Mtftp(Proto(), EFI_PXE_BASE_CODE_TFTP_READ_FILE, buffer.data(), FALSE, &size, &blockSize, &server,
                           name, nullptr, FALSE),
            EFI_SUCCESS);
  EXPECT_EQ(buffer, content_);
  EXPECT_TRUE(Logged("tftp sent sample.efi to 198.18.0.100: 15460 bytes, 31 blocks of 512"));
  // Every frame the driver sent was for the server; some never reached it.
  EXPECT_LT(primary_->Station().Received().size(), nic_->sent.size());
  EXPECT_TRUE(Logged("wirl SELECT from 198.18.0.100 port 67 image 03000001 > boot file \"sample.efi\""));
}

// The primary alone: a SELECT of an image it lacks is refused with sub-option 1 = 3, and a SELECT
// meant for another server goes unanswered.
TEST_F(BootServerServices, SelectOfAnUnknownImageIsRefusedAndAnotherServersIsIgnored) {
  peers::Station client(&segment_, {0x02, 0, 0, 0, 0, 0x55}, {198, 18, 0, 150});
  auto select = [&](const Bytes &image, const Bytes &serverId) {
    peers::DhcpMessage m;
    m.op = 1;
    m.xid = 0x1234;
    m.ciaddr = {198, 18, 0, 150};
    m.chaddr = {0x02, 0, 0, 0, 0, 0x55};
    m.Set(53, {8});
    m.Set(60, {'Z', 'E', 'K', 'O', 'W', 'I', 'R', 'L', 'C'});
    Bytes vendor = {1, 1, 2, 2, 2, 1, 1, 8, 4};
    vendor.insert(vendor.end(), image.begin(), image.end());
    vendor.insert(vendor.end(), {3, 4});
    vendor.insert(vendor.end(), serverId.begin(), serverId.end());
    m.Set(43, vendor);
    client.ClearReceived();
    client.SendUdp(peers::kBroadcastMac, peers::kBroadcastIp, 68, 67, peers::EncodeDhcp(m));
    segment_.Pump();
    std::vector<peers::DhcpMessage> replies;
    for (const auto &u : client.ReceivedUdp())
      if (u.udp.destinationPort == 68)
        if (auto r = peers::DecodeDhcp(u.udp.data)) replies.push_back(*r);
    return replies;
  };
  auto refused = select({3, 0, 0, 9}, {198, 18, 0, 1});
  ASSERT_EQ(refused.size(), 1u);
  ASSERT_NE(refused[0].Option(43), nullptr);
  EXPECT_EQ(*refused[0].Option(43), (Bytes{1, 1, 3}));
  EXPECT_EQ(refused[0].Option(67), nullptr);
  EXPECT_TRUE(Logged("wirl SELECT from 198.18.0.150 port 67 image 03000009 > refused, no such image"));
  // The second image, on the primary: its own file name.
  auto chosen = select({3, 0, 0, 2}, {198, 18, 0, 1});
  ASSERT_EQ(chosen.size(), 1u);
  ASSERT_NE(chosen[0].Option(67), nullptr);
  EXPECT_EQ(*chosen[0].Option(67), (Bytes{'o', 't', 'h', 'e', 'r', '.', 'e', 'f', 'i'}));
  EXPECT_EQ(chosen[0].siaddr, (peers::Ip4{198, 18, 0, 1}));
  // Meant for 198.18.0.3: neither server answers.
  EXPECT_TRUE(select({3, 0, 0, 1}, {198, 18, 0, 3}).empty());
}

}  // namespace

namespace {

// The boot server's PXE services against the hosted driver: PXE DHCP with its
// proxy offer or with the boot information in its own replies, discovery by
// multicast, unicast and broadcast, and the boot file read by TFTP.
class BootServerPxe : public orvale_test::NetTest {
 protected:
  bool SetAddress() const override { return false; }
  void SetUp() override {
    folder_ = OwnFolder("boot-server-pxe");
    ASSERT_EQ(std::system(("mkdir -p " + folder_).c_str()), 0);
    content_.resize(3000);
    for (size_t i = 0; i < content_.size(); ++i) content_[i] = static_cast<uint8_t>(i * 5 + 1);
    std::ofstream(folder_ + "/sample.efi", std::ios::binary)
        .write(reinterpret_cast<const char *>(content_.data()), static_cast<std::streamsize>(content_.size()));
    NetTest::SetUp();
  }
  void Start(std::vector<std::string> args) {
    args.insert(args.begin(), {"--dgram", "127.0.0.1:1", "--image", folder_ + "/sample.efi"});
    std::string error;
    auto o = bootserver::ParseServerOptions(args, &error);
    ASSERT_TRUE(o) << error;
    server_ = std::make_unique<bootserver::BootServer>(&segment_, *o, [this](const std::string &l) {
      log_.push_back(l);
    });
    services_ = bootserver::AttachServices(*server_);
  }
  void TearDown() override {
    NetTest::TearDown();
    server_.reset();
    (void)std::system(("rm -rf " + folder_).c_str());
  }
  ::testing::AssertionResult Logged(const std::string &text) const { return LoggedIn(log_, text); }
  static std::optional<peers::DhcpMessage> Decode(const DhcpPacket &p) {
    return peers::DecodeDhcp(Bytes(p.Raw, p.Raw + sizeof(p.Raw)));
  }
  EFI_STATUS PxeDhcp() {
    Proto()->Packets->BootMode = 0;
    return Proto()->Dhcp(Proto(), TRUE);
  }
  EFI_STATUS Discover(UINT16 type, EFI_PXE_BASE_CODE_DISCOVER_INFO *info = nullptr) {
    UINT16 layer = 0;
    return Proto()->Discover(Proto(), type, &layer, FALSE, info);
  }
  // The reply's boot file from option 67, and its server.
  void ExpectBootFileReply() {
    ASSERT_TRUE(Proto()->Packets->PxeReplyReceived);
    const auto reply = Decode(Proto()->Packets->PxeReply);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->siaddr, (peers::Ip4{198, 18, 0, 1}));
    ASSERT_NE(reply->Option(67), nullptr);
    EXPECT_EQ(*reply->Option(67), (Bytes{'s', 'a', 'm', 'p', 'l', 'e', '.', 'e', 'f', 'i'}));
    ASSERT_NE(reply->Option(43), nullptr);
    EXPECT_EQ(*reply->Option(43), (Bytes{71, 4, 0, 1, 0, 0, 255}));
  }

  std::string folder_;
  Bytes content_;
  std::unique_ptr<bootserver::BootServer> server_;
  std::vector<std::string> services_;
  std::vector<std::string> log_;
};

// Discovery control 0, group 224.0.1.2, this server as the one of type 1, the
// menu entry and a prompt that does not wait.
const Bytes kBootInformation = {6, 1, 0, 7, 4, 224, 0, 1, 2, 8, 7, 0, 1, 1, 198, 18, 0, 1,
                                9, 22, 0, 1, 19, 'O', 'r', 'v', 'a', 'l', 'e', ' ', 'n', 'e', 't', 'w', 'o', 'r', 'k',
                                ' ', 'b', 'o', 'o', 't', 10, 5, 0, 'B', 'o', 'o', 't', 255};

TEST(BootServerPxeOptions, ModesTypeGroupMenuAndRefusals) {
  std::string error;
  auto o = bootserver::ParseServerOptions({"--dgram", "127.0.0.1:1", "--image", "a.efi"}, &error);
  ASSERT_TRUE(o) << error;
  EXPECT_EQ(o->pxe, bootserver::ServerOptions::Pxe::None);
  EXPECT_TRUE(o->leaseAddresses);
  o = bootserver::ParseServerOptions({"--dgram", "127.0.0.1:1", "--image", "a.efi", "--pxe", "proxy", "--no-dhcp",
                                      "--pxe-type", "65535", "--pxe-multicast", "239.1.2.3", "--pxe-menu", "M"},
                                     &error);
  ASSERT_TRUE(o) << error;
  EXPECT_EQ(o->pxe, bootserver::ServerOptions::Pxe::Proxy);
  EXPECT_FALSE(o->leaseAddresses);
  EXPECT_EQ(o->pxeServerType, 65535);
  EXPECT_EQ(o->pxeMulticast, (bootserver::Ip4{239, 1, 2, 3}));
  EXPECT_EQ(o->pxeMenu, "M");
  o = bootserver::ParseServerOptions({"--dgram", "127.0.0.1:1", "--image", "a.efi", "--pxe=dhcp",
                                      "--pxe-multicast=off"},
                                     &error);
  ASSERT_TRUE(o) << error;
  EXPECT_EQ(o->pxe, bootserver::ServerOptions::Pxe::Dhcp);
  EXPECT_FALSE(o->pxeMulticast);
  for (const std::vector<std::string> &bad : std::vector<std::vector<std::string>>{
           {"--pxe", "both"}, {"--pxe-type", "0"}, {"--pxe-type", "65536"}, {"--pxe-multicast", "223.255.255.255"},
           {"--pxe-multicast", "240.0.0.1"}, {"--pxe-menu", std::string(65, 'm')}, {"--pxe-menu="}}) {
    std::vector<std::string> args = {"--dgram", "127.0.0.1:1", "--image", "a.efi"};
    args.insert(args.end(), bad.begin(), bad.end());
    EXPECT_FALSE(bootserver::ParseServerOptions(args, &error)) << bad[0];
  }
  // 64 characters still fit.
  EXPECT_TRUE(bootserver::ParseServerOptions(
      {"--dgram", "127.0.0.1:1", "--image", "a.efi", "--pxe-menu", std::string(64, 'm')}, &error));
}

TEST_F(BootServerPxe, ProxyBesideItsOwnDhcpThenMulticastAndUnicastDiscoveryAndTheFile) {
  Start({"--pxe", "proxy"});
  ASSERT_EQ(services_.size(), 4u);
  EXPECT_EQ(services_[0], "dhcp");
  EXPECT_EQ(services_[1], "pxe (proxy, boot server)");

  ASSERT_EQ(PxeDhcp(), EFI_SUCCESS);
  EXPECT_EQ(orvale_test::Ip4Of(Proto()->Mode->StationIp), (peers::Ip4{198, 18, 0, 100}));
  ASSERT_TRUE(Proto()->Packets->ProxyOfferReceived);
  const auto proxy = Decode(Proto()->Packets->ProxyOffer);
  ASSERT_TRUE(proxy);
  EXPECT_EQ(proxy->yiaddr, (peers::Ip4{0, 0, 0, 0}));
  ASSERT_NE(proxy->Option(43), nullptr);
  EXPECT_EQ(*proxy->Option(43), kBootInformation);
  // The address came from the plain offer: no PXE information in the ACK.
  const auto ack = Decode(Proto()->Packets->DhcpAck);
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->Option(60), nullptr);
  EXPECT_TRUE(Logged("pxe DISCOVER 52:54:00:12:34:56 > proxy offer"));
  EXPECT_TRUE(Logged("dhcp REQUEST 52:54:00:12:34:56 > ACK 198.18.0.100"));

  // Without settings: multicast to the group first, which the server answers.
  ASSERT_EQ(Discover(1), EFI_SUCCESS);
  ExpectBootFileReply();
  EXPECT_TRUE(Logged("pxe REQUEST from 198.18.0.100 to 224.0.1.2:4011 type 1 layer 0 > ACK boot file \"sample.efi\""));

  // Unicast to the server from a list of one.
  EFI_PXE_BASE_CODE_DISCOVER_INFO info{};
  info.UseUCast = TRUE;
  info.IpCnt = 1;
  info.SrvList[0].Type = 1;
  info.SrvList[0].IpAddr = orvale_test::Efi({198, 18, 0, 1});
  ASSERT_EQ(Discover(1, &info), EFI_SUCCESS);
  ExpectBootFileReply();
  EXPECT_TRUE(Logged("pxe REQUEST from 198.18.0.100 to 198.18.0.1:4011 type 1 layer 0 > ACK"));

  // A type the server is not: no answer.
  info.SrvList[0].Type = 2;
  EXPECT_NE(Discover(2, &info), EFI_SUCCESS);

  // The boot file of the reply, from the same server.
  EFI_IP_ADDRESS server = orvale_test::Efi({198, 18, 0, 1});
  UINT8 name[] = "sample.efi";
  Bytes buffer(content_.size());
  UINT64 size = buffer.size();
  UINTN blockSize = 1024;
  ASSERT_EQ(Proto()->Mtftp(Proto(), EFI_PXE_BASE_CODE_TFTP_READ_FILE, buffer.data(), FALSE, &size, &blockSize,
                           &server, name, nullptr, FALSE),
            EFI_SUCCESS);
  EXPECT_EQ(buffer, content_);
}

// As the DHCP server itself: option 60 and the boot information in the
// offer and the ACK, no proxy offer; without a group (discovery control 2),
// discovery goes by broadcast to port 67, where the DHCP service stays silent
// for the boot server.
TEST_F(BootServerPxe, InTheDhcpRepliesThenBroadcastDiscovery) {
  Start({"--pxe", "dhcp", "--pxe-multicast", "off", "--pxe-type", "7"});
  ASSERT_EQ(PxeDhcp(), EFI_SUCCESS);
  EXPECT_FALSE(Proto()->Packets->ProxyOfferReceived);
  const auto ack = Decode(Proto()->Packets->DhcpAck);
  ASSERT_TRUE(ack);
  ASSERT_NE(ack->Option(60), nullptr);
  EXPECT_EQ(*ack->Option(60), (Bytes{'P', 'X', 'E', 'C', 'l', 'i', 'e', 'n', 't'}));
  ASSERT_NE(ack->Option(43), nullptr);
  const Bytes &vendor = *ack->Option(43);
  ASSERT_GE(vendor.size(), 12u);
  EXPECT_EQ(Bytes(vendor.begin(), vendor.begin() + 12), (Bytes{6, 1, 2, 8, 7, 0, 7, 1, 198, 18, 0, 1}));  // no multicast
  EXPECT_TRUE(Logged("dhcp REQUEST 52:54:00:12:34:56 > ACK 198.18.0.100 with PXE boot information"));
  EXPECT_FALSE(Logged("proxy offer"));

  // The loader discovers here: boot servers listed, no boot file of the reply's own. Given one, it still
  // discovers under control 2, and takes the file as named under 0x08.
  PacketSlot &slot = Proto()->Packets->ParsedPackets[0];
  EXPECT_EQ(BootsWithoutDiscovery(&slot), DirectBoot::No);
  MtftpParameters none{};
  EXPECT_FALSE(MtftpParametersOf(&slot, &none));  // without --mtftp: unicast
  slot.packet.Raw[107] = 4;
  std::memcpy(slot.packet.Raw + 108, "a.sh", 4);
  slot.dhcpOptionRefs[7] = slot.packet.Raw + 106;
  EXPECT_EQ(BootsWithoutDiscovery(&slot), DirectBoot::No);
  UINT8 *control = slot.pxeOptionRefs[5];
  ASSERT_NE(control, nullptr);
  ASSERT_EQ(control[2], 2);
  control[2] = 0x0A;
  EXPECT_EQ(BootsWithoutDiscovery(&slot), DirectBoot::DiscoveryControl);
  // A recorded length that runs past the packet is never read.
  slot.packet.Raw[sizeof(slot.packet.Raw) - 1] = 1;
  slot.dhcpOptionRefs[7] = slot.packet.Raw + sizeof(slot.packet.Raw) - 2;
  EXPECT_EQ(BootsWithoutDiscovery(&slot), DirectBoot::No);
  slot.packet.Raw[sizeof(slot.packet.Raw) - 1] = 0;
  EXPECT_EQ(BootsWithoutDiscovery(&slot), DirectBoot::No);  // a name of no bytes

  ASSERT_EQ(Discover(7), EFI_SUCCESS);
  ASSERT_TRUE(Proto()->Packets->PxeReplyReceived);
  const auto reply = Decode(Proto()->Packets->PxeReply);
  ASSERT_TRUE(reply);
  ASSERT_NE(reply->Option(43), nullptr);
  EXPECT_EQ(*reply->Option(43), (Bytes{71, 4, 0, 7, 0, 0, 255}));
  EXPECT_EQ(Bytes(reply->file.begin(), reply->file.begin() + 10),
            (Bytes{'s', 'a', 'm', 'p', 'l', 'e', '.', 'e', 'f', 'i'}));
  EXPECT_TRUE(Logged("pxe REQUEST from 198.18.0.100 to 255.255.255.255:67 type 7 layer 0 > ACK"));
  // The discovery REQUEST reached the DHCP service too, which left it alone.
  size_t dhcpRequests = 0;
  for (const std::string &l : log_) dhcpRequests += l.find("dhcp REQUEST") != std::string::npos;
  EXPECT_EQ(dhcpRequests, 1u);
}

// Plain DHCP as most networks run it: the boot file and next-server in the
// replies, nothing of PXE, nobody to discover. The driver's PXE DHCP indexes
// the file field as the boot file, which is what the loader boots from.
TEST_F(BootServerPxe, PlainRepliesCarryTheBootFileAndNextServerOnly) {
  Start({"--pxe", "plain"});
  ASSERT_EQ(services_.size(), 3u);
  EXPECT_EQ(services_[0], "dhcp");
  ASSERT_EQ(PxeDhcp(), EFI_SUCCESS);
  EXPECT_FALSE(Proto()->Packets->ProxyOfferReceived);
  const auto ack = Decode(Proto()->Packets->DhcpAck);
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->siaddr, (peers::Ip4{198, 18, 0, 1}));
  EXPECT_EQ(Bytes(ack->file.begin(), ack->file.begin() + 11),
            (Bytes{'s', 'a', 'm', 'p', 'l', 'e', '.', 'e', 'f', 'i', 0}));
  EXPECT_EQ(ack->Option(60), nullptr);
  EXPECT_EQ(ack->Option(43), nullptr);
  EXPECT_TRUE(Logged("dhcp REQUEST 52:54:00:12:34:56 > ACK 198.18.0.100 boot file \"sample.efi\" next-server 198.18.0.1"));

  const PacketSlot &slot = Proto()->Packets->ParsedPackets[0];
  EXPECT_EQ(slot.pxeFlags & 0x04, 0);
  UINT8 *file = slot.dhcpOptionRefs[7];
  ASSERT_EQ(file, slot.packet.Raw + 106);
  EXPECT_EQ(file[1], 10);
  // What the loader boots from without Discover.
  EXPECT_EQ(BootsWithoutDiscovery(&slot), DirectBoot::NoBootServers);
  UINTN length = 0;
  const UINT8 *name = RecordedValue(&slot, file, &length);
  ASSERT_EQ(length, 10u);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(name), length), "sample.efi");
  EXPECT_EQ(Discover(1), EFI_INVALID_PARAMETER);
  EXPECT_FALSE(Logged("pxe "));
}

// With --mtftp the proxy offer and the discovery reply carry sub-options 1
// to 5, which complete the driver's multicast TFTP information.
TEST_F(BootServerPxe, MtftpParametersInTheOfferAndTheDiscoveryReply) {
  Start({"--pxe", "proxy", "--mtftp", "239.1.2.3,1758,1759,listen=3,transmit=4"});
  EXPECT_NE(services_.back().find("mtftp (239.1.2.3:1758, server port 1759)"), std::string::npos);
  const Bytes mtftp = {1, 4, 239, 1, 2, 3, 2, 2, 0x06, 0xDE, 3, 2, 0x06, 0xDF, 4, 1, 3, 5, 1, 4};
  ASSERT_EQ(PxeDhcp(), EFI_SUCCESS);
  const auto proxy = Decode(Proto()->Packets->ProxyOffer);
  ASSERT_TRUE(proxy && proxy->Option(43));
  Bytes expected = mtftp;
  expected.insert(expected.end(), kBootInformation.begin(), kBootInformation.end());
  EXPECT_EQ(*proxy->Option(43), expected);
  ASSERT_EQ(Discover(1), EFI_SUCCESS);
  const auto reply = Decode(Proto()->Packets->PxeReply);
  ASSERT_TRUE(reply && reply->Option(43));
  expected = mtftp;
  expected.insert(expected.end(), {71, 4, 0, 1, 0, 0, 255});
  EXPECT_EQ(*reply->Option(43), expected);

  // What the loader reads out of the slots the driver parsed: the proxy offer and the discovery reply.
  for (UINTN index : {1u, 2u}) {
    PacketSlot &slot = Proto()->Packets->ParsedPackets[index];
    MtftpParameters m{};
    ASSERT_TRUE(MtftpParametersOf(&slot, &m)) << index;
    EXPECT_EQ(Bytes(m.Group, m.Group + 4), (Bytes{239, 1, 2, 3}));
    EXPECT_EQ(m.ClientPort, 1758);
    EXPECT_EQ(m.ServerPort, 1759);
    EXPECT_EQ(m.ListenSeconds, 3);
    EXPECT_EQ(m.TransmitSeconds, 4);
    // A slot that received fewer bytes than the recorded option 43 claims is read only that far.
    const UINT8 *vendor = slot.dhcpOptionRefs[2];
    ASSERT_NE(vendor, nullptr);
    const UINT64 received = slot.length;
    slot.length = static_cast<UINT64>(vendor - slot.packet.Raw) + 2 + mtftp.size() - 1;
    EXPECT_FALSE(MtftpParametersOf(&slot, &m)) << index;
    slot.length = received;
  }
}

// Beside another DHCP server: the proxy leases nothing, a DHCP server on the
// segment gives the address.
TEST_F(BootServerPxe, NoDhcpLeavesTheAddressToTheOtherServer) {
  Start({"--pxe", "proxy", "--no-dhcp"});
  ASSERT_EQ(services_.size(), 3u);
  EXPECT_EQ(services_[0], "pxe (proxy, boot server)");
  peers::DhcpServer::Config c;
  c.offer = {198, 18, 0, 42};
  peers::Station station(&segment_, {0x02, 0, 0, 0, 0, 0x07}, {198, 18, 0, 7});
  peers::DhcpServer other(&station, c);
  ASSERT_EQ(PxeDhcp(), EFI_SUCCESS);
  EXPECT_EQ(orvale_test::Ip4Of(Proto()->Mode->StationIp), (peers::Ip4{198, 18, 0, 42}));
  EXPECT_TRUE(Proto()->Packets->ProxyOfferReceived);
  EXPECT_FALSE(Logged("dhcp "));
  ASSERT_EQ(Discover(1), EFI_SUCCESS);
  ExpectBootFileReply();
}

}  // namespace
