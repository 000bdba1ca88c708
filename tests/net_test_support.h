// Fixture for the packet-path tests: a started child with station address
// 10.0.0.2/24 and a peer station 10.0.0.1 on the same segment.
#ifndef ORVALE_TESTS_NET_TEST_SUPPORT_H
#define ORVALE_TESTS_NET_TEST_SUPPORT_H

#include <memory>
#include <vector>

#include "net/net.h"
#include "peers/station.h"
#include "tests/test_support.h"

namespace orvale_test {

constexpr hosted::Mac kPeerMac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
constexpr peers::Ip4 kPeerIp = {10, 0, 0, 1};
constexpr peers::Ip4 kClientIp = {10, 0, 0, 2};
constexpr peers::Ip4 kClientMask = {255, 255, 255, 0};
constexpr uint16_t kClientPort = 4000;
constexpr uint16_t kPeerPort = 5000;

// UDP op-flags.
constexpr UINT16 kAnySrcIp = EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_SRC_IP;
constexpr UINT16 kAnySrcPort = EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_SRC_PORT;
constexpr UINT16 kAnyDestIp = EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_DEST_IP;
constexpr UINT16 kAnyDestPort = EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_DEST_PORT;
constexpr UINT16 kUseFilter = EFI_PXE_BASE_CODE_UDP_OPFLAGS_USE_FILTER;
constexpr UINT16 kMayFragment = EFI_PXE_BASE_CODE_UDP_OPFLAGS_MAY_FRAGMENT;

inline EFI_IP_ADDRESS Efi(const peers::Ip4 &ip) {
  EFI_IP_ADDRESS a{};
  for (int i = 0; i < 4; ++i) a.v4.Addr[i] = ip[i];
  return a;
}
inline peers::Ip4 Ip4Of(const EFI_IP_ADDRESS &a) { return {a.v4.Addr[0], a.v4.Addr[1], a.v4.Addr[2], a.v4.Addr[3]}; }
inline hosted::Mac MacOf(const EFI_MAC_ADDRESS &m) { return {m.Addr[0], m.Addr[1], m.Addr[2], m.Addr[3], m.Addr[4], m.Addr[5]}; }
inline peers::Bytes Pattern(size_t n, uint8_t seed = 1) {
  peers::Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
  return b;
}

class NetTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    if (HasFatalFailure()) return;
    peer_ = std::make_unique<peers::Station>(&segment_, kPeerMac, kPeerIp);
    ASSERT_EQ(StartChild(), EFI_SUCCESS);
    if (SetAddress()) {
      EFI_IP_ADDRESS ip = Efi(kClientIp);
      EFI_IP_ADDRESS mask = Efi(kClientMask);
      ASSERT_EQ(Proto()->SetStationIp(Proto(), &ip, &mask), EFI_SUCCESS);
    }
  }
  void TearDown() override {
    if (child_.protocol != nullptr) EXPECT_EQ(Proto()->Stop(Proto()), EFI_SUCCESS);
    DriverTest::TearDown();
    peer_.reset();
  }
  virtual bool SetAddress() const { return true; }

  // Runs f with the controller lock held, as the members do.
  template <class F>
  auto Locked(F f) {
    MemberLock lock(Instance());
    EXPECT_TRUE(lock.Held());
    return f(Instance());
  }

  uint32_t Drops(NetDrop reason) const { return Instance()->NetDrops[reason]; }

  // A UdpRead that takes any datagram (ANY_SRC_IP|ANY_SRC_PORT|ANY_DEST_IP|ANY_DEST_PORT).
  struct ReadResult {
    EFI_STATUS status = EFI_SUCCESS;
    peers::Bytes data;
    EFI_IP_ADDRESS src{}, dst{};
    uint16_t srcPort = 0, dstPort = 0;
  };
  ReadResult ReadAny(size_t capacity = 8192, UINT16 flags = 0x000F) {
    ReadResult r;
    r.data.resize(capacity);
    UINTN size = capacity;
    r.status = Proto()->UdpRead(Proto(), flags, &r.dst, &r.dstPort, &r.src, &r.srcPort, nullptr, nullptr, &size,
                                r.data.data());
    if (r.status == EFI_SUCCESS) r.data.resize(size);
    return r;
  }

  // ReceiveUdpDatagram with a timeout of ticks of virtual time.
  EFI_STATUS ReceiveFor(uint64_t ticks, UINT16 flags, void *header, UINTN headerLength, void *data, UINTN *size,
                        EFI_IP_ADDRESS *src = nullptr, EFI_IP_ADDRESS *dst = nullptr) {
    return Locked([&](ProtocolInstance *in) {
      TimerEvent timer;
      EXPECT_EQ(timer.Arm(ticks), EFI_SUCCESS);
      return ReceiveUdpDatagram(in, flags, src, dst, 17, header, headerLength, data, size, timer.Get());
    });
  }

  // Frames the driver sent, decoded by the peer.
  std::vector<peers::ParsedIpv4> SentIpv4() const { return peer_->ReceivedIpv4(); }
  std::vector<peers::ParsedArp> SentArp() const { return peer_->ReceivedArp(); }

  std::unique_ptr<peers::Station> peer_;
};

}  // namespace orvale_test

#endif
