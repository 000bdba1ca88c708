// IPv4: the send path (next hop, header, fragmentation) and the receive path
// (validation, ICMP errors, reassembly) with the faults the receive path must
// survive.
#include <gtest/gtest.h>

#include <cstring>

#include <algorithm>

#include "tests/net_test_support.h"

namespace orvale_test {
namespace {

using peers::Bytes;
using peers::Ip4;

class Ipv4SendTest : public NetTest {
 protected:
  EFI_STATUS Write(const Ip4 &to, const Bytes &data, UINT16 flags = kMayFragment, EFI_IP_ADDRESS *gateway = nullptr) {
    EFI_IP_ADDRESS dest = Efi(to);
    UINT16 dport = kPeerPort;
    UINT16 sport = kClientPort;
    UINTN size = data.size();
    return Proto()->UdpWrite(Proto(), flags, &dest, &dport, gateway, nullptr, &sport, nullptr, nullptr, &size,
                             const_cast<uint8_t *>(data.data()));
  }
  // Frames the client sent with EtherType IPv4, as whole frames.
  std::vector<Bytes> Ipv4Frames() const {
    std::vector<Bytes> out;
    for (const hosted::Frame &f : nic_->sent) {
      if (f.bytes.size() >= 14 && f.bytes[12] == 0x08 && f.bytes[13] == 0x00) out.push_back(f.bytes);
    }
    return out;
  }
};

// Compares a received header with a hand-written one whose identification
// (random) is taken from the frame; the checksum is recomputed by the peer's
// own routine over the expected bytes.
void ExpectHeader(const peers::ParsedIpv4 &got, Bytes expected) {
  ASSERT_EQ(got.header.size(), expected.size());
  expected[4] = got.header[4];
  expected[5] = got.header[5];
  expected[10] = expected[11] = 0;
  peers::PutBe16(expected, 10, peers::Checksum(expected));
  EXPECT_EQ(got.header, expected);
}

TEST_F(Ipv4SendTest, ThreeThousandBytesGoAsThreeFragments) {
  const Bytes data = Pattern(3000);
  ASSERT_EQ(Write(kPeerIp, data), EFI_SUCCESS);
  const auto sent = SentIpv4();
  ASSERT_EQ(sent.size(), 3u);
  ExpectHeader(sent[0], {
                            0x45, 0x00,              // version 4, IHL 5; TOS
                            0x05, 0xCC,              // total length 1484: 1464 of payload
                            0x00, 0x00,              // identification (from the frame)
                            0x20, 0x00,              // MF, offset 0
                            0x10, 0x11,              // TTL 16, UDP
                            0x00, 0x00,              // checksum (recomputed)
                            0x0A, 0x00, 0x00, 0x02,  // source 10.0.0.2
                            0x0A, 0x00, 0x00, 0x01,  // destination 10.0.0.1
                        });
  ExpectHeader(sent[1], {
                            0x45, 0x00,              // version 4, IHL 5; TOS
                            0x05, 0xCC,              // total length 1484
                            0x00, 0x00,              // identification
                            0x20, 0xB7,              // MF, offset 183 (1464 bytes)
                            0x10, 0x11,              // TTL 16, UDP
                            0x00, 0x00,              // checksum
                            0x0A, 0x00, 0x00, 0x02,  // source
                            0x0A, 0x00, 0x00, 0x01,  // destination
                        });
  ExpectHeader(sent[2], {
                            0x45, 0x00,              // version 4, IHL 5; TOS
                            0x00, 0x64,              // total length 100: 80 of payload
                            0x00, 0x00,              // identification
                            0x01, 0x6E,              // MF clear, offset 366 (2928 bytes)
                            0x10, 0x11,              // TTL 16, UDP
                            0x00, 0x00,              // checksum
                            0x0A, 0x00, 0x00, 0x02,  // source
                            0x0A, 0x00, 0x00, 0x01,  // destination
                        });
  EXPECT_EQ(sent[0].identification, sent[1].identification);
  EXPECT_EQ(sent[1].identification, sent[2].identification);
  const auto whole = peers::Reassemble(sent, kClientIp, sent[0].identification);
  ASSERT_TRUE(whole.has_value());
  const auto udp = peers::ParseUdp(kClientIp, kPeerIp, *whole);
  ASSERT_TRUE(udp.has_value());
  EXPECT_TRUE(udp->checksumOk);
  EXPECT_EQ(udp->length, 3008);
  EXPECT_EQ(udp->sourcePort, kClientPort);
  EXPECT_EQ(udp->destinationPort, kPeerPort);
  EXPECT_EQ(udp->data, data);
}

TEST_F(Ipv4SendTest, FragmentingStartsAbove1468Bytes) {
  ASSERT_EQ(Write(kPeerIp, Pattern(1460)), EFI_SUCCESS);
  auto sent = SentIpv4();
  ASSERT_EQ(sent.size(), 1u);
  ExpectHeader(sent[0], {
                            0x45, 0x00,              // version 4, IHL 5; TOS
                            0x05, 0xD0,              // total length 1488: 1468 behind the header
                            0x00, 0x00,              // identification
                            0x00, 0x00,              // fragmenting allowed, not fragmented
                            0x10, 0x11,              // TTL 16, UDP
                            0x00, 0x00,              // checksum
                            0x0A, 0x00, 0x00, 0x02,  // source
                            0x0A, 0x00, 0x00, 0x01,  // destination
                        });
  peer_->ClearReceived();
  ASSERT_EQ(Write(kPeerIp, Pattern(1461)), EFI_SUCCESS);
  sent = SentIpv4();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].totalLength, 20 + 1464);
  EXPECT_TRUE(sent[0].moreFragments);
  EXPECT_EQ(sent[0].offsetBytes, 0u);
  ExpectHeader(sent[1], {
                            0x45, 0x00,              // version 4, IHL 5; TOS
                            0x00, 0x19,              // total length 25: 5 of payload
                            0x00, 0x00,              // identification
                            0x00, 0xB7,              // MF clear, offset 183
                            0x10, 0x11,              // TTL 16, UDP
                            0x00, 0x00,              // checksum
                            0x0A, 0x00, 0x00, 0x02,  // source
                            0x0A, 0x00, 0x00, 0x01,  // destination
                        });
  // Without MAY_FRAGMENT: DF set, and one byte more is refused.
  peer_->ClearReceived();
  ASSERT_EQ(Write(kPeerIp, Pattern(1460), 0), EFI_SUCCESS);
  sent = SentIpv4();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_TRUE(sent[0].dontFragment);
  EXPECT_EQ(Write(kPeerIp, Pattern(1461), 0), EFI_BAD_BUFFER_SIZE);
  EXPECT_EQ(Write(kPeerIp, Pattern(65515 - 7)), EFI_BAD_BUFFER_SIZE);
}

