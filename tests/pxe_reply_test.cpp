// PXE reply parsing and the boot-server information checks: flags from
// option 60 and the sub-options, option overload, the file field as option
// 67, every walk bounded by its area (bytes past what arrived are poisoned),
// and sub-options too short for what is read.
#include <gtest/gtest.h>
#include <sanitizer/asan_interface.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "pxe/pxe.h"

namespace {

using Bytes = std::vector<uint8_t>;

class PxeParseTest : public ::testing::Test {
 protected:
  void SetUp() override { slot_ = static_cast<PacketSlot *>(std::calloc(1, sizeof(PacketSlot))); }
  void TearDown() override {
    __asan_unpoison_memory_region(slot_->packet.Raw, sizeof(slot_->packet.Raw));
    std::free(slot_);
  }
  // A reply with the cookie, options at 240 and the bytes after `arrived`
  // poisoned; parsed with that length.
  PacketSlot *Parse(const Bytes &options, size_t arrived = 0, const Bytes &file = {}, const Bytes &sname = {}) {
    __asan_unpoison_memory_region(slot_->packet.Raw, sizeof(slot_->packet.Raw));
    std::memset(slot_->packet.Raw, 0, sizeof(slot_->packet.Raw));
    uint8_t *p = slot_->packet.Raw;
    p[0] = 2;
    std::memcpy(p + 236, "\x63\x82\x53\x63", 4);
    std::copy(sname.begin(), sname.end(), p + 44);
    std::copy(file.begin(), file.end(), p + 108);
    std::copy(options.begin(), options.end(), p + 240);
    if (arrived == 0) arrived = 240 + options.size();
    __asan_poison_memory_region(p + arrived, sizeof(slot_->packet.Raw) - arrived);
    ParsePxePacket(slot_, arrived);
    return slot_;
  }
  const uint8_t *At(size_t offset) const { return slot_->packet.Raw + offset; }
  // The references by value: the slot is packed, its pointers unaligned.
  const uint8_t *D(size_t i) const { return slot_->dhcpOptionRefs[i]; }
  const uint8_t *S(size_t i) const { return slot_->pxeOptionRefs[i]; }
  PacketSlot *slot_ = nullptr;
};

Bytes Pxe60() { return {60, 9, 'P', 'X', 'E', 'C', 'l', 'i', 'e', 'n', 't'}; }
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &b : parts) out.insert(out.end(), b.begin(), b.end());
  return out;
}
// Option 43 around sub-options.
Bytes Vendor(const Bytes &subs) { return Cat({{43, static_cast<uint8_t>(subs.size())}, subs}); }

// ---- Flags ----

TEST_F(PxeParseTest, VendorClassPxeClientOnlyInTheRightCase) {
  EXPECT_EQ(Parse(Cat({Pxe60(), {255}}))->pxeFlags, 0x01);
  EXPECT_EQ(D(kRefVendorClass), At(240));
  EXPECT_EQ(Parse({60, 9, 'P', 'X', 'E', 'C', 'L', 'I', 'E', 'N', 'T', 255})->pxeFlags, 0x00);
  // Eight letters are not enough.
  EXPECT_EQ(Parse({60, 8, 'P', 'X', 'E', 'C', 'l', 'i', 'e', 'n', 255})->pxeFlags, 0x00);
}

TEST_F(PxeParseTest, FlagsFromSubOptions) {
  const Bytes mtftp = {1, 4, 224, 1, 1, 1, 2, 2, 0, 1, 3, 2, 0, 2, 4, 1, 5, 5, 1, 5};
  EXPECT_EQ(Parse(Cat({Vendor(Cat({mtftp, {255}})), {255}}))->pxeFlags, 0x03);
  for (int i = 0; i < 5; ++i) EXPECT_NE(S(i), nullptr) << i;
  // Four of the five: a PXE reply without complete multicast information.
  EXPECT_EQ(Parse(Cat({Vendor(Bytes(mtftp.begin(), mtftp.begin() + 17)), {255}}))->pxeFlags, 0x01);
  EXPECT_EQ(Parse(Cat({Vendor({71, 4, 0, 1, 0, 0, 255}), {255}}))->pxeFlags, 0x05);
  EXPECT_EQ(S(kRefBootItem), At(242));
  EXPECT_EQ(Parse(Cat({Vendor({12, 4, 0, 0, 0, 1, 255}), {255}}))->pxeFlags, 0x09);
  EXPECT_EQ(Parse(Cat({Vendor({11, 2, 1, 2, 255}), {255}}))->pxeFlags, 0x00);
  // Each of 6 to 10 alone is boot-server information.
  for (uint8_t code = 6; code <= 10; ++code) {
    EXPECT_EQ(Parse(Cat({Vendor({code, 1, 0}), {255}}))->pxeFlags, 0x05) << int(code);
  }
}

