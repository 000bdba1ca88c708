// The DHCP codec: client message layout, the option writer's limits, the
// option index and packet validation against hostile and truncated input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "dhcp/bootp_wire.h"
#include "dhcp/codec.h"
#include "platform/hosted.h"
#include "tests/test_support.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#define CODEC_TEST_POISON 1
#endif
#endif

namespace {

using Bytes = std::vector<uint8_t>;

// A received message for the parser: fixed fields, cookie, then raw option bytes.
struct Reply {
  Bytes b;
  Reply() : b(240, 0) {
    b[0] = 2;
    const uint8_t cookie[] = {0x63, 0x82, 0x53, 0x63};
    std::memcpy(&b[236], cookie, 4);
  }
  Reply &Add(std::initializer_list<uint8_t> raw) {
    b.insert(b.end(), raw.begin(), raw.end());
    return *this;
  }
  Reply &Add(const Bytes &raw) {
    b.insert(b.end(), raw.begin(), raw.end());
    return *this;
  }
  Reply &Field(size_t offset, size_t size, const Bytes &raw) {
    EXPECT_LE(raw.size(), size);
    std::memcpy(&b[offset], raw.data(), raw.size());
    return *this;
  }
  Reply &File(const Bytes &raw) { return Field(108, 128, raw); }
  Reply &Sname(const Bytes &raw) { return Field(44, 64, raw); }
};

Bytes Text(const std::string &s) { return Bytes(s.begin(), s.end()); }

// Option bytes: code, length, value.
Bytes Opt(uint8_t code, const Bytes &value) {
  Bytes out{code, static_cast<uint8_t>(value.size())};
  out.insert(out.end(), value.begin(), value.end());
  return out;
}

// N zero-length options with consecutive codes from first.
Bytes EmptyOptions(uint8_t first, int n) {
  Bytes out;
  for (int i = 0; i < n; ++i) {
    out.push_back(static_cast<uint8_t>(first + i));
    out.push_back(0);
  }
  return out;
}

std::vector<int> Codes(const OptionIndex &index) {
  std::vector<int> out;
  for (int32_t i = 0; i < index.count; ++i) out.push_back(index.entries[i][0]);
  return out;
}

std::vector<int> Range(int first, int n) {
  std::vector<int> out;
  for (int i = 0; i < n; ++i) out.push_back(first + i);
  return out;
}

// Every test owns a firmware (the pool) and a heap slot; each ends with the
// pool where it began.
class DhcpCodecTest : public ::testing::Test {
 protected:
  void SetUp() override {
    poolBaseline_ = fw_.LivePoolBlocks();
    slot_.reset(new PacketSlot());
  }
  void TearDown() override {
    Unpoison();
    OptionIndexClear(&slot_->options);
    OptionIndexClear(&slot_->vendorOptions);
    fw_.FailAllocation(-1);
    EXPECT_EQ(fw_.LivePoolBlocks(), poolBaseline_);
    for (const std::string &e : fw_.Errors()) ADD_FAILURE() << "firmware misuse: " << e;
  }

  // Copies wire into the slot's packet; the bytes past `arrived` are made
  // unreadable (under ASan), so a parser that looks past what arrived fails.
  void Load(const Bytes &wire, size_t arrived) {
    (void)arrived;
    Unpoison();
    OptionIndexClear(&slot_->options);
    OptionIndexClear(&slot_->vendorOptions);
    std::memset(slot_->packet.Raw, 0, sizeof(slot_->packet.Raw));
    std::memcpy(slot_->packet.Raw, wire.data(), std::min(wire.size(), sizeof(slot_->packet.Raw)));
#ifdef CODEC_TEST_POISON
    if (arrived < sizeof(slot_->packet.Raw)) {
      __asan_poison_memory_region(slot_->packet.Raw + arrived, sizeof(slot_->packet.Raw) - arrived);
      poisoned_ = true;
    }
#endif
  }
  bool Parse(const Bytes &wire) { return Parse(wire, wire.size()); }
  bool Parse(const Bytes &wire, uint64_t length) {
    Load(wire, std::min<uint64_t>(length, wire.size()));
    return ParsePacket(slot_.get(), length);
  }
  void Unpoison() {
#ifdef CODEC_TEST_POISON
    if (poisoned_) __asan_unpoison_memory_region(slot_->packet.Raw, sizeof(slot_->packet.Raw));
    poisoned_ = false;
#endif
  }
  void ExpectSlotEmpty() {
    EXPECT_EQ(slot_->options.entries, nullptr);
    EXPECT_EQ(slot_->options.count, 0);
    EXPECT_EQ(slot_->vendorOptions.entries, nullptr);
    EXPECT_EQ(slot_->vendorOptions.count, 0);
    EXPECT_EQ(slot_->slotFlags, 0);
    EXPECT_EQ(fw_.LivePoolBlocks(), poolBaseline_);
  }
  const uint8_t *At(size_t offset) const { return slot_->packet.Raw + offset; }