// The largest datagram UDP can carry: 65507 data bytes, 65535 bytes of IPv4.
TEST_F(Ipv4SendTest, LargestDatagramGoesOutWhole) {
  const Bytes data = Pattern(65507, 4);
  ASSERT_EQ(Write(kPeerIp, data), EFI_SUCCESS);
  const auto sent = SentIpv4();
  ASSERT_EQ(sent.size(), 45u);  // 44 of 1464 payload bytes and one of 1099
  EXPECT_EQ(sent.back().offsetBytes + sent.back().payload.size(), 65515u);
  const auto whole = peers::Reassemble(sent, kClientIp, sent[0].identification);
  ASSERT_TRUE(whole.has_value());
  const auto udp = peers::ParseUdp(kClientIp, kPeerIp, *whole);
  ASSERT_TRUE(udp.has_value());
  EXPECT_TRUE(udp->checksumOk);
  EXPECT_EQ(udp->length, 65515);
  EXPECT_EQ(udp->data, data);
  EXPECT_EQ(Write(kPeerIp, Pattern(65508)), EFI_BAD_BUFFER_SIZE);
}

TEST_F(Ipv4SendTest, NextHopChoice) {
  // Broadcast: neither route nor ARP.
  ASSERT_EQ(Write(peers::kBroadcastIp, Pattern(10)), EFI_SUCCESS);
  ASSERT_EQ(nic_->sent.size(), 1u);
  EXPECT_EQ(Bytes(nic_->sent[0].bytes.begin(), nic_->sent[0].bytes.begin() + 6), Bytes(6, 0xFF));
  // Multicast: the group's MAC, no ARP.
  ASSERT_EQ(Write({239, 1, 2, 3}, Pattern(10)), EFI_SUCCESS);
  ASSERT_EQ(nic_->sent.size(), 2u);
  EXPECT_EQ(Bytes(nic_->sent[1].bytes.begin(), nic_->sent[1].bytes.begin() + 6),
            (Bytes{0x01, 0x00, 0x5E, 0x01, 0x02, 0x03}));
  EXPECT_TRUE(SentArp().empty());

  // Off the subnet with no gateway and no route.
  const Ip4 far = {192, 168, 50, 5};
  EXPECT_EQ(Write(far, Pattern(10)), EFI_NO_RESPONSE);
  // A gateway argument: resolved, and the datagram goes to its hardware address.
  peers::Station router(&segment_, {0x02, 0, 0, 0, 0, 0xFE}, {10, 0, 0, 254});
  EFI_IP_ADDRESS gateway = Efi({10, 0, 0, 254});
  ASSERT_EQ(Write(far, Pattern(10), kMayFragment, &gateway), EFI_SUCCESS);
  EXPECT_EQ(Bytes(nic_->sent.back().bytes.begin(), nic_->sent.back().bytes.begin() + 6),
            (Bytes{0x02, 0, 0, 0, 0, 0xFE}));
  // A learned route serves without the argument.
  peers::Station router2(&segment_, {0x02, 0, 0, 0, 0, 0xFD}, {10, 0, 0, 253});
  Locked([&](ProtocolInstance *in) {
    const EFI_IP_ADDRESS gw = Efi({10, 0, 0, 253});
    AddRoute(in, &gw);
    return 0;
  });
  ASSERT_EQ(Write(far, Pattern(10)), EFI_SUCCESS);
  EXPECT_EQ(Bytes(nic_->sent.back().bytes.begin(), nic_->sent.back().bytes.begin() + 6),
            (Bytes{0x02, 0, 0, 0, 0, 0xFD}));
  const auto ip = peers::ParseIpv4(Bytes(nic_->sent.back().bytes.begin() + 14, nic_->sent.back().bytes.end()));
  ASSERT_TRUE(ip.has_value());
  EXPECT_EQ(ip->destination, far);

  // Without AutoArp an unknown next hop is an error, with no request sent.
  Instance()->Mode.AutoArp = FALSE;
  const size_t frames = nic_->sent.size();
  EXPECT_EQ(Write({10, 0, 0, 44}, Pattern(10)), EFI_DEVICE_ERROR);
  EXPECT_EQ(nic_->sent.size(), frames);
  // Unanswered ARP with AutoArp: the resolution's timeout.
  Instance()->Mode.AutoArp = TRUE;
  EXPECT_EQ(Write({10, 0, 0, 44}, Pattern(10)), EFI_TIMEOUT);
}

