// The shared helpers: Internet checksum against a plain 16-bit reference and
// published vectors, byte comparison, the pseudo-random sequence, and the
// model name read from the data hub.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "instance/instance.h"
#include "platform/hosted.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The checksum as the algorithm is written down: 16-bit words in memory
// order into a 32-bit sum, an odd last byte as the low byte, two folds.
uint16_t ReferenceChecksum(const uint8_t *p, size_t n) {
  uint32_t sum = 0;
  size_t i = 0;
  for (; i + 1 < n; i += 2) {
    uint16_t w;
    std::memcpy(&w, p + i, 2);
    sum += w;
  }
  if (i < n) sum += p[i];
  sum = (sum & 0xFFFF) + (sum >> 16);
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

// The two bytes a header receives when the result is stored without swap.
Bytes Stored(uint16_t checksum) {
  Bytes out(2);
  std::memcpy(out.data(), &checksum, 2);
  return out;
}

class UtilTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fw_.LoadDriver();
    pool_ = fw_.LivePoolBlocks();
    instance_ = std::make_unique<ProtocolInstance>();
  }
  void TearDown() override { EXPECT_EQ(fw_.LivePoolBlocks(), pool_); }

  void SetClock(uint8_t hour, uint8_t minute, uint8_t second) {
    EFI_TIME t{};
    t.Year = 2026;
    t.Month = 12;
    t.Day = 8;
    t.Hour = hour;
    t.Minute = minute;
    t.Second = second;
    fw_.SetWallTime(t);
  }
  std::string Model() {
    char buffer[32];
    std::memset(buffer, 0x5A, sizeof(buffer));
    ReadModelString(buffer);
    EXPECT_NE(std::memchr(buffer, 0, sizeof(buffer)), nullptr) << "model name not terminated";
    return std::string(buffer, strnlen(buffer, sizeof(buffer)));
  }

  hosted::Firmware fw_;
  size_t pool_ = 0;
  std::unique_ptr<ProtocolInstance> instance_;
};

// ---- Internet checksum ----

TEST(ChecksumTest, PublishedVectors) {
  // The letters a, b, c.
  const uint8_t abc[] = {0x61, 0x62, 0x63};
  EXPECT_EQ(InternetChecksum(abc, 3), 0x9D3B);
  EXPECT_EQ(Stored(InternetChecksum(abc, 3)), (Bytes{0x3B, 0x9D}));

  // RFC 1071 section 3: these words sum to DDF2, so the checksum field gets 22 0D.
  const uint8_t rfc1071[] = {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7};
  EXPECT_EQ(Stored(InternetChecksum(rfc1071, sizeof(rfc1071))), (Bytes{0x22, 0x0D}));

  // An IPv4 header whose checksum field holds B8 61.
  uint8_t ipv4[] = {
      0x45, 0x00, 0x00, 0x73,  // version/IHL, ToS, total length 115
      0x00, 0x00, 0x40, 0x00,  // identification, DF
      0x40, 0x11, 0xB8, 0x61,  // TTL 64, UDP, checksum
      0xC0, 0xA8, 0x00, 0x01,  // 192.168.0.1
      0xC0, 0xA8, 0x00, 0xC7,  // 192.168.0.199
  };
  EXPECT_EQ(InternetChecksum(ipv4, sizeof(ipv4)), 0) << "a correct header sums to zero";
  ipv4[10] = ipv4[11] = 0;
  EXPECT_EQ(Stored(InternetChecksum(ipv4, sizeof(ipv4))), (Bytes{0xB8, 0x61}));
}