  hosted::Firmware fw_;
  size_t poolBaseline_ = 0;
  std::unique_ptr<PacketSlot> slot_;
  bool poisoned_ = false;
};

// ---- Client messages ----

// Expected bytes at one offset of a message.
struct Chunk {
  size_t offset;
  Bytes bytes;
};

// A child of the driver on an Ethernet NIC (52:54:00:12:34:56) with the
// transmit packet an exchange would allocate.
class DhcpBuildTest : public orvale_test::DriverTest {
 protected:
  void ConfigurePlatform() override { fw_.SetModelName(u""); }  // the fallback model name "ACPI"
  void SetUp() override {
    DriverTest::SetUp();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(StartChild(), EFI_SUCCESS);  // Start reads the interface mode
    tx_ = static_cast<DhcpPacket *>(AllocZeroed(sizeof(DhcpPacket)));
    ASSERT_NE(tx_, nullptr);
    Instance()->DhcpTxPacket = tx_;
  }
  void TearDown() override {
    OptionIndexClear(&slot_->options);
    OptionIndexClear(&slot_->vendorOptions);
    if (tx_ != nullptr) FreeAndNull(Instance()->DhcpTxPacket);
    DriverTest::TearDown();
  }
  OptionWriter Build(uint8_t type) {
    OptionWriter writer;
    std::memset(&writer, 0xA5, sizeof(writer));
    BuildDhcpMessage(Instance(), &writer, type);
    return writer;
  }
  bool ParseSent() {
    OptionIndexClear(&slot_->options);
    OptionIndexClear(&slot_->vendorOptions);
    std::memcpy(slot_->packet.Raw, tx_->Raw, 548);
    return ParsePacket(slot_.get(), 548);
  }
  // The 548 bytes sent: zero except the chunks given.
  void ExpectMessage(std::initializer_list<Chunk> chunks) {
    Bytes expected(548, 0);
    for (const Chunk &c : chunks) std::memcpy(&expected[c.offset], c.bytes.data(), c.bytes.size());
    for (size_t i = 0; i < expected.size(); ++i) {
      ASSERT_EQ(tx_->Raw[i], expected[i]) << "byte " << i;
    }
  }