TEST_F(Ipv4SendTest, ReportDueDuringResolutionLeavesTheDatagramIntact) {
  EFI_PXE_BASE_CODE_IP_FILTER filter{};
  filter.Filters = EFI_PXE_BASE_CODE_IP_FILTER_STATION_IP;
  filter.IpCnt = 1;
  filter.IpList[0] = Efi({239, 9, 9, 9});
  ASSERT_EQ(Proto()->SetIpFilter(Proto(), &filter), EFI_SUCCESS);
  Locked([&](ProtocolInstance *in) {
    StartReportTimer(in, 0, 1);  // due in 0.1 s, inside the 0.5 s ARP wait
    return 0;
  });
  hosted::SegmentFaults slow;
  slow.delay = 2 * hosted::kTicksPerSecond / 10;  // the reply comes 0.4 s after the request
  fw_.Advance(1);
  segment_.SetFaults(slow);
  peer_->ClearReceived();
  const Bytes data = Pattern(700);
  ASSERT_EQ(Write(kPeerIp, data), EFI_SUCCESS);
  fw_.Advance(hosted::kTicksPerSecond);

  const auto igmp = peer_->ReceivedIgmp();
  ASSERT_EQ(igmp.size(), 1u);
  const auto udp = peer_->ReceivedUdp();
  ASSERT_EQ(udp.size(), 1u);
  EXPECT_TRUE(udp[0].ip.checksumOk);
  EXPECT_EQ(udp[0].ip.destination, kPeerIp);
  EXPECT_TRUE(udp[0].udp.checksumOk);
  EXPECT_EQ(udp[0].udp.data, data);
}