TEST_F(PxeParseTest, SubOptionsWithoutEndParseTheSame) {
  Parse(Cat({Vendor({6, 1, 8, 71, 4, 0, 1, 0, 0}), {255}}));
  EXPECT_EQ(slot_->pxeFlags, 0x05);
  EXPECT_EQ(S(kRefDiscoveryControl), At(242));
  EXPECT_EQ(S(kRefBootItem), At(245));
}

TEST_F(PxeParseTest, LaterOccurrenceReplacesEarlier) {
  Parse({53, 1, 2, 53, 1, 5, 255});
  EXPECT_EQ(D(kRefMessageType), At(243));
}

// ---- Bounds ----

TEST_F(PxeParseTest, SubOptionRunningPastOption43IsNotRecorded) {
  // Option 43 of 4 bytes whose sub-option 6 claims 5; option 54 follows.
  Parse({43, 4, 6, 5, 1, 2, 54, 4, 10, 0, 0, 1, 255});
  EXPECT_EQ(S(kRefDiscoveryControl), nullptr);
  EXPECT_EQ(slot_->pxeFlags, 0x00);
  EXPECT_EQ(D(kRefServerId), At(246));
  // A sub-option code as the last byte of option 43: no length byte is read.
  Parse({43, 3, 6, 1, 0, 255});
  EXPECT_NE(S(kRefDiscoveryControl), nullptr);
  Parse({43, 4, 6, 1, 0, 71, 255});
  EXPECT_EQ(S(kRefBootItem), nullptr);
}

TEST_F(PxeParseTest, OptionsRunningPastWhatArrivedAreNotRecorded) {
  // Option 54 claims 4 bytes, 2 arrived.
  Parse({53, 1, 2, 54, 4, 10, 0}, 247);
  EXPECT_NE(D(kRefMessageType), nullptr);
  EXPECT_EQ(D(kRefServerId), nullptr);
  // A code byte as the last byte that arrived.
  Parse({53, 1, 2, 43}, 244);
  EXPECT_EQ(D(kRefVendor), nullptr);
  // PAD as the last byte: no length byte read after it.
  Parse({0}, 241);
  EXPECT_EQ(D(kRefMessageType), nullptr);
  // Shorter than the fixed fields: nothing read at all, the file field neither.
  Parse({}, 200, {'a', 'b'});
  EXPECT_EQ(D(kRefBootFile), nullptr);
  // A packet as long as the whole buffer with options to its last byte.
  Bytes full(1472 - 240, 0);
  full[full.size() - 2] = 53;
  full[full.size() - 1] = 1;
  Parse(full, 1472);
  EXPECT_EQ(D(kRefMessageType), nullptr);
}

// ---- Overload and the file field ----

TEST_F(PxeParseTest, OverloadBothIndexesSnameAndFile) {
  const Bytes sname = {54, 4, 10, 0, 0, 9, 255};
  const Bytes file = {67, 4, 'b', 'o', 'o', 't', 255};
  Parse({52, 1, 3, 255}, 0, file, sname);
  EXPECT_EQ(D(kRefServerId), At(44));
  EXPECT_EQ(D(kRefBootFile), At(108));
  // The file field holds options, so it is never a boot file name.
  Parse({52, 1, 1, 255}, 0, {0x2E, 0, 255});
  EXPECT_EQ(D(kRefBootFile), nullptr);
}

TEST_F(PxeParseTest, FileFieldLengthNeverOverwritesAnOptionInSname) {
  // Option 54 of length 0 in the last two bytes of an overloaded sname.
  Bytes sname(64, 0);
  sname[62] = 54;
  sname[63] = 0;
  Parse({52, 1, 2, 255}, 0, {'x', 'y'}, sname);
  EXPECT_EQ(D(kRefServerId), At(106));
  EXPECT_EQ(*At(107), 0);
  EXPECT_EQ(D(kRefBootFile), nullptr);
}

