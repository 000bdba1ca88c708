// The boot server's multicast TFTP against the driver's multicast read: a
// transfer the driver opens, one it joins late while another client opens
// it, and one whose opener leaves half-way.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "boot_server.h"
#include "options.h"
#include "peers/tftp_server.h"
#include "tests/net_test_support.h"

namespace {

using peers::Bytes;
namespace tftp = peers::tftp;

constexpr peers::Ip4 kServerIp = {10, 0, 0, 9};
constexpr peers::Ip4 kGroup = {239, 1, 2, 3};
constexpr uint16_t kCPort = 1758, kSPort = 1759;
constexpr uint64_t kMs = hosted::kTicksPerMs;
constexpr size_t kBlocks = 200;  // the last one 100 bytes

// Another client of the group: it opens the transfer and acknowledges each
// block it hears after a delay, up to a block after which it leaves.
struct PeerOpener {
  PeerOpener(hosted::SimSegment *segment, const peers::Mac &serverMac, const peers::Ip4 &ip, size_t leaveAfter)
      : segment(segment), serverMac(serverMac), station(segment, {0x02, 0, 0, 0, 0, ip[3]}, ip),
        leaveAfter(leaveAfter) {
    station.OnFrame = [this](const hosted::Frame &frame) {
      const auto e = peers::ParseEthernet(frame.bytes);
      const auto ip4 = e && e->etherType == peers::kEtherIpv4 ? peers::ParseIpv4(e->payload) : std::nullopt;
      if (!ip4 || ip4->destination != kGroup) return;
      const auto udp = peers::ParseUdp(ip4->source, ip4->destination, ip4->payload);
      if (!udp || udp->destinationPort != kCPort || peers::GetBe16(udp->data, 0) != tftp::kData) return;
      const uint16_t block = peers::GetBe16(udp->data, 2);
      if (block <= this->leaveAfter) Send(tftp::Ack(block), 2 * kMs);
    };
  }
  void Send(const Bytes &data, uint64_t delay) {
    peers::Ipv4Fields f;
    f.source = station.Ip();
    f.destination = kServerIp;
    f.identification = ++id;
    peers::UdpFields u;
    u.sourcePort = kCPort;
    u.destinationPort = kSPort;
    segment->Inject(peers::BuildEthernet(serverMac, station.Address(), peers::kEtherIpv4,
                                         peers::BuildIpv4(f, peers::BuildUdp(f.source, kServerIp, u, data))),
                    delay);
  }
  void Request(uint64_t delay) {
    Send(Bytes{0, 1, 'b', 'o', 'o', 't', '.', 'i', 'm', 'g', 0, 'o', 'c', 't', 'e', 't', 0}, delay);
  }