class Ipv4ReceiveTest : public NetTest {
 protected:
  // A UDP datagram from the peer to the client, as an IPv4 payload.
  Bytes Udp(const Bytes &data, uint16_t sport = kPeerPort, uint16_t dport = kClientPort) const {
    peers::UdpFields f;
    f.sourcePort = sport;
    f.destinationPort = dport;
    return peers::BuildUdp(kPeerIp, kClientIp, f, data);
  }
  peers::Ipv4Fields ToClient(uint16_t id = 0x1111) const {
    peers::Ipv4Fields f;
    f.destination = kClientIp;
    f.identification = id;
    return f;
  }
  // A datagram as the client sends it (10.0.0.2:4000 to 10.0.0.1:5000), for ICMP errors to quote.
  static Bytes OurDatagram(size_t dataLength = 30) {
    peers::Ipv4Fields f;
    f.source = kClientIp;
    f.destination = kPeerIp;
    f.identification = 0x7777;
    peers::UdpFields u;
    u.sourcePort = kClientPort;
    u.destinationPort = kPeerPort;
    return peers::BuildIpv4(f, peers::BuildUdp(kClientIp, kPeerIp, u, Pattern(dataLength)));
  }
};

TEST_F(Ipv4ReceiveTest, ReassemblesLastFirstAndSkipsAForeignFragment) {
  const Bytes data = Pattern(3000, 9);
  const Bytes payload = Udp(data);
  auto fragments = peers::SplitFragments(payload.size(), 1464);
  ASSERT_EQ(fragments.size(), 3u);
  peer_->SendFragments(kClientMac, ToClient(0x1111), payload, {fragments[2], fragments[1]});
  peer_->SendFragments(kClientMac, ToClient(0x2222), Udp(Pattern(3000, 4)), {fragments[1]});
  peer_->SendFragments(kClientMac, ToClient(0x1111), payload, {fragments[0]});
  const ReadResult r = ReadAny();
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.data, data);
  EXPECT_EQ(r.srcPort, kPeerPort);
  EXPECT_EQ(r.dstPort, kClientPort);
  EXPECT_EQ(Ip4Of(r.src), kPeerIp);
  EXPECT_EQ(Ip4Of(r.dst), kClientIp);
  EXPECT_EQ(Drops(kDropOtherDatagram), 1u);
}