TEST_F(PxeParseTest, FileFieldServesAsOption67) {
  Parse({52, 1, 2, 67, 0, 255}, 0, {'p', 'x', 'e', '.', 'e', 'f', 'i', 0, 'x'});
  // Option 67 present but empty: the empty one stays recorded.
  EXPECT_EQ(D(kRefBootFile), At(243));
  Parse({52, 1, 2, 255}, 0, {'p', 'x', 'e', '.', 'e', 'f', 'i', 0, 'x'});
  EXPECT_EQ(D(kRefBootFile), At(106));
  EXPECT_EQ(*At(107), 7);
  Bytes longName(128, 'n');
  Parse({255}, 0, longName);
  EXPECT_EQ(*At(107), 128);
  UINT8 length = 0;
  EXPECT_EQ(PxeDhcpOption(slot_, kRefBootFile, &length), At(108));
  EXPECT_EQ(length, 128);
  Parse({255});
  EXPECT_EQ(D(kRefBootFile), nullptr);
}

// ---- Boot-server information ----

Bytes Menu() { return {9, 7, 0x80, 0x01, 4, 'B', 'o', 'o', 't', 10, 2, 0, 'P'}; }
// A reply with sub-option 6 = control, and the given further sub-options.
Bytes BootInfo(uint8_t control, const Bytes &more) {
  return Cat({Vendor(Cat({{6, 1, control}, more, {255}})), {255}});
}

TEST_F(PxeParseTest, BootServerListLengthsMustAgreeWithTheirCounts) {
  const Bytes servers = {8, 14, 0, 1, 2, 10, 0, 0, 5, 10, 0, 0, 6, 0, 3, 0};
  EXPECT_TRUE(ValidatePxeBootInfo(Parse(BootInfo(0x02, Cat({servers, Menu()})))));
  Bytes shorter = servers;
  shorter[1] = 13;
  shorter.pop_back();
  EXPECT_FALSE(ValidatePxeBootInfo(Parse(BootInfo(0x02, Cat({shorter, Menu()})))));
  Bytes longer = servers;
  longer[1] = 15;
  longer.push_back(0);
  EXPECT_FALSE(ValidatePxeBootInfo(Parse(BootInfo(0x02, Cat({longer, Menu()})))));
  // A count larger than the length: 9 addresses claimed in 7 bytes.
  EXPECT_FALSE(ValidatePxeBootInfo(Parse(BootInfo(0x02, Cat({{8, 7, 0, 1, 9, 10, 0, 0, 5}, Menu()})))));
  // An entry cut inside its header.
  EXPECT_FALSE(ValidatePxeBootInfo(Parse(BootInfo(0x02, Cat({{8, 2, 0, 1}, Menu()})))));
  // A multicast boot server.
  EXPECT_FALSE(ValidatePxeBootInfo(Parse(BootInfo(0x02, Cat({{8, 7, 0, 1, 1, 224, 0, 0, 5}, Menu()})))));
}

TEST_F(PxeParseTest, DiscoveryControlAndMulticastAddress) {
  // Multicast allowed: sub-option 7 must hold a whole multicast address.
  EXPECT_TRUE(ValidatePxeBootInfo(Parse(BootInfo(0x00, Cat({{7, 4, 224, 0, 1, 2}, Menu()})))));
  EXPECT_FALSE(ValidatePxeBootInfo(Parse(BootInfo(0x00, Cat({{7, 4, 10, 0, 1, 2}, Menu()})))));
  EXPECT_FALSE(ValidatePxeBootInfo(Parse(BootInfo(0x00, Menu()))));
  EXPECT_FALSE(ValidatePxeBootInfo(Parse(BootInfo(0x00, Cat({{7, 2, 224, 0}, Menu()})))));
  // A discovery-control sub-option without its byte.
  EXPECT_FALSE(ValidatePxeBootInfo(Parse(Cat({Vendor(Cat({{6, 0}, {7, 4, 224, 0, 1, 2}, Menu(), {255}})), {255}}))));
  // Broadcast and multicast both off need a server list.
  EXPECT_FALSE(ValidatePxeBootInfo(Parse(BootInfo(0x03, Menu()))));
  EXPECT_TRUE(ValidatePxeBootInfo(Parse(BootInfo(0x03, Cat({{8, 7, 0, 1, 1, 10, 0, 0, 5}, Menu()})))));
  // "Only the list" needs the list too.
  EXPECT_FALSE(ValidatePxeBootInfo(Parse(BootInfo(0x06, Menu()))));
}

