// The network-boot loader's settings file, its reading of the image list the
// Wirl member gathers and of a PXE reply's multicast TFTP sub-options
// (efi/loader/config.cpp, efi/loader/image_list.cpp, efi/loader/pxe_reply.cpp).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "efi/loader/config.h"
#include "efi/loader/image_list.h"
#include "efi/loader/pxe_reply.h"

namespace {

// The text in a heap block of exactly its length, so that ASan sees any read past it.
struct Parsed {
  LoaderConfig config;
  std::vector<ConfigProblem> problems = std::vector<ConfigProblem>(4);
  UINTN refused = 0;
};

Parsed Parse(const std::string &text, UINTN maxProblems = 4) {
  Parsed p;
  std::vector<UINT8> bytes(text.begin(), text.end());
  p.refused = ParseLoaderConfig(bytes.empty() ? nullptr : bytes.data(), bytes.size(), &p.config, p.problems.data(),
                                maxProblems);
  return p;
}

bool Accepted(const std::string &line) { return Parse(line + "\n").refused == 0; }

TEST(LoaderConfig, DefaultsWithoutText) {
  const Parsed p = Parse("");
  EXPECT_EQ(p.refused, 0u);
  EXPECT_EQ(p.config.ServerPort, 67);
  EXPECT_EQ(p.config.BlockSize, 8192u);
  EXPECT_EQ(p.config.ListRounds, 2u);
  EXPECT_EQ(p.config.FirstBuffer, 0u);
  EXPECT_FALSE(p.config.ExplicitImage);
  EXPECT_FALSE(p.config.HaveWirlServer);
  EXPECT_FALSE(p.config.FilterImageKind);
  EXPECT_FALSE(p.config.UseDefaultImage);
  EXPECT_FALSE(p.config.PowerOff);
  EXPECT_EQ(p.config.LocalImage[0], '\0');
}

TEST(LoaderConfig, EveryKeyWithCommentsBlanksAndCrLf) {
  const Parsed p = Parse(
      "# boot settings\r\n"
      "\r\n"
      "  server-port = 7799   # alternate port\r\n"
      "wirl-server=198.18.0.1\r\n"
      "image-kind = 3\n"
      "use-default = yes\n"
      "image = 0x83000002\n"
      "image-server = 198.18.0.2\n"
      "list-rounds = 0\n"
      "block-size = 1468\n"
      "first-buffer = 4M\n"
      "local-image = \\EFI\\sample.efi\n"
      "power-off = on");  // no line end on the last line
  EXPECT_EQ(p.refused, 0u);
  const LoaderConfig &c = p.config;
  EXPECT_EQ(c.ServerPort, 7799);
  EXPECT_TRUE(c.HaveWirlServer);
  EXPECT_EQ(std::vector<UINT8>(c.WirlServer, c.WirlServer + 4), (std::vector<UINT8>{198, 18, 0, 1}));
  EXPECT_TRUE(c.FilterImageKind);
  EXPECT_TRUE(c.UseDefaultImage);
  EXPECT_TRUE(c.ExplicitImage);
  EXPECT_EQ(std::vector<UINT8>(c.Image, c.Image + 4), (std::vector<UINT8>{0x83, 0x00, 0x00, 0x02}));
  EXPECT_TRUE(c.HaveImageServer);
  EXPECT_EQ(std::vector<UINT8>(c.ImageServer, c.ImageServer + 4), (std::vector<UINT8>{198, 18, 0, 2}));
  EXPECT_EQ(c.ListRounds, 0u);
  EXPECT_EQ(c.BlockSize, 1468u);
  EXPECT_EQ(c.FirstBuffer, 4u * 1024 * 1024);
  EXPECT_STREQ(c.LocalImage, "\\EFI\\sample.efi");
  EXPECT_TRUE(c.PowerOff);
}

TEST(LoaderConfig, NumberBoundaries) {
  EXPECT_FALSE(Accepted("server-port = 0"));
  EXPECT_TRUE(Accepted("server-port = 1"));
  EXPECT_TRUE(Accepted("server-port = 65535"));
  EXPECT_FALSE(Accepted("server-port = 65536"));
  EXPECT_FALSE(Accepted("server-port = 99999999999999999999999"));  // overflow, not wrap
  EXPECT_FALSE(Accepted("server-port = -1"));
  EXPECT_FALSE(Accepted("server-port = 67x"));
  EXPECT_FALSE(Accepted("server-port ="));

  EXPECT_FALSE(Accepted("block-size = 511"));
  EXPECT_TRUE(Accepted("block-size = 512"));
  EXPECT_TRUE(Accepted("block-size = 65464"));
  EXPECT_FALSE(Accepted("block-size = 65465"));

  EXPECT_TRUE(Accepted("list-rounds = 8"));
  EXPECT_FALSE(Accepted("list-rounds = 9"));

  EXPECT_EQ(Parse("floor-rounds = 4000").config.FloorRounds, 4000u);
  EXPECT_TRUE(Accepted("floor-rounds = 20000"));
  EXPECT_FALSE(Accepted("floor-rounds = 20001"));

  EXPECT_EQ(Parse("first-buffer = 16k").config.FirstBuffer, 16u * 1024);
  EXPECT_TRUE(Accepted("first-buffer = 1073741824"));
  EXPECT_FALSE(Accepted("first-buffer = 1073741825"));
  EXPECT_TRUE(Accepted("first-buffer = 1024M"));
  EXPECT_FALSE(Accepted("first-buffer = 1025M"));
  EXPECT_FALSE(Accepted("first-buffer = M"));
}

TEST(LoaderConfig, AddressImageAndPathForms) {
  EXPECT_TRUE(Accepted("wirl-server = 0.0.0.0"));
  EXPECT_TRUE(Accepted("wirl-server = 255.255.255.255"));
  EXPECT_FALSE(Accepted("wirl-server = 256.1.1.1"));
  EXPECT_FALSE(Accepted("wirl-server = 1.2.3"));
  EXPECT_FALSE(Accepted("wirl-server = 1.2.3.4.5"));
  EXPECT_FALSE(Accepted("wirl-server = 1..2.3"));
  EXPECT_FALSE(Accepted("wirl-server = 1.2.3.4x"));
  EXPECT_FALSE(Accepted("wirl-server = 1234.1.1.1"));

  EXPECT_TRUE(Accepted("image = 03000001"));
  EXPECT_TRUE(Accepted("image = 0XaBcDeF01"));
  EXPECT_FALSE(Accepted("image = 0300001"));     // 7 digits
  EXPECT_FALSE(Accepted("image = 030000011"));   // 9 digits
  EXPECT_FALSE(Accepted("image = 0300000g"));

  EXPECT_FALSE(Accepted("image-kind = 4"));
  EXPECT_TRUE(Accepted("image-kind = any"));
  EXPECT_FALSE(Accepted("use-default = maybe"));

  EXPECT_FALSE(Accepted("local-image = sample.efi"));  // not from the volume's root
  EXPECT_TRUE(Accepted("local-image = \\" + std::string(126, 'a')));   // 127 bytes and the NUL
  EXPECT_FALSE(Accepted("local-image = \\" + std::string(127, 'a')));  // 128 bytes: no room for the NUL
  EXPECT_FALSE(Accepted("local-image = \\a\tb"));
}

TEST(LoaderConfig, PxePathTypeAndServer) {
  EXPECT_FALSE(Parse("").config.PxePath);
  EXPECT_EQ(Parse("").config.PxeServerType, 1);
  const Parsed p = Parse("boot-path = pxe\npxe-type = 65535\npxe-server = 198.18.0.9\n");
  EXPECT_EQ(p.refused, 0u);
  EXPECT_TRUE(p.config.PxePath);
  EXPECT_EQ(p.config.PxeServerType, 65535);
  EXPECT_TRUE(p.config.HavePxeServer);
  EXPECT_EQ(std::memcmp(p.config.PxeServer, "\xC6\x12\x00\x09", 4), 0);
  EXPECT_FALSE(Parse("boot-path = pxe\nboot-path = wirl\n").config.PxePath);
  EXPECT_FALSE(Accepted("boot-path = bootp"));
  EXPECT_FALSE(Accepted("pxe-type = 0"));
  EXPECT_TRUE(Accepted("pxe-type = 1"));
  EXPECT_FALSE(Accepted("pxe-type = 65536"));
  EXPECT_FALSE(Accepted("pxe-server = 198.18.0"));
  EXPECT_FALSE(Parse("pxe-server = 1.2.3.256\n").config.HavePxeServer);
}

TEST(LoaderConfig, RefusedLinesAreReportedAndTheRestApplies) {
  const Parsed p = Parse(
      "server-port = 7799\n"
      "colour = blue\n"
      "block-size\n"
      "block-size = 1468\n");
  EXPECT_EQ(p.refused, 2u);
  EXPECT_EQ(p.problems[0].Line, 2u);
  EXPECT_STREQ(p.problems[0].Reason, "unknown key");
  EXPECT_EQ(p.problems[1].Line, 3u);
  EXPECT_STREQ(p.problems[1].Reason, "expected key = value");
  EXPECT_EQ(p.config.ServerPort, 7799);
  EXPECT_EQ(p.config.BlockSize, 1468u);

  // A refused value leaves the earlier one in place.
  EXPECT_EQ(Parse("block-size = 1468\nblock-size = 1\n").config.BlockSize, 1468u);

  // More refusals than room: all counted, only MaxProblems written.
  Parsed many;
  std::vector<UINT8> text;
  for (char c : std::string("a\nb\nc\nd\ne\n")) text.push_back(static_cast<UINT8>(c));
  ConfigProblem two[2];
  EXPECT_EQ(ParseLoaderConfig(text.data(), text.size(), &many.config, two, 2), 5u);
  EXPECT_EQ(two[1].Line, 2u);
}

TEST(LoaderConfig, ReadsOnlyTheBytesGiven) {
  const std::string text = "block-size = 1468\nserver-port = 99\n";
  std::vector<UINT8> bytes(text.begin(), text.begin() + 18);  // the first line and its '\n' only
  LoaderConfig c;
  EXPECT_EQ(ParseLoaderConfig(bytes.data(), bytes.size(), &c, nullptr, 0), 0u);
  EXPECT_EQ(c.BlockSize, 1468u);
  EXPECT_EQ(c.ServerPort, 67);
  // Cut inside a value: the partial number is what applies.
  std::vector<UINT8> cut(text.begin(), text.begin() + 15);  // "block-size = 14"
  ParseLoaderConfig(cut.data(), cut.size(), &c, nullptr, 0);
  EXPECT_EQ(c.BlockSize, 1468u);  // 14 is below 512: refused, the earlier value stays
}

// ---- Image list ----

std::vector<ListRecord> Records(const std::vector<UINT8> &list, UINTN *end) {
  std::vector<ListRecord> out;
  UINTN offset = 0;
  ListRecord r;
  while (ReadListRecord(list.data(), list.size(), &offset, &r)) out.push_back(r);
  *end = offset;
  return out;
}

TEST(LoaderImageList, RecordsAsTheDriverAppendsThem) {
  const std::vector<UINT8> list = {
      198, 18, 0, 1,  // server identifier
      0x43, 0x00,     // port 67, host order
      7, 0, 0, 0,     // list length 7, host order
      0x83, 0x00, 0x00, 0x01, 2, 'h', 'i',  // image 83000001 "hi"
      198, 18, 0, 2,
      0x77, 0x1E,     // port 7799
      0, 0, 0, 0,     // empty list
  };
  UINTN end = 0;
  const auto records = Records(list, &end);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(end, list.size());
  EXPECT_EQ(records[0].Server[3], 1);
  EXPECT_EQ(records[0].Port, 67);
  EXPECT_EQ(records[0].ImagesLength, 7u);
  EXPECT_EQ(records[0].Images, list.data() + 10);
  EXPECT_EQ(records[1].Server[3], 2);
  EXPECT_EQ(records[1].Port, 7799);
  EXPECT_EQ(records[1].ImagesLength, 0u);

  UINTN at = 0;
  ImageEntry e;
  ASSERT_TRUE(ReadImageEntry(records[0].Images, records[0].ImagesLength, &at, &e));
  EXPECT_EQ(e.Kind, 3);  // the top bit is not part of the kind
  EXPECT_EQ(e.Id[0], 0x83);
  EXPECT_EQ(e.Id[3], 0x01);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(e.Name), e.NameLength), "hi");
  EXPECT_EQ(at, 7u);
  EXPECT_FALSE(ReadImageEntry(records[0].Images, records[0].ImagesLength, &at, &e));
}

