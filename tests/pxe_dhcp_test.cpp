// PXE DHCP against scripted DHCP, proxy and boot servers: every offer class,
// the order of preference with sorted offers and in arrival order, the REQUEST,
// proxy REQUEST, DECLINE and RELEASE byte for byte, the no-reply series in
// virtual time, and hostile replies that must not end the exchange.
#include <gtest/gtest.h>

#include <algorithm>

#include "dhcp/bootp_wire.h"
#include "peers/pxe_server.h"
#include "pxe/pxe.h"
#include "tests/dhcp_test_support.h"

namespace orvale_test {
namespace {

using peers::Bytes;
using peers::DhcpMessage;
using peers::DhcpSeen;
using peers::Ip4;

constexpr Ip4 kProxyIp = {10, 0, 0, 9};
constexpr Ip4 kSecondServer = {10, 0, 0, 7};
constexpr Ip4 kSecondLease = {10, 0, 0, 60};
const Bytes kPxeClass = {'P', 'X', 'E', 'C', 'l', 'i', 'e', 'n', 't'};
// Boot-server information a client can use: no multicast, one server list
// entry (type 1, 10.0.0.9), a menu and a prompt.
const Bytes kBootInfo = {6, 1, 0x02, 8, 7, 0, 1, 1, 10, 0, 0, 9, 9, 7, 0, 1, 4, 'B', 'o', 'o', 't',
                         10, 2, 0, 'P', 255};

class PxeDhcpTest : public DhcpTest {
 protected:
  void TearDown() override {
    proxy_.reset();
    second_.reset();
    DhcpTest::TearDown();
  }
  EFI_STATUS RunPxe(bool sortOffers) {
    return WithBuffers([&](ProtocolInstance *in) {
      if (in->PxeIdentityState == kPxeIdentityUnbuilt) BuildPxeOptionTemplate(in);
      return PxeDhcp(in, sortOffers ? TRUE : FALSE);
    });
  }
  peers::PxeServer *AddProxy(const peers::PxeServer::Config &config = {}) {
    proxy_ = std::make_unique<peers::PxeServer>(AddStation(kProxyIp, 9), config);
    return proxy_.get();
  }
  peers::DhcpServer *AddSecondServer() {
    peers::DhcpServer::Config c;
    c.offer = kSecondLease;
    second_ = std::make_unique<peers::DhcpServer>(AddStation(kSecondServer, 7), c);
    return second_.get();
  }
  // Makes server's offers and ACKs PXE replies carrying vendor.
  static void MakePxe(peers::DhcpServer *server, const Bytes &vendor, std::optional<Bytes> bootFile = {}) {
    server->Shape = [vendor, bootFile](const DhcpSeen &, std::optional<DhcpMessage> &reply) {
      if (!reply) return;
      reply->Set(60, kPxeClass);
      if (!vendor.empty()) reply->Set(43, vendor);
      if (bootFile) reply->Set(67, *bootFile);
    };
  }
  std::vector<DhcpSeen> SentTo(uint16_t port, uint8_t type) const {
    std::vector<DhcpSeen> out;
    for (const auto &s : Sent({67, 4011}))
      if (s.destinationPort == port && TypeOf(s) == type) out.push_back(s);
    return out;
  }
  // The raw 548 bytes of the UDP payload of each DHCP frame the driver sent to port.
  std::vector<Bytes> RawSent(uint16_t port) const {
    std::vector<Bytes> out;
    for (const hosted::Frame &f : nic_->sent) {
      const auto eth = peers::ParseEthernet(f.bytes);
      if (!eth || eth->etherType != 0x0800) continue;
      const auto ip = peers::ParseIpv4(eth->payload);
      if (!ip || ip->protocol != 17) continue;
      const auto udp = peers::ParseUdp(ip->source, ip->destination, ip->payload);
      if (udp && udp->destinationPort == port) out.push_back(udp->data);
    }
    return out;
  }
  static Bytes Range(const Bytes &b, size_t from, size_t to) { return Bytes(b.begin() + from, b.begin() + to); }

