// The receive path against hostile and unlucky frames: overlapping and
// duplicated fragments, stray fragments, the caller's header area, the
// buffer-size verdict, and ICMP errors that do not answer our own traffic.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/net_test_support.h"

namespace orvale_test {
namespace {

using peers::Bytes;
using peers::Ip4;

// 5000 -> 4000, UDP length 32, no checksum (nothing verifies it), 24 data bytes.
const Bytes kGenuine = {
    0x13, 0x88, 0x0F, 0xA0, 0x00, 0x20, 0x00, 0x00,  // ports 5000 -> 4000, length 32, checksum none
    'g',  'e',  'n',  'u',  'i',  'n',  'e',  ' ',   // data
    'd',  'a',  't',  'a',  'g',  'r',  'a',  'm',   //
    ' ',  'b',  'y',  't',  'e',  's',  '!',  '!',   //
};
// The same first 16 bytes with another source port and other data.
const Bytes kForgedFirst = {
    0x13, 0x89, 0x0F, 0xA0, 0x00, 0x20, 0x00, 0x00,  // ports 5001 -> 4000, length 32, checksum none
    'f',  'o',  'r',  'g',  'e',  'd',  '!',  '!',   // data
};

class ReassemblyTest : public NetTest {
 protected:
  peers::Ipv4Fields ToClient(uint16_t id) const {
    peers::Ipv4Fields f;
    f.destination = kClientIp;
    f.identification = id;
    return f;
  }
  Bytes Udp(const Bytes &data) const {
    peers::UdpFields f;
    f.sourcePort = kPeerPort;
    f.destinationPort = kClientPort;
    return peers::BuildUdp(kPeerIp, kClientIp, f, data);
  }
  void Fragments(uint16_t id, const Bytes &payload, const std::vector<peers::Fragment> &pieces) {
    peer_->SendFragments(kClientMac, ToClient(id), payload, pieces);
  }
  // Bytes [from, to) of data as a fragment at from, carrying other bytes.
  static Bytes Altered(Bytes data, size_t at) {
    data[at] ^= 0x5A;
    return data;
  }
};

TEST_F(ReassemblyTest, ForgedFirstFragmentVoidsTheDatagram) {
  // The genuine first fragment, a forged one over it, the genuine rest.
  Fragments(0x0101, kGenuine, {{0, 16, true}});
  Fragments(0x0101, kForgedFirst, {{0, 16, true}});
  Fragments(0x0101, kGenuine, {{16, 16, false}});
  EXPECT_EQ(ReadAny().status, EFI_TIMEOUT);
  EXPECT_EQ(Drops(kDropFragmentOverlap), 1u);
  EXPECT_EQ(Drops(kDropFragmentVoided), 1u);

  // The forged one first: the genuine first fragment over it voids it as well.
  Fragments(0x0102, kForgedFirst, {{0, 16, true}});
  Fragments(0x0102, kGenuine, {{0, 16, true}, {16, 16, false}});
  EXPECT_EQ(ReadAny().status, EFI_TIMEOUT);
  EXPECT_EQ(Drops(kDropFragmentOverlap), 2u);
  EXPECT_EQ(Drops(kDropFragmentVoided), 2u);

  // Unforged, the same fragments make the datagram.
  Fragments(0x0103, kGenuine, {{16, 16, false}, {0, 16, true}});
  const ReadResult r = ReadAny();
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.srcPort, 5000);
  EXPECT_EQ(r.data, Bytes(kGenuine.begin() + 8, kGenuine.end()));
}

TEST_F(ReassemblyTest, DifferingOverlapVoidsAndDuplicatesAreDropped) {
  const Bytes payload = Udp(Pattern(3000, 7));
  const size_t total = payload.size();  // 3008
  // An exact duplicate of each fragment: dropped, and the datagram completes.
  Fragments(0x0201, payload, {{0, 1464, true}, {0, 1464, true}, {1464, 1544, false}});
  ReadResult r = ReadAny();
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.data, Pattern(3000, 7));
  Fragments(0x0205, payload, {{1464, 1544, false}, {1464, 1544, false}, {0, 1464, true}});
  r = ReadAny();
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.data, Pattern(3000, 7));
  EXPECT_EQ(Drops(kDropFragmentDuplicate), 2u);

  // A partial overlap that brings the same bytes adds the rest.
  Fragments(0x0202, payload, {{0, 1464, true}, {1456, total - 1456, false}});
  r = ReadAny();
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.data, Pattern(3000, 7));
  EXPECT_EQ(Drops(kDropFragmentOverlap), 0u);

  // One byte different in the overlap, at its last byte: void.
  Fragments(0x0203, payload, {{0, 1464, true}});
  Fragments(0x0203, Altered(payload, 1463), {{1456, total - 1456, false}});
  EXPECT_EQ(ReadAny().status, EFI_TIMEOUT);
  EXPECT_EQ(Drops(kDropFragmentOverlap), 1u);

  // The byte right after the overlap may differ: it was not held (no
  // checksum here, so that the changed byte reaches the caller).
  peers::UdpFields unchecked;
  unchecked.sourcePort = kPeerPort;
  unchecked.destinationPort = kClientPort;
  unchecked.withChecksum = false;
  const Bytes plain = peers::BuildUdp(kPeerIp, kClientIp, unchecked, Pattern(3000, 7));
  Fragments(0x0204, plain, {{0, 1464, true}});
  const Bytes later = Altered(plain, 1464);
  Fragments(0x0204, later, {{1456, total - 1456, false}});
  r = ReadAny();
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.data, Bytes(later.begin() + 8, later.end()));
}