TEST(LoaderImageList, CutRecordsAndEntriesAreRefusedWithoutReadingPast) {
  // List length one more than what follows.
  std::vector<UINT8> list = {1, 2, 3, 4, 67, 0, 3, 0, 0, 0, 0xAA, 0xBB};
  UINTN end = 0;
  EXPECT_TRUE(Records(list, &end).empty());
  EXPECT_EQ(end, 0u);
  list.push_back(0xCC);  // exactly fits now
  EXPECT_EQ(Records(list, &end).size(), 1u);
  // A header one byte short.
  const std::vector<UINT8> shortHeader = {1, 2, 3, 4, 67, 0, 0, 0, 0};
  EXPECT_TRUE(Records(shortHeader, &end).empty());
  // A length whose addition would wrap.
  const std::vector<UINT8> huge = {1, 2, 3, 4, 67, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0};
  EXPECT_TRUE(Records(huge, &end).empty());

  // Entry: name length one more than what follows, then exactly.
  std::vector<UINT8> entry = {0x03, 0, 0, 1, 3, 'a', 'b'};
  UINTN at = 0;
  ImageEntry e;
  EXPECT_FALSE(ReadImageEntry(entry.data(), entry.size(), &at, &e));
  EXPECT_EQ(at, 0u);
  entry.push_back('c');
  EXPECT_TRUE(ReadImageEntry(entry.data(), entry.size(), &at, &e));
  EXPECT_EQ(at, entry.size());
  // Four bytes: no room for the name length.
  const std::vector<UINT8> four = {0x03, 0, 0, 1};
  at = 0;
  EXPECT_FALSE(ReadImageEntry(four.data(), four.size(), &at, &e));
  // An offset beyond the end.
  at = entry.size() + 1;
  EXPECT_FALSE(ReadImageEntry(entry.data(), entry.size(), &at, &e));
}