  std::unique_ptr<peers::PxeServer> proxy_;
  std::unique_ptr<peers::DhcpServer> second_;
};

// ---- Offer classes ----

TEST_F(PxeDhcpTest, Class1OfferFromOneServerNeedsNoProxy) {
  MakePxe(server_.get(), {6, 1, 0x0B, 8, 7, 0, 1, 1, 10, 0, 0, 1, 255}, Bytes{'b', '.', 'e', 'f', 'i'});
  ASSERT_EQ(RunPxe(true), EFI_SUCCESS);
  EXPECT_EQ(StationIp(), kLease);
  EXPECT_TRUE(Packets().StationIpSet);
  EXPECT_FALSE(Packets().ProxyOfferReceived);
  EXPECT_EQ(SentTo(67, 1).size(), 1u);
  EXPECT_EQ(SentTo(67, 3).size(), 1u);
  EXPECT_TRUE(RawSent(4011).empty());
  EXPECT_EQ(Yiaddr(Packets().ParsedPackets[kParsedAck]), kLease);
  EXPECT_EQ(Mask(), (Ip4{255, 255, 255, 0}));
  ASSERT_EQ(Instance()->Mode.RouteTableEntries, 1u);

  // The DISCOVER and the REQUEST as sent.
  const auto discovers = RawSent(67);
  ASSERT_EQ(discovers.size(), 2u);
  const Bytes &d = discovers[0];
  const Bytes &r = discovers[1];
  ASSERT_EQ(d.size(), 548u);
  EXPECT_EQ(d[6], 0);  // 16-bit xid, little-endian in the 4 bytes
  EXPECT_EQ(d[7], 0);
  EXPECT_EQ(Range(d, 8, 10), (Bytes{0, 4}));  // secs 4 on the instance's first exchange
  EXPECT_EQ(d[242], 1);
  EXPECT_EQ(d[346], 255);
  EXPECT_EQ(Range(d, 347, 548), Bytes(201, 0));
  // REQUEST: the DISCOVER with option 53 = 3 and options 50 and 54 over END.
  Bytes expected = d;
  expected[242] = 3;
  const Bytes tail = {
      50, 4, 10, 0, 0, 50,  // requested address
      54, 4, 10, 0, 0, 1,   // server identifier
      255,                  // END at 358
  };
  std::copy(tail.begin(), tail.end(), expected.begin() + 346);
  EXPECT_EQ(r, expected);
}

TEST_F(PxeDhcpTest, PlainOfferWithClass1ProxyOffer) {
  AddProxy({.offerVendor = kBootInfo});
  ASSERT_EQ(RunPxe(true), EFI_SUCCESS);
  EXPECT_EQ(StationIp(), kLease);
  EXPECT_TRUE(Packets().ProxyOfferReceived);
  const PacketSlot &proxy = Packets().ParsedPackets[kParsedProxyOffer];
  EXPECT_EQ(Yiaddr(proxy), (Ip4{0, 0, 0, 0}));
  EXPECT_EQ(proxy.pxeFlags & kPxeFlagBootServer, kPxeFlagBootServer);
  EXPECT_EQ(SentTo(67, 3).size(), 1u);
  EXPECT_EQ(*SentTo(67, 3)[0].message.Option(54), (Bytes{10, 0, 0, 1}));
  EXPECT_TRUE(RawSent(4011).empty());
}

TEST_F(PxeDhcpTest, Class3ProxyIsAskedAtPort4011) {
  AddProxy({.proxyAckVendor = kBootInfo});
  ASSERT_EQ(RunPxe(true), EFI_SUCCESS);
  EXPECT_TRUE(Packets().ProxyOfferReceived);
  const auto proxyRequests = SentTo(4011, 3);
  ASSERT_EQ(proxyRequests.size(), 1u);
  EXPECT_EQ(proxyRequests[0].destination, kProxyIp);
  EXPECT_EQ(proxyRequests[0].source, kLease);
  EXPECT_EQ(proxyRequests[0].sourcePort, 4011);
  // Byte for byte: the REQUEST with ciaddr set, flags 0 and END back at 346.
  const Bytes request = RawSent(67).back();
  Bytes expected = request;
  const Bytes ciaddr = {10, 0, 0, 50};
  std::copy(ciaddr.begin(), ciaddr.end(), expected.begin() + 12);
  expected[10] = 0;  // flags
  std::fill(expected.begin() + 346, expected.begin() + 359, 0);
  expected[346] = 255;
  EXPECT_EQ(RawSent(4011)[0], expected);
  EXPECT_EQ(Yiaddr(Packets().ParsedPackets[kParsedProxyOffer]), (Ip4{0, 0, 0, 0}));
}

TEST_F(PxeDhcpTest, SilentClass3ProxyEndsInARelease) {
  AddProxy({.answerProxyRequests = false});
  std::vector<uint64_t> requestTimes;
  ASSERT_EQ(RunPxe(true), EFI_NO_RESPONSE);
  // Every attempt: REQUEST, three proxy REQUESTs, a RELEASE to the DHCP server.
  const auto releases = SentTo(67, 7);
  ASSERT_EQ(releases.size(), 5u);
  EXPECT_EQ(SentTo(4011, 3).size(), 15u);
  EXPECT_EQ(releases[0].destination, kPeerIp);
  EXPECT_FALSE(Packets().StationIpSet);
  EXPECT_EQ(Instance()->Mode.RouteTableEntries, 0u);
  // The RELEASE byte for byte (its first 240 bytes are the proxy REQUEST's, secs 0).
  Bytes release;
  for (const Bytes &b : RawSent(67))
    if (b[242] == 7) release = b;
  Bytes expected = RawSent(4011).back();
  expected[8] = expected[9] = 0;
  const Bytes options = {
      53, 1, 7,             // DHCPRELEASE
      54, 4, 10, 0, 0, 1,   // server identifier of the ACK
      255,                  // END at 249
  };
  std::copy(options.begin(), options.end(), expected.begin() + 240);
  std::fill(expected.begin() + 250, expected.end(), 0);
  EXPECT_EQ(release, expected);
}

TEST_F(PxeDhcpTest, AddressInUseIsDeclinedAndTheNextOfferTaken) {
  peers::Station *owner = AddStation(kLease, 0x50);
  (void)owner;
  AddSecondServer();
  server_->config().bootFile = {'a'};
  second_->config().bootFile = {'b'};
  ASSERT_EQ(RunPxe(true), EFI_SUCCESS);
  EXPECT_EQ(StationIp(), kSecondLease);
  const auto declines = SentTo(67, 4);
  ASSERT_EQ(declines.size(), 1u);
  // The client has no address and so no route to the server: broadcast.
  EXPECT_EQ(declines[0].destination, peers::kBroadcastIp);
  EXPECT_EQ(declines[0].source, (Ip4{0, 0, 0, 0}));
  Bytes decline;
  for (const Bytes &b : RawSent(67))
    if (b[242] == 4) decline = b;
  const Bytes options = {
      53, 1, 4,              // DHCPDECLINE
      50, 4, 10, 0, 0, 50,   // the address in use
      54, 4, 10, 0, 0, 1,    // its server
      255,                   // END at 255
  };
  EXPECT_EQ(Range(decline, 240, 256), options);
  EXPECT_EQ(Range(decline, 256, 548), Bytes(292, 0));
  EXPECT_EQ(Range(decline, 8, 12), (Bytes{0, 0, 0, 0}));  // secs and flags 0
  // The REQUEST after the DECLINE went to the second server with xid 0.
  const auto requests = SentTo(67, 3);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(*requests[1].message.Option(54), peers::Ip4Bytes(kSecondServer));
  EXPECT_EQ(requests[1].message.xid, 0u);
}

// ---- Preference ----

// A class-0 offer with a boot file from the peer, a class-1 offer from the
// second server: sorted, class 1 wins; in arrival order, the first.
TEST_F(PxeDhcpTest, SortedOffersPreferClass1) {
  server_->config().bootFile = {'p', 'l', 'a', 'i', 'n'};
  AddSecondServer();
  MakePxe(second_.get(), {6, 1, 0x0B, 8, 7, 0, 1, 1, 10, 0, 0, 7, 255}, Bytes{'p', 'x', 'e'});
  ASSERT_EQ(RunPxe(true), EFI_SUCCESS);
  EXPECT_EQ(StationIp(), kSecondLease);
  EXPECT_EQ(Instance()->OfferClassCount[0], 1);
  EXPECT_EQ(Instance()->OfferClassCount[1], 1);
}

TEST_F(PxeDhcpTest, ArrivalOrderTakesTheFirstUsableReply) {
  server_->config().bootFile = {'p', 'l', 'a', 'i', 'n'};
  AddSecondServer();
  MakePxe(second_.get(), {6, 1, 0x0B, 8, 7, 0, 1, 1, 10, 0, 0, 7, 255}, Bytes{'p', 'x', 'e'});
  ASSERT_EQ(RunPxe(false), EFI_SUCCESS);
  EXPECT_EQ(StationIp(), kLease);
  EXPECT_EQ(Yiaddr(Instance()->ReplySlots[0]), kLease);
}

TEST_F(PxeDhcpTest, ArrivalOrderPairsAPlainOfferWithAProxy) {
  AddProxy({.offerVendor = kBootInfo});
  ASSERT_EQ(RunPxe(false), EFI_SUCCESS);
  EXPECT_EQ(StationIp(), kLease);
  EXPECT_TRUE(Packets().ProxyOfferReceived);
  EXPECT_TRUE(RawSent(4011).empty());
}

TEST_F(PxeDhcpTest, PlainOfferWithoutBootInformationIsNotEnough) {
  // No boot file, no proxy: each attempt ends without a selection.
  EXPECT_EQ(RunPxe(true), EFI_NO_RESPONSE);
  EXPECT_EQ(SentTo(67, 1).size(), 5u);
  EXPECT_TRUE(SentTo(67, 3).empty());
  EXPECT_EQ(RunPxe(false), EFI_NO_RESPONSE);
  EXPECT_TRUE(SentTo(67, 3).empty());
}

// ---- Collection ----

TEST_F(PxeDhcpTest, NoReplyGivesFiveDiscoversInGrowingWindows) {
  server_->config().answerDiscover = false;
  const uint64_t start = fw_.Now();
  EXPECT_EQ(RunPxe(true), EFI_NO_RESPONSE);
  const auto discovers = SentTo(67, 1);
  ASSERT_EQ(discovers.size(), 5u);
  const uint64_t windows[] = {11'000'000, 21'000'000, 41'000'000, 81'000'000, 161'000'000};
  const uint16_t secs[] = {4, 5, 7, 11, 19};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(discovers[i].message.secs, secs[i]) << i;
    const uint64_t next = i + 1 < 5 ? discovers[i + 1].time : fw_.Now();
    EXPECT_GE(next - discovers[i].time, windows[i]) << i;
    EXPECT_LT(next - discovers[i].time, windows[i] + 1'000'000) << i;
  }
  EXPECT_LT(discovers[0].time - start, 1'000'000u);
  // Each attempt has a new xid.
  EXPECT_NE(discovers[0].message.xid, discovers[1].message.xid);
}

TEST_F(PxeDhcpTest, CollectionEndsWhenSixRepliesAreRecorded) {
  server_->Shape = [this](const DhcpSeen &seen, std::optional<DhcpMessage> &reply) {
    if (reply && TypeOf(seen) == 3) {
      const Bytes *asked = seen.message.Option(50);
      reply->yiaddr = {(*asked)[0], (*asked)[1], (*asked)[2], (*asked)[3]};
    }
    if (!reply || TypeOf(seen) != 1) return;
    for (uint8_t i = 1; i <= 6; ++i) {
      DhcpMessage extra = *reply;
      extra.yiaddr = {10, 0, 0, static_cast<uint8_t>(50 + i)};
      extra.Set(67, {'f'});
      server_->Send(extra, kClientMac);
    }
  };
  ASSERT_EQ(RunPxe(true), EFI_SUCCESS);
  EXPECT_EQ(Instance()->OfferCount, 6u);
  EXPECT_EQ(Instance()->OfferClassCount[0], 6);
  EXPECT_EQ(StationIp(), (Ip4{10, 0, 0, 51}));
}

TEST_F(PxeDhcpTest, OnlyTheFirstClass1ProxyOfferIsKept) {
  AddProxy({.offerVendor = kBootInfo});
  proxy_->Shape = [](const DhcpSeen &, std::optional<DhcpMessage> &reply) {
    if (reply) reply->Set(66, {'x'});
  };
  // A second proxy offer, sent by the DHCP server's hook after its own offer.
  server_->Shape = [this](const DhcpSeen &seen, std::optional<DhcpMessage> &reply) {
    if (!reply || TypeOf(seen) != 1) return;
    server_->Send(*reply, kClientMac);
    DhcpMessage second = *reply;
    second.yiaddr = {};
    second.Set(60, kPxeClass);
    second.Set(43, kBootInfo);
    reply = second;
  };
  ASSERT_EQ(RunPxe(true), EFI_SUCCESS);
  EXPECT_EQ(Instance()->OfferCount, 2u);
  ASSERT_NE(Instance()->ProxyOfferIndex[1], 0);
  EXPECT_TRUE(Packets().ProxyOfferReceived);
}

TEST_F(PxeDhcpTest, BootpRepliesNeedABootFileAndOnlyOneIsKept) {
  server_->config().bootp = true;
  server_->Shape = [this](const DhcpSeen &seen, std::optional<DhcpMessage> &reply) {
    if (!reply || TypeOf(seen) != 1) return;
    DhcpMessage noFile = *reply;  // not recorded
    server_->Send(noFile, kClientMac);
    reply->file = {'b', 'o', 'o', 't', 'p'};
    DhcpMessage again = *reply;  // a second BOOTP reply: not recorded
    again.yiaddr = kSecondLease;
    server_->Send(*reply, kClientMac);
    reply = again;
  };
  ASSERT_EQ(RunPxe(true), EFI_SUCCESS);
  EXPECT_EQ(Instance()->OfferCount, 1u);
  EXPECT_EQ(Instance()->BootpReplyIndex, 1);
  EXPECT_EQ(StationIp(), kLease);
  EXPECT_EQ(Yiaddr(Packets().ParsedPackets[kParsedAck]), kLease);
}

// ---- Hostile replies ----

TEST_F(PxeDhcpTest, ForgedOffersAreDroppedAndTheGenuineOneTaken) {
  const std::vector<Bytes> forged = {
      {6, 1, 0x02, 8, 7, 0, 1, 9, 10, 0, 0, 9, 9, 7, 0, 1, 4, 'B', 'o', 'o', 't', 10, 1, 0},  // count 9 in 7 bytes
      {6, 1, 0x02, 9, 6, 0, 1, 9, 'B', 'o', 'o', 10, 1, 0},                                 // menu entry past its end
      {6, 0, 9, 7, 0, 1, 4, 'B', 'o', 'o', 't', 10, 1, 0},                                  // control byte missing
      {6, 1, 0x00, 7, 2, 224, 0, 9, 7, 0, 1, 4, 'B', 'o', 'o', 't', 10, 1, 0},              // multicast address cut
      {6, 1, 0x02, 8, 40, 0, 1, 1, 10},                                                    // runs past option 43
  };
  server_->Shape = [this, forged](const DhcpSeen &seen, std::optional<DhcpMessage> &reply) {
    if (!reply || TypeOf(seen) != 1) return;
    for (const Bytes &vendor : forged) {
      DhcpMessage bad = *reply;
      bad.Set(60, kPxeClass);
      bad.Set(43, vendor);
      server_->Send(bad, kClientMac);
    }
    reply->Set(67, {'o', 'k'});
  };
  ASSERT_EQ(RunPxe(true), EFI_SUCCESS);
  EXPECT_EQ(StationIp(), kLease);
  EXPECT_EQ(Instance()->OfferCount, 1u);
  EXPECT_GE(DhcpDrops(kDhcpDropRefused), 4u);
}

// Forged proxy offers flood in before the genuine offer: they take five
// slots at most, the genuine offer the last one, and the lease follows.
TEST_F(PxeDhcpTest, FloodOfProxyOffersLeavesRoomForTheAddress) {
  server_->config().bootFile = {'o', 'k'};
  server_->Shape = [this](const DhcpSeen &seen, std::optional<DhcpMessage> &reply) {
    if (!reply || TypeOf(seen) != 1) return;
    DhcpMessage proxy = *reply;
    proxy.yiaddr = {};
    proxy.options.clear();
    proxy.Set(53, {2});
    proxy.Set(54, peers::Ip4Bytes(kProxyIp));
    proxy.Set(60, kPxeClass);
    for (int i = 0; i < 20; ++i) server_->Send(proxy, kClientMac);
  };
  ASSERT_EQ(RunPxe(true), EFI_SUCCESS);
  EXPECT_EQ(StationIp(), kLease);
  EXPECT_EQ(Instance()->OfferCount, 6u);
  EXPECT_EQ(Instance()->PxeProxyCount, 5);
  EXPECT_EQ(Instance()->OfferClassCount[0], 1);
  EXPECT_EQ(SentTo(67, 1).size(), 1u);
}

TEST_F(PxeDhcpTest, BadChecksumDoesNotEndTheWait) {
  server_->Shape = [this](const DhcpSeen &seen, std::optional<DhcpMessage> &reply) {
    if (!reply || TypeOf(seen) != 1) return;
    reply->Set(67, {'o', 'k'});
    const Bytes dhcp = peers::EncodeDhcp(*reply);
    peers::UdpFields u;
    u.sourcePort = 67;
    u.destinationPort = 68;
    u.checksum = 0x1234;
    peers::Ipv4Fields ip;
    ip.source = kPeerIp;
    ip.destination = peers::kBroadcastIp;
    peer_->SendIpv4(peers::kBroadcastMac, ip, peers::BuildUdp(kPeerIp, peers::kBroadcastIp, u, dhcp));
  };
  ASSERT_EQ(RunPxe(true), EFI_SUCCESS);
  EXPECT_EQ(SentTo(67, 1).size(), 1u);
  EXPECT_EQ(Instance()->OfferCount, 1u);
}

TEST_F(PxeDhcpTest, MulticastYiaddrIsDroppedClassCIsKept) {
  server_->config().offer = {224, 0, 0, 5};
  server_->config().bootFile = {'f'};
  EXPECT_EQ(RunPxe(true), EFI_NO_RESPONSE);
  EXPECT_GE(DhcpDrops(kDhcpDropYiaddr), 5u);
  server_->config().offer = {223, 255, 255, 254};
  server_->config().mask = Ip4{255, 255, 255, 0};
  ASSERT_EQ(RunPxe(true), EFI_SUCCESS);
  EXPECT_EQ(StationIp(), (Ip4{223, 255, 255, 254}));
}

// Answers that must be passed over while a genuine one may still come: each
// row's hostile reply goes out first, from the server it imitates.
TEST_F(PxeDhcpTest, HostileAnswersToRequestAndProxyArePassedOver) {
  AddProxy({.proxyAckVendor = kBootInfo});
  peers::Station *proxyStation = extra_.back().get();
  struct Row {
    const char *name;
    bool toProxy;                           // the hostile reply answers the proxy REQUEST, else the REQUEST
    std::function<void(DhcpMessage &)> forge;
    bool genuineFollows;
  };
  const std::vector<Row> rows = {
      {"proxy reply with an address", true, [](DhcpMessage &m) { m.yiaddr = {10, 0, 0, 77}; }, true},
      {"proxy reply of another server", true, [](DhcpMessage &m) { m.Set(54, {10, 0, 0, 8}); }, true},
      {"only a proxy reply with an address", true, [](DhcpMessage &m) { m.yiaddr = {10, 0, 0, 77}; }, false},
      {"ACK for another address", false, [](DhcpMessage &m) { m.yiaddr = {10, 0, 0, 66}; }, true},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    bool forgedOnce = false;
    auto forge = [&, row](const DhcpSeen &seen, std::optional<DhcpMessage> &reply, peers::Station *from,
                          uint16_t port) {
      if (!reply || TypeOf(seen) != 3 || (forgedOnce && row.genuineFollows)) return;
      DhcpMessage bad = *reply;
      row.forge(bad);
      from->SendUdp(seen.sourceMac, seen.source == Ip4{} ? peers::kBroadcastIp : seen.source, port,
                    seen.sourcePort, peers::EncodeDhcp(bad));
      forgedOnce = true;
      if (!row.genuineFollows) reply.reset();
    };
    proxy_->Shape = [&, row](const DhcpSeen &seen, std::optional<DhcpMessage> &reply) {
      if (row.toProxy) forge(seen, reply, proxyStation, 4011);
    };
    server_->Shape = [&, row](const DhcpSeen &seen, std::optional<DhcpMessage> &reply) {
      if (!row.toProxy) forge(seen, reply, peer_.get(), 67);
    };
    const EFI_STATUS status = RunPxe(true);
    EXPECT_TRUE(forgedOnce);
    const PacketSlot &proxyEntry = Packets().ParsedPackets[kParsedProxyOffer];
    if (row.genuineFollows) {
      ASSERT_EQ(status, EFI_SUCCESS);
      EXPECT_EQ(StationIp(), kLease);
      EXPECT_EQ(Yiaddr(Packets().ParsedPackets[kParsedAck]), kLease);
      EXPECT_TRUE(Packets().ProxyOfferReceived);
      EXPECT_EQ(Yiaddr(proxyEntry), (Ip4{0, 0, 0, 0}));
      const UINT8 *server = proxyEntry.dhcpOptionRefs[kRefServerId];
      ASSERT_NE(server, nullptr);
      EXPECT_EQ(Bytes(server + 2, server + 6), peers::Ip4Bytes(kProxyIp));
    } else {
      EXPECT_EQ(status, EFI_NO_RESPONSE);
      // What the proxy port received and refused is published nowhere.
      EXPECT_FALSE(Packets().ProxyOfferReceived);
      EXPECT_EQ(UINT64{proxyEntry.length}, 0u);
      EXPECT_EQ(Yiaddr(proxyEntry), (Ip4{0, 0, 0, 0}));
    }
  }

  // A later call without any proxy reply does not publish the last one.
  proxy_->config().proxyOffers = false;
  proxy_->Shape = nullptr;
  server_->Shape = nullptr;
  server_->config().bootFile = {'f'};
  Packets().ProxyOffer.Raw[0] = 0x77;
  Locked([](ProtocolInstance *in) {
    FreeDhcpBuffers(in);
    return 0;
  });
  buffers_ = false;
  ASSERT_EQ(Proto()->Dhcp(Proto(), TRUE), EFI_SUCCESS);
  EXPECT_FALSE(Packets().ProxyOfferReceived);
  EXPECT_EQ(Packets().ProxyOffer.Raw[0], 0x77);
}

// The ARP probe cannot be sent: the address is not taken.
TEST_F(PxeDhcpTest, AddressNotClaimedWhenTheProbeCannotBeSent) {
  server_->config().bootFile = {'f'};
  server_->Shape = [this](const DhcpSeen &seen, std::optional<DhcpMessage> &) {
    if (TypeOf(seen) == 3) nic_->faults.transmitFails = true;
  };
  EXPECT_EQ(RunPxe(true), EFI_DEVICE_ERROR);
  nic_->faults.transmitFails = false;
  EXPECT_FALSE(Packets().StationIpSet);
  EXPECT_EQ(StationIp(), (Ip4{0, 0, 0, 0}));
}

// A proxy offer longer than a client message is published whole, and its
// boot information past byte 548 is indexed.
TEST_F(PxeDhcpTest, LongProxyOfferIsPublishedWhole) {
  Bytes sent;
  AddProxy({.offerVendor = kBootInfo});
  proxy_->Shape = [&sent](const DhcpSeen &seen, std::optional<DhcpMessage> &reply) {
    if (!reply || reply->yiaddr != Ip4{} || seen.destinationPort != 67) return;
    DhcpMessage m;
    m.xid = reply->xid;
    m.chaddr = reply->chaddr;
    m.flags = reply->flags;
    m.Set(53, {2});
    m.Set(224, Bytes(200, 'x'));  // site-specific options that push option 43 past 548
    m.Set(225, Bytes(200, 'y'));
    for (const auto &[code, value] : reply->options)
      if (code != 53) m.Set(code, value);
    reply = m;
    sent = peers::EncodeDhcp(m);
  };
  ASSERT_EQ(Proto()->Dhcp(Proto(), TRUE), EFI_SUCCESS);
  ASSERT_GT(sent.size(), 600u);
  ASSERT_TRUE(Packets().ProxyOfferReceived);
  EXPECT_EQ(Bytes(Packets().ProxyOffer.Raw, Packets().ProxyOffer.Raw + sent.size()), sent);
  EXPECT_EQ(Bytes(Packets().ProxyOffer.Raw + sent.size(), Packets().ProxyOffer.Raw + sizeof(DhcpPacket)),
            Bytes(sizeof(DhcpPacket) - sent.size(), 0));
  EXPECT_EQ(UINT64{Packets().ParsedPackets[kParsedProxyOffer].length}, sent.size());
  EXPECT_NE(Packets().ParsedPackets[kParsedProxyOffer].pxeFlags & kPxeFlagBootServer, 0);
}

// ---- The Dhcp member's PXE branch ----

TEST_F(PxeDhcpTest, MemberPublishesAckAndProxyOffer) {
  AddProxy({.offerVendor = kBootInfo});
  Packets().ProxyOffer.Raw[0] = 0x77;
  ASSERT_EQ(Proto()->Dhcp(Proto(), TRUE), EFI_SUCCESS);
  EXPECT_TRUE(Packets().DhcpDiscoverValid);
  EXPECT_TRUE(Packets().DhcpAckReceived);
  EXPECT_EQ(Packets().DhcpAck.Raw[16], 10);
  EXPECT_EQ(Packets().DhcpAck.Raw[19], 50);
  EXPECT_EQ(Packets().ProxyOffer.Raw[0], 2);  // the proxy offer replaced it
  EXPECT_EQ(Packets().DhcpDiscover.Raw[242], 1);
  EXPECT_EQ(Instance()->DhcpTxPacket, nullptr);
  EXPECT_EQ(Instance()->Mode.StationIp.v4.Addr[3], 50);
  // The filter admits the station address only.
  EXPECT_EQ(Instance()->State.IpFilter.Filters, EFI_PXE_BASE_CODE_IP_FILTER_STATION_IP);
}

TEST_F(PxeDhcpTest, MemberBuildsTheIdentityOncePerStart) {
  server_->config().bootFile = {'f'};
  Packets().ProxyOffer.Raw[0] = 0x77;
  ASSERT_EQ(Proto()->Dhcp(Proto(), FALSE), EFI_SUCCESS);
  EXPECT_EQ(Packets().ProxyOffer.Raw[0], 0x77);  // no proxy reply: left as it was
  EXPECT_FALSE(Packets().ProxyOfferReceived);
  // A mark in the shared template survives a second call: it was not rebuilt.
  PxeOptionTemplate[13] = 99;
  ASSERT_EQ(Proto()->Dhcp(Proto(), FALSE), EFI_SUCCESS);
  EXPECT_EQ(SentTo(67, 1).back().message.Option(55)->at(0), 99);
  // A new Start builds it again.
  ASSERT_EQ(Proto()->Stop(Proto()), EFI_SUCCESS);
  ASSERT_EQ(Proto()->Start(Proto()), EFI_SUCCESS);
  ASSERT_EQ(Proto()->Dhcp(Proto(), FALSE), EFI_SUCCESS);
  EXPECT_EQ(SentTo(67, 1).back().message.Option(55)->at(0), 1);
}

TEST_F(PxeDhcpTest, MemberFailureKeepsThePublishedPackets) {
  server_->config().answerDiscover = false;
  EXPECT_EQ(Proto()->Dhcp(Proto(), TRUE), EFI_NO_RESPONSE);
  EXPECT_FALSE(Packets().DhcpAckReceived);
  EXPECT_FALSE(Packets().DhcpDiscoverValid);
  EXPECT_EQ(Instance()->State.IpFilter.Filters, EFI_PXE_BASE_CODE_IP_FILTER_STATION_IP);
  ASSERT_EQ(Proto()->Stop(Proto()), EFI_SUCCESS);
  EXPECT_EQ(Proto()->Dhcp(Proto(), TRUE), EFI_NOT_STARTED);
  ASSERT_EQ(Proto()->Start(Proto()), EFI_SUCCESS);
}

}  // namespace
}  // namespace orvale_test