TEST_F(ReassemblyTest, AVoidedDatagramStaysVoidForTheCall) {
  const Bytes payload = Udp(Pattern(2000, 3));
  Fragments(0x0301, payload, {{0, 1464, true}});
  Fragments(0x0301, Altered(payload, 100), {{0, 1464, true}});
  // All of it again, correct: still refused in this call.
  Fragments(0x0301, payload, {{0, 1464, true}, {1464, payload.size() - 1464, false}});
  peer_->SendIpv4(kClientMac, ToClient(0x0302), Udp(Pattern(9, 4)));
  Bytes data(4000);
  UINTN size = data.size();
  UINT8 header[8];
  ASSERT_EQ(ReceiveFor(hosted::kTicksPerSecond, 0x000F, header, 8, data.data(), &size), EFI_SUCCESS);
  EXPECT_EQ(Bytes(data.begin(), data.begin() + static_cast<long>(size)), Pattern(9, 4));
  EXPECT_EQ(Drops(kDropFragmentOverlap), 1u);
  EXPECT_EQ(Drops(kDropFragmentVoided), 2u);
  // The next call starts afresh.
  Fragments(0x0301, payload, {{0, 1464, true}, {1464, payload.size() - 1464, false}});
  size = data.size();
  ASSERT_EQ(ReceiveFor(hosted::kTicksPerSecond, 0x000F, header, 8, data.data(), &size), EFI_SUCCESS);
  EXPECT_EQ(size, 2000u);
}

// The caller's header area is the UDP header and a 16-byte upper header here:
// a later fragment may start exactly where it ends, never inside it.
TEST_F(ReassemblyTest, FragmentsStartAtTheEndOfTheHeaderArea) {
  constexpr UINTN kHeader = 24;
  const Bytes payload = Udp(Pattern(40, 2));  // 48 bytes
  Fragments(0x0401, payload, {{24, 24, false}, {0, 24, true}});
  UINT8 header[kHeader] = {};
  Bytes data(100);
  UINTN size = data.size();
  ASSERT_EQ(ReceiveFor(hosted::kTicksPerSecond, 0x000F, header, kHeader, data.data(), &size), EFI_SUCCESS);
  EXPECT_EQ(Bytes(header, header + kHeader), Bytes(payload.begin(), payload.begin() + kHeader));
  ASSERT_EQ(size, 24u);
  EXPECT_EQ(Bytes(data.begin(), data.begin() + 24), Bytes(payload.begin() + 24, payload.end()));

  // One block earlier it would overwrite the upper header: dropped.
  Fragments(0x0402, payload, {{16, 32, false}, {0, 24, true}});
  size = data.size();
  EXPECT_EQ(ReceiveFor(hosted::kTicksPerSecond, 0x000F, header, kHeader, data.data(), &size), EFI_TIMEOUT);
  EXPECT_EQ(Drops(kDropFragmentInHeader), 1u);
}