TEST(ChecksumTest, EdgeValues) {
  EXPECT_EQ(InternetChecksum(nullptr, 0), 0xFFFF);
  const Bytes zeros(64, 0x00);
  EXPECT_EQ(InternetChecksum(zeros.data(), zeros.size()), 0xFFFF);
  const Bytes ones(65, 0xFF);  // odd length: the last word is 0x00FF
  EXPECT_EQ(InternetChecksum(ones.data(), ones.size()), ReferenceChecksum(ones.data(), ones.size()));
  const Bytes ffff(64, 0xFF);
  EXPECT_EQ(InternetChecksum(ffff.data(), ffff.size()), 0x0000);
  // Eight words of 0xFFFF and 0x0100: the sum carries out of 16 bits twice,
  // and only the final end-around carry gives 0x0100 (complement FE FF).
  Bytes carry(16, 0xFF);
  carry.insert(carry.end(), {0x01, 0x00, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(Stored(InternetChecksum(carry.data(), carry.size())), (Bytes{0xFE, 0xFF}));
  EXPECT_EQ(InternetChecksum(carry.data(), carry.size()), 0xFFFE);
}

// Lengths 1..9000 at odd and even offsets; the buffer is sized exactly, so
// under ASan a load past the end fails the test.
TEST(ChecksumTest, MatchesTheWordReferenceOnRandomBuffers) {
  std::mt19937 rng(7);
  for (int round = 0; round < 400; ++round) {
    const size_t length = 1 + rng() % 9000;
    const size_t offset = rng() % 8;
    std::unique_ptr<uint8_t[]> storage(new uint8_t[offset + length]);
    for (size_t i = 0; i < offset + length; ++i) storage[i] = static_cast<uint8_t>(rng());
    const uint8_t *p = storage.get() + offset;
    ASSERT_EQ(InternetChecksum(p, length), ReferenceChecksum(p, length)) << "length " << length << " offset " << offset;
  }
  for (size_t length = 1; length <= 80; ++length) {
    std::unique_ptr<uint8_t[]> storage(new uint8_t[length + 1]);
    for (size_t i = 0; i <= length; ++i) storage[i] = static_cast<uint8_t>(0xF0 + i);
    ASSERT_EQ(InternetChecksum(storage.get() + 1, length), ReferenceChecksum(storage.get() + 1, length)) << length;
  }
}

// ---- Bytes ----

TEST(CompareBytesTest, SignedDifferenceOfTheFirstDifferingByte) {
  const uint8_t a[] = {1, 2, 3, 0x80};
  const uint8_t b[] = {1, 2, 3, 0x01};
  EXPECT_EQ(CompareBytes(a, a, sizeof(a)), 0);
  EXPECT_EQ(CompareBytes(a, b, sizeof(a)), -128 - 1) << "0x80 reads as -128";
  EXPECT_EQ(CompareBytes(b, a, sizeof(a)), 1 + 128);
  EXPECT_EQ(CompareBytes(a, b, 3), 0);
  EXPECT_EQ(CompareBytes(a, b, 0), 0);
}

TEST(CompareBytesTest, WordSteppingFindsTheFirstDifference) {
  uint64_t x[4] = {0x1111, 0x2222, 0x3333, 0x4444};
  uint64_t y[4] = {0x1111, 0x2222, 0x3333, 0x4444};
  EXPECT_EQ(CompareBytes(x, y, sizeof(x)), 0);
  auto *yb = reinterpret_cast<uint8_t *>(y);
  yb[17] = 0x7F;  // third word, second byte (0x33 in x)
  yb[30] = 0x00;  // a later difference must not win
  EXPECT_EQ(CompareBytes(x, y, sizeof(x)), 0x33 - 0x7F);
  // The same with an unaligned start and a tail shorter than a word.
  const uint8_t c[13] = {9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 5};
  const uint8_t d[13] = {9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 7};
  EXPECT_EQ(CompareBytes(c + 1, d + 1, 12), 5 - 7);
}

TEST_F(UtilTest, AllocZeroedGivesZeroedPoolOrNull) {
  auto *p = static_cast<uint8_t *>(AllocZeroed(300));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 300; ++i) ASSERT_EQ(p[i], 0);
  FreeAndNull(p);
  EXPECT_EQ(p, nullptr);
  fw_.FailAllocation(0);
  EXPECT_EQ(AllocZeroed(16), nullptr);
}

// ---- NextRandom ----

TEST_F(UtilTest, RandomSequenceFromMidnight) {
  SetClock(0, 0, 0);
  EXPECT_EQ(NextRandom(instance_.get()), 19);
  EXPECT_EQ(NextRandom(instance_.get()), 26548);
  EXPECT_EQ(instance_->RandomState, 26548);
  EXPECT_EQ(NextRandom(nullptr), 0);
}

TEST_F(UtilTest, RandomFollowsTheSecondsOfTheDay) {
  SetClock(1, 2, 3);  // 3723 s
  EXPECT_EQ(NextRandom(instance_.get()), 3723 + 19);
  instance_->RandomState = 0x5254;  // seeded from a hardware address
  // (3723 - 2053 * 0x5254 + 19) mod 65536
  EXPECT_EQ(NextRandom(instance_.get()), 54010);
}

// ---- Model name ----

TEST_F(UtilTest, Utf16ToUtf8EncodesEachUnitAlone) {
  char out[32];
  const char16_t mixed[] = {u'A', 0x00E9, 0x20AC, 0xD83D, 0};
  EXPECT_EQ(Utf16ToUtf8(mixed, 4, out), 1u + 1 + 2 + 3 + 3);
  const uint8_t expected[] = {
      0x41,              // A
      0xC3, 0xA9,        // U+00E9
      0xE2, 0x82, 0xAC,  // U+20AC
      0xED, 0xA0, 0xBD,  // a lone surrogate half, encoded as it stands
      0x00,
  };
  EXPECT_EQ(0, std::memcmp(out, expected, sizeof(expected)));
}

TEST_F(UtilTest, ModelNameFromTheDataHub) {
  fw_.SetModelName(u"Q35 Test Board");
  EXPECT_EQ(Model(), "Q35 Test Board");
  fw_.SetModelName(std::u16string(u"Mo\0del", 6));
  EXPECT_EQ(Model(), "Model") << "NUL code units are skipped";
}

TEST_F(UtilTest, ModelNameIsCutAtAWholeCharacter) {
  fw_.SetModelName(std::u16string(40, u'x'));
  EXPECT_EQ(Model(), std::string(31, 'x'));
  // 30 bytes of ASCII, then a two-byte character that would need bytes 31 and 32.
  fw_.SetModelName(std::u16string(30, u'y') + u"\u00e9z");
  EXPECT_EQ(Model(), std::string(30, 'y'));
  fw_.SetModelName(std::u16string(29, u'y') + u"\u00e9z");
  EXPECT_EQ(Model(), std::string(29, 'y') + "\xC3\xA9");
  // Three bytes each: ten characters, 30 bytes.
  fw_.SetModelName(std::u16string(16, u'\u4e2d'));
  std::string ten;
  for (int i = 0; i < 10; ++i) ten += "\xE4\xB8\xAD";
  EXPECT_EQ(Model(), ten);
}

TEST_F(UtilTest, ModelNameFallsBackToAcpi) {
  fw_.SetModelName(u"");
  EXPECT_EQ(Model(), "ACPI");
  fw_.SetModelName(std::u16string(3, u'\0'));
  EXPECT_EQ(Model(), "ACPI");
  fw_.RemoveDataHub();
  EXPECT_EQ(Model(), "ACPI") << "no data hub";
}

// A model-name record laid out by hand: the 72-byte header, 16 bytes not
// interpreted, the name and value sizes, the name, the value.
Bytes ModelRecord(const std::u16string &name, const std::u16string &value, uint32_t nameSize, uint32_t valueSize,
                  bool matchingGuid = true, size_t nameBytes = SIZE_MAX) {
  const EFI_GUID producer = {0x2A7D4E91, 0xB630, 0x4C5F, {0x9E, 0x27, 0x81, 0xF6, 0xD0, 0xA3, 0xC5, 0x4B}};
  const EFI_GUID record = {0x9F03C6B5, 0x7A14, 0x42E8, {0xA5, 0xD9, 0x3E, 0x6C, 0x0B, 0x81, 0xF2, 0x7D}};
  const EFI_GUID other = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
  Bytes name8(reinterpret_cast<const uint8_t *>(name.data()),
              reinterpret_cast<const uint8_t *>(name.data() + name.size()));
  if (nameBytes != SIZE_MAX) name8.resize(nameBytes, 0x20);
  const Bytes value8(reinterpret_cast<const uint8_t *>(value.data()),
                     reinterpret_cast<const uint8_t *>(value.data() + value.size()));
  const uint32_t total = static_cast<uint32_t>(96 + name8.size() + value8.size());
  Bytes r(96, 0);
  const uint16_t version = 0x0100, headerSize = 72;
  std::memcpy(&r[0], &version, 2);                                // Version
  std::memcpy(&r[2], &headerSize, 2);                             // HeaderSize
  std::memcpy(&r[4], &total, 4);                                  // RecordSize: exactly these bytes
  std::memcpy(&r[8], matchingGuid ? &record : &other, 16);        // DataRecordGuid
  std::memcpy(&r[24], &producer, 16);                             // ProducerName
  std::memcpy(&r[88], &nameSize, 4);                              // name size
  std::memcpy(&r[92], &valueSize, 4);                             // value size
  r.insert(r.end(), name8.begin(), name8.end());
  r.insert(r.end(), value8.begin(), value8.end());
  return r;
}

TEST_F(UtilTest, RawRecordWithOddNameSizeIsRead) {
  fw_.RemoveDataHub();
  // A 3-byte name leaves the value unaligned.
  fw_.AddDataHubRecord(ModelRecord(u"N", u"Board-7", 3, 14, true, 3));
  EXPECT_EQ(Model(), "Board-7");
}

TEST_F(UtilTest, FirstMatchingRecordWins) {
  fw_.RemoveDataHub();
  fw_.AddDataHubRecord(ModelRecord(u"Name", u"Other", 8, 10, /*matchingGuid=*/false));
  fw_.AddDataHubRecord(ModelRecord(u"Name", u"First", 8, 10));
  fw_.AddDataHubRecord(ModelRecord(u"Name", u"Second", 8, 12));
  EXPECT_EQ(Model(), "First");
}

TEST_F(UtilTest, SizesRunningPastTheRecordAreNotFollowed) {
  fw_.RemoveDataHub();
  fw_.AddDataHubRecord(ModelRecord(u"Name", u"Value", 0xFFFFFFF0u, 10));
  EXPECT_EQ(Model(), "ACPI") << "name size beyond the record";
  fw_.RemoveDataHub();
  fw_.AddDataHubRecord(ModelRecord(u"Name", u"Value", 8, 12));
  EXPECT_EQ(Model(), "ACPI") << "value two bytes beyond the record";
  fw_.RemoveDataHub();
  fw_.AddDataHubRecord(ModelRecord(u"Name", u"Value", 8, 0xFFFFFFFEu));
  EXPECT_EQ(Model(), "ACPI") << "value size wrapping the offset";
  fw_.RemoveDataHub();
  Bytes shortRecord = ModelRecord(u"", u"", 0, 0);
  const uint32_t size = 90;  // ends inside the size fields
  shortRecord.resize(size);
  std::memcpy(&shortRecord[4], &size, 4);
  fw_.AddDataHubRecord(shortRecord);
  EXPECT_EQ(Model(), "ACPI");
}

}  // namespace