// Option-43 values, each in a heap block of exactly its length: sound ones
// give the five parameters, and any fault in sub-options 1 to 5 (or a
// sub-option running past the value) gives none, leaving *Out untouched.
TEST(LoaderMtftpParameters, SoundAndMalformedSubOptions) {
  using V = std::vector<UINT8>;
  // group 239.1.2.3, client port 1758, server port 1759, listen 3 s, transmit 4 s
  const V kFive = {1, 4, 239, 1, 2, 3, 2, 2, 0x06, 0xDE, 3, 2, 0x06, 0xDF, 4, 1, 3, 5, 1, 4};
  auto with = [&](V tail) {
    V v = kFive;
    v.insert(v.end(), tail.begin(), tail.end());
    return v;
  };
  struct Case {
    const char *what;
    V value;
    size_t length;  // bytes given; SIZE_MAX: all
    bool sound;
  };
  const Case cases[] = {
      {"five and END", with({255}), SIZE_MAX, true},
      {"five, no END", kFive, SIZE_MAX, true},
      {"END ends the walk before trailing junk", with({255, 9}), SIZE_MAX, true},
      {"among PAD and boot-server sub-options",
       {0, 6, 1, 0, 1, 4, 239, 1, 2, 3, 0, 2, 2, 0x06, 0xDE, 71, 4, 0, 1, 0, 0, 3, 2, 0x06, 0xDF, 4, 1, 3, 5, 1, 4},
       SIZE_MAX,
       true},
      {"transmit missing", V(kFive.begin(), kFive.end() - 3), SIZE_MAX, false},
      {"END before transmit", {1, 4, 239, 1, 2, 3, 2, 2, 0x06, 0xDE, 3, 2, 0x06, 0xDF, 4, 1, 3, 255, 5, 1, 4},
       SIZE_MAX, false},
      {"group not multicast", {1, 4, 198, 18, 0, 1, 2, 2, 0x06, 0xDE, 3, 2, 0x06, 0xDF, 4, 1, 3, 5, 1, 4}, SIZE_MAX,
       false},
      {"group of 3 bytes", {1, 3, 239, 1, 2, 2, 2, 0x06, 0xDE, 3, 2, 0x06, 0xDF, 4, 1, 3, 5, 1, 4}, SIZE_MAX, false},
      {"client port 0", {1, 4, 239, 1, 2, 3, 2, 2, 0, 0, 3, 2, 0x06, 0xDF, 4, 1, 3, 5, 1, 4}, SIZE_MAX, false},
      {"server port of 1 byte", {1, 4, 239, 1, 2, 3, 2, 2, 0x06, 0xDE, 3, 1, 0x06, 4, 1, 3, 5, 1, 4}, SIZE_MAX, false},
      {"listen 0", {1, 4, 239, 1, 2, 3, 2, 2, 0x06, 0xDE, 3, 2, 0x06, 0xDF, 4, 1, 0, 5, 1, 4}, SIZE_MAX, false},
      {"transmit of 2 bytes", {1, 4, 239, 1, 2, 3, 2, 2, 0x06, 0xDE, 3, 2, 0x06, 0xDF, 4, 1, 3, 5, 2, 0, 4}, SIZE_MAX,
       false},
      {"a later sub-option runs past the value", with({9, 5, 1, 2}), SIZE_MAX, false},
      {"a code without its length byte", with({9}), SIZE_MAX, false},
      {"the value cut inside transmit", kFive, kFive.size() - 1, false},
      {"the value cut before transmit's value", kFive, kFive.size() - 2, false},
  };
  for (const Case &c : cases) {
    const size_t length = c.length == SIZE_MAX ? c.value.size() : c.length;
    std::vector<UINT8> heap(c.value.begin(), c.value.begin() + static_cast<long>(length));
    MtftpParameters m;
    std::memset(&m, 0xA5, sizeof(m));
    const bool got = ParseMtftpParameters(heap.empty() ? nullptr : heap.data(), heap.size(), &m);
    EXPECT_EQ(got, c.sound) << c.what;
    if (!c.sound) {
      EXPECT_EQ(m.ClientPort, 0xA5A5) << c.what;
      continue;
    }
    EXPECT_EQ(std::vector<UINT8>(m.Group, m.Group + 4), (std::vector<UINT8>{239, 1, 2, 3})) << c.what;
    EXPECT_EQ(m.ClientPort, 1758) << c.what;
    EXPECT_EQ(m.ServerPort, 1759) << c.what;
    EXPECT_EQ(m.ListenSeconds, 3) << c.what;
    EXPECT_EQ(m.TransmitSeconds, 4) << c.what;
  }
}

}  // namespace
