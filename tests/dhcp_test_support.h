// Fixture for the DHCP and WIRL exchange tests: a started child without an
// address, a DHCP server on the peer station 10.0.0.1, and helpers to run an
// exchange under the lock with its buffers.
#ifndef ORVALE_TESTS_DHCP_TEST_SUPPORT_H
#define ORVALE_TESTS_DHCP_TEST_SUPPORT_H

#include <memory>
#include <vector>

#include "dhcp/exchange.h"
#include "peers/dhcp_server.h"
#include "tests/net_test_support.h"

namespace orvale_test {

constexpr peers::Ip4 kLease = {10, 0, 0, 50};
// "ZEKOWIRLC/i386/ACPI": the fallback model name.
inline peers::Bytes WirlVendorClass() {
  const char *t = "ZEKOWIRLC/i386/ACPI";
  return peers::Bytes(t, t + 19);
}

class DhcpTest : public NetTest {
 protected:
  void ConfigurePlatform() override { fw_.SetModelName(u""); }
  bool SetAddress() const override { return false; }
  void SetUp() override {
    NetTest::SetUp();
    if (HasFatalFailure()) return;
    server_ = std::make_unique<peers::DhcpServer>(peer_.get(), peers::DhcpServer::Config{});
  }
  void TearDown() override {
    if (buffers_) Locked([](ProtocolInstance *in) {
        FreeDhcpBuffers(in);
        return 0;
      });
    FreeImageList();
    extra_.clear();
    server_.reset();
    NetTest::TearDown();
  }

  // A further station on the segment (a second server, an address owner).
  peers::Station *AddStation(const peers::Ip4 &ip, uint8_t macLast) {
    extra_.push_back(std::make_unique<peers::Station>(&segment_, hosted::Mac{0x02, 0, 0, 0, 0, macLast}, ip));
    return extra_.back().get();
  }

  // Runs f under the lock with the exchange buffers allocated (kept until TearDown).
  template <class F>
  EFI_STATUS WithBuffers(F f) {
    return Locked([&](ProtocolInstance *in) -> EFI_STATUS {
      if (!buffers_) {
        if (!AllocateDhcpBuffers(in)) return EFI_OUT_OF_RESOURCES;
        buffers_ = true;
      }
      if (in->SecsCounter == 0) in->SecsCounter = 4;
      return f(in);
    });
  }
  EFI_STATUS Discover() { return WithBuffers([](ProtocolInstance *in) { return RunDhcpDiscovery(in); }); }

  void FreeImageList() {
    PacketRecord &p = Instance()->Packets;
    if (p.ImageList != nullptr) {
      fw_.BootServices()->FreePool(p.ImageList);
      p.ImageList = nullptr;
      p.ImageListLength = 0;
    }
  }

  PacketRecord &Packets() { return Instance()->Packets; }
  peers::Ip4 StationIp() const { return Ip4Of(Instance()->Mode.StationIp); }
  peers::Ip4 Mask() const { return Ip4Of(Instance()->Mode.SubnetMask); }
  uint32_t DhcpDrops(DhcpDrop reason) const { return Instance()->DhcpDrops[reason]; }
  bool Held(UINTN slot) const { return (Instance()->HeldSlots & (1u << slot)) != 0; }
  peers::Ip4 Yiaddr(const PacketSlot &slot) const {
    return {slot.packet.Raw[16], slot.packet.Raw[17], slot.packet.Raw[18], slot.packet.Raw[19]};
  }

  // Every DHCP message the driver sent to a server port, decoded by the peer.
  std::vector<peers::DhcpSeen> Sent(std::vector<uint16_t> ports = {67, 7799}) const {
    std::vector<peers::DhcpSeen> out;
    for (const hosted::Frame &f : nic_->sent)
      if (auto s = peers::DecodeDhcpFrame(f, ports)) out.push_back(*s);
    return out;
  }
  static uint8_t TypeOf(const peers::DhcpSeen &s) {
    const peers::Bytes *t = s.message.Option(53);
    return t != nullptr && t->size() == 1 ? (*t)[0] : 0;
  }
  std::vector<peers::DhcpSeen> SentOfType(uint8_t type) const {
    std::vector<peers::DhcpSeen> out;
    for (const auto &s : Sent())
      if (TypeOf(s) == type) out.push_back(s);
    return out;
  }
  // A reply for the client's current transaction, built by the peer.
  peers::DhcpMessage ReplyTo(const peers::DhcpMessage &request, const peers::Ip4 &yiaddr, uint8_t type,
                             const peers::Ip4 &serverId) const {
    peers::DhcpMessage r;
    r.xid = request.xid;
    r.chaddr = request.chaddr;
    r.yiaddr = yiaddr;
    r.Set(53, {type});
    r.Set(54, peers::Ip4Bytes(serverId));
    r.Set(1, {255, 255, 255, 0});
    return r;
  }

  std::unique_ptr<peers::DhcpServer> server_;
  std::vector<std::unique_ptr<peers::Station>> extra_;
  bool buffers_ = false;
};

}  // namespace orvale_test

#endif