  DhcpPacket *tx_ = nullptr;
  std::unique_ptr<PacketSlot> slot_{new PacketSlot()};
};

const Chunk kEthernetHeader = {0, {0x01,    // op: request
                                              0x01,    // htype: Ethernet
                                              0x06,    // hlen
                                              0x00}};  // hops
const Chunk kEthernetChaddr = {28, {0x52, 0x54, 0x00, 0x12, 0x34, 0x56}};  // chaddr, rest zero
const Chunk kCookie = {236, {0x63, 0x82, 0x53, 0x63}};                      // magic cookie

TEST_F(DhcpBuildTest, DiscoverMatchesTheByteExample) {
  OptionWriter writer = Build(kDhcpDiscover);
  const uint8_t vendor43[] = {0x02, 0x02, 0x01, 0x01};
  EXPECT_EQ(OptionWriterAdd(&writer, 43, sizeof(vendor43), vendor43), 0);
  EXPECT_EQ(OptionWriterAdd(&writer, 255, 0, nullptr), 0);

  ExpectMessage({kEthernetHeader, kEthernetChaddr, kCookie,
                 {240,
                  {
                      0x35, 0x01, 0x01,                                // 53 message type: DISCOVER
                      0x37, 0x05, 0x01, 0x03, 0x43, 0x2B, 0x3C,        // 55 parameter list: 1 3 67 43 60
                      0x39, 0x02, 0x05, 0xDC,                          // 57 maximum message size: 1500
                      0x3D, 0x07, 0x01,                                // 61 client id: htype 1
                      0x52, 0x54, 0x00, 0x12, 0x34, 0x56,              //    the hardware address
                      0x3C, 0x13,                                      // 60 vendor class, 19 bytes:
                      'Z', 'E', 'K', 'O', 'W', 'I', 'R', 'L', 'C',     //    class marker
                      '/', 'i', '3', '8', '6', '/',                    //    architecture
                      'A', 'C', 'P', 'I',                              //    model name, no terminator
                      0x2B, 0x04, 0x02, 0x02, 0x01, 0x01,              // 43 added by the caller
                      0xFF,                                            // END at offset 290
                  }}});
  EXPECT_EQ(writer.length, 51);
  EXPECT_EQ(writer.count, 7);
  EXPECT_NE(writer.ended, 0);
  EXPECT_EQ(writer.capacity, 308);
  EXPECT_EQ(writer.reserve, 1);
  EXPECT_EQ(writer.buffer, tx_->Raw + 240);
}

TEST_F(DhcpBuildTest, PlainDhcpSendsTheShortListAndNoVendorClass) {
  Instance()->Packets.PlainDhcp = 1;
  for (uint8_t type : {kDhcpDiscover, kDhcpRequest}) {
    SCOPED_TRACE(type);
    OptionWriter writer = Build(type);
    ExpectMessage({kEthernetHeader, kEthernetChaddr, kCookie,
                   {240,
                    {
                        0x35, 0x01, type,                                // 53 message type
                        0x37, 0x02, 0x01, 0x03,                          // 55 parameter list: 1 3
                        0x3D, 0x07, 0x01,                                // 61 client id: htype 1
                        0x52, 0x54, 0x00, 0x12, 0x34, 0x56,              //    the hardware address
                    }}});
    EXPECT_EQ(writer.length, 16);
    EXPECT_EQ(writer.ended, 0);
  }
}

TEST_F(DhcpBuildTest, RequestCarriesTheFullListAndVendorClass) {
  OptionWriter writer = Build(kDhcpRequest);
  ExpectMessage({kEthernetHeader, kEthernetChaddr, kCookie,
                 {240,
                  {
                      0x35, 0x01, 0x03,                                // 53 message type: REQUEST
                      0x37, 0x05, 0x01, 0x03, 0x43, 0x2B, 0x3C,        // 55 parameter list: 1 3 67 43 60
                      0x39, 0x02, 0x05, 0xDC,                          // 57 maximum message size: 1500
                      0x3D, 0x07, 0x01,                                // 61 client id: htype 1
                      0x52, 0x54, 0x00, 0x12, 0x34, 0x56,              //    the hardware address
                      0x3C, 0x13,                                      // 60 vendor class, 19 bytes
                      'Z', 'E', 'K', 'O', 'W', 'I', 'R', 'L', 'C', '/', 'i', '3', '8', '6', '/', 'A', 'C', 'P', 'I',
                  }}});
  EXPECT_EQ(writer.length, 44);
}

TEST_F(DhcpBuildTest, InformAsksForVendorOptionsEvenWhenPlain) {
  Build(kDhcpInform);
  ExpectMessage({kEthernetHeader, kEthernetChaddr, kCookie,
                 {240,
                  {
                      0x35, 0x01, 0x08,                                // 53 message type: INFORM
                      0x37, 0x02, 0x2B, 0x3C,                          // 55 parameter list: 43 60
                      0x39, 0x02, 0x05, 0xDC,                          // 57 maximum message size: 1500
                      0x3D, 0x07, 0x01,                                // 61 client id: htype 1
                      0x52, 0x54, 0x00, 0x12, 0x34, 0x56,              //    the hardware address
                      0x3C, 0x13,                                      // 60 vendor class, 19 bytes
                      'Z', 'E', 'K', 'O', 'W', 'I', 'R', 'L', 'C', '/', 'i', '3', '8', '6', '/', 'A', 'C', 'P', 'I',
                  }}});
  Instance()->Packets.PlainDhcp = 1;
  Build(kDhcpInform);
  ExpectMessage({kEthernetHeader, kEthernetChaddr, kCookie,
                 {240,
                  {
                      0x35, 0x01, 0x08,                                // 53 message type: INFORM
                      0x37, 0x02, 0x2B, 0x3C,                          // 55 parameter list: 43 60
                      0x39, 0x02, 0x05, 0xDC,                          // 57 maximum message size: 1500
                      0x3D, 0x07, 0x01,                                // 61 client id: htype 1
                      0x52, 0x54, 0x00, 0x12, 0x34, 0x56,              //    the hardware address
                  }}});
}

TEST_F(DhcpBuildTest, DeclineAndReleaseCarryTypeAndClientIdOnly) {
  for (uint8_t type : {kDhcpDecline, kDhcpRelease}) {
    SCOPED_TRACE(type);
    OptionWriter writer = Build(type);
    ExpectMessage({kEthernetHeader, kEthernetChaddr, kCookie,
                   {240,
                    {
                        0x35, 0x01, type,                                // 53 message type
                        0x3D, 0x07, 0x01,                                // 61 client id: htype 1
                        0x52, 0x54, 0x00, 0x12, 0x34, 0x56,              //    the hardware address
                    }}});
    EXPECT_EQ(writer.count, 2);
  }
}

TEST_F(DhcpBuildTest, LongHardwareAddressIsCappedAt16Bytes) {
  Binding()->SnpMode.IfType = 6;  // IEEE 802
  Binding()->SnpMode.HwAddressSize = 20;
  for (int i = 0; i < 32; ++i) Binding()->SnpMode.CurrentAddress.Addr[i] = static_cast<uint8_t>(0xA0 + i);
  Instance()->Packets.PlainDhcp = 1;
  Build(kDhcpRelease);
  ExpectMessage({{0, {0x01,     // op: request
                      0x06,     // htype: IEEE 802
                      0x10,     // hlen: capped at 16
                      0x00}},   // hops
                 {28, {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,     // chaddr: the first 16 bytes
                       0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF}},
                 kCookie,
                 {240,
                  {
                      0x35, 0x01, 0x07,                                // 53 message type: RELEASE
                      0x3D, 0x11, 0x06,                                // 61 client id, 17 bytes: htype 6
                      0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,  //    16 address bytes
                      0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF,
                  }}});
}

TEST_F(DhcpBuildTest, ModelNameOf31BytesGivesA46ByteVendorClass) {
  fw_.SetModelName(u"ABCDEFGHIJKLMNOPQRSTUVWXYZ01234");
  OptionWriter writer = Build(kDhcpDiscover);
  const uint8_t *vendor = tx_->Raw + 240 + 23;
  ASSERT_EQ(vendor[0], 60);
  ASSERT_EQ(vendor[1], 46);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(vendor + 2), 46),
            "ZEKOWIRLC/i386/ABCDEFGHIJKLMNOPQRSTUVWXYZ01234");
  EXPECT_EQ(writer.length, 23 + 48);
  EXPECT_EQ(tx_->Raw[240 + 23 + 48], 0);
}

TEST_F(DhcpBuildTest, RebuildForgetsThePreviousMessage) {
  std::memset(tx_->Raw, 0xEE, 548);
  OptionWriter writer = Build(kDhcpDiscover);
  const Bytes filler(200, 0x11);
  EXPECT_EQ(OptionWriterAdd(&writer, 200, filler.size(), filler.data()), 0);
  tx_->Raw[4] = 0x77;  // an xid stored by the exchange
  Build(kDhcpRelease);
  ExpectMessage({kEthernetHeader, kEthernetChaddr, kCookie,
                 {240,
                  {
                      0x35, 0x01, 0x07,                                // 53 message type: RELEASE
                      0x3D, 0x07, 0x01,                                // 61 client id: htype 1
                      0x52, 0x54, 0x00, 0x12, 0x34, 0x56,              //    the hardware address
                  }}});
}