TEST_F(ReassemblyTest, AStrayFragmentCostsNoDatagram) {
  const Bytes other = Udp(Pattern(3000, 1));
  // A later fragment whose datagram never comes, then a whole datagram.
  Fragments(0x0501, other, {{1464, 1464, true}});
  peer_->SendIpv4(kClientMac, ToClient(0x0502), Udp(Pattern(12, 5)));
  const uint64_t before = fw_.Now();
  ReadResult r = ReadAny();
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.data, Pattern(12, 5));
  EXPECT_EQ(Drops(kDropFragmentOrphan), 1u);
  // A first fragment replaces it the same way, and completes.
  const Bytes wanted = Udp(Pattern(2000, 6));
  Fragments(0x0503, other, {{1464, 1464, true}});
  Fragments(0x0504, wanted, {{0, 1464, true}, {1464, wanted.size() - 1464, false}});
  r = ReadAny();
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.data, Pattern(2000, 6));
  EXPECT_EQ(Drops(kDropFragmentOrphan), 2u);
  EXPECT_EQ(fw_.Now(), before);

  // Alone, a stray later fragment makes UdpRead wait for nothing.
  Fragments(0x0505, other, {{1464, 1464, true}});
  EXPECT_EQ(ReadAny().status, EFI_TIMEOUT);
  EXPECT_EQ(fw_.Now(), before);
  // A held first fragment is not given up for another datagram's.
  Fragments(0x0506, wanted, {{0, 1464, true}});
  Fragments(0x0507, other, {{0, 1464, true}});
  Fragments(0x0506, wanted, {{1464, wanted.size() - 1464, false}});
  r = ReadAny();
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.data, Pattern(2000, 6));
  EXPECT_EQ(Drops(kDropOtherDatagram), 1u);
  // A whole datagram is not lost behind an unfinished first fragment (a
  // late duplicate, say): it is complete, the reassembly is not.
  Fragments(0x0508, wanted, {{0, 1464, true}});
  peer_->SendIpv4(kClientMac, ToClient(0x0509), Udp(Pattern(12, 7)));
  r = ReadAny();
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.data, Pattern(12, 7));
  EXPECT_EQ(Drops(kDropFragmentOrphan), 3u);
  EXPECT_EQ(fw_.Now(), before);
}

TEST_F(ReassemblyTest, TooSmallOnlyForDataBeyondTheBuffer) {
  // UDP length 8 + 50 in an IPv4 payload with 20 more bytes behind it.
  peers::UdpFields f;
  f.sourcePort = kPeerPort;
  f.destinationPort = kClientPort;
  f.length = 8 + 50;
  f.withChecksum = false;
  const Bytes padded = peers::BuildUdp(kPeerIp, kClientIp, f, Pattern(70, 8));
  peer_->SendIpv4(kClientMac, ToClient(0x0601), padded);
  ReadResult r = ReadAny(50);
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.data, Pattern(50, 8));
  peer_->SendIpv4(kClientMac, ToClient(0x0602), padded);
  r = ReadAny(49);
  EXPECT_EQ(r.status, EFI_BUFFER_TOO_SMALL);

  // A later fragment beyond the buffer whose first fragment never came.
  const Bytes big = Udp(Pattern(3000, 9));
  Fragments(0x0603, big, {{1464, 1464, true}});
  r = ReadAny(50);
  EXPECT_EQ(r.status, EFI_TIMEOUT);

  // A fragmented datagram too large for the buffer is taken whole, so the
  // datagram behind it is the next read's.
  Fragments(0x0604, big, {{0, 1464, true}, {1464, 1464, true}, {2928, big.size() - 2928, false}});
  peer_->SendIpv4(kClientMac, ToClient(0x0605), Udp(Pattern(20, 3)));
  const uint64_t before = fw_.Now();
  EXPECT_EQ(ReadAny(2999).status, EFI_BUFFER_TOO_SMALL);
  r = ReadAny(2999);
  ASSERT_EQ(r.status, EFI_SUCCESS);
  EXPECT_EQ(r.data, Pattern(20, 3));
  EXPECT_EQ(fw_.Now(), before);
}

// ICMP errors: only one that answers a datagram this receive sent counts.
class IcmpErrorTest : public ReassemblyTest {
 protected:
  // A datagram as the client sends it (10.0.0.2:4000 to 10.0.0.1:5000).
  static peers::Ipv4Fields Ours() {
    peers::Ipv4Fields f;
    f.source = kClientIp;
    f.destination = kPeerIp;
    f.identification = 0x7777;
    return f;
  }
  static Bytes UdpFrom(uint16_t sport, const Ip4 &source = kClientIp, const Ip4 &destination = kPeerIp) {
    peers::UdpFields u;
    u.sourcePort = sport;
    u.destinationPort = kPeerPort;
    return peers::BuildUdp(source, destination, u, Pattern(30));
  }
  static Bytes Quote(peers::Ipv4Fields f = Ours(), uint16_t sport = kClientPort) {
    return peers::BuildIpv4(f, UdpFrom(sport, f.source, f.destination));
  }
  void Error(const Bytes &quoted, size_t quoteLength = 28, const Ip4 &to = kClientIp, uint8_t type = 3,
             uint8_t code = 3) {
    peers::Ipv4Fields f;
    f.destination = to;
    f.protocol = peers::kProtoIcmp;
    const bool group = (to[0] & 0xF0) == 0xE0;
    const hosted::Mac mac = to == peers::kBroadcastIp ? hosted::Mac{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}
                            : group                   ? peers::MulticastMac(to)
                                                      : kClientMac;
    peer_->SendIpv4(mac, f, peers::BuildIcmpError(type, code, quoted, quoteLength));
  }
  // UdpRead on port 4000 for datagrams from 10.0.0.1, any source port.
  EFI_STATUS Listen() {
    EFI_IP_ADDRESS src = Efi(kPeerIp);
    UINT16 sport = 0, dport = kClientPort;
    Bytes data(64);
    UINTN size = data.size();
    return Proto()->UdpRead(Proto(), kAnySrcPort, nullptr, &dport, &src, &sport, nullptr, nullptr, &size,
                            data.data());
  }
};

