// The PXE client identity: the base message byte for byte, the SMBIOS UUID
// walk (and its bounds on a hostile table), the interface identifier with
// and without the controller's identifier record.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "pxe/pxe.h"
#include "tests/dhcp_test_support.h"

namespace orvale_test {
namespace {

using peers::Bytes;

constexpr uint8_t kUuid[16] = {0x21, 0x4E, 0x6C, 0x9A, 0x3B, 0x15, 0x7D, 0x4F,
                               0x8A, 0x6E, 0x52, 0x54, 0x00, 0x12, 0x34, 0x56};

class PxeIdentityTest : public DhcpTest {
 protected:
  void ConfigurePlatform() override {
    DhcpTest::ConfigurePlatform();
    fw_.SetSmbiosUuid(kUuid);
  }
  // The 548 bytes BuildPxePacket leaves in the transmit packet.
  Bytes BasePacket() {
    Bytes out;
    EXPECT_EQ(WithBuffers([&](ProtocolInstance *in) {
                if (in->PxeIdentityState == kPxeIdentityUnbuilt) BuildPxeOptionTemplate(in);
                BuildPxePacket(in);
                out.assign(in->DhcpTxPacket->Raw, in->DhcpTxPacket->Raw + 548);
                return EFI_SUCCESS;
              }),
              EFI_SUCCESS);
    return out;
  }
  std::string VendorClass(const Bytes &p) { return std::string(p.begin() + 314, p.begin() + 346); }
  EFI_NETWORK_INTERFACE_IDENTIFIER_PROTOCOL *Nii() {
    EFI_GUID guid = EFI_NETWORK_INTERFACE_IDENTIFIER_PROTOCOL_GUID_31;
    return static_cast<EFI_NETWORK_INTERFACE_IDENTIFIER_PROTOCOL *>(fw_.FindProtocol(nic_->controller, guid));
  }
};

TEST_F(PxeIdentityTest, BaseMessageByteForByte) {
  EXPECT_EQ(Instance()->PxeIdentityState, kPxeIdentityUnbuilt);
  const Bytes p = BasePacket();
  EXPECT_EQ(Instance()->PxeIdentityState, kPxeIdentityBuilt);
  Bytes expected(548, 0);
  const Bytes head = {
      0x01,                    // op BOOTREQUEST
      0x01,                    // htype Ethernet
      0x06,                    // hlen
      0x00,                    // hops
      0, 0, 0, 0,              // xid (set by the caller)
      0, 0,                    // secs
      0x80, 0x00,              // flags: broadcast
  };
  std::copy(head.begin(), head.end(), expected.begin());
  const Bytes mac = {0x52, 0x54, 0x00, 0x12, 0x34, 0x56};
  std::copy(mac.begin(), mac.end(), expected.begin() + 28);
  const Bytes options = {
      99, 130, 83, 99,                                   // cookie
      53, 1, 1,                                          // DHCPDISCOVER
      57, 2, 0x05, 0xC0,                                 // max message size 1472
      55, 35, 1, 2, 3, 4, 5, 6, 12, 13, 15, 17, 18, 22,  // parameter request list
      23, 28, 40, 41, 42, 43, 50, 51, 54, 58, 59, 60, 66, 67, 97, 128, 129, 130, 131, 132, 133, 134, 135,
      97, 17, 0,                                         // client machine identifier, type 0
      0x21, 0x4E, 0x6C, 0x9A, 0x3B, 0x15, 0x7D, 0x4F,    // UUID as stored in SMBIOS type 1
      0x8A, 0x6E, 0x52, 0x54, 0x00, 0x12, 0x34, 0x56,
      94, 3, 2, 3, 1,                                    // interface: the controller's type 2, version 3.1
      93, 2, 0, 0,                                       // architecture 0
      60, 32, 'P', 'X', 'E', 'C', 'l', 'i', 'e', 'n', 't', ':', 'A', 'r', 'c', 'h', ':', '0', '0', '0', '0', '0',
      ':', 'U', 'N', 'D', 'I', ':', '0', '0', '3', '0', '0', '1',
      255,  // END
  };
  ASSERT_EQ(options.size(), 111u);
  std::copy(options.begin(), options.end(), expected.begin() + 236);
  EXPECT_EQ(p, expected);
  EXPECT_EQ(p[346], 255);
  // The template is the option area less the per-packet fields.
  Bytes templ(PxeOptionTemplate, PxeOptionTemplate + 111);
  EXPECT_EQ(Bytes(templ.begin() + 51, templ.begin() + 67), Bytes(16, 0));
  EXPECT_EQ(Bytes(templ.begin() + 67, templ.begin() + 72), (Bytes{94, 3, 0, 0, 0}));
  EXPECT_EQ(std::string(templ.begin() + 78, templ.begin() + 110), "PXEClient:Arch:xxxxx:XXXX:yyyxxx");
}

TEST_F(PxeIdentityTest, InterfaceIdentifierFromTheControllerOrUndi) {
  Nii()->MajorVer = 255;
  Nii()->MinorVer = 16;
  Bytes p = BasePacket();
  EXPECT_EQ(VendorClass(p), "PXEClient:Arch:00000:UNDI:255016");
  EXPECT_EQ(Bytes(p.begin() + 303, p.begin() + 308), (Bytes{94, 3, 2, 255, 16}));
  // Re-read per packet: a change of the record shows in the next message.
  Nii()->MajorVer = 3;
  Nii()->MinorVer = 16;
  std::memcpy(Nii()->StringId, "ABCD", 4);
  p = BasePacket();
  EXPECT_EQ(VendorClass(p), "PXEClient:Arch:00000:ABCD:003016");
  // Without the record: UNDI type 1, version 3.1, still 32 characters.
  EFI_GUID guid = EFI_NETWORK_INTERFACE_IDENTIFIER_PROTOCOL_GUID_31;
  ASSERT_EQ(fw_.BootServices()->UninstallProtocolInterface(nic_->controller, &guid, Nii()), EFI_SUCCESS);
  p = BasePacket();
  EXPECT_EQ(VendorClass(p), "PXEClient:Arch:00000:UNDI:003001");
  EXPECT_EQ(Bytes(p.begin() + 303, p.begin() + 308), (Bytes{94, 3, 1, 3, 1}));
  EXPECT_EQ(Instance()->Binding->InterfaceIdentifier, nullptr);
}

TEST_F(PxeIdentityTest, HardwareAddressLengthIsClampedTo16) {
  Bytes p = BasePacket();
  EXPECT_EQ(p[2], 6);
  EXPECT_EQ(Bytes(p.begin() + 34, p.begin() + 44), Bytes(10, 0));
  EFI_SIMPLE_NETWORK_MODE &snp = Instance()->Binding->SnpMode;
  const EFI_SIMPLE_NETWORK_MODE saved = snp;
  snp.HwAddressSize = 20;
  for (int i = 0; i < 32; ++i) snp.CurrentAddress.Addr[i] = static_cast<UINT8>(0xA0 + i);
  p = BasePacket();
  snp = saved;
  EXPECT_EQ(p[2], 16);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(p[28 + i], 0xA0 + i);
  EXPECT_EQ(p[44], 0);  // sname untouched
}

TEST_F(PxeIdentityTest, NoSmbiosGivesAZeroUuidInAFullOption97) {
  fw_.RemoveSmbios();
  const Bytes p = BasePacket();
  EXPECT_EQ(Bytes(p.begin() + 284, p.begin() + 287), (Bytes{97, 17, 0}));
  EXPECT_EQ(Bytes(p.begin() + 287, p.begin() + 303), Bytes(16, 0));
}

TEST_F(PxeIdentityTest, FirstTypeOneStructureFromTheFirmwareTable) {
  // Type 0 with two strings, then type 1 (length 0x19) and a second type 1.
  Bytes table = {0x00, 0x04, 0x00, 0x00, 'a', 0, 'b', 0, 0};
  Bytes first = {0x01, 0x19, 0x01, 0x00, 1, 2, 3, 4};
  for (int i = 0; i < 16; ++i) first.push_back(static_cast<uint8_t>(0x10 + i));
  first.push_back(6);
  first.insert(first.end(), {0, 0});
  Bytes second = first;
  for (int i = 8; i < 24; ++i) second[i] = 0xEE;
  table.insert(table.end(), first.begin(), first.end());
  table.insert(table.end(), second.begin(), second.end());
  table.insert(table.end(), {0x7F, 0x04, 0xFF, 0xFF, 0, 0});
  fw_.SetSmbiosStructures(table);
  const Bytes p = BasePacket();
  for (int i = 0; i < 16; ++i) EXPECT_EQ(p[287 + i], 0x10 + i) << i;
}

// FindSmbiosUuid over a table in a block of exactly its size, so that any
// read past the table is a sanitizer failure.
Bytes UuidOf(const Bytes &table) {
  std::unique_ptr<uint8_t[]> block(new uint8_t[table.size() == 0 ? 1 : table.size()]);
  std::copy(table.begin(), table.end(), block.get());
  Bytes uuid(16, 0xCC);
  FindSmbiosUuid(block.get(), table.size(), uuid.data());
  return uuid;
}

Bytes TypeOne(uint8_t length) {
  Bytes s = {0x01, length, 0x01, 0x00};
  while (s.size() < length) s.push_back(static_cast<uint8_t>(0x40 + s.size()));
  s.insert(s.end(), {0, 0});
  return s;
}

TEST(SmbiosUuidWalk, TypeOneLengthBoundary) {
  EXPECT_EQ(UuidOf(TypeOne(24)), Bytes(16, 0));
  Bytes expected;
  for (int i = 8; i < 24; ++i) expected.push_back(static_cast<uint8_t>(0x40 + i));
  EXPECT_EQ(UuidOf(TypeOne(25)), expected);
  EXPECT_EQ(UuidOf(TypeOne(27)), expected);
}

TEST(SmbiosUuidWalk, HostileTablesStopTheWalk) {
  const Bytes zero(16, 0);
  Bytes typeOne = TypeOne(25);
  // A structure whose strings never end: the walk stops at the table's end.
  Bytes open = {0x00, 0x04, 0x00, 0x00, 'x', 'y', 'z'};
  EXPECT_EQ(UuidOf(open), zero);
  // A formatted length past the end of the table.
  EXPECT_EQ(UuidOf(Bytes{0x00, 0x40, 0x00, 0x00, 0, 0}), zero);
  // A type-1 structure cut short by the table length.
  Bytes cut(typeOne.begin(), typeOne.begin() + 20);
  EXPECT_EQ(UuidOf(cut), zero);
  // A formatted length below the 4-byte header.
  Bytes tiny = {0x00, 0x01, 0, 0, 0, 0};
  tiny.insert(tiny.end(), typeOne.begin(), typeOne.end());
  EXPECT_EQ(UuidOf(tiny), zero);
  // An empty table and a lone header byte.
  EXPECT_EQ(UuidOf(Bytes{}), zero);
  EXPECT_EQ(UuidOf(Bytes{0x01}), zero);
  // The type-1 structure after one without strings (two zero bytes) is found.
  Bytes plain = {0x00, 0x04, 0x00, 0x00, 0, 0};
  plain.insert(plain.end(), typeOne.begin(), typeOne.end());
  EXPECT_NE(UuidOf(plain), zero);
}

}  // namespace
}  // namespace orvale_test