// A polling read that holds a first fragment waits briefly for the rest
// instead of losing the datagram; a lone fragment still ends in EFI_TIMEOUT.
TEST_F(Ipv4ReceiveTest, PollingReadWaitsForFragmentsStillOnTheWire) {
  const Bytes data = Pattern(3000, 5);
  const Bytes payload = Udp(data);
  const auto fragments = peers::SplitFragments(payload.size(), 1464);
  peer_->SendFragments(kClientMac, ToClient(0x4444), payload, {fragments[0]});
  hosted::SegmentFaults late;
  late.delay = 3 * hosted::kTicksPerSecond / 10;
  segment_.SetFaults(late);
  peer_->SendFragments(kClientMac, ToClient(0x4444), payload, {fragments[1], fragments[2]});
  const uint64_t before = fw_.Now();
  const ReadResult r = ReadAny();
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.data, data);
  EXPECT_LT(fw_.Now() - before, hosted::kTicksPerSecond);

  segment_.SetFaults({});
  peer_->SendFragments(kClientMac, ToClient(0x5555), payload, {fragments[0]});
  const uint64_t lone = fw_.Now();
  EXPECT_EQ(ReadAny().status, EFI_TIMEOUT);
  EXPECT_EQ(fw_.Now() - lone, hosted::kTicksPerSecond);
}

TEST_F(Ipv4ReceiveTest, DuplicatesNeverCompleteADatagramWithAHole) {
  const Bytes data = Pattern(3000, 3);
  const Bytes payload = Udp(data);
  const auto fragments = peers::SplitFragments(payload.size(), 1464);
  // The first fragment three times and the last: more bytes than the datagram, one hole.
  peer_->SendFragments(kClientMac, ToClient(), payload, {fragments[0], fragments[0], fragments[0], fragments[2]});
  EXPECT_EQ(ReadAny().status, EFI_TIMEOUT);

  // Overlapping fragments that cover everything complete it.
  const std::vector<peers::Fragment> overlapping = {
      {0, 1464, true}, {1456, 1472, true}, {2920, payload.size() - 2920, false}, {1456, 16, true}};
  peer_->SendFragments(kClientMac, ToClient(0x3333), payload, overlapping);
  const ReadResult r = ReadAny();
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.data, data);
}

TEST_F(Ipv4ReceiveTest, FragmentsThatCannotBelongAreDropped) {
  constexpr UINTN kHeader = 24;  // UDP header and a 16-byte upper header
  const Bytes payload = Udp(Pattern(2000));
  // Inside the caller's header area.
  peer_->SendFragments(kClientMac, ToClient(1), payload, {{8, 1000, true}});
  // Reaching past 65535 bytes of datagram.
  peer_->SendFragments(kClientMac, ToClient(2), Bytes(65536, 0), {{65512, 24, false}});
  // MF set and a length that is not a multiple of 8.
  peer_->SendFragments(kClientMac, ToClient(3), payload, {{0, 1001, true}});
  // A first fragment shorter than the caller's header.
  peer_->SendFragments(kClientMac, ToClient(4), payload, {{0, 16, true}});
  // A last fragment that ends before data already received.
  peer_->SendFragments(kClientMac, ToClient(5), payload, {{1000, 1000, true}, {0, 1000, false}});
  UINT8 header[kHeader];
  Bytes data(4000);
  UINTN size = data.size();
  EXPECT_EQ(ReceiveFor(hosted::kTicksPerSecond, 0x000F, header, kHeader, data.data(), &size), EFI_TIMEOUT);
  EXPECT_EQ(Drops(kDropFragmentInHeader), 1u);
  EXPECT_EQ(Drops(kDropFragmentTooLong), 1u);
  EXPECT_EQ(Drops(kDropFragmentUnaligned), 1u);
  EXPECT_EQ(Drops(kDropHeaderShort), 1u);
  EXPECT_EQ(Drops(kDropFragmentConflict), 1u);
}