TEST_F(DhcpBuildTest, BuiltMessageParsesBack) {
  OptionWriter writer = Build(kDhcpDiscover);
  ASSERT_EQ(OptionWriterAdd(&writer, 255, 0, nullptr), 0);
  // The class carries the WIRL marker, so without option 43 the parser refuses it.
  EXPECT_FALSE(ParseSent());
  writer = Build(kDhcpDiscover);
  const uint8_t vendor43[] = {0x02, 0x02, 0x01, 0x01};
  ASSERT_EQ(OptionWriterAdd(&writer, 43, sizeof(vendor43), vendor43), 0);
  ASSERT_EQ(OptionWriterAdd(&writer, 255, 0, nullptr), 0);
  ASSERT_TRUE(ParseSent());
  EXPECT_EQ(Codes(slot_->options), (std::vector<int>{53, 55, 57, 61, 60, 43}));
  EXPECT_EQ(Codes(slot_->vendorOptions), (std::vector<int>{2}));
  EXPECT_EQ(slot_->slotFlags, ORVALE_SLOT_FLAG_WIRL);
}

// ---- Option writer ----

TEST_F(DhcpCodecTest, WriterRefusesOversizedValuesAndAnythingAfterEnd) {
  uint8_t area[600] = {};
  const Bytes value(256, 0x42);
  OptionWriter writer;
  OptionWriterInit(&writer, area, sizeof(area));
  EXPECT_EQ(writer.reserve, 0);
  EXPECT_EQ(OptionWriterAdd(&writer, 7, 256, value.data()), 1);
  EXPECT_EQ(writer.length, 0);
  EXPECT_EQ(area[0], 0);
  EXPECT_EQ(OptionWriterAdd(&writer, 7, 255, value.data()), 0);
  EXPECT_EQ(writer.length, 257);
  EXPECT_EQ(area[1], 255);
  EXPECT_EQ(OptionWriterAdd(&writer, 9, 0, nullptr), 0);  // zero-length option: code and length
  EXPECT_EQ(area[257], 9);
  EXPECT_EQ(area[258], 0);
  EXPECT_EQ(OptionWriterAdd(&writer, 255, 0, nullptr), 0);
  EXPECT_EQ(area[259], 255);
  EXPECT_EQ(writer.count, 3);
  for (uint8_t code : {0, 1, 255}) EXPECT_EQ(OptionWriterAdd(&writer, code, 1, value.data()), 1) << int(code);
  EXPECT_EQ(writer.length, 260);
  EXPECT_EQ(writer.count, 3);
  EXPECT_EQ(area[260], 0);
}

TEST_F(DhcpCodecTest, WriterKeepsTheReservedByteForEnd) {
  uint8_t area[308 + 1] = {};
  area[308] = 0x5A;  // guard byte past the capacity
  OptionWriter writer;
  OptionWriterInit(&writer, area, 308);
  writer.reserve = 1;
  const Bytes value(255, 0x33);
  ASSERT_EQ(OptionWriterAdd(&writer, 20, 255, value.data()), 0);  // 257 bytes
  // 51 bytes remain: a 49-byte value would take them all and leave none for END.
  EXPECT_EQ(OptionWriterAdd(&writer, 21, 49, value.data()), 2);
  EXPECT_EQ(writer.length, 257);
  EXPECT_EQ(OptionWriterAdd(&writer, 21, 48, value.data()), 0);
  EXPECT_EQ(writer.length, 307);
  EXPECT_EQ(OptionWriterAdd(&writer, 22, 0, nullptr), 2);
  EXPECT_EQ(OptionWriterAdd(&writer, 255, 0, nullptr), 0);
  EXPECT_EQ(area[307], 255);
  EXPECT_EQ(area[308], 0x5A);
  EXPECT_EQ(writer.length, 308);

  // With no byte left at all, END itself is refused.
  OptionWriterInit(&writer, area, 2);
  ASSERT_EQ(OptionWriterAdd(&writer, 23, 0, nullptr), 0);
  EXPECT_EQ(OptionWriterAdd(&writer, 255, 0, nullptr), 1);
  EXPECT_EQ(writer.ended, 0);
}

TEST_F(DhcpCodecTest, WriterPadHonoursTheReserve) {
  uint8_t area[4];
  std::memset(area, 0x77, sizeof(area));
  OptionWriter writer;
  OptionWriterInit(&writer, area, 3);
  writer.reserve = 1;
  EXPECT_EQ(OptionWriterAdd(&writer, 0, 0, nullptr), 0);
  EXPECT_EQ(OptionWriterAdd(&writer, 0, 0, nullptr), 0);
  EXPECT_EQ(OptionWriterAdd(&writer, 0, 0, nullptr), 2);  // the last byte is END's
  EXPECT_EQ(OptionWriterAdd(&writer, 255, 0, nullptr), 0);
  EXPECT_EQ(Bytes(area, area + 4), (Bytes{0x00, 0x00, 0xFF, 0x77}));
  EXPECT_EQ(writer.count, 3);
}

// ---- Option index ----

TEST_F(DhcpCodecTest, IndexGrowsBeyondItsBuiltinArrayInOrder) {
  Bytes area = EmptyOptions(1, 40);
  OptionIndex index{};
  ASSERT_TRUE(OptionIndexParse(&index, area.data(), static_cast<int64_t>(area.size())));
  EXPECT_EQ(index.count, 40);
  EXPECT_EQ(index.capacity, 64);  // 16, 32, 64
  EXPECT_NE(index.entries, index.builtin);
  EXPECT_EQ(fw_.LivePoolBlocks(), poolBaseline_ + 1);  // the old block was released
  for (int i = 0; i < 40; ++i) EXPECT_EQ(index.entries[i], area.data() + 2 * i);
  OptionIndexClear(&index);
  EXPECT_EQ(index.entries, nullptr);
  EXPECT_EQ(index.capacity, 0);
  EXPECT_EQ(fw_.LivePoolBlocks(), poolBaseline_);

  // Up to 16 entries need no pool block.
  ASSERT_TRUE(OptionIndexParse(&index, area.data(), 32));
  EXPECT_EQ(index.entries, index.builtin);
  EXPECT_EQ(index.capacity, 16);
  EXPECT_EQ(fw_.LivePoolBlocks(), poolBaseline_);
}

