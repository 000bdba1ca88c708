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