TEST_F(Ipv4ReceiveTest, MalformedHeadersAreDropped) {
  const Bytes payload = Udp(Pattern(16));
  auto send = [&](peers::Ipv4Fields f, const Bytes &p) { peer_->SendIpv4(kClientMac, f, p); };
  peers::Ipv4Fields f = ToClient();
  f.versionIhl = 0x44;  // IHL 4: 16 bytes
  send(f, payload);
  f = ToClient();
  f.versionIhl = 0x65;  // version 6
  send(f, payload);
  f = ToClient();
  f.checksum = 0x1234;
  send(f, payload);
  f = ToClient();
  f.totalLength = 1000;  // beyond the frame
  send(f, payload);
  f = ToClient();
  f.totalLength = 19;  // below the header
  send(f, payload);
  f = ToClient();
  f.versionIhl = 0x4F;  // a 60-byte header, longer than what arrived
  f.totalLength = 68;
  peer_->SetPadFrames(false);
  send(f, Bytes(8, 0));
  peer_->SetPadFrames(true);
  f = ToClient();
  f.protocol = 6;  // TCP
  send(f, payload);
  send(ToClient(), Bytes(4, 0));  // UDP shorter than its header
  peers::UdpFields longer;
  longer.sourcePort = kPeerPort;
  longer.destinationPort = kClientPort;
  longer.length = 100;  // beyond the datagram
  send(ToClient(), peers::BuildUdp(kPeerIp, kClientIp, longer, Pattern(16)));
  peer_->SendFrame(kClientMac, 0x86DD, Bytes(40, 0x60));             // IPv6
  EXPECT_EQ(ReadAny().status, EFI_TIMEOUT);
  EXPECT_EQ(Drops(kDropIpHeaderLength), 2u);
  EXPECT_EQ(Drops(kDropIpVersion), 1u);
  EXPECT_EQ(Drops(kDropIpChecksum), 1u);
  EXPECT_EQ(Drops(kDropIpTruncated), 1u);
  EXPECT_EQ(Drops(kDropIpShort), 1u);
  EXPECT_EQ(Drops(kDropIpProtocol), 1u);
  EXPECT_EQ(Drops(kDropUdpShort), 1u);
  EXPECT_EQ(Drops(kDropUdpLength), 1u);
  EXPECT_EQ(Drops(kDropOtherEtherType), 1u);

  // After all of that, a good datagram still gets through.
  send(ToClient(), payload);
  const ReadResult r = ReadAny();
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.data, Pattern(16));
}

TEST_F(Ipv4ReceiveTest, LengthsComeFromTheHeaders) {
  // Header options: the payload starts after IHL * 4 bytes.
  peers::Ipv4Fields f = ToClient();
  f.options = {0x94, 0x04, 0x00, 0x00, 0x01, 0x01, 0x01, 0x00};
  peer_->SendIpv4(kClientMac, f, Udp(Pattern(5)));
  ReadResult r = ReadAny();
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.data, Pattern(5));  // and not the link padding behind it

  // A UDP length shorter than the IPv4 payload ends the datagram there.
  peers::UdpFields shorter;
  shorter.sourcePort = kPeerPort;
  shorter.destinationPort = kClientPort;
  shorter.length = 8 + 3;
  shorter.withChecksum = false;
  peer_->SendIpv4(kClientMac, ToClient(), peers::BuildUdp(kPeerIp, kClientIp, shorter, Pattern(10)));
  r = ReadAny();
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.data, Pattern(3));
}