TEST_F(DhcpCodecTest, IndexAppendSizesAndOrder) {
  Bytes a = EmptyOptions(1, 10), b = EmptyOptions(101, 6), c = EmptyOptions(151, 7);
  OptionIndex dst{}, src{}, empty{};
  ASSERT_TRUE(OptionIndexParse(&dst, a.data(), static_cast<int64_t>(a.size())));

  EXPECT_TRUE(OptionIndexAppend(&dst, &empty));
  EXPECT_EQ(dst.count, 10);

  ASSERT_TRUE(OptionIndexParse(&src, b.data(), static_cast<int64_t>(b.size())));
  ASSERT_TRUE(OptionIndexAppend(&dst, &src));  // 16 still fit the built-in array
  EXPECT_EQ(dst.entries, dst.builtin);
  EXPECT_EQ(dst.capacity, 16);

  ASSERT_TRUE(OptionIndexParse(&src, c.data(), static_cast<int64_t>(c.size())));
  ASSERT_TRUE(OptionIndexAppend(&dst, &src));  // grows to exactly the sum
  EXPECT_NE(dst.entries, dst.builtin);
  EXPECT_EQ(dst.capacity, 23);
  std::vector<int> expected = Range(1, 10);
  for (int code : Range(101, 6)) expected.push_back(code);
  for (int code : Range(151, 7)) expected.push_back(code);
  EXPECT_EQ(Codes(dst), expected);

  // Appending to an empty index takes a block of exactly the source's size.
  OptionIndex fresh{};
  ASSERT_TRUE(OptionIndexAppend(&fresh, &src));
  EXPECT_EQ(fresh.capacity, 7);
  EXPECT_NE(fresh.entries, fresh.builtin);
  EXPECT_EQ(Codes(fresh), Range(151, 7));

  OptionIndexClear(&fresh);
  OptionIndexClear(&dst);
  OptionIndexClear(&src);
  EXPECT_EQ(fw_.LivePoolBlocks(), poolBaseline_);
}

TEST_F(DhcpCodecTest, IndexFindWalksEveryInstanceAndNeverFindsPadOrEnd) {
  Bytes area = {7, 1, 0xA1,  //
                8, 0,        //
                7, 2, 0xB1, 0xB2};
  OptionIndex index{};
  ASSERT_TRUE(OptionIndexParse(&index, area.data(), static_cast<int64_t>(area.size())));
  int32_t position = 0;
  uint32_t length = 99;
  EXPECT_EQ(OptionIndexFind(&index, 7, &length, &position), area.data() + 2);
  EXPECT_EQ(length, 1u);
  EXPECT_EQ(position, 1);
  EXPECT_EQ(OptionIndexFind(&index, 7, &length, &position), area.data() + 7);
  EXPECT_EQ(length, 2u);
  EXPECT_EQ(position, 3);
  EXPECT_EQ(OptionIndexFind(&index, 7, &length, &position), nullptr);
  EXPECT_EQ(position, 3);
  EXPECT_EQ(OptionIndexFind(&index, 8, &length, nullptr), area.data() + 5);
  EXPECT_EQ(length, 0u);
  position = -1;
  EXPECT_EQ(OptionIndexFind(&index, 7, nullptr, &position), nullptr);

  // Entries that point at PAD or END bytes are still never a match.
  uint8_t pad[] = {0, 1, 0x11}, end[] = {255, 1, 0x22};
  OptionIndex odd{};
  odd.entries = odd.builtin;
  odd.capacity = 16;
  odd.builtin[0] = pad;
  odd.builtin[1] = end;
  odd.count = 2;
  EXPECT_EQ(OptionIndexFind(&odd, 0, &length, nullptr), nullptr);
  EXPECT_EQ(OptionIndexFind(&odd, 255, &length, nullptr), nullptr);

  OptionIndex none{};
  EXPECT_EQ(OptionIndexFind(&none, 7, &length, nullptr), nullptr);
}

