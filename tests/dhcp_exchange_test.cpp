// The DHCP exchange against scripted servers: offer choice, REQUEST and its
// endings, the BOOTP fallback, retransmission timing in virtual time, and
// replies no client should take.
#include <gtest/gtest.h>

#include <cstring>

#include "dhcp/codec.h"
#include "net/net.h"
#include "tests/dhcp_test_support.h"

namespace orvale_test {
namespace {

using peers::Bytes;
using peers::DhcpMessage;
using peers::DhcpSeen;
using peers::Ip4;

constexpr Ip4 kPublic = {198, 51, 100, 7};
constexpr Ip4 kSecondServer = {10, 0, 0, 9};

class DhcpExchangeTest : public DhcpTest {};

// ---- A lease ----

TEST_F(DhcpExchangeTest, LeaseFromOneServer) {
  ASSERT_EQ(Discover(), EFI_SUCCESS);
  EXPECT_EQ(StationIp(), kLease);
  EXPECT_EQ(Mask(), (Ip4{255, 255, 255, 0}));
  EXPECT_TRUE(Packets().StationIpSet);
  ASSERT_EQ(Instance()->Mode.RouteTableEntries, 1u);
  EXPECT_EQ(Ip4Of(Instance()->Mode.RouteTable[0].GwAddr), kPeerIp);
  EXPECT_EQ(Yiaddr(Packets().ParsedPackets[kParsedAck]), kLease);

  const auto discovers = SentOfType(1);
  const auto requests = SentOfType(3);
  ASSERT_EQ(discovers.size(), 1u);
  ASSERT_EQ(requests.size(), 1u);
  // DISCOVER: from 0.0.0.0:68 to 255.255.255.255:67, secs 4 on an instance's first call.
  EXPECT_EQ(discovers[0].source, (Ip4{0, 0, 0, 0}));
  EXPECT_EQ(discovers[0].destination, peers::kBroadcastIp);
  EXPECT_EQ(discovers[0].sourcePort, 68);
  EXPECT_EQ(discovers[0].message.secs, 4);
  EXPECT_EQ(discovers[0].message.xid, Instance()->Xid);
  EXPECT_LE(discovers[0].message.xid, 0xFFFFu);
  // Option 43 of DISCOVER and REQUEST: sub-option 2 = 01 01.
  EXPECT_EQ(*discovers[0].message.Option(43), (Bytes{0x02, 0x02, 0x01, 0x01}));
  EXPECT_EQ(*requests[0].message.Option(43), (Bytes{0x02, 0x02, 0x01, 0x01}));
  EXPECT_EQ(*discovers[0].message.Option(60), WirlVendorClass());
  // REQUEST: requested address and server identifier, same xid, from 0.0.0.0.
  EXPECT_EQ(*requests[0].message.Option(50), (Bytes{10, 0, 0, 50}));
  EXPECT_EQ(*requests[0].message.Option(54), (Bytes{10, 0, 0, 1}));
  EXPECT_EQ(requests[0].message.xid, discovers[0].message.xid);
  EXPECT_EQ(requests[0].source, (Ip4{0, 0, 0, 0}));
  // The DISCOVER as sent is published.
  EXPECT_EQ(Packets().DhcpDiscover.Raw[240 + 2], 1);
}

// ---- Choosing the offer ----

// Two servers answer the same DISCOVER, the peer first; the second one's offer
// is shaped by second. Returns the address requested.
class OfferChoiceTest : public DhcpExchangeTest {
 protected:
  Ip4 RequestedWith(const peers::DhcpServer::Config &first, const peers::DhcpServer::Config &second) {
    server_->config() = first;
    peers::DhcpServer other(AddStation(kSecondServer, 9), second);
    EXPECT_EQ(Discover(), EFI_SUCCESS);
    const auto requests = SentOfType(3);
    if (requests.empty()) return {};
    const Bytes *asked = requests[0].message.Option(50);
    return asked != nullptr && asked->size() == 4 ? Ip4{(*asked)[0], (*asked)[1], (*asked)[2], (*asked)[3]} : Ip4{};
  }
  static peers::DhcpServer::Config Offer(const Ip4 &address, bool mask, bool router) {
    peers::DhcpServer::Config c;
    c.offer = address;
    if (!mask) c.mask.reset();
    if (!router) c.router.reset();
    return c;
  }
};

TEST_F(OfferChoiceTest, PublicAddressWinsEvenWhenSecond) {
  // Scores 2 (private, mask and router) and 102 (public, mask and router).
  auto pub = Offer(kPublic, true, true);
  pub.router = Ip4{198, 51, 100, 1};
  pub.serverId = kSecondServer;
  EXPECT_EQ(RequestedWith(Offer({10, 0, 0, 60}, true, true), pub), kPublic);
  EXPECT_EQ(StationIp(), kPublic);
}

TEST_F(OfferChoiceTest, EqualScoresKeepTheFirst) {
  EXPECT_EQ(RequestedWith(Offer({10, 0, 0, 60}, true, true), Offer({10, 0, 0, 70}, true, true)), (Ip4{10, 0, 0, 60}));
}

TEST_F(OfferChoiceTest, MoreCompleteOfferWinsAmongPrivate) {
  // 1 (mask only) against 2 (mask and router): the later, more complete one.
  EXPECT_EQ(RequestedWith(Offer({10, 0, 0, 60}, true, false), Offer({10, 0, 0, 70}, true, true)), (Ip4{10, 0, 0, 70}));
}

TEST(ScoreOfferTest, PrivateRangesBoundaries) {
  auto slot = std::make_unique<PacketSlot>();
  auto score = [&](Ip4 yiaddr) {
    std::memset(slot.get(), 0, sizeof(PacketSlot));
    std::copy(yiaddr.begin(), yiaddr.end(), slot->packet.Raw + 16);
    return ScoreOffer(slot.get());
  };
  EXPECT_EQ(score({10, 255, 255, 255}), 0);
  EXPECT_EQ(score({11, 0, 0, 1}), 100);
  EXPECT_EQ(score({172, 15, 255, 255}), 100);
  EXPECT_EQ(score({172, 16, 0, 0}), 0);
  EXPECT_EQ(score({172, 31, 255, 255}), 0);
  EXPECT_EQ(score({172, 32, 0, 0}), 100);
  EXPECT_EQ(score({192, 167, 255, 255}), 100);
  EXPECT_EQ(score({192, 168, 0, 0}), 0);
  EXPECT_EQ(score({192, 169, 0, 0}), 100);
}

TEST_F(DhcpExchangeTest, ZeroYiaddrWithWirlFileIsKeptAsWirlOfferOnly) {
  server_->config().wirlClass = true;
  server_->config().vendorOptions = {1, 1, 1};
  server_->config().bootFile = {'w', '.', 'e', 'f', 'i'};
  server_->config().offer = {0, 0, 0, 0};
  peers::DhcpServer other(AddStation(kSecondServer, 9), peers::DhcpServer::Config{});
  other.config().offer = {10, 0, 0, 70};
  ASSERT_EQ(Discover(), EFI_SUCCESS);
  EXPECT_TRUE(Held(kSlotWirlOffer));
  EXPECT_EQ(Yiaddr(Instance()->ReplySlots[kSlotWirlOffer]), (Ip4{0, 0, 0, 0}));
  EXPECT_EQ(StationIp(), (Ip4{10, 0, 0, 70}));
  // The REQUEST went to the server of the usable offer only.
  for (const auto &r : SentOfType(3)) EXPECT_EQ(*r.message.Option(54), (Bytes{10, 0, 0, 9}));
}

TEST_F(DhcpExchangeTest, WirlOfferNotKeptWithUseDefaultImageOrPlainDhcp) {
  server_->config().wirlClass = true;
  server_->config().vendorOptions = {1, 1, 1};
  server_->config().bootFile = {'w', '.', 'e', 'f', 'i'};
  Packets().UseDefaultImage = 1;
  ASSERT_EQ(Discover(), EFI_SUCCESS);
  EXPECT_FALSE(Held(kSlotWirlOffer));
  Packets().UseDefaultImage = 0;
  Packets().PlainDhcp = 1;
  ASSERT_EQ(Discover(), EFI_SUCCESS);
  EXPECT_FALSE(Held(kSlotWirlOffer));
  // PlainDhcp: short parameter list, no vendor class, no option 43.
  const auto last = SentOfType(1).back();
  EXPECT_EQ(*last.message.Option(55), (Bytes{1, 3}));
  EXPECT_EQ(last.message.Option(60), nullptr);
  EXPECT_EQ(last.message.Option(43), nullptr);
}

// ---- Windows, secs and giving up, in virtual time ----

TEST_F(DhcpExchangeTest, NoOfferSixDiscoversWithSecsSeriesThenNoResponse) {
  server_->config().answerDiscover = false;
  Instance()->SecsCounter = 20;
  const uint64_t start = fw_.Now();
  EXPECT_EQ(Discover(), EFI_NO_RESPONSE);
  const auto discovers = SentOfType(1);
  ASSERT_EQ(discovers.size(), 6u);
  const uint16_t secs[] = {20, 21, 23, 27, 35, 51};
  const uint64_t at[] = {0, 11, 32, 73, 154, 315};  // tenths of a second: windows of N s + 0.1 s
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(discovers[i].message.secs, secs[i]) << i;
    EXPECT_NEAR(double(discovers[i].time - start), double(at[i] * hosted::kTicksPerSecond / 10),
                double(hosted::kTicksPerSecond / 100))
        << i;
  }
  EXPECT_NEAR(double(fw_.Now() - start), 63.6 * hosted::kTicksPerSecond, double(hosted::kTicksPerSecond / 100));
  EXPECT_TRUE(SentOfType(3).empty());
}

TEST_F(DhcpExchangeTest, OfferInSecondWindowRequestsWithThatWindow) {
  server_->config().ignoreDiscovers = 1;
  server_->config().answerRequest = false;
  const uint64_t start = fw_.Now();
  EXPECT_EQ(Discover(), EFI_NO_RESPONSE);
  // Each attempt: DISCOVER (window 1 unanswered, window 2 offered), REQUEST
  // twice in windows of 2 and 4 s; three attempts.
  const auto requests = SentOfType(3);
  ASSERT_EQ(requests.size(), 6u);
  EXPECT_NEAR(double(requests[1].time - requests[0].time), 2.1 * hosted::kTicksPerSecond,
              double(hosted::kTicksPerSecond / 100));
  EXPECT_EQ(requests[1].message.secs, requests[0].message.secs + 2);
  EXPECT_LT(fw_.Now() - start, 200 * hosted::kTicksPerSecond);
}

// ---- REQUEST endings ----

TEST_F(DhcpExchangeTest, NakFromChosenServerEndsEachAttemptAtOnce) {
  server_->config().nakRequest = true;
  const uint64_t start = fw_.Now();
  EXPECT_EQ(Discover(), EFI_NO_RESPONSE);
  EXPECT_EQ(SentOfType(3).size(), 3u);  // one REQUEST per attempt, never retransmitted
  EXPECT_EQ(SentOfType(1).size(), 3u);
  // Three DISCOVER windows of 1.1 s, no REQUEST window waited out.
  EXPECT_LT(fw_.Now() - start, 34 * hosted::kTicksPerSecond / 10);
  EXPECT_FALSE(Packets().StationIpSet);
}

TEST_F(DhcpExchangeTest, ForeignAckAndAckForAnotherAddressAreIgnored) {
  server_->Shape = [this](const DhcpSeen &request, std::optional<DhcpMessage> &reply) {
    if (TypeOf(request) != 3) return;
    // Another server's ACK, then an ACK of ours for another address, then a NAK from elsewhere.
    server_->Send(ReplyTo(request.message, {10, 0, 0, 99}, 5, kSecondServer), {});
    server_->Send(ReplyTo(request.message, {10, 0, 0, 98}, 5, kPeerIp), {});
    server_->Send(ReplyTo(request.message, {0, 0, 0, 0}, 6, kSecondServer), {});
    (void)reply;
  };
  ASSERT_EQ(Discover(), EFI_SUCCESS);
  EXPECT_EQ(StationIp(), kLease);
  EXPECT_EQ(SentOfType(3).size(), 1u);
  // The ACK kept is the chosen server's, for the address offered.
  const PacketSlot &ack = Packets().ParsedPackets[kParsedAck];
  EXPECT_EQ(Yiaddr(ack), kLease);
  EXPECT_EQ(Bytes(ack.packet.Raw + 240, ack.packet.Raw + 249), (Bytes{53, 1, 5, 54, 4, 10, 0, 0, 1}));
}

// The probe goes unanswered; only the announcement finds the owner. The
// address is declined and the station no longer answers ARP for it.
TEST_F(DhcpExchangeTest, ConflictFoundByTheAnnouncementIsDeclined) {
  peers::Station *owner = AddStation(kLease, 7);
  owner->SetAnswerArp(false);
  owner->OnFrame = [owner](const hosted::Frame &frame) {
    auto eth = peers::ParseEthernet(frame.bytes);
    if (!eth || eth->etherType != peers::kEtherArp) return;
    auto arp = peers::ParseArp(eth->payload);
    // Only the announcement (sender = target) is answered: an RFC 5227 defence.
    if (arp && arp->operation == 1 && arp->targetIp == kLease && arp->senderIp == kLease) {
      owner->SendArpReply(arp->senderMac, arp->senderIp);
    }
  };
  server_->config().ignoreDiscovers = 0;
  EXPECT_EQ(Discover(), EFI_NO_RESPONSE);
  EXPECT_EQ(SentOfType(4).size(), 3u);
  EXPECT_FALSE(Packets().StationIpSet);
  EXPECT_EQ(StationIp(), (Ip4{0, 0, 0, 0}));
  EXPECT_EQ(UINT64{Packets().ParsedPackets[kParsedAck].length}, 0u);
  // Asked for the address now, the station stays silent.
  const size_t arpBefore = peer_->ReceivedArp().size();
  peer_->SendArpRequest(kLease);
  WithBuffers([](ProtocolInstance *in) {
    UINTN header = 0, data = 0;
    UINT16 type = 0;
    (void)ReceiveFrame(in, nullptr, &header, &data, &type);
    if (type == kEtherTypeArp) HandleArpPacket(in, in->FrameBuffer + header, data, in->FrameBuffer);
    return EFI_SUCCESS;
  });
  for (size_t i = arpBefore; i < peer_->ReceivedArp().size(); ++i) EXPECT_NE(peer_->ReceivedArp()[i].operation, 2);
}

TEST_F(DhcpExchangeTest, BootpReplyUsedOnlyAfterAFailedRequest) {
  // Only BOOTP replies on the network: six DISCOVERs and no lease.
  server_->config().bootp = true;
  EXPECT_EQ(Discover(), EFI_NO_RESPONSE);
  EXPECT_EQ(SentOfType(1).size(), 6u);
  EXPECT_FALSE(Packets().StationIpSet);

  // A DHCP server that NAKs beside a BOOTP server: the BOOTP reply is taken.
  nic_->sent.clear();
  server_->config().bootp = false;
  server_->config().nakRequest = true;
  peers::DhcpServer::Config bootp;
  bootp.bootp = true;
  bootp.offer = {10, 0, 0, 80};
  bootp.mask.reset();
  peers::DhcpServer other(AddStation(kSecondServer, 9), bootp);
  ASSERT_EQ(Discover(), EFI_SUCCESS);
  EXPECT_EQ(SentOfType(3).size(), 1u);
  EXPECT_EQ(StationIp(), (Ip4{10, 0, 0, 80}));
  EXPECT_EQ(Mask(), (Ip4{255, 0, 0, 0}));  // classful: no option 1 anywhere
  EXPECT_EQ(Yiaddr(Packets().ParsedPackets[kParsedAck]), (Ip4{10, 0, 0, 80}));
}

TEST_F(DhcpExchangeTest, LeaseWithoutOption1GetsTheNaturalMask) {
  for (const auto &[address, mask] : std::vector<std::pair<Ip4, Ip4>>{
           {{10, 0, 0, 50}, {255, 0, 0, 0}},
           {{172, 16, 5, 5}, {255, 255, 0, 0}},
           {{192, 168, 1, 9}, {255, 255, 255, 0}},
       }) {
    SCOPED_TRACE(int(address[0]));
    server_->config().offer = address;
    server_->config().mask.reset();
    server_->config().router.reset();
    Instance()->Mode.ArpCacheEntries = 0;
    ASSERT_EQ(Discover(), EFI_SUCCESS);
    EXPECT_EQ(Mask(), mask);
  }
  // Option 1 in the ACK only: the ACK's mask.
  server_->config().offer = kLease;
  server_->Shape = [](const DhcpSeen &request, std::optional<DhcpMessage> &reply) {
    if (TypeOf(request) == 3) reply->Set(1, {255, 255, 255, 128});
  };
  ASSERT_EQ(Discover(), EFI_SUCCESS);
  EXPECT_EQ(Mask(), (Ip4{255, 255, 255, 128}));
}

TEST_F(DhcpExchangeTest, AddressInUseIsDeclined) {
  peers::Station *owner = AddStation(kLease, 7);  // answers ARP for the offered address
  (void)owner;
  EXPECT_EQ(Discover(), EFI_NO_RESPONSE);
  const auto declines = SentOfType(4);
  ASSERT_EQ(declines.size(), 3u);
  EXPECT_EQ(*declines[0].message.Option(50), (Bytes{10, 0, 0, 50}));
  EXPECT_EQ(*declines[0].message.Option(54), (Bytes{10, 0, 0, 1}));
  EXPECT_EQ(declines[0].message.xid, 0u);
  // No route to the server without an address: broadcast.
  EXPECT_EQ(declines[0].destination, peers::kBroadcastIp);
  EXPECT_EQ(declines[0].source, kLease);
  EXPECT_EQ(declines[0].message.Option(60), nullptr);
  EXPECT_FALSE(Packets().StationIpSet);
}

// ---- Replies no client should take ----

// Sends raw UDP from the server station with any payload and checksum.
void SendRawUdp(peers::Station *from, const Bytes &payload, std::optional<uint16_t> checksum = std::nullopt) {
  peers::UdpFields udp;
  udp.sourcePort = 67;
  udp.destinationPort = 68;
  udp.checksum = checksum;
  peers::Ipv4Fields ip;
  ip.source = from->Ip();
  ip.destination = peers::kBroadcastIp;
  from->SendIpv4(peers::kBroadcastMac, ip, peers::BuildUdp(ip.source, ip.destination, udp, payload));
}

TEST_F(DhcpExchangeTest, ForgedRepliesAreDroppedAndTheGenuineOfferBinds) {
  server_->Shape = [this](const DhcpSeen &request, std::optional<DhcpMessage> &reply) {
    if (TypeOf(request) != 1) return;
    const DhcpMessage good = *reply;
    auto forged = [&](auto change) {
      DhcpMessage m = good;
      change(m);
      server_->Send(m, {});
    };
    forged([](DhcpMessage &m) { m.op = 1; });
    forged([](DhcpMessage &m) { m.xid ^= 0x10000; });
    forged([](DhcpMessage &m) { m.chaddr[6] = 1; });  // right 6 bytes, nonzero padding
    forged([](DhcpMessage &m) { m.yiaddr = {224, 0, 0, 5}; });
    forged([](DhcpMessage &m) { m.yiaddr = {240, 0, 0, 1}; });
    // Addresses no host may take, which would score as public.
    forged([](DhcpMessage &m) { m.yiaddr = {127, 0, 0, 1}; });
    forged([](DhcpMessage &m) { m.yiaddr = {0, 1, 2, 3}; });
    forged([](DhcpMessage &m) { m.cookie = false; });
    forged([](DhcpMessage &m) { m.rawOptions = {3, 200, 1, 2}; m.end = false; m.minimumSize = 0; });
    forged([](DhcpMessage &m) { m.yiaddr = {255, 255, 255, 255}; m.Set(1, {0, 0, 0, 0}); });
    forged([](DhcpMessage &m) { m.yiaddr = {0, 0, 0, 0}; });
    forged([](DhcpMessage &m) { m.Set(53, {}); m.yiaddr = {0, 0, 0, 0}; });  // empty option 53
    forged([](DhcpMessage &m) { m.Set(53, {6}); });
    // Too short for the fixed fields, and a bad UDP checksum on a genuine-looking offer.
    SendRawUdp(peer_.get(), Bytes(100, 2));
    SendRawUdp(peer_.get(), peers::EncodeDhcp(good), 0x1234);
    for (int i = 0; i < 200; ++i) forged([&](DhcpMessage &m) { m.xid = good.xid + 1 + i; });
  };
  ASSERT_EQ(Discover(), EFI_SUCCESS);
  EXPECT_EQ(StationIp(), kLease);
  EXPECT_EQ(SentOfType(1).size(), 1u) << "the forged replies did not end the first window";
  EXPECT_EQ(DhcpDrops(kDhcpDropNotReply), 1u);
  EXPECT_EQ(DhcpDrops(kDhcpDropXid), 201u);
  EXPECT_EQ(DhcpDrops(kDhcpDropChaddr), 1u);
  EXPECT_EQ(DhcpDrops(kDhcpDropYiaddr), 5u);  // 224.0.0.5, 240.0.0.1, 127.0.0.1, 0.1.2.3, 255.255.255.255
  EXPECT_EQ(DhcpDrops(kDhcpDropMalformed), 3u);
  // The zero and broadcast yiaddr, the empty option 53 and the NAK were read and passed over.
  EXPECT_EQ(SentOfType(3).size(), 1u);
  EXPECT_EQ(*SentOfType(3)[0].message.Option(50), (Bytes{10, 0, 0, 50}));
}

// A long datagram of another transaction arrives before every genuine reply,
// which is short and has no END: nothing of the long one's tail is read as
// part of the genuine one, in the kept offer or in the ACK.
TEST_F(DhcpExchangeTest, BytesPastAReplyAreNeverItsOptions) {
  server_->Shape = [this](const DhcpSeen &request, std::optional<DhcpMessage> &reply) {
    if (!reply) return;
    DhcpMessage stale = *reply;
    stale.xid ^= 0x8000;
    stale.Set(224, Bytes(250, 0));
    stale.Set(225, Bytes(250, 0));
    stale.Set(67, {'s', 't', 'a', 'l', 'e'});
    stale.Set(3, {10, 0, 0, 99});
    server_->Send(stale, request.sourceMac);
    reply->end = false;
    reply->minimumSize = 0;
  };
  ASSERT_EQ(Discover(), EFI_SUCCESS);
  EXPECT_EQ(DhcpDrops(kDhcpDropXid), 2u);
  const PacketSlot &ack = Packets().ParsedPackets[kParsedAck];
  const size_t length = static_cast<size_t>(UINT64{ack.length});
  ASSERT_GT(length, 240u);
  ASSERT_LT(length, 300u);
  EXPECT_EQ(Bytes(ack.packet.Raw + length, ack.packet.Raw + sizeof(DhcpPacket)),
            Bytes(sizeof(DhcpPacket) - length, 0));
  // One router, the server: not the stale datagram's.
  ASSERT_EQ(Instance()->Mode.RouteTableEntries, 1u);
  EXPECT_EQ(Ip4Of(Instance()->Mode.RouteTable[0].GwAddr), kPeerIp);
  EXPECT_EQ(GetBootFileName(&Packets().ParsedPackets[kParsedAck], nullptr), nullptr);
}

TEST_F(DhcpExchangeTest, OversizedDatagramDoesNotEndTheWindow) {
  server_->Shape = [this](const DhcpSeen &request, std::optional<DhcpMessage> &reply) {
    if (TypeOf(request) != 1) return;
    Bytes big = peers::EncodeDhcp(*reply);
    big.resize(1400 + 200, 0);  // beyond a DhcpPacket, fragmented by the peer
    peers::Ipv4Fields ip;
    ip.source = peer_->Ip();
    ip.destination = peers::kBroadcastIp;
    ip.identification = 77;
    peers::UdpFields udp;
    udp.sourcePort = 67;
    udp.destinationPort = 68;
    const Bytes payload = peers::BuildUdp(ip.source, ip.destination, udp, big);
    peer_->SendFragments(peers::kBroadcastMac, ip, payload, peers::SplitFragments(payload.size(), 1400));
  };
  ASSERT_EQ(Discover(), EFI_SUCCESS);
  EXPECT_EQ(DhcpDrops(kDhcpDropOversize), 1u);
  EXPECT_EQ(SentOfType(1).size(), 1u);
}

TEST_F(DhcpExchangeTest, IcmpErrorQuotingTheDiscoverDoesNotEndTheWindow) {
  server_->Shape = [this](const DhcpSeen &request, std::optional<DhcpMessage> &) {
    if (TypeOf(request) != 1) return;
    const auto frame = peers::ParseEthernet(nic_->sent.back().bytes);
    ASSERT_TRUE(frame.has_value());
    peer_->SendIcmpError(request.sourceMac, peers::kBroadcastIp, 3, 3, frame->payload);
  };
  ASSERT_EQ(Discover(), EFI_SUCCESS);
  EXPECT_EQ(SentOfType(1).size(), 1u);
  EXPECT_EQ(StationIp(), kLease);
  // Sent to the broadcast address, it is refused by the packet path before DHCP sees it.
  EXPECT_EQ(Instance()->NetDrops[kDropIcmpForeign], 1u);
}

// The peer's own encoder, which every expectation above leans on.
TEST(DhcpPeerCodec, FieldsAtTheirOffsetsAndBoundedDecode) {
  DhcpMessage m;
  m.xid = 0x01020304;
  m.secs = 0x0506;
  m.yiaddr = {10, 0, 0, 9};
  m.chaddr[0] = 0x52;
  m.Set(53, {2});
  const Bytes b = peers::EncodeDhcp(m);
  ASSERT_EQ(b.size(), 300u);
  EXPECT_EQ(Bytes(b.begin(), b.begin() + 10), (Bytes{2, 1, 6, 0, 1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(Bytes(b.begin() + 16, b.begin() + 20), (Bytes{10, 0, 0, 9}));
  EXPECT_EQ(b[28], 0x52);
  EXPECT_EQ(Bytes(b.begin() + 236, b.begin() + 244), (Bytes{99, 130, 83, 99, 53, 1, 2, 255}));
  const auto back = peers::DecodeDhcp(b);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->xid, m.xid);
  EXPECT_EQ(*back->Option(53), Bytes{2});
  Bytes cut(b.begin(), b.begin() + 242);  // option 53 cut after its length byte
  EXPECT_FALSE(peers::DecodeDhcp(cut).has_value());
  EXPECT_FALSE(peers::DecodeDhcp(Bytes(b.begin(), b.begin() + 239)).has_value());
}

TEST_F(DhcpExchangeTest, BuffersAndArguments) {
  EXPECT_EQ(WithBuffers([](ProtocolInstance *in) {
              UINT16 port = 67;
              const UINT8 ip[4] = {1, 2, 3, 4};
              EXPECT_EQ(SendDhcpMessage(in, nullptr, &port, nullptr, nullptr), EFI_INVALID_PARAMETER);
              EXPECT_EQ(SendDhcpMessage(in, ip, nullptr, nullptr, nullptr), EFI_INVALID_PARAMETER);
              PacketSlot *slot = &in->ReplySlots[0];
              EXPECT_EQ(ReceiveDhcpReply(in, nullptr, 32, ip, &port, nullptr, &port, slot, nullptr),
                        EFI_INVALID_PARAMETER);
              EXPECT_EQ(ReceiveDhcpReply(in, nullptr, 0, nullptr, &port, nullptr, &port, slot, nullptr),
                        EFI_INVALID_PARAMETER);
              EXPECT_EQ(ReceiveDhcpReply(in, nullptr, 1, nullptr, nullptr, nullptr, &port, slot, nullptr),
                        EFI_INVALID_PARAMETER);
              EXPECT_EQ(ReceiveDhcpReply(in, nullptr, 3, nullptr, nullptr, nullptr, nullptr, slot, nullptr),
                        EFI_INVALID_PARAMETER);
              EXPECT_EQ(ReceiveDhcpReply(in, nullptr, 15, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
                        EFI_INVALID_PARAMETER);
              EXPECT_EQ(KeepPacket(in, 6, slot), nullptr);
              return EFI_SUCCESS;
            }),
            EFI_SUCCESS);
  // Every allocation of AllocateDhcpBuffers failing in turn leaves nothing behind.
  for (int nth = 0; nth < 3; ++nth) {
    SCOPED_TRACE(nth);
    const size_t pool = fw_.LivePoolBlocks();
    Locked([&](ProtocolInstance *in) {
      FreeDhcpBuffers(in);
      FreeAndNull(in->Packets.ParsedPackets);
      const size_t before = fw_.LivePoolBlocks();
      fw_.FailAllocation(nth);
      EXPECT_FALSE(AllocateDhcpBuffers(in));
      fw_.FailAllocation(-1);
      EXPECT_EQ(fw_.LivePoolBlocks(), before);
      EXPECT_EQ(in->DhcpTxPacket, nullptr);
      EXPECT_EQ(in->ReplySlots, nullptr);
      return 0;
    });
    (void)pool;
  }
  buffers_ = false;
}

}  // namespace
}  // namespace orvale_test