TEST_F(Ipv4ReceiveTest, IcmpErrorEndsTheReceive) {
  std::memset(&Instance()->Mode.IcmpError, 0xCC, sizeof(EFI_PXE_BASE_CODE_ICMP_ERROR));
  const Bytes quoted = OurDatagram();
  peer_->SendIcmpError(kClientMac, kClientIp, 3, 3, quoted, 28);
  peer_->SendIpv4(kClientMac, ToClient(), Udp(Pattern(5)));
  const ReadResult r = ReadAny();
  EXPECT_EQ(r.status, EFI_ICMP_ERROR);
  EXPECT_TRUE(Instance()->Mode.IcmpErrorReceived);
  const auto *error = reinterpret_cast<const uint8_t *>(&Instance()->Mode.IcmpError);
  const Bytes message = peers::BuildIcmpError(3, 3, quoted, 28);
  ASSERT_EQ(message.size(), 36u);
  EXPECT_EQ(Bytes(error, error + 36), message);
  // What did not arrive is zero, not stale.
  EXPECT_EQ(Bytes(error + 36, error + 504), Bytes(504 - 36, 0));

  // The next receive starts with the flag clear and finds the datagram behind it.
  EXPECT_EQ(ReadAny().status, EFI_SUCCESS);
  EXPECT_FALSE(Instance()->Mode.IcmpErrorReceived);
}

TEST_F(Ipv4ReceiveTest, IcmpThatIsNoErrorIsIgnored) {
  peers::Ipv4Fields f = ToClient();
  f.protocol = peers::kProtoIcmp;
  Bytes echo = {0, 0, 0, 0, 0, 1, 0, 1};  // echo reply
  peers::PutBe16(echo, 2, peers::Checksum(echo));
  peer_->SendIpv4(kClientMac, f, echo);
  Bytes bad = peers::BuildIcmpError(3, 1, Bytes(28, 0));
  bad[2] ^= 0xFF;
  peer_->SendIpv4(kClientMac, f, bad);
  peer_->SetPadFrames(false);
  peer_->SendIpv4(kClientMac, f, Bytes{3, 1, 0});
  peer_->SetPadFrames(true);
  f.moreFragments = true;
  peer_->SendIpv4(kClientMac, f, peers::BuildIcmpError(3, 1, Bytes(32, 0), 32));
  EXPECT_EQ(ReadAny().status, EFI_TIMEOUT);
  EXPECT_FALSE(Instance()->Mode.IcmpErrorReceived);
  EXPECT_EQ(Drops(kDropIcmpNotError), 1u);
  EXPECT_EQ(Drops(kDropIcmpChecksum), 1u);
  EXPECT_EQ(Drops(kDropIcmpShort), 1u);
  EXPECT_EQ(Drops(kDropControlFragment), 1u);
}

TEST_F(Ipv4ReceiveTest, AddressMatching) {
  Bytes data(64);
  UINTN size = data.size();
  UINT8 header[8];
  EFI_IP_ADDRESS source = Efi({10, 0, 0, 9});
  // Source given and not ANY_SRC_IP: only that source.
  peer_->SendIpv4(kClientMac, ToClient(), Udp(Pattern(5)));
  EXPECT_EQ(ReceiveFor(hosted::kTicksPerSecond / 10, 0x000A, header, 8, data.data(), &size, &source), EFI_TIMEOUT);
  EXPECT_EQ(Drops(kDropSource), 1u);
  // Destination not ours without ANY_DEST_IP.
  peers::Ipv4Fields other = ToClient();
  other.destination = {10, 0, 0, 3};
  peer_->SendIpv4(kClientMac, other, Udp(Pattern(5)));
  EXPECT_EQ(ReceiveFor(hosted::kTicksPerSecond / 10, 0x000B, header, 8, data.data(), &size), EFI_TIMEOUT);
  EXPECT_EQ(Drops(kDropDestination), 1u);
  // The addresses of the accepted datagram are written back.
  EFI_IP_ADDRESS any{}, dest{};
  peer_->SendIpv4(kClientMac, ToClient(), Udp(Pattern(5)));
  ASSERT_EQ(ReceiveFor(hosted::kTicksPerSecond / 10, 0x000F, header, 8, data.data(), &size, &any, &dest),
            EFI_SUCCESS);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(Ip4Of(any), kPeerIp);
  EXPECT_EQ(Ip4Of(dest), kClientIp);
}


}  // namespace
}  // namespace orvale_test
