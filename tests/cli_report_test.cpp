// The tool's record of the WIRL servers heard: only what its report prints,
// however many frames cross the interface.
#include <gtest/gtest.h>

#include "tools/cli/dhcp_print.h"

namespace {

using hosted::Bytes;

const hosted::Mac kOwn = {0x02, 0x00, 0x00, 0x00, 0x00, 0x10};

// An unfragmented IPv4/UDP frame carrying a BOOTP message with these option bytes.
Bytes Frame(const hosted::Mac &src, unsigned from, unsigned to, const Bytes &options) {
  Bytes f = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  f.insert(f.end(), src.begin(), src.end());
  f.insert(f.end(), {0x08, 0x00});
  const size_t udpLength = 8 + 240 + options.size();
  const size_t total = 20 + udpLength;
  f.insert(f.end(), {0x45, 0, uint8_t(total >> 8), uint8_t(total), 0, 1, 0, 0, 64, 17, 0, 0,  // no checksum needed here
                     198, 18, 0, 1, 255, 255, 255, 255});
  f.insert(f.end(), {uint8_t(from >> 8), uint8_t(from), uint8_t(to >> 8), uint8_t(to), uint8_t(udpLength >> 8),
                     uint8_t(udpLength), 0, 0});
  Bytes bootp(240, 0);
  bootp[0] = from == 68 ? 1 : 2;
  bootp[236] = 99, bootp[237] = 130, bootp[238] = 83, bootp[239] = 99;
  f.insert(f.end(), bootp.begin(), bootp.end());
  f.insert(f.end(), options.begin(), options.end());
  return f;
}

// A LIST reply from server a.b.c.d with this priority and default image.
Bytes ListReply(uint8_t last, uint16_t priority, unsigned from = 67) {
  const Bytes options = {53, 1, 5,  54, 4, 198, 18, 0, last,  //
                         43, 13, 1, 1, 1,                      // kind: LIST reply
                         4, 2, uint8_t(priority >> 8), uint8_t(priority),
                         7, 4, 3, 0, 0, last,  //
                         255};
  return Frame({0x02, 0, 0, 0, 0, last}, from, 68, options);
}

TEST(WirlHeardTest, KeepsOnlyWhatTheReportPrints) {
  orvale_cli::WirlHeard heard(nullptr, kOwn);
  heard.Take(ListReply(1, 5));
  // A flood: offers of another transaction, short frames, ARP, repeats.
  const Bytes offer = Frame({0x02, 0, 0, 0, 0, 9}, 67, 68, {53, 1, 2, 54, 4, 198, 18, 0, 9, 255});
  for (int i = 0; i < 20000; ++i) {
    heard.Take(offer);
    heard.Take(Bytes(offer.begin(), offer.begin() + 40));
    if (i % 10 == 0) heard.Take(ListReply(1, 5));
  }
  heard.Take(ListReply(2, 9, 7799));
  heard.Take(ListReply(3, 1, 68));  // to the server port: not a reply
  // The SELECT the driver sent, then a later one (not the choice reported), and
  // a SELECT from another station.
  const Bytes select = {53, 1, 8, 43, 15, 1, 1, 2, 8, 4, 3, 0, 0, 2, 3, 4, 198, 18, 0, 2, 255};
  heard.Take(Frame({0x02, 0, 0, 0, 0, 0x77}, 68, 67, select));
  heard.Take(Frame(kOwn, 68, 67, select));
  heard.Take(Frame(kOwn, 68, 67, {53, 1, 8, 43, 15, 1, 1, 2, 8, 4, 3, 0, 0, 1, 3, 4, 198, 18, 0, 1, 255}));

  EXPECT_EQ(heard.Heard(), (std::vector<std::string>{"heard 198.18.0.1 priority 5 default 03000001",
                                                     "heard 198.18.0.2 priority 9 default 03000002"}));
  EXPECT_EQ(heard.Chosen(), "chose image 03000002 on 198.18.0.2");
  EXPECT_EQ(heard.Passed(), 0u);

  // Distinct forged servers are kept up to the bound and counted past it.
  for (unsigned i = 0; i < 300; ++i) heard.Take(ListReply(uint8_t(10 + i % 240), uint16_t(i)));
  EXPECT_EQ(heard.Heard().size(), orvale_cli::WirlHeard::kMaxHeard);
  EXPECT_EQ(heard.Passed(), 300u - (orvale_cli::WirlHeard::kMaxHeard - 2));
}

}  // namespace