  hosted::SimSegment *segment;
  peers::Mac serverMac;
  peers::Station station;
  size_t leaveAfter;
  uint16_t id = 0;
};

TEST(BootServerMtftpOptions, GroupPortsTimesAndRefusals) {
  std::string error;
  const std::vector<std::string> base = {"--dgram", "127.0.0.1:1", "--image", "a.efi"};
  auto with = [&](std::vector<std::string> more) {
    more.insert(more.begin(), base.begin(), base.end());
    return bootserver::ParseServerOptions(more, &error);
  };
  auto o = with({});
  ASSERT_TRUE(o) << error;
  EXPECT_FALSE(o->mtftp);
  o = with({"--mtftp", "224.0.1.5,1758,1759"});
  ASSERT_TRUE(o && o->mtftp) << error;
  EXPECT_EQ(o->mtftp->group, (bootserver::Ip4{224, 0, 1, 5}));
  EXPECT_EQ(o->mtftp->clientPort, 1758);
  EXPECT_EQ(o->mtftp->serverPort, 1759);
  EXPECT_EQ(o->mtftp->listenSeconds, 2);
  EXPECT_EQ(o->mtftp->transmitSeconds, 2);
  o = with({"--mtftp=239.255.0.1, 9, 10, transmit=255, listen=1"});
  ASSERT_TRUE(o && o->mtftp) << error;
  EXPECT_EQ(o->mtftp->listenSeconds, 1);
  EXPECT_EQ(o->mtftp->transmitSeconds, 255);
  EXPECT_FALSE(with({"--mtftp", "239.1.1.1,1,2", "--mtftp", "off"})->mtftp);
  for (const char *bad : {"223.1.1.1,1,2", "240.0.0.1,1,2", "239.1.1.1,1", "239.1.1.1,0,2", "239.1.1.1,1,65536",
                          "239.1.1.1,5,5", "239.1.1.1,1,2,listen=0", "239.1.1.1,1,2,transmit=256",
                          "239.1.1.1,1,2,delay=3"}) {
    EXPECT_FALSE(with({"--mtftp", bad})) << bad;
  }
}

class BootServerMtftp : public orvale_test::NetTest {
 protected:
  void SetUp() override {
    // A folder of this test's own: ctest runs the fixture's tests side by side.
    folder_ = ::testing::TempDir() + "boot-server-mtftp-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name() + "-" + std::to_string(getpid());
    ASSERT_EQ(std::system(("mkdir -p " + folder_).c_str()), 0);
    content_.resize((kBlocks - 1) * 512 + 100);
    for (size_t i = 0; i < content_.size(); ++i) content_[i] = static_cast<uint8_t>(i * 11 + (i >> 9));
    std::ofstream(folder_ + "/boot.img", std::ios::binary)
        .write(reinterpret_cast<const char *>(content_.data()), static_cast<std::streamsize>(content_.size()));
    NetTest::SetUp();
    if (HasFatalFailure()) return;
    std::string error;
    auto o = bootserver::ParseServerOptions({"--dgram", "127.0.0.1:1", "--image", folder_ + "/boot.img", "--address",
                                             "10.0.0.9/24", "--mtftp", "239.1.2.3,1758,1759,listen=1,transmit=1"},
                                            &error);
    ASSERT_TRUE(o) << error;
    server_ = std::make_unique<bootserver::BootServer>(&segment_, *o, [this](const std::string &l) {
      log_.push_back(l);
    });
    server_->SetClock([this] { return static_cast<double>(fw_.Now()) / hosted::kTicksPerSecond; });
    bootserver::AttachServices(*server_);
  }
  void TearDown() override {
    NetTest::TearDown();
    server_.reset();
    (void)std::system(("rm -rf " + folder_).c_str());
  }
  // Operation 6 with listen and transmit times of 1 s.
  EFI_STATUS Read(Bytes *into) {
    EFI_PXE_BASE_CODE_MTFTP_INFO info{};
    info.MCastIp = orvale_test::Efi(kGroup);
    info.CPort = kCPort;
    info.SPort = kSPort;
    info.ListenTimeout = 1;
    info.TransmitTimeout = 1;
    into->assign(content_.size() + 512, 0xEE);
    UINT64 size = into->size();
    EFI_IP_ADDRESS server = orvale_test::Efi(kServerIp);
    UINT8 name[] = "boot.img";
    const EFI_STATUS status = Proto()->Mtftp(Proto(), EFI_PXE_BASE_CODE_MTFTP_READ_FILE, into->data(), FALSE, &size,
                                             nullptr, &server, name, &info, FALSE);
    into->resize(std::min<size_t>(size, into->size()));
    return status;
  }
  std::vector<std::string> TransferLines() const {
    std::vector<std::string> lines;
    for (const std::string &l : log_)
      if (l.find("] mtftp boot.img to 239.1.2.3:1758 opened by") != std::string::npos) lines.push_back(l);
    return lines;
  }
  // DATA frames the server sent, by destination MAC: the group's, or another (unicast).
  std::pair<size_t, size_t> DataFrames() const {
    size_t group = 0, unicast = 0;
    for (const hosted::Frame &f : segment_.History()) {
      const auto e = peers::ParseEthernet(f.bytes);
      if (!e || e->source != server_->Options().mac || e->etherType != peers::kEtherIpv4) continue;
      const auto ip = peers::ParseIpv4(e->payload);
      if (!ip || ip->protocol != peers::kProtoUdp) continue;
      const auto udp = peers::ParseUdp(ip->source, ip->destination, ip->payload);
      if (!udp || udp->sourcePort != kSPort || peers::GetBe16(udp->data, 0) != tftp::kData) continue;
      ++(e->destination == peers::MulticastMac(kGroup) ? group : unicast);
    }
    return {group, unicast};
  }

