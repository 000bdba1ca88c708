// The UdpWrite and UdpRead members: argument rules, the port counter, the
// UDP checksum both ways, port matching, and reads that never block.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/net_test_support.h"

namespace orvale_test {
namespace {

using peers::Bytes;
using peers::Ip4;

class UdpWriteTest : public NetTest {
 protected:
  EFI_STATUS Write(UINT16 flags, UINT16 *srcPort, const Bytes &data, UINTN *headerSize = nullptr,
                   void *header = nullptr) {
    EFI_IP_ADDRESS dest = Efi(kPeerIp);
    UINT16 dport = kPeerPort;
    UINTN size = data.size();
    return Proto()->UdpWrite(Proto(), flags, &dest, &dport, nullptr, nullptr, srcPort, headerSize, header, &size,
                             const_cast<uint8_t *>(data.data()));
  }
};

TEST_F(UdpWriteTest, ArgumentRules) {
  EFI_IP_ADDRESS dest = Efi(kPeerIp);
  UINT16 dport = kPeerPort, sport = kClientPort;
  Bytes data(10);
  UINTN size = data.size();
  UINTN headerSize = 4;
  for (UINT16 flags : {kAnySrcIp, kAnyDestIp, kAnyDestPort, kUseFilter, UINT16(0x0040), UINT16(0x8000)}) {
    EXPECT_EQ(Proto()->UdpWrite(Proto(), flags, &dest, &dport, nullptr, nullptr, &sport, nullptr, nullptr, &size,
                                data.data()),
              EFI_INVALID_PARAMETER)
        << flags;
  }
  EXPECT_EQ(Proto()->UdpWrite(nullptr, 0, &dest, &dport, nullptr, nullptr, &sport, nullptr, nullptr, &size,
                              data.data()),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Proto()->UdpWrite(Proto(), 0, &dest, &dport, nullptr, nullptr, &sport, nullptr, nullptr, nullptr,
                              data.data()),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Proto()->UdpWrite(Proto(), 0, &dest, &dport, nullptr, nullptr, &sport, nullptr, nullptr, &size, nullptr),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Proto()->UdpWrite(Proto(), 0, nullptr, &dport, nullptr, nullptr, &sport, nullptr, nullptr, &size,
                              data.data()),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Proto()->UdpWrite(Proto(), 0, &dest, nullptr, nullptr, nullptr, &sport, nullptr, nullptr, &size,
                              data.data()),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Proto()->UdpWrite(Proto(), 0, &dest, &dport, nullptr, nullptr, &sport, &headerSize, nullptr, &size,
                              data.data()),
            EFI_INVALID_PARAMETER);
  // A UDP length above 65535, and an upper header that no datagram could carry.
  UINTN big = 65535 - 8 + 1;
  EXPECT_EQ(Proto()->UdpWrite(Proto(), kMayFragment, &dest, &dport, nullptr, nullptr, &sport, nullptr, nullptr, &big,
                              data.data()),
            EFI_BAD_BUFFER_SIZE);
  Bytes header(1461);
  UINTN hugeHeader = header.size();
  EXPECT_EQ(Proto()->UdpWrite(Proto(), kMayFragment, &dest, &dport, nullptr, nullptr, &sport, &hugeHeader,
                              header.data(), &size, data.data()),
            EFI_BAD_BUFFER_SIZE);
  EXPECT_TRUE(nic_->sent.empty());

  ASSERT_EQ(Proto()->Stop(Proto()), EFI_SUCCESS);
  EXPECT_EQ(Proto()->UdpWrite(Proto(), 0, &dest, &dport, nullptr, nullptr, &sport, nullptr, nullptr, &size,
                              data.data()),
            EFI_NOT_STARTED);
}

TEST_F(UdpWriteTest, PortCounterWrapsTo2070) {
  Instance()->SourcePort = 65534;
  ASSERT_EQ(Write(0, nullptr, Pattern(4)), EFI_SUCCESS);
  UINT16 port = 1;
  ASSERT_EQ(Write(kAnySrcPort, &port, Pattern(4)), EFI_SUCCESS);
  EXPECT_EQ(port, 65535);
  ASSERT_EQ(Write(0, nullptr, Pattern(4)), EFI_SUCCESS);
  EXPECT_EQ(Instance()->SourcePort, 2071);
  // A given port without ANY_SRC_PORT is used as it is and the counter stays.
  port = 999;
  ASSERT_EQ(Write(0, &port, Pattern(4)), EFI_SUCCESS);
  EXPECT_EQ(Instance()->SourcePort, 2071);

  const auto udp = peer_->ReceivedUdp();
  ASSERT_EQ(udp.size(), 4u);
  EXPECT_EQ(udp[0].udp.sourcePort, 65534);
  EXPECT_EQ(udp[1].udp.sourcePort, 65535);
  EXPECT_EQ(udp[2].udp.sourcePort, 2070);
  EXPECT_EQ(udp[3].udp.sourcePort, 999);
}

TEST_F(UdpWriteTest, ChecksumOfZeroIsSentAsAllOnes) {
  // With the data word equal to the checksum of the datagram carrying 0 there,
  // the sum is all ones and the checksum computes to 0.
  peers::UdpFields fields;
  fields.sourcePort = kClientPort;
  fields.destinationPort = kPeerPort;
  const Bytes zeroData = {0, 0};
  const uint16_t first = peers::GetBe16(peers::BuildUdp(kClientIp, kPeerIp, fields, zeroData), 6);
  const Bytes data = {static_cast<uint8_t>(first >> 8), static_cast<uint8_t>(first)};
  UINT16 port = kClientPort;
  ASSERT_EQ(Write(0, &port, data), EFI_SUCCESS);
  const auto udp = peer_->ReceivedUdp();
  ASSERT_EQ(udp.size(), 1u);
  const Bytes expected = {
      0x0F, 0xA0,  // source port 4000
      0x13, 0x88,  // destination port 5000
      0x00, 0x0A,  // length 10
      0xFF, 0xFF,  // checksum 0, sent as all ones
      data[0], data[1],
  };
  EXPECT_EQ(udp[0].ip.payload, expected);
  EXPECT_TRUE(udp[0].udp.checksumOk);
}

TEST_F(UdpWriteTest, UpperHeaderOfOddLengthIsChecksummed) {
  for (UINTN headerSize : {UINTN(1), UINTN(3), UINTN(64), UINTN(65)}) {
    peer_->ClearReceived();
    const Bytes header = Pattern(headerSize, 0x80);
    const Bytes data = Pattern(301, 0x21);
    UINT16 port = kClientPort;
    UINTN size = headerSize;
    ASSERT_EQ(Write(0, &port, data, &size, const_cast<uint8_t *>(header.data())), EFI_SUCCESS);
    const auto udp = peer_->ReceivedUdp();
    ASSERT_EQ(udp.size(), 1u);
    EXPECT_TRUE(udp[0].udp.checksumOk) << headerSize;
    Bytes both = header;
    both.insert(both.end(), data.begin(), data.end());
    EXPECT_EQ(udp[0].udp.data, both);
  }
}

class UdpReadTest : public NetTest {
 protected:
  // Sends a datagram from the peer to the client.
  void SendToClient(uint16_t sport, uint16_t dport, const Bytes &data, bool checksum = true,
                    std::optional<uint16_t> forced = std::nullopt) {
    peers::UdpFields f;
    f.sourcePort = sport;
    f.destinationPort = dport;
    f.withChecksum = checksum;
    f.checksum = forced;
    peers::Ipv4Fields ip;
    ip.destination = kClientIp;
    peer_->SendIpv4(kClientMac, ip, peers::BuildUdp(kPeerIp, kClientIp, f, data));
  }
  // UdpRead with exact addresses and ports.
  EFI_STATUS Read(UINT16 flags, UINT16 *srcPort, UINT16 *dstPort, Bytes *data, UINTN *headerSize = nullptr,
                  void *header = nullptr) {
    EFI_IP_ADDRESS src = Efi(kPeerIp);
    UINTN size = data->size();
    const EFI_STATUS s =
        Proto()->UdpRead(Proto(), flags, nullptr, dstPort, &src, srcPort, headerSize, header, &size, data->data());
    if (s == EFI_SUCCESS) data->resize(size);
    return s;
  }
};

TEST_F(UdpReadTest, ArgumentRules) {
  Bytes data(16);
  UINTN size = data.size();
  EFI_IP_ADDRESS src = Efi(kPeerIp);
  UINT16 sport = kPeerPort, dport = kClientPort;
  UINTN headerSize = 2;
  EXPECT_EQ(Proto()->UdpRead(Proto(), kMayFragment, nullptr, &dport, &src, &sport, nullptr, nullptr, &size,
                             data.data()),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Proto()->UdpRead(Proto(), 0, nullptr, &dport, &src, nullptr, nullptr, nullptr, &size, data.data()),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Proto()->UdpRead(Proto(), 0, nullptr, &dport, nullptr, &sport, nullptr, nullptr, &size, data.data()),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Proto()->UdpRead(Proto(), 0, nullptr, nullptr, &src, &sport, nullptr, nullptr, &size, data.data()),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Proto()->UdpRead(Proto(), 0, nullptr, &dport, &src, &sport, nullptr, nullptr, nullptr, data.data()),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Proto()->UdpRead(Proto(), 0, nullptr, &dport, &src, &sport, nullptr, nullptr, &size, nullptr),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Proto()->UdpRead(Proto(), 0, nullptr, &dport, &src, &sport, &headerSize, nullptr, &size, data.data()),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Proto()->UdpRead(nullptr, 0, nullptr, &dport, &src, &sport, nullptr, nullptr, &size, data.data()),
            EFI_INVALID_PARAMETER);
  // With every ANY flag no address or port is needed.
  EXPECT_EQ(Proto()->UdpRead(Proto(), kAnySrcIp | kAnySrcPort | kAnyDestIp | kAnyDestPort | kUseFilter, nullptr,
                             nullptr, nullptr, nullptr, nullptr, nullptr, &size, data.data()),
            EFI_TIMEOUT);
  ASSERT_EQ(Proto()->Stop(Proto()), EFI_SUCCESS);
  EXPECT_EQ(Proto()->UdpRead(Proto(), 0, nullptr, &dport, &src, &sport, nullptr, nullptr, &size, data.data()),
            EFI_NOT_STARTED);
}

TEST_F(UdpReadTest, NeverBlocks) {
  Bytes data(64);
  UINT16 sport = kPeerPort, dport = kClientPort;
  const uint64_t before = fw_.Now();
  EXPECT_EQ(Read(0, &sport, &dport, &data), EFI_TIMEOUT);
  EXPECT_EQ(fw_.Now(), before);
  // A datagram that is on its way but not yet due is not waited for.
  hosted::SegmentFaults late;
  late.delay = hosted::kTicksPerSecond;
  segment_.SetFaults(late);
  SendToClient(kPeerPort, kClientPort, Pattern(5));
  EXPECT_EQ(Read(0, &sport, &dport, &data), EFI_TIMEOUT);
  EXPECT_EQ(fw_.Now(), before);
  fw_.Advance(hosted::kTicksPerSecond);
  EXPECT_EQ(Read(0, &sport, &dport, &data), EFI_SUCCESS);
  EXPECT_EQ(data, Pattern(5));

  // Nor is a flood of datagrams for another port (handled in 2 ms each, sent
  // every 1 ms) read to its end: the poll gives up after a queue's worth.
  segment_.SetFaults({});
  nic_->faults.receiveTicks = 2 * hosted::kTicksPerMs;
  for (int i = 0; i < 2000; ++i) {
    SendToClient(kPeerPort, kClientPort + 1, Pattern(3));
    segment_.SetFaults({.delay = hosted::kTicksPerMs * static_cast<uint64_t>(i + 1)});
  }
  segment_.SetFaults({});
  const uint64_t flood = fw_.Now();
  EXPECT_EQ(Read(0, &sport, &dport, &data), EFI_TIMEOUT);
  EXPECT_LE(fw_.Now() - flood, 2 * kPollFrameLimit * 2 * hosted::kTicksPerMs);
  nic_->faults.receiveTicks = 0;
}

TEST_F(UdpReadTest, PortsAreMatchedAndWrittenBack) {
  SendToClient(kPeerPort, 4444, Pattern(7, 1));        // wrong destination port: consumed, skipped
  SendToClient(6000, kClientPort, Pattern(7, 2));      // wrong source port: consumed, skipped
  SendToClient(kPeerPort, kClientPort, Pattern(7, 3));  // the one asked for
  SendToClient(7000, kClientPort, Pattern(7, 4));      // any source port
  Bytes data(64);
  UINT16 sport = kPeerPort, dport = kClientPort;
  ASSERT_EQ(Read(0, &sport, &dport, &data), EFI_SUCCESS);
  EXPECT_EQ(data, Pattern(7, 3));
  data.resize(64);
  ASSERT_EQ(Read(kAnySrcPort, &sport, &dport, &data), EFI_SUCCESS);
  EXPECT_EQ(sport, 7000);
  EXPECT_EQ(data, Pattern(7, 4));
  data.resize(64);
  EXPECT_EQ(Read(kAnySrcPort, &sport, &dport, &data), EFI_TIMEOUT);
}

TEST_F(UdpReadTest, ChecksumRules) {
  Bytes data(64);
  UINT16 sport = kPeerPort, dport = kClientPort;
  // No checksum: accepted unverified.
  SendToClient(kPeerPort, kClientPort, Pattern(9), false);
  EXPECT_EQ(Read(0, &sport, &dport, &data), EFI_SUCCESS);
  // A wrong one.
  SendToClient(kPeerPort, kClientPort, Pattern(9), true, 0x1234);
  data.resize(64);
  EXPECT_EQ(Read(0, &sport, &dport, &data), EFI_DEVICE_ERROR);
  EXPECT_EQ(Drops(kDropUdpChecksum), 1u);
  // A checksum computing to 0, sent as 0xFFFF.
  peers::UdpFields f;
  f.sourcePort = kPeerPort;
  f.destinationPort = kClientPort;
  const uint16_t first = peers::GetBe16(peers::BuildUdp(kPeerIp, kClientIp, f, {0, 0, 0}), 6);
  const Bytes zeroSum = {static_cast<uint8_t>(first >> 8), static_cast<uint8_t>(first), 0};
  SendToClient(kPeerPort, kClientPort, zeroSum);
  data.resize(64);
  ASSERT_EQ(Read(0, &sport, &dport, &data), EFI_SUCCESS);
  EXPECT_EQ(data, zeroSum);
  // Odd lengths on both runs: a 3-byte upper header and 6 bytes of data.
  const Bytes odd = Pattern(9, 0x31);
  SendToClient(kPeerPort, kClientPort, odd);
  data.resize(64);
  UINTN headerSize = 3;
  uint8_t header[3];
  ASSERT_EQ(Read(0, &sport, &dport, &data, &headerSize, header), EFI_SUCCESS);
  EXPECT_EQ(Bytes(header, header + 3), Bytes(odd.begin(), odd.begin() + 3));
  EXPECT_EQ(data, Bytes(odd.begin() + 3, odd.end()));
}

TEST_F(UdpReadTest, LargeUpperHeaderIsReceivedWhole) {
  const Bytes sent = Pattern(400, 0x55);
  SendToClient(kPeerPort, kClientPort, sent);
  Bytes data(1024);
  UINT16 sport = kPeerPort, dport = kClientPort;
  Bytes header(300, 0);
  UINTN headerSize = header.size();
  const size_t blocks = fw_.LivePoolBlocks();
  ASSERT_EQ(Read(0, &sport, &dport, &data, &headerSize, header.data()), EFI_SUCCESS);
  EXPECT_EQ(fw_.LivePoolBlocks(), blocks);
  EXPECT_EQ(header, Bytes(sent.begin(), sent.begin() + 300));
  EXPECT_EQ(data, Bytes(sent.begin() + 300, sent.end()));
  // The header buffer cannot be had: nothing is consumed.
  SendToClient(kPeerPort, kClientPort, sent);
  fw_.FailAllocation(0);
  data.resize(1024);
  EXPECT_EQ(Read(0, &sport, &dport, &data, &headerSize, header.data()), EFI_OUT_OF_RESOURCES);
  fw_.FailAllocation(-1);
  data.resize(1024);
  EXPECT_EQ(Read(0, &sport, &dport, &data, &headerSize, header.data()), EFI_SUCCESS);
  // A datagram shorter than the upper header asked for is not this caller's.
  SendToClient(kPeerPort, kClientPort, Pattern(10));
  data.resize(1024);
  EXPECT_EQ(Read(0, &sport, &dport, &data, &headerSize, header.data()), EFI_TIMEOUT);
  EXPECT_EQ(Drops(kDropHeaderShort), 1u);
}

}  // namespace
}  // namespace orvale_test