// The pxe and discover reports decode the published packets with the tool's
// own walker: class from the sub-options present, bounded lists, and nothing
// read past the bytes given (a truncated packet prints what it holds).
TEST(PxePacketLinesTest, ClassesListsAndTruncation) {
  auto packet = [](const Bytes &options) {
    Bytes p(240, 0);
    p[0] = 2;
    p[16] = 198, p[17] = 18, p[18] = 0, p[19] = 7;
    p[236] = 99, p[237] = 130, p[238] = 83, p[239] = 99;
    p.insert(p.end(), options.begin(), options.end());
    return p;
  };
  const Bytes discovery = packet({54, 4, 198, 18, 0, 1, 60, 9, 'P', 'X', 'E', 'C', 'l', 'i', 'e', 'n', 't',
                                  43, 20, 6, 1, 3,                          // discovery control
                                  8, 7, 0, 5, 1, 198, 18, 0, 9,             // one server of type 5
                                  9, 6, 0, 5, 3, 'o', 'n', 'e',             // a menu entry
                                  67, 4, 'b', 'o', 'o', 't', 255});
  const std::vector<std::string> lines = orvale_cli::PxePacketLines("ack", discovery.data(), discovery.size());
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "  ack: yiaddr 198.18.0.7 server 198.18.0.1 class 1");
  EXPECT_EQ(lines[1], "    boot file: boot");
  EXPECT_EQ(lines[2], "    discovery control: 0x03");
  EXPECT_EQ(lines[3], "    boot servers of type 5: 198.18.0.9");
  EXPECT_EQ(lines[4], "    menu: type 5 \"one\"");

  const Bytes mtftp = packet({43, 20, 1, 4, 224, 1, 1, 1, 2, 2, 0, 9, 3, 2, 0, 10, 4, 1, 1, 5, 1, 2, 255});
  EXPECT_EQ(orvale_cli::PxePacketLines("proxy", mtftp.data(), mtftp.size())[0],
            "  proxy: yiaddr 198.18.0.7 server 0.0.0.0 class 2");
  // Four of the five multicast sub-options: another PXE reply.
  const Bytes partial = packet({43, 17, 1, 4, 224, 1, 1, 1, 2, 2, 0, 9, 3, 2, 0, 10, 4, 1, 1, 255});
  EXPECT_EQ(orvale_cli::PxePacketLines("p", partial.data(), partial.size())[0], "  p: yiaddr 198.18.0.7 server 0.0.0.0 class 3");
  const Bytes plain = packet({53, 1, 5, 255});
  EXPECT_EQ(orvale_cli::PxePacketLines("p", plain.data(), plain.size())[0], "  p: yiaddr 198.18.0.7 server 0.0.0.0 class 0");

  // A server list claiming more addresses than it carries prints no server;
  // a packet cut inside its options prints what lies before the cut.
  const Bytes overlong = packet({43, 9, 8, 7, 0, 5, 2, 198, 18, 0, 9, 255});
  const std::vector<std::string> one = orvale_cli::PxePacketLines("r", overlong.data(), overlong.size());
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0], "  r: yiaddr 198.18.0.7 server 0.0.0.0 class 1");
  const std::vector<uint8_t> cutAt(discovery.begin(), discovery.begin() + 240 + 10);
  const std::vector<std::string> cut = orvale_cli::PxePacketLines("c", cutAt.data(), cutAt.size());
  ASSERT_EQ(cut.size(), 1u);
  EXPECT_EQ(cut[0], "  c: yiaddr 198.18.0.7 server 198.18.0.1 class 0");
}
