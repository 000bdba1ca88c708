// The judge itself: it must flag a broken frame the driver's MAC sent, leave
// other senders' frames alone, and never read a failed decode as clean.
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "tests/realnet/realnet_fixture.h"

namespace realnet {
namespace {

// A UDP datagram 198.18.0.10:2070 -> 198.18.0.1:7000 carrying "hello", with
// checksums worked out by hand. Bytes 6..11 (the source MAC) are set per test.
hosted::Bytes GoodFrame(const hosted::Mac &source) {
  hosted::Bytes f = {
      0x02, 0x00, 0x00, 0x00, 0x00, 0x99,  // destination MAC: nobody on the link
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // source MAC (below)
      0x08, 0x00,                          // EtherType IPv4
      0x45, 0x00,                          // version 4, IHL 5; TOS 0
      0x00, 0x21,                          // total length 33
      0x12, 0x34,                          // identification
      0x00, 0x00,                          // flags and fragment offset
      0x10, 0x11,                          // TTL 16, protocol UDP
      0x0c, 0x69,                          // header checksum
      198,  18,   0,    10,                // source 198.18.0.10
      198,  18,   0,    1,                 // destination 198.18.0.1
      0x08, 0x16,                          // source port 2070
      0x1b, 0x58,                          // destination port 7000
      0x00, 0x0d,                          // UDP length 13
      0x0c, 0x64,                          // UDP checksum
      'h',  'e',  'l',  'l',  'o',         // data
  };
  std::copy(source.begin(), source.end(), f.begin() + 6);
  return f;
}

hosted::Bytes BadChecksumFrame(const hosted::Mac &source) {
  hosted::Bytes f = GoodFrame(source);
  f[40] = 0x0c;  // UDP checksum 0x0c65: off by one
  f[41] = 0x65;
  return f;
}

void WritePcap(const std::string &path, const std::vector<hosted::Bytes> &frames) {
  std::ofstream out(path, std::ios::binary);
  auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char *>(&v), 4); };
  auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char *>(&v), 2); };
  u32(0xa1b2c3d4);  // classic pcap, microseconds, host order
  u16(2);
  u16(4);
  u32(0);
  u32(0);
  u32(65535);
  u32(1);  // Ethernet
  uint32_t second = 1;
  for (const hosted::Bytes &f : frames) {
    u32(second++);
    u32(0);
    u32(static_cast<uint32_t>(f.size()));
    u32(static_cast<uint32_t>(f.size()));
    out.write(reinterpret_cast<const char *>(f.data()), static_cast<std::streamsize>(f.size()));
  }
}

class Judge : public CapturedTest {
 protected:
  void SetUp() override {
    judgeInTearDown_ = false;  // these tests judge their own captures
    // Frame numbers count the test's own frames only: a late frame of an
    // earlier test's server can fall into the capture first.
    captureFilter_ = "udp dst port 7000";
    CapturedTest::SetUp();
  }
};

TEST_F(Judge, FlagsABrokenFrameFromTheDriversMacOnly) {
  std::string why;
  auto wire = hosted::PacketSocketWire::Open(env_.iface, &why);
  ASSERT_TRUE(wire != nullptr) << why;
  hosted::Mac other = {0x02, 0x00, 0x00, 0x00, 0x00, 0x77};
  ASSERT_TRUE(wire->SendRaw(GoodFrame(mac_)));
  ASSERT_TRUE(wire->SendRaw(BadChecksumFrame(mac_)));
  ASSERT_TRUE(wire->SendRaw(BadChecksumFrame(other)));  // not the driver's: not judged
  ASSERT_TRUE(wire->SendRaw(GoodFrame(mac_)));
  const std::string path = StopCapture();

  realnet::Verdict v = realnet::Judge(path, mac_);
  EXPECT_TRUE(v.usable) << v.Summary();
  EXPECT_FALSE(v.clean) << v.Summary();
  EXPECT_EQ(v.driverFrames, 3u) << v.Summary();
  ASSERT_EQ(v.flaggedFrames.size(), 1u) << v.Summary();
  EXPECT_EQ(v.flaggedFrames[0], 2u);
  ASSERT_EQ(v.problems.size(), 1u);
  EXPECT_NE(v.problems[0].find("Bad checksum"), std::string::npos) << v.problems[0];

  // The same frames judged for the other MAC: only its one bad frame counts.
  realnet::Verdict o = realnet::Judge(path, other);
  EXPECT_TRUE(o.usable) << o.Summary();
  ASSERT_EQ(o.flaggedFrames.size(), 1u) << o.Summary();
  EXPECT_EQ(o.flaggedFrames[0], 3u);
}

TEST_F(Judge, ANonDecodeIsNeverClean) {
  StopCapture();
  const std::string dir = env_.captureDir + "/judge-inputs";
  ASSERT_EQ(RunCommand({"mkdir", "-p", dir}).exitCode, 0);
  const std::string good = dir + "/good.pcap";
  WritePcap(good, {GoodFrame(mac_)});
  realnet::Verdict v = realnet::Judge(good, mac_);
  ASSERT_TRUE(v.clean) << "the control case must pass: " << v.Summary();

  // tshark 4.0 has no ICMP checksum preference and exits without output.
  v = realnet::Judge(good, mac_, {"-o", "icmp.check_checksum:TRUE"});
  EXPECT_FALSE(v.usable) << v.Summary();
  EXPECT_FALSE(v.clean);

  v = realnet::Judge(dir + "/missing.pcap", mac_);
  EXPECT_FALSE(v.usable) << v.Summary();
  EXPECT_FALSE(v.clean);

  const std::string empty = dir + "/empty.pcap";
  WritePcap(empty, {});
  v = realnet::Judge(empty, mac_);
  EXPECT_FALSE(v.usable) << v.Summary();
  EXPECT_FALSE(v.clean);

  // Frames, but none the driver sent: nothing was judged, so nothing passed.
  const std::string foreign = dir + "/foreign.pcap";
  WritePcap(foreign, {GoodFrame({0x02, 0, 0, 0, 0, 0x77})});
  v = realnet::Judge(foreign, mac_);
  EXPECT_FALSE(v.usable) << v.Summary();
  EXPECT_FALSE(v.clean);

  // A file that ends inside a record is not a capture to trust.
  const std::string cut = dir + "/cut.pcap";
  WritePcap(cut, {GoodFrame(mac_)});
  ASSERT_EQ(truncate(cut.c_str(), 24 + 16 + 10), 0);
  v = realnet::Judge(cut, mac_);
  EXPECT_FALSE(v.usable) << v.Summary();
}

}  // namespace
}  // namespace realnet