TEST_F(IcmpErrorTest, ForeignOrMalformedErrorsAreDropped) {
  // Not addressed to the station itself.
  Error(Quote(), 28, peers::kBroadcastIp);
  Error(Quote(), 28, {10, 0, 0, 255});
  Error(Quote(), 28, {224, 0, 0, 1});
  // Quoting another host's TCP datagram.
  peers::Ipv4Fields tcp = Ours();
  tcp.source = {10, 0, 0, 7};
  tcp.protocol = 6;
  Error(peers::BuildIpv4(tcp, Bytes(20, 0)), 28);
  // Our address but another protocol, another source port, another destination.
  peers::Ipv4Fields other = Ours();
  other.protocol = 6;
  Error(peers::BuildIpv4(other, Bytes(20, 0)));
  Error(Quote(Ours(), kClientPort + 1));
  other = Ours();
  other.destination = {10, 0, 0, 9};
  Error(Quote(other));
  EXPECT_EQ(Listen(), EFI_TIMEOUT);
  EXPECT_EQ(Drops(kDropIcmpForeign), 7u);

  // Quotes that cannot be ours: 4 bytes, a header with 7 bytes behind it,
  // version 6, IHL 4, a total length one below IHL * 4 + 8 and one above the MTU.
  Error(Quote(), 4);
  Error(Quote(), 27);
  peers::Ipv4Fields bad = Ours();
  bad.versionIhl = 0x65;
  Error(Quote(bad));
  bad.versionIhl = 0x44;
  Error(Quote(bad));
  bad = Ours();
  bad.totalLength = 27;
  Error(Quote(bad));
  bad.totalLength = 1501;
  Error(Quote(bad));
  EXPECT_EQ(Listen(), EFI_TIMEOUT);
  EXPECT_EQ(Drops(kDropIcmpQuote), 6u);
  EXPECT_FALSE(Instance()->Mode.IcmpErrorReceived);
}

TEST_F(IcmpErrorTest, AnErrorAboutOurDatagramEndsTheReceive) {
  // At the bounds: a quote of exactly the header and 8 bytes, total length 1500.
  peers::Ipv4Fields f = Ours();
  f.totalLength = 1500;
  const Bytes quoted = Quote(f);
  Error(quoted, 28);
  EXPECT_EQ(Listen(), EFI_ICMP_ERROR);
  EXPECT_TRUE(Instance()->Mode.IcmpErrorReceived);
  const auto *error = reinterpret_cast<const uint8_t *>(&Instance()->Mode.IcmpError);
  EXPECT_EQ(Bytes(error, error + 8), (Bytes{0x03, 0x03, error[2], error[3], 0, 0, 0, 0}));
  EXPECT_EQ(Bytes(error + 8, error + 36), Bytes(quoted.begin(), quoted.begin() + 28));

  // "Fragmentation needed" with a next-hop MTU of 0 is recorded, nothing more.
  Error(Quote(), 28, kClientIp, 3, 4);
  EXPECT_EQ(Listen(), EFI_ICMP_ERROR);
  EXPECT_EQ(reinterpret_cast<const uint8_t *>(&Instance()->Mode.IcmpError)[1], 4);

  // With ANY_SRC_IP and ANY_DEST_PORT the quoted destination and port are not asked.
  peers::Ipv4Fields elsewhere = Ours();
  elsewhere.destination = {10, 0, 0, 99};
  Error(Quote(elsewhere, 999));
  Bytes data(64);
  UINTN size = data.size();
  EXPECT_EQ(Proto()->UdpRead(Proto(), kAnySrcIp | kAnySrcPort | kAnyDestIp | kAnyDestPort, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr, &size, data.data()),
            EFI_ICMP_ERROR);
  EXPECT_EQ(Drops(kDropIcmpForeign) + Drops(kDropIcmpQuote), 0u);
}

}  // namespace
}  // namespace orvale_test