TEST_F(PxeParseTest, BootMenuRequiredUnlessBootFileAndControl08) {
  EXPECT_FALSE(ValidatePxeBootInfo(Parse(BootInfo(0x0A, {}))));
  EXPECT_TRUE(ValidatePxeBootInfo(Parse(Cat({Vendor({6, 1, 0x0A, 255}), {67, 1, 'f', 255}}))));
  EXPECT_TRUE(ValidatePxeBootInfo(Parse(BootInfo(0x0A, Menu()))));
  // Menu without prompt, prompt without menu.
  const Bytes menu = Menu();
  EXPECT_FALSE(ValidatePxeBootInfo(Parse(BootInfo(0x02, Bytes(menu.begin(), menu.begin() + 9)))));
  EXPECT_FALSE(ValidatePxeBootInfo(Parse(BootInfo(0x02, {10, 2, 0, 'P'}))));
  // An entry with an empty description; entries that do not fill the value.
  EXPECT_FALSE(ValidatePxeBootInfo(Parse(BootInfo(0x02, {9, 3, 0x80, 0x01, 0, 10, 2, 0, 'P'}))));
  EXPECT_FALSE(ValidatePxeBootInfo(Parse(BootInfo(0x02, {9, 8, 0x80, 0x01, 4, 'B', 'o', 'o', 't', 0, 10, 2, 0, 'P'}))));
  EXPECT_FALSE(ValidatePxeBootInfo(Parse(BootInfo(0x02, {9, 6, 0x80, 0x01, 9, 'B', 'o', 'o', 10, 2, 0, 'P'}))));
}

TEST_F(PxeParseTest, DefaultsFilledForAbsentControlAndBootItem) {
  // Sub-option 10 alone: control defaults to 0, so multicast needs sub-option 7.
  EXPECT_FALSE(ValidatePxeBootInfo(Parse(Cat({Vendor({10, 2, 0, 'P', 255}), {255}}))));
  EXPECT_EQ(S(kRefDiscoveryControl), DefaultDiscoveryControl);
  ASSERT_TRUE(ValidatePxeBootInfo(Parse(Cat({Vendor(Cat({{7, 4, 239, 1, 1, 1}, Menu(), {255}})), {255}}))));
  EXPECT_EQ(S(kRefBootItem), DefaultBootItem);
  // A boot item too short for its type and layer.
  EXPECT_FALSE(ValidatePxeBootInfo(Parse(BootInfo(0x02, Cat({Menu(), {71, 2, 0, 1}})))));
  // Without boot-server information there is nothing to check.
  EXPECT_TRUE(ValidatePxeBootInfo(Parse(Cat({Pxe60(), {255}}))));
  EXPECT_EQ(S(kRefDiscoveryControl), nullptr);
}

TEST_F(PxeParseTest, AckNeedsTypeFiveAndServerIdentifier) {
  EXPECT_TRUE(IsDhcpAck(Parse({53, 1, 5, 54, 4, 10, 0, 0, 1, 255})));
  EXPECT_FALSE(IsDhcpAck(Parse({53, 1, 5, 255})));
  EXPECT_FALSE(IsDhcpAck(Parse({53, 1, 2, 54, 4, 10, 0, 0, 1, 255})));
  EXPECT_FALSE(IsDhcpAck(Parse({53, 0, 54, 4, 10, 0, 0, 1, 255})));
  // AcceptPxeAck: a type-5 reply whose boot information is unusable is refused.
  EXPECT_FALSE(AcceptPxeAck(Parse(Cat({{53, 1, 5, 54, 4, 10, 0, 0, 1}, BootInfo(0x00, {})}))));
  EXPECT_TRUE(AcceptPxeAck(Parse({53, 1, 5, 54, 4, 10, 0, 0, 1, 255})));
}

}  // namespace