TEST_F(DhcpCodecTest, IndexParseStaysInsideTheArea) {
  OptionIndex index{};
  struct Case {
    const char *what;
    Bytes area;
    bool ok;
    std::vector<int> codes;
  };
  const Case cases[] = {
      {"pads and END", {0, 0, 5, 1, 0xAA, 0, 255}, true, {5}},
      {"no END", {5, 1, 0xAA, 6, 0}, true, {5, 6}},
      {"ends exactly at the end", {5, 2, 0xAA, 0xBB}, true, {5}},
      {"one byte past the end", {5, 3, 0xAA, 0xBB}, false, {}},
      {"code byte is the last byte", {5, 1, 0xAA, 6}, false, {}},
      {"lone code byte", {6}, false, {}},
      {"bytes after END look like options", {5, 0, 255, 6, 0, 7, 200}, true, {5}},
      {"empty", {}, true, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    // A heap copy of exactly the area, so ASan sees any read past it.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[c.area.size()]);
    std::copy(c.area.begin(), c.area.end(), copy.get());
    EXPECT_EQ(OptionIndexParse(&index, copy.get(), static_cast<int64_t>(c.area.size())), c.ok);
    EXPECT_EQ(Codes(index), c.codes);
    if (!c.ok) EXPECT_EQ(index.entries, nullptr);
    OptionIndexClear(&index);
  }
  uint8_t one[] = {5, 0};
  EXPECT_FALSE(OptionIndexParse(&index, one, -1));
  EXPECT_EQ(index.count, 0);
}

TEST_F(DhcpCodecTest, IndexGrowthFailureFailsTheParse) {
  Bytes area = EmptyOptions(1, 17);
  OptionIndex index{};
  fw_.FailAllocation(0);
  EXPECT_FALSE(OptionIndexParse(&index, area.data(), static_cast<int64_t>(area.size())));
  EXPECT_EQ(index.entries, nullptr);
  EXPECT_EQ(index.count, 0);
  EXPECT_EQ(fw_.LivePoolBlocks(), poolBaseline_);

  // A failure on the second growth releases the first block too.
  area = EmptyOptions(1, 33);
  fw_.FailAllocation(1);
  EXPECT_FALSE(OptionIndexParse(&index, area.data(), static_cast<int64_t>(area.size())));
  EXPECT_EQ(index.entries, nullptr);
  EXPECT_EQ(fw_.LivePoolBlocks(), poolBaseline_);
}

TEST_F(DhcpCodecTest, IndexAppendFailureClearsTheDestination) {
  Bytes a = EmptyOptions(1, 20), b = EmptyOptions(101, 5);
  OptionIndex dst{}, src{};
  ASSERT_TRUE(OptionIndexParse(&dst, a.data(), static_cast<int64_t>(a.size())));
  ASSERT_TRUE(OptionIndexParse(&src, b.data(), static_cast<int64_t>(b.size())));
  ASSERT_TRUE(OptionIndexAppend(&dst, &src));  // 25 fit in 32
  EXPECT_EQ(fw_.LivePoolBlocks(), poolBaseline_ + 1);
  ASSERT_TRUE(OptionIndexAppend(&dst, &src));  // 30
  fw_.FailAllocation(0);
  EXPECT_FALSE(OptionIndexAppend(&dst, &src));  // 35 needs a new block
  EXPECT_EQ(dst.entries, nullptr);
  EXPECT_EQ(dst.count, 0);
  EXPECT_EQ(fw_.LivePoolBlocks(), poolBaseline_);  // the old block went too
  OptionIndexClear(&src);
}

// ---- Packet validation ----

TEST_F(DhcpCodecTest, PacketNeedsTheFixedFieldsAndTheCookie) {
  Reply reply;
  EXPECT_FALSE(Parse(reply.b, 239));
  ExpectSlotEmpty();
  ASSERT_TRUE(Parse(reply.b, 240));
  EXPECT_EQ(slot_->options.count, 0);
  EXPECT_EQ(OptionIndexFind(&slot_->options, 53, nullptr, nullptr), nullptr);

  Reply bad;
  bad.b[239] = 0x64;
  bad.Add({53, 1, 2});
  EXPECT_FALSE(Parse(bad.b));
  ExpectSlotEmpty();

  // A malformed main area rejects the packet and drops what an earlier parse left.
  Reply good;
  good.Add(EmptyOptions(1, 20));
  ASSERT_TRUE(Parse(good.b));
  Reply broken;
  broken.Add({53, 1, 2, 54, 4, 1, 2});
  EXPECT_FALSE(Parse(broken.b));
  ExpectSlotEmpty();
}

TEST_F(DhcpCodecTest, PacketLengthBoundsTheOptionArea) {
  Reply reply;
  reply.Add({53, 1, 2, 54, 4, 10, 0, 0, 1});
  Bytes wire = reply.b;
  wire.insert(wire.end(), {6, 0, 7, 0});  // arrived bytes end before these
  ASSERT_TRUE(Parse(wire, reply.b.size()));
  EXPECT_EQ(Codes(slot_->options), (std::vector<int>{53, 54}));
  EXPECT_FALSE(Parse(wire, reply.b.size() - 1));  // option 54 now runs one byte past
  ExpectSlotEmpty();
}

TEST_F(DhcpCodecTest, PacketLengthAboveTheBufferIsClamped) {
  // The last option fills the buffer exactly.
  Reply reply;
  while (reply.b.size() + 257 <= 1472) reply.Add(Opt(200, Bytes(255, 1)));
  const size_t last = reply.b.size();
  reply.Add(Opt(201, Bytes(1472 - last - 2, 2)));
  ASSERT_EQ(reply.b.size(), 1472u);
  ASSERT_TRUE(Parse(reply.b, 100000));
  EXPECT_EQ(slot_->options.count, 5);

  // One byte longer than the buffer holds: rejected, not read from what follows.
  reply.b[last + 1] += 1;
  EXPECT_FALSE(Parse(reply.b, 1u << 20));
  ExpectSlotEmpty();
}

TEST_F(DhcpCodecTest, OverloadIndexesFileThenSnameAfterTheMainArea) {
  Reply reply;
  reply.Add({52, 1, 3,     // overload: file and sname
             20, 1, 0xA0,  // in the main area and in file
             255});
  reply.File({20, 1, 0xF0, 21, 0, 255, 22, 0});
  reply.Sname({21, 1, 0x50, 23, 0});
  ASSERT_TRUE(Parse(reply.b));
  EXPECT_EQ(Codes(slot_->options), (std::vector<int>{52, 20, 20, 21, 21, 23}));
  int32_t position = 0;
  uint32_t length = 0;
  EXPECT_EQ(OptionIndexFind(&slot_->options, 20, &length, &position), At(245));
  EXPECT_EQ(position, 2);
  EXPECT_EQ(OptionIndexFind(&slot_->options, 20, &length, &position), At(108 + 2));
  EXPECT_EQ(position, 3);
  EXPECT_EQ(OptionIndexFind(&slot_->options, 21, &length, nullptr), At(113));  // file before sname
  EXPECT_EQ(length, 0u);
  position = 0;
  ASSERT_NE(OptionIndexFind(&slot_->options, 21, &length, &position), nullptr);
  EXPECT_EQ(OptionIndexFind(&slot_->options, 21, &length, &position), At(44 + 2));
  EXPECT_EQ(length, 1u);

  for (uint8_t which : {1, 2}) {
    SCOPED_TRACE(which);
    reply.b[242] = which;
    ASSERT_TRUE(Parse(reply.b));
    EXPECT_EQ(Codes(slot_->options),
              which == 1 ? (std::vector<int>{52, 20, 20, 21}) : (std::vector<int>{52, 20, 21, 23}));
  }
}

TEST_F(DhcpCodecTest, OverloadIntoAnIndexPastItsBuiltinArray) {
  Reply reply;
  reply.Add({52, 1, 1});
  reply.Add(EmptyOptions(1, 14));     // 15 in the main area
  reply.File(EmptyOptions(101, 30));  // 45 in all
  ASSERT_TRUE(Parse(reply.b));
  std::vector<int> expected{52};
  for (int code : Range(1, 14)) expected.push_back(code);
  for (int code : Range(101, 30)) expected.push_back(code);
  EXPECT_EQ(Codes(slot_->options), expected);
  EXPECT_EQ(slot_->options.capacity, 45);
}

TEST_F(DhcpCodecTest, MalformedOverloadFieldIsLeftOut) {
  Reply reply;
  reply.Add({52, 1, 3, 53, 1, 2});
  reply.File({30, 0, 31});  // code byte at the end of the field's options, then zero PAD...
  reply.b[108 + 127] = 40;  // ...and a code byte as the field's last byte
  reply.Sname({32, 0});
  ASSERT_TRUE(Parse(reply.b));
  EXPECT_EQ(Codes(slot_->options), (std::vector<int>{52, 53, 32}));

  reply.File({30, 200});  // runs past the file field
  reply.b[108 + 127] = 0;
  ASSERT_TRUE(Parse(reply.b));
  EXPECT_EQ(Codes(slot_->options), (std::vector<int>{52, 53, 32}));
}

TEST_F(DhcpCodecTest, OverloadNeedsAOneByteOption52) {
  Reply reply;
  reply.Add({52, 2, 3, 0});
  reply.File(Text("67abc"));  // would index as option '6' if read as options
  ASSERT_TRUE(Parse(reply.b));
  EXPECT_EQ(Codes(slot_->options), (std::vector<int>{52}));
  uint32_t length = 0;
  EXPECT_EQ(GetBootFileName(slot_.get(), &length), At(108));
  EXPECT_EQ(length, 5u);

  Reply zero;
  zero.Add({52, 0});
  zero.File({20, 0});
  ASSERT_TRUE(Parse(zero.b));
  EXPECT_EQ(Codes(slot_->options), (std::vector<int>{52}));
}

// ---- WIRL vendor class ----

Bytes WirlClass() { return Opt(60, Text("ZEKOWIRLC/i386/ACPI")); }

TEST_F(DhcpCodecTest, WirlClassWithoutOption43IsRejected) {
  Reply reply;
  reply.Add({53, 1, 2}).Add(Opt(60, Text("ZEKOWIRLC")));
  EXPECT_FALSE(Parse(reply.b));
  ExpectSlotEmpty();

  Reply prefix;
  prefix.Add({53, 1, 2}).Add(Opt(60, Text("ZEKOWIRL"))).Add({43, 2, 1, 0});
  ASSERT_TRUE(Parse(prefix.b));
  EXPECT_EQ(slot_->slotFlags, 0);
  EXPECT_EQ(slot_->vendorOptions.count, 0);
  EXPECT_EQ(slot_->options.count, 3);

  Reply other;  // another vendor's class leaves a malformed 43 alone
  other.Add(Opt(60, Text("PXEClient"))).Add({43, 2, 1, 5});
  ASSERT_TRUE(Parse(other.b));
  EXPECT_EQ(slot_->slotFlags, 0);
}

TEST_F(DhcpCodecTest, WirlSubOptionsOfEveryOption43InOrder) {
  Reply one;
  one.Add(WirlClass()).Add({43, 6, 1, 1, 3, 2, 0, 0});  // sub-options 1 and 2, then PAD
  ASSERT_TRUE(Parse(one.b));
  EXPECT_EQ(slot_->slotFlags, ORVALE_SLOT_FLAG_WIRL);
  EXPECT_EQ(Codes(slot_->vendorOptions), (std::vector<int>{1, 2}));

  Reply two;
  two.Add(WirlClass()).Add({43, 3, 1, 1, 7}).Add({53, 1, 2}).Add({43, 4, 2, 0, 1, 0});
  ASSERT_TRUE(Parse(two.b));
  EXPECT_EQ(slot_->slotFlags, ORVALE_SLOT_FLAG_WIRL);
  EXPECT_EQ(Codes(slot_->vendorOptions), (std::vector<int>{1, 2, 1}));
  uint32_t length = 0;
  int32_t position = 0;
  const uint8_t *first = OptionIndexFind(&slot_->vendorOptions, 1, &length, &position);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(length, 1u);
  EXPECT_EQ(*first, 7);
  const uint8_t *second = OptionIndexFind(&slot_->vendorOptions, 1, &length, &position);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(length, 0u);
  EXPECT_GT(second, first);

  Reply split;  // sub-option 5 starts in the first 43 and ends in the second
  split.Add(WirlClass()).Add({43, 3, 1, 0, 5}).Add({43, 2, 1, 0xAB});
  EXPECT_FALSE(Parse(split.b));
  ExpectSlotEmpty();

  Reply malformed;
  malformed.Add(WirlClass()).Add({43, 3, 1, 2, 0});
  EXPECT_FALSE(Parse(malformed.b));
  ExpectSlotEmpty();
}

TEST_F(DhcpCodecTest, WirlClassFromAnOverloadedField) {
  Reply reply;
  reply.Add({52, 1, 2});
  reply.Sname([] {
    Bytes s = Opt(60, Text("ZEKOWIRLC"));
    Bytes v = {43, 2, 9, 0};
    s.insert(s.end(), v.begin(), v.end());
    return s;
  }());
  ASSERT_TRUE(Parse(reply.b));
  EXPECT_EQ(slot_->slotFlags, ORVALE_SLOT_FLAG_WIRL);
  EXPECT_EQ(Codes(slot_->vendorOptions), (std::vector<int>{9}));
}

// ---- Memory ----

// A packet that needs four allocations: main-area growth, the sname append,
// the vendor sub-option growth and the vendor index itself.
Bytes Greedy() {
  Reply reply;
  reply.Add({53, 1, 2, 52, 1, 3});
  reply.Add(WirlClass());
  reply.Add(Opt(43, EmptyOptions(1, 17)));
  reply.Add(EmptyOptions(100, 14));  // 18 in the main area
  reply.File(EmptyOptions(150, 10));
  reply.Sname(EmptyOptions(170, 10));
  return reply.b;
}

TEST_F(DhcpCodecTest, AllocationFailureRejectsThePacketAndLeaksNothing) {
  const Bytes wire = Greedy();
  ASSERT_TRUE(Parse(wire));
  const std::vector<int> full = Codes(slot_->options), vendor = Codes(slot_->vendorOptions);
  ASSERT_EQ(full.size(), 38u);
  ASSERT_EQ(vendor.size(), 17u);
  OptionIndexClear(&slot_->options);
  OptionIndexClear(&slot_->vendorOptions);
  const size_t allocationsNeeded = 4;
  for (int nth = 0; nth < 6; ++nth) {
    SCOPED_TRACE(nth);
    fw_.FailAllocation(nth);
    const bool ok = Parse(wire);
    fw_.FailAllocation(-1);
    EXPECT_EQ(ok, nth >= static_cast<int>(allocationsNeeded));
    if (ok) {
      EXPECT_EQ(Codes(slot_->options), full);
      EXPECT_EQ(Codes(slot_->vendorOptions), vendor);
      EXPECT_EQ(fw_.LivePoolBlocks(), poolBaseline_ + 2);
      OptionIndexClear(&slot_->options);
      OptionIndexClear(&slot_->vendorOptions);
    } else {
      ExpectSlotEmpty();
    }
  }
}

TEST_F(DhcpCodecTest, ReparseReleasesGrownIndexes) {
  const Bytes wire = Greedy();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(Parse(wire));
  EXPECT_EQ(fw_.LivePoolBlocks(), poolBaseline_ + 2);
  Reply small;
  ASSERT_TRUE(Parse(small.b));
  EXPECT_EQ(fw_.LivePoolBlocks(), poolBaseline_);
}

// ---- Boot file name ----

TEST_F(DhcpCodecTest, BootFileNameFromOption67OrTheFileField) {
  Reply reply;
  reply.Add(Opt(67, Text("boot/x64.efi"))).Add({255});
  reply.File(Text("ignored"));
  ASSERT_TRUE(Parse(reply.b));
  uint32_t length = 0;
  EXPECT_EQ(GetBootFileName(slot_.get(), &length), At(242));
  EXPECT_EQ(length, 12u);

  Reply empty67;  // an empty option 67 falls back to the file field
  empty67.Add({67, 0});
  empty67.File(Text("from/file"));
  ASSERT_TRUE(Parse(empty67.b));
  EXPECT_EQ(GetBootFileName(slot_.get(), &length), At(108));
  EXPECT_EQ(length, 9u);

  Reply none;
  ASSERT_TRUE(Parse(none.b));
  EXPECT_EQ(GetBootFileName(slot_.get(), nullptr), nullptr);

  Reply full;  // all 128 bytes used, no terminator
  full.File(Bytes(128, 'n'));  // the cookie follows directly
  ASSERT_TRUE(Parse(full.b));
  EXPECT_EQ(GetBootFileName(slot_.get(), &length), At(108));
  EXPECT_EQ(length, 128u);
}

TEST_F(DhcpCodecTest, BootFileNameWhenFileHoldsOptions) {
  Reply reply;
  reply.Add({52, 1, 1});
  reply.File({20, 0});
  ASSERT_TRUE(Parse(reply.b));
  EXPECT_EQ(GetBootFileName(slot_.get(), nullptr), nullptr);

  reply.b[242] = 2;  // only sname overloaded: file is a name again
  reply.File(Text("n"));
  ASSERT_TRUE(Parse(reply.b));
  uint32_t length = 0;
  EXPECT_EQ(GetBootFileName(slot_.get(), &length), At(108));
  EXPECT_EQ(length, 1u);

  Reply inFile;  // option 67 carried inside the overloaded file field
  inFile.Add({52, 1, 3});
  inFile.File(Opt(67, Text("f.efi")));
  ASSERT_TRUE(Parse(inFile.b));
  EXPECT_EQ(GetBootFileName(slot_.get(), &length), At(110));
  EXPECT_EQ(length, 5u);
}

}  // namespace