  std::string folder_;
  Bytes content_;
  std::unique_ptr<bootserver::BootServer> server_;
  std::vector<std::string> log_;
};

TEST_F(BootServerMtftp, TheDriverOpensASilentGroupAndAcknowledgesEveryBlock) {
  Bytes got;
  const uint64_t start = fw_.Now();
  ASSERT_EQ(Read(&got), EFI_SUCCESS);
  EXPECT_EQ(got, content_);
  // One listen time of silence, then the blocks in lock-step.
  EXPECT_LT(fw_.Now() - start, 2000 * kMs);
  const auto [group, unicast] = DataFrames();
  EXPECT_EQ(group, kBlocks);  // each block once to the group
  EXPECT_EQ(unicast, 1u);     // and block 1 to the opener
  const auto lines = TransferLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("opened by 10.0.0.2: complete; 1 client(s) heard (10.0.0.2), 200 of 200 blocks sent in 201 "
                          "DATA frames"),
            std::string::npos)
      << lines[0];
  // Nothing was read by unicast TFTP.
  EXPECT_EQ(log_.end(), std::find_if(log_.begin(), log_.end(), [](const std::string &l) {
              return l.find("tftp RRQ") != std::string::npos;
            }));
}

// A transfer under way when the driver joins: it takes the rest from the
// group, then opens the file again for the blocks it missed. Another client
// asking meanwhile gets nothing of its own.
TEST_F(BootServerMtftp, LateJoinAndAnOpenerThatLeaves) {
  struct Case {
    const char *name;
    size_t leaveAfter;
    const char *firstEnd;
  } const cases[] = {
      {"opener stays", kBlocks, "opened by 10.0.0.3: complete; 3 client(s) heard (10.0.0.2, 10.0.0.3, 10.0.0.4)"},
      {"opener leaves", 120, "opened by 10.0.0.3: opener silent after block 121; 3 client(s) heard"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    log_.clear();
    segment_.ClearHistory();
    PeerOpener opener(&segment_, server_->Options().mac, {10, 0, 0, 3}, c.leaveAfter);
    PeerOpener asker(&segment_, server_->Options().mac, {10, 0, 0, 4}, 0);
    opener.Request(0);
    asker.Request(60 * kMs);
    fw_.Advance(100 * kMs);  // some 50 blocks gone by
    Bytes got;
    const uint64_t start = fw_.Now();
    ASSERT_EQ(Read(&got), EFI_SUCCESS);
    EXPECT_EQ(got, content_);
    EXPECT_LT(fw_.Now() - start, 8000 * kMs);
    const auto lines = TransferLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(c.firstEnd), std::string::npos) << lines[0];
    for (auto &l : lines) printf("%s\n", l.c_str());
    EXPECT_NE(lines[1].find("opened by 10.0.0.2: complete; 1 client(s) heard (10.0.0.2), 200 of 200 blocks"),
              std::string::npos)
        << lines[1];
    // Block 1 went unicast only to the two openers, never to the client that asked mid-transfer.
    const auto [group, unicast] = DataFrames();
    EXPECT_EQ(unicast, 2u);
    EXPECT_LE(group, 2 * kBlocks);
    fw_.Advance(3000 * kMs);  // the opener's last ACKs are gone
  }
}

}  // namespace
