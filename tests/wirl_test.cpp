// The WIRL boot through the Dhcp member (BootMode 16) and the Wirl member's
// image-list cycle, against a scripted DHCP server and two WIRL boot servers.
// Client messages are checked byte for byte against hand-written option areas.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "tests/dhcp_test_support.h"
#include "dhcp/codec.h"
#include "wirl/wirl.h"

namespace orvale_test {
namespace {

using peers::Bytes;
using peers::DhcpMessage;
using peers::DhcpSeen;
using peers::Ip4;

constexpr Ip4 kWirlA = {10, 0, 0, 5};
constexpr Ip4 kWirlB = {10, 0, 0, 6};
constexpr EFI_GUID kIpAddrVendor = {0xC3956B7A, 0x2E04, 0x4A8F, {0x8D, 0x61, 0xF0, 0x7B, 0x25, 0xC9, 0xE4, 0x18}};
constexpr uint64_t kTenth = hosted::kTicksPerSecond / 10;

// The option area every INFORM starts with, for the client MAC 52:54:00:12:34:56
// and the fallback model name.
Bytes InformHead() {
  Bytes b = {
      0x35, 0x01, 0x08,                                      // message type INFORM
      0x37, 0x02, 0x2B, 0x3C,                                // parameter request list 43, 60
      0x39, 0x02, 0x05, 0xDC,                                // maximum message size 1500
      0x3D, 0x07, 0x01, 0x52, 0x54, 0x00, 0x12, 0x34, 0x56,  // client identifier
      0x3C, 0x13,                                            // vendor class, 19 bytes:
  };
  const Bytes v = WirlVendorClass();
  b.insert(b.end(), v.begin(), v.end());
  return b;
}
Bytes Concat(Bytes a, const Bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class WirlTest : public DhcpTest {
 protected:
  void SetUp() override {
    DhcpTest::SetUp();
    if (HasFatalFailure()) return;
    a_ = std::make_unique<peers::WirlServer>(AddStation(kWirlA, 5), peers::WirlServer::Config{});
    peers::WirlServer::Config b;
    b.priority = 9;
    b.defaultImage = std::array<uint8_t, 4>{0x83, 0, 0, 2};
    b.bootFile = {'b', '.', 'e', 'f', 'i'};
    b_ = std::make_unique<peers::WirlServer>(AddStation(kWirlB, 6), b);
    Packets().BootMode = ORVALE_BOOT_MODE_WIRL;
    Packets().AutoSelect = 1;
  }
  void TearDown() override {
    a_.reset();
    b_.reset();
    DhcpTest::TearDown();
  }

  EFI_STATUS RunDhcp() { return Proto()->Dhcp(Proto(), FALSE); }

  // The UDP payloads the driver sent to a server port, raw, with the time sent.
  struct Raw {
    Bytes data;
    uint16_t port = 0;
    Ip4 destination{};
    uint64_t time = 0;
  };
  std::vector<Raw> RawSent() const {
    std::vector<Raw> out;
    for (const hosted::Frame &f : nic_->sent) {
      auto eth = peers::ParseEthernet(f.bytes);
      if (!eth || eth->etherType != peers::kEtherIpv4) continue;
      auto ip = peers::ParseIpv4(eth->payload);
      if (!ip || ip->protocol != peers::kProtoUdp) continue;
      auto udp = peers::ParseUdp(ip->source, ip->destination, ip->payload);
      if (!udp || udp->sourcePort != 68) continue;
      EXPECT_TRUE(udp->checksumOk);
      out.push_back({udp->data, udp->destinationPort, ip->destination, f.time});
    }
    return out;
  }
  // The option area of a sent message up to and including END.
  static Bytes OptionArea(const Raw &r) {
    EXPECT_EQ(r.data.size(), 548u);
    Bytes area(r.data.begin() + 240, r.data.end());
    size_t at = 0;
    while (at < area.size() && area[at] != 0xFF) at += area[at] == 0 ? 1 : 2 + area[at + 1];
    area.resize(std::min(area.size(), at + 1));
    return area;
  }
  std::vector<Raw> Informs() const {
    std::vector<Raw> out;
    for (const Raw &r : RawSent())
      if (r.data.size() > 242 && r.data[240] == 0x35 && r.data[242] == 8) out.push_back(r);
    return out;
  }
  std::optional<Bytes> IpAddrVariable() const {
    return fw_.GetVariable(u"IpAddr", kIpAddrVendor);
  }

  std::unique_ptr<peers::WirlServer> a_, b_;
};

// ---- The whole boot ----

TEST_F(WirlTest, WholeBootHighestPriorityAfterThreeWindows) {
  const uint64_t start = fw_.Now();
  ASSERT_EQ(RunDhcp(), EFI_SUCCESS);

  const auto raw = RawSent();
  ASSERT_EQ(raw.size(), 6u);  // DISCOVER, REQUEST, LIST x3, SELECT
  const Bytes discover43 = {0x2B, 0x04, 0x02, 0x02, 0x01, 0x01, 0xFF};
  const Bytes discoverArea = OptionArea(raw[0]);
  ASSERT_GE(discoverArea.size(), discover43.size());
  EXPECT_EQ(Bytes(discoverArea.end() - 7, discoverArea.end()), discover43);
  const Bytes requestArea = OptionArea(raw[1]);
  const Bytes request43 = {0x32, 0x04, 10, 0, 0, 50,   // requested address
                           0x36, 0x04, 10, 0, 0, 1,    // server identifier
                           0x2B, 0x04, 0x02, 0x02, 0x01, 0x01, 0xFF};
  EXPECT_EQ(Bytes(requestArea.end() - request43.size(), requestArea.end()), request43);

  const Bytes list = Concat(InformHead(), {0x2B, 0x07, 0x01, 0x01, 0x01, 0x02, 0x02, 0x01, 0x01, 0xFF});
  const uint32_t xid = (raw[0].data[4] << 24) | (raw[0].data[5] << 16) | (raw[0].data[6] << 8) | raw[0].data[7];
  const uint16_t listSecs[] = {4, 5, 7};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const Raw &r = raw[2 + i];
    EXPECT_EQ(OptionArea(r), list);
    EXPECT_EQ(r.port, 67);  // WirlServerPort 0: the DHCP server port
    EXPECT_EQ(r.destination, peers::kBroadcastIp);
    EXPECT_EQ(Bytes(r.data.begin() + 12, r.data.begin() + 16), (Bytes{10, 0, 0, 50}));  // ciaddr
    EXPECT_EQ(uint32_t((r.data[4] << 24) | (r.data[5] << 16) | (r.data[6] << 8) | r.data[7]), xid + 1);
    EXPECT_EQ((r.data[8] << 8) | r.data[9], listSecs[i]);
  }
  // SELECT names server B's default image and server B.
  const Bytes select = Concat(InformHead(), {0x2B, 0x13, 0x01, 0x01, 0x02, 0x02, 0x02, 0x01, 0x01,  //
                                             0x08, 0x04, 0x83, 0x00, 0x00, 0x02,                    //
                                             0x03, 0x04, 10, 0, 0, 6, 0xFF});
  EXPECT_EQ(OptionArea(raw[5]), select);
  EXPECT_EQ(raw[5].time - raw[2].time, 73 * kTenth);  // windows of 1.1, 2.1 and 4.1 s
  (void)start;

  // Both servers acknowledged the broadcast SELECT; A's is not from the chosen server.
  EXPECT_EQ(a_->SeenOfKind(2).size(), 1u);
  EXPECT_GE(Drops(kDropSource), 1u);
  EXPECT_TRUE(Packets().PxeReplyReceived);
  EXPECT_EQ(Bytes(Packets().PxeReply.Raw + 240, Packets().PxeReply.Raw + 243), (Bytes{0x35, 0x01, 0x05}));
  UINT32 length = 0;
  UINT8 *file = GetBootFileName(&Packets().ParsedPackets[kParsedReply], &length);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(Bytes(file, file + length), (Bytes{'b', '.', 'e', 'f', 'i'}));
  UINTN size = sizeof(DhcpPacket);
  DhcpPacket copy;
  EXPECT_EQ(Proto()->GetWirlReply(Proto(), &size, &copy), EFI_SUCCESS);

  EXPECT_TRUE(Packets().DhcpDiscoverValid);
  EXPECT_TRUE(Packets().DhcpAckReceived);
  EXPECT_EQ(Yiaddr(Packets().ParsedPackets[kParsedAck]), kLease);
  EXPECT_EQ(Bytes(Packets().DhcpAck.Raw + 16, Packets().DhcpAck.Raw + 20), (Bytes{10, 0, 0, 50}));
  uint32_t attributes = 0;
  EXPECT_EQ(fw_.GetVariable(u"IpAddr", kIpAddrVendor, &attributes), (Bytes{10, 0, 0, 50}));
  EXPECT_EQ(attributes, uint32_t(EFI_VARIABLE_BOOTSERVICE_ACCESS));
  EXPECT_EQ(Instance()->State.IpFilter.Filters, EFI_PXE_BASE_CODE_IP_FILTER_STATION_IP);
  EXPECT_EQ(Instance()->DhcpTxPacket, nullptr);
  EXPECT_EQ(Instance()->ReplySlots, nullptr);

  // A second call runs no discovery: LIST and SELECT only.
  nic_->sent.clear();
  ASSERT_EQ(Proto()->Dhcp(Proto(), TRUE), EFI_SUCCESS);
  EXPECT_TRUE(SentOfType(1).empty());
  EXPECT_EQ(Informs().size(), 4u);
}

TEST_F(WirlTest, SelectedImageOfKind3EndsTheListWindow) {
  Packets().FilterImageKind = 1;
  b_->config().selectedImage = std::array<uint8_t, 4>{0x03, 0, 0, 9};
  ASSERT_EQ(RunDhcp(), EFI_SUCCESS);
  const auto raw = RawSent();
  ASSERT_EQ(raw.size(), 4u);  // DISCOVER, REQUEST, one LIST, SELECT
  const Bytes discoverArea = OptionArea(raw[0]);
  const Bytes discover43 = {0x2B, 0x08, 0x02, 0x02, 0x01, 0x01, 0x0B, 0x02, 0x03, 0x00, 0xFF};
  EXPECT_EQ(Bytes(discoverArea.end() - discover43.size(), discoverArea.end()), discover43);
  EXPECT_EQ(OptionArea(raw[2]), Concat(InformHead(), {0x2B, 0x0B, 0x01, 0x01, 0x01, 0x02, 0x02, 0x01, 0x01,  //
                                                      0x0B, 0x02, 0x03, 0x00, 0xFF}));
  EXPECT_EQ(OptionArea(raw[3]), Concat(InformHead(), {0x2B, 0x13, 0x01, 0x01, 0x02, 0x02, 0x02, 0x01, 0x01,  //
                                                      0x08, 0x04, 0x03, 0x00, 0x00, 0x09,                    //
                                                      0x03, 0x04, 10, 0, 0, 6, 0xFF}));
  // Ended at once, selected when the first window closes.
  EXPECT_LT(raw[3].time - raw[2].time, kTenth);
}

TEST_F(WirlTest, UseDefaultImageNeverSelectsSubOption8) {
  Packets().UseDefaultImage = 1;
  b_->config().selectedImage = std::array<uint8_t, 4>{0x03, 0, 0, 9};
  ASSERT_EQ(RunDhcp(), EFI_SUCCESS);
  const auto informs = Informs();
  ASSERT_EQ(informs.size(), 4u);
  const Bytes area = OptionArea(informs[3]);
  EXPECT_EQ(Bytes(area.end() - 13, area.end() - 7), (Bytes{0x08, 0x04, 0x83, 0x00, 0x00, 0x02}));
}

TEST_F(WirlTest, ListRepliesWithoutAcceptableDefaultImageGiveNoResponse) {
  a_->config().defaultImage.reset();                                 // no sub-option 7
  b_->config().defaultImage = std::array<uint8_t, 4>{0x04, 0, 0, 2};  // kind 4
  Packets().FilterImageKind = 1;
  ASSERT_EQ(RunDhcp(), EFI_NO_RESPONSE);
  const auto informs = Informs();
  ASSERT_EQ(informs.size(), 5u);  // five LISTs, no SELECT
  EXPECT_EQ(informs[4].time - informs[0].time, (11 + 21 + 41 + 81) * kTenth);
  EXPECT_EQ(DhcpDrops(kDhcpDropRefused), 10u);
  EXPECT_FALSE(Packets().PxeReplyReceived);
}

TEST_F(WirlTest, RefusedSelectEndsItsWindowAndListingResumesWithAList) {
  b_->config().refuseSelect = true;
  a_->config().answerList = false;
  ASSERT_EQ(RunDhcp(), EFI_NO_RESPONSE);
  const auto informs = Informs();
  auto kind = [](const Raw &r) { return r.data[240 + 3 + 4 + 4 + 9 + 21 + 4]; };  // sub-option 1 value
  ASSERT_GE(informs.size(), 5u);
  EXPECT_EQ(kind(informs[3]), 2);  // the first SELECT, after three LIST windows
  EXPECT_EQ(kind(informs[4]), 1) << "the transmission after a refused SELECT is a LIST";
  // The refused SELECT's window ran to its end (1.1 s).
  EXPECT_EQ(informs[4].time - informs[3].time, 11 * kTenth);
  EXPECT_FALSE(Packets().PxeReplyReceived);
}

TEST_F(WirlTest, SelectUnansweredGivesNoResponseInVirtualTime) {
  a_->config().answerSelect = false;
  b_->config().answerSelect = false;
  ASSERT_EQ(RunDhcp(), EFI_NO_RESPONSE);
  const auto informs = Informs();
  ASSERT_EQ(informs.size(), 8u);  // three LISTs, five SELECTs
  EXPECT_EQ(fw_.Now() - informs[3].time, (11 + 21 + 41 + 81 + 161) * kTenth);
  EXPECT_FALSE(Packets().PxeReplyReceived);
}

TEST_F(WirlTest, ExplicitSelectionWithoutAcknowledgementPublishesNothing) {
  Packets().AutoSelect = 0;
  Packets().ExplicitSelect = 1;
  Packets().WirlServerPort = 4011;
  Packets().SelectImage = 0x07000083;  // bytes 83 00 00 07 as stored
  const UINT8 server[4] = {10, 0, 0, 6};
  std::memcpy(Packets().SelectServer, server, 4);
  Instance()->State.AlternatePortMode = 1;
  a_->config().answerList = false;
  b_->config().answerList = false;
  ASSERT_EQ(RunDhcp(), EFI_NO_RESPONSE);
  const auto informs = Informs();
  ASSERT_EQ(informs.size(), 6u);  // one LIST, five SELECTs
  EXPECT_EQ(informs[0].port, 7799);
  EXPECT_EQ(OptionArea(informs[0]), Concat(InformHead(), {0x2B, 0x07, 0x01, 0x01, 0x01, 0x02, 0x02, 0x01, 0x01, 0xFF}));
  EXPECT_EQ(informs[1].port, 4011);
  EXPECT_EQ(OptionArea(informs[1]), Concat(InformHead(), {0x2B, 0x13, 0x01, 0x01, 0x02, 0x02, 0x02, 0x01, 0x01,  //
                                                          0x08, 0x04, 0x83, 0x00, 0x00, 0x07,                    //
                                                          0x03, 0x04, 10, 0, 0, 6, 0xFF}));
  EXPECT_FALSE(Packets().PxeReplyReceived);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(Packets().PxeReply.Raw[i], 0);
}

TEST_F(WirlTest, ExplicitSelectionAcknowledged) {
  Packets().AutoSelect = 0;
  Packets().ExplicitSelect = 1;
  Packets().WirlServer = 0x0600000A;  // 10.0.0.6 only
  Packets().SelectImage = 0x07000083;
  const UINT8 server[4] = {10, 0, 0, 6};
  std::memcpy(Packets().SelectServer, server, 4);
  ASSERT_EQ(RunDhcp(), EFI_SUCCESS);
  EXPECT_TRUE(a_->SeenOfKind(1).empty()) << "the LIST went to WirlServer only";
  EXPECT_TRUE(Packets().PxeReplyReceived);
  EXPECT_EQ(Informs()[0].destination, kWirlB);
}

TEST_F(WirlTest, NeitherAutoNorExplicitIsRefusedAfterTheDhcpStep) {
  Packets().AutoSelect = 0;
  Packets().ExplicitSelect = 0;
  ASSERT_EQ(RunDhcp(), EFI_INVALID_PARAMETER);
  EXPECT_EQ(StationIp(), kLease);
  EXPECT_EQ(IpAddrVariable(), (Bytes{10, 0, 0, 50}));
  EXPECT_TRUE(Informs().empty());
}

TEST_F(WirlTest, WirlOfferIsPublishedWithoutListOrSelect) {
  server_->config().wirlClass = true;
  server_->config().vendorOptions = {1, 1, 1};
  server_->config().bootFile = {'o', '.', 'e', 'f', 'i'};
  ASSERT_EQ(RunDhcp(), EFI_SUCCESS);
  EXPECT_TRUE(Informs().empty());
  EXPECT_TRUE(Packets().PxeReplyReceived);
  EXPECT_EQ(Packets().PxeReply.Raw[240 + 2], 2);  // the OFFER itself
}

TEST_F(WirlTest, PlainDhcpSkipsTheWirlPhase) {
  Packets().PlainDhcp = 1;
  ASSERT_EQ(RunDhcp(), EFI_SUCCESS);
  EXPECT_TRUE(Informs().empty());
  EXPECT_EQ(StationIp(), kLease);
}

TEST_F(WirlTest, LinkLocalAddressWhenNoFrameCanBeSent) {
  nic_->faults.transmitNeverCompletes = true;
  // The LIST cannot be sent either; the address is already there.
  EXPECT_EQ(RunDhcp(), EFI_TIMEOUT);
  const Ip4 ip = StationIp();
  EXPECT_EQ(ip[0], 169);
  EXPECT_EQ(ip[1], 254);
  EXPECT_GE(ip[2], 1);
  EXPECT_LE(ip[2], 254);
  EXPECT_LE(ip[3], 254);
  EXPECT_EQ(IpAddrVariable(), (Bytes{ip[0], ip[1], ip[2], ip[3]}));
  EXPECT_EQ(Mask(), (Ip4{255, 255, 0, 0}));
  // The synthetic reply: op 2, htype 1, hlen 6, yiaddr, chaddr, cookie, 53 = 5, 1 = 255.255.0.0, END.
  const UINT8 *p = Packets().DhcpAck.Raw;
  EXPECT_EQ(Bytes(p, p + 3), (Bytes{2, 1, 6}));
  EXPECT_EQ(Bytes(p + 16, p + 20), (Bytes{ip[0], ip[1], ip[2], ip[3]}));
  EXPECT_EQ(Bytes(p + 28, p + 34), (Bytes{0x52, 0x54, 0x00, 0x12, 0x34, 0x56}));
  EXPECT_EQ(Bytes(p + 236, p + 250), (Bytes{99, 130, 83, 99, 53, 1, 5, 1, 4, 255, 255, 0, 0, 255}));
  EXPECT_EQ(p[250], 0);
  EXPECT_TRUE(Packets().DhcpAckReceived);
}

TEST_F(WirlTest, ForgedListRepliesDoNotEndTheWindow) {
  a_->config().answerList = false;
  b_->Shape = [this](const DhcpSeen &request, std::optional<DhcpMessage> &reply) {
    if (peers::WirlTypeOf(request.message) != 1) return;
    // Sent ahead of the genuine reply, from the server's own station.
    peers::Station *station = extra_[1].get();
    auto send = [&](const DhcpMessage &m, std::optional<uint16_t> checksum = std::nullopt) {
      peers::UdpFields udp;
      udp.sourcePort = 67;
      udp.destinationPort = 68;
      udp.checksum = checksum;
      peers::Ipv4Fields ip;
      ip.source = kWirlB;
      ip.destination = kLease;
      station->SendIpv4(request.sourceMac, ip, peers::BuildUdp(ip.source, ip.destination, udp, peers::EncodeDhcp(m)));
    };
    send(*reply, 0x1234);  // bad UDP checksum
    DhcpMessage m = *reply;
    m.xid += 1;
    send(m);
    m = *reply;
    m.Set(43, {1, 1, 1, 7, 9, 0x83});  // sub-option 7 running past its option
    send(m);
    m = *reply;
    m.Set(60, {'Z', 'E', 'K', 'O', 'W', 'I', 'R', 'L'});  // 8 bytes: not the WIRL class
    send(m);
  };
  ASSERT_EQ(RunDhcp(), EFI_SUCCESS);
  EXPECT_EQ(Informs().size(), 4u);  // three LIST windows, one SELECT
  EXPECT_EQ(DhcpDrops(kDhcpDropXid), 3u);
  EXPECT_EQ(DhcpDrops(kDhcpDropMalformed), 3u);
  EXPECT_EQ(DhcpDrops(kDhcpDropRefused), 3u);
}

TEST_F(WirlTest, LinkLocalGivesUpAfterHundredTakenAddresses) {
  // A host that claims every address it is asked about.
  peers::Station *greedy = AddStation({10, 0, 0, 99}, 9);
  greedy->OnFrame = [greedy](const hosted::Frame &frame) {
    auto eth = peers::ParseEthernet(frame.bytes);
    if (!eth || eth->etherType != peers::kEtherArp) return;
    auto arp = peers::ParseArp(eth->payload);
    if (arp && arp->operation == 1) greedy->SendArpReply(arp->senderMac, arp->senderIp, arp->targetIp);
  };
  const uint64_t start = fw_.Now();
  EXPECT_EQ(WithBuffers([](ProtocolInstance *in) { return AssignLinkLocalAddress(in); }), EFI_OUT_OF_RESOURCES);
  std::vector<peers::ParsedArp> probes;
  for (const auto &a : peer_->ReceivedArp())
    if (a.operation == 1) probes.push_back(a);
  EXPECT_EQ(probes.size(), 100u);
  for (const auto &a : probes) {
    EXPECT_EQ(a.targetIp[0], 169);
    EXPECT_EQ(a.targetIp[1], 254);
  }
  EXPECT_LT(fw_.Now() - start, 60 * hosted::kTicksPerSecond);
  EXPECT_FALSE(Packets().StationIpSet);
}

// ---- The Dhcp member ----

TEST_F(WirlTest, DhcpMemberEdges) {
  // Buffers not obtainable: EFI_OUT_OF_RESOURCES, nothing sent or kept.
  for (int nth = 0; nth < 3; ++nth) {
    const size_t pool = fw_.LivePoolBlocks();
    fw_.FailAllocation(nth);
    EXPECT_EQ(RunDhcp(), EFI_OUT_OF_RESOURCES) << nth;
    fw_.FailAllocation(-1);
    EXPECT_EQ(fw_.LivePoolBlocks(), pool) << nth;
    EXPECT_TRUE(nic_->sent.empty());
  }
  // A failed discovery still leaves the station-only filter, whatever the caller had set.
  EFI_PXE_BASE_CODE_IP_FILTER promiscuous{};
  promiscuous.Filters = EFI_PXE_BASE_CODE_IP_FILTER_PROMISCUOUS;
  ASSERT_EQ(Proto()->SetIpFilter(Proto(), &promiscuous), EFI_SUCCESS);
  server_->config().answerDiscover = false;
  EXPECT_EQ(RunDhcp(), EFI_NO_RESPONSE);
  EXPECT_EQ(Instance()->State.IpFilter.Filters, EFI_PXE_BASE_CODE_IP_FILTER_STATION_IP);
  EXPECT_FALSE(Packets().DhcpDiscoverValid);
  // Any other BootMode takes the PXE path: these servers offer no PXE boot
  // information, so it ends without a usable offer and frees its buffers.
  Packets().BootMode = 0;
  const size_t pool = fw_.LivePoolBlocks();
  EXPECT_EQ(RunDhcp(), EFI_NO_RESPONSE);
  EXPECT_LE(fw_.LivePoolBlocks(), pool + 1);  // ParsedPackets persists until Stop
  EXPECT_EQ(Instance()->ReplySlots, nullptr);
  ExpectTplRestored();
  EXPECT_EQ(Binding()->Lock.HeldCount, 0u);
}

// LIST and SELECT replies that must not win, each row against the same two
// servers (A priority 5 at 10.0.0.5, B priority 9 at 10.0.0.6): the status
// and the server the last SELECT named (none: no SELECT was sent).
TEST_F(WirlTest, HostileListAndSelectRepliesDoNotWin) {
  peers::Station *stationA = extra_[0].get();
  peers::Station *stationB = extra_[1].get();
  auto sendFrom = [](peers::Station *from, const DhcpSeen &to, const DhcpMessage &m) {
    from->SendUdp(to.sourceMac, to.message.ciaddr, 67, 68, peers::EncodeDhcp(m));
  };
  struct Row {
    const char *name;
    std::function<void()> setUp;
    EFI_STATUS status;
    std::optional<Ip4> selected;
  };
  const std::vector<Row> rows = {
      {"a reply from a server other than WirlServer",
       [&] {
         Packets().WirlServer = 0x0500000A;  // 10.0.0.5 in network order
         a_->Shape = [&](const DhcpSeen &seen, std::optional<DhcpMessage> &reply) {
           if (!reply || peers::WirlTypeOf(seen.message) != 1) return;
           DhcpMessage other = *reply;
           other.Set(54, peers::Ip4Bytes(kWirlB));
           other.Set(43, {1, 1, 1, 4, 2, 0, 9, 7, 4, 0x83, 0, 0, 2});
           sendFrom(stationB, seen, other);
         };
       },
       EFI_SUCCESS, kWirlA},
      {"equal priorities keep the earlier", [&] { b_->config().priority = 5; }, EFI_SUCCESS, kWirlA},
      {"a reply without sub-option 4",
       [&] {
         a_->config().priority.reset();
         b_->config().answerList = false;
       },
       EFI_NO_RESPONSE, std::nullopt},
      {"sub-option 8 shorter than 4 bytes",
       [&] {
         b_->config().answerList = false;
         a_->Shape = [](const DhcpSeen &seen, std::optional<DhcpMessage> &reply) {
           if (!reply || peers::WirlTypeOf(seen.message) != 1) return;
           Bytes vendor = *reply->Option(43);
           vendor.insert(vendor.end(), {8, 3, 0x83, 0, 0});
           reply->Set(43, vendor);
         };
       },
       EFI_NO_RESPONSE, std::nullopt},
      {"a SELECT acknowledgement naming another server",
       [&] {
         a_->config().answerSelect = false;
         b_->Shape = [](const DhcpSeen &seen, std::optional<DhcpMessage> &reply) {
           if (reply && peers::WirlTypeOf(seen.message) == 2) reply->Set(54, peers::Ip4Bytes(kWirlA));
         };
       },
       EFI_NO_RESPONSE, kWirlB},
      {"a SELECT acknowledgement without a boot file",
       [&] {
         a_->config().answerSelect = false;
         b_->config().bootFile.clear();
       },
       EFI_NO_RESPONSE, kWirlB},
  };
  ASSERT_EQ(RunDhcp(), EFI_SUCCESS);  // the address; each row then lists and selects
  (void)stationA;
  auto resetServers = [&] {
    a_->config() = peers::WirlServer::Config{};
    b_->config().priority = 9;
    b_->config().answerList = true;
    b_->config().bootFile = {'b', '.', 'e', 'f', 'i'};
    a_->Shape = nullptr;
    b_->Shape = nullptr;
    Packets().WirlServer = 0;
    Packets().PxeReplyReceived = FALSE;
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    resetServers();
    row.setUp();
    nic_->sent.clear();
    EXPECT_EQ(RunDhcp(), row.status);
    std::optional<Ip4> named;
    for (const Raw &r : Informs()) {
      const auto m = peers::DecodeDhcp(r.data);
      if (!m || peers::WirlTypeOf(*m) != 2) continue;
      for (const auto &[code, value] : peers::DecodeSubOptions(*m->Option(43)))
        if (code == 3 && value.size() == 4) named = Ip4{value[0], value[1], value[2], value[3]};
    }
    EXPECT_EQ(named, row.selected);
    EXPECT_EQ(Packets().PxeReplyReceived != FALSE, row.status == EFI_SUCCESS);
  }
  resetServers();

  // A later call, too, leaves the station-only filter, whatever the caller set.
  EFI_PXE_BASE_CODE_IP_FILTER promiscuous{};
  promiscuous.Filters = EFI_PXE_BASE_CODE_IP_FILTER_PROMISCUOUS;
  ASSERT_EQ(Proto()->SetIpFilter(Proto(), &promiscuous), EFI_SUCCESS);
  ASSERT_TRUE(Packets().DhcpDiscoverValid);
  EXPECT_EQ(RunDhcp(), EFI_SUCCESS);
  EXPECT_EQ(Instance()->State.IpFilter.Filters, EFI_PXE_BASE_CODE_IP_FILTER_STATION_IP);
}

// ---- The Wirl member ----

TEST_F(WirlTest, WirlMemberCycleGathersImageLists) {
  a_->config().imageList = {Bytes(200, 0xA1), Bytes(55, 0xA2)};
  b_->config().imageList = {Bytes{1, 2, 3}};
  Packets().PlainDhcp = 1;  // the discovery still carries option 43

  ASSERT_EQ(Proto()->Wirl(Proto()), EFI_SUCCESS);  // discovery
  EXPECT_EQ(StationIp(), kLease);
  EXPECT_EQ(Packets().WirlSendListPending, 1);
  EXPECT_EQ(Packets().WirlNeedDiscovery, 0);
  EXPECT_EQ(IpAddrVariable(), (Bytes{10, 0, 0, 50}));
  const auto discovers = SentOfType(1);
  ASSERT_EQ(discovers.size(), 1u);
  EXPECT_EQ(*discovers[0].message.Option(43), (Bytes{0x02, 0x02, 0x01, 0x01}));
  EXPECT_EQ(discovers[0].message.Option(60), nullptr);
  EXPECT_EQ(Instance()->RetryTimeout, 1);

  ASSERT_EQ(Proto()->Wirl(Proto()), EFI_SUCCESS);  // LIST to 67
  ASSERT_EQ(Informs().size(), 1u);
  EXPECT_EQ(Informs()[0].port, 67);
  EXPECT_EQ(Packets().WirlCollectPending, 1);

  const uint64_t before = fw_.Now();
  ASSERT_EQ(Proto()->Wirl(Proto()), EFI_SUCCESS);  // gather: 1 x 10 ms
  EXPECT_EQ(fw_.Now() - before, 10 * hosted::kTicksPerMs);
  EXPECT_EQ(Instance()->State.AlternatePortMode, 1u);
  EXPECT_EQ(Packets().WirlStatus, EFI_SUCCESS);
  ASSERT_EQ(Packets().ImageListLength, 10u + 255 + 10 + 3);
  const UINT8 *list = Packets().ImageList;
  const Bytes recordA = {10, 0, 0, 5, 67, 0, 255, 0, 0, 0};  // server, port and length in host order
  EXPECT_EQ(Bytes(list, list + 10), recordA);
  EXPECT_EQ(list[10], 0xA1);
  EXPECT_EQ(list[10 + 199], 0xA1);
  EXPECT_EQ(list[10 + 200], 0xA2);
  EXPECT_EQ(Bytes(list + 265, list + 278), (Bytes{10, 0, 0, 6, 67, 0, 3, 0, 0, 0, 1, 2, 3}));

  ASSERT_EQ(Proto()->Wirl(Proto()), EFI_SUCCESS);  // LIST to 7799
  ASSERT_EQ(Informs().size(), 2u);
  EXPECT_EQ(Informs()[1].port, 7799);
  const uint64_t second = fw_.Now();
  ASSERT_EQ(Proto()->Wirl(Proto()), EFI_SUCCESS);  // gather: 40 ms from now on
  EXPECT_EQ(fw_.Now() - second, 40 * hosted::kTicksPerMs);
  ASSERT_EQ(Packets().ImageListLength, 2u * (10 + 255 + 10 + 3));
  EXPECT_EQ(Packets().ImageList[278 + 4], 0x77);  // 7799 = 0x1E77, host order
  EXPECT_EQ(Instance()->State.AlternatePortMode, 0u);
}

// A burst of LIST replies, each with 1 KB of image list, all recorded
// exactly; a list the caller replaced with a block of its own is appended to
// as it stands.
TEST_F(WirlTest, ImageListOfABurstIsExact) {
  b_->config().answerList = false;
  const std::vector<Bytes> pieces = {Bytes(200, 0x11), Bytes(200, 0x22), Bytes(200, 0x33), Bytes(200, 0x44),
                                     Bytes(200, 0x55)};
  constexpr int kBurst = 40;
  peers::Station *stationA = extra_[0].get();
  a_->config().imageList = pieces;
  a_->Shape = [&](const DhcpSeen &seen, std::optional<DhcpMessage> &reply) {
    if (!reply || peers::WirlTypeOf(seen.message) != 1) return;
    for (int i = 1; i < kBurst; ++i) {
      DhcpMessage copy = *reply;
      copy.Set(54, {10, 0, 0, static_cast<uint8_t>(100 + i)});
      stationA->SendUdp(seen.sourceMac, seen.message.ciaddr, 67, 68, peers::EncodeDhcp(copy));
    }
  };
  ASSERT_EQ(Proto()->Wirl(Proto()), EFI_SUCCESS);  // discovery
  ASSERT_EQ(Proto()->Wirl(Proto()), EFI_SUCCESS);  // LIST
  ASSERT_EQ(Proto()->Wirl(Proto()), EFI_SUCCESS);  // gather
  constexpr uint32_t kRecord = 10 + 5 * 200;
  ASSERT_EQ(Packets().ImageListLength, kBurst * kRecord);
  auto expectRecord = [&](const UINT8 *at, uint8_t lastServerByte, uint16_t port) {
    // Server, the LIST's port and the list's length (1000) in host order.
    EXPECT_EQ(Bytes(at, at + 10), (Bytes{10, 0, 0, lastServerByte, uint8_t(port), uint8_t(port >> 8), 0xE8, 0x03, 0, 0}));
    for (size_t p = 0; p < pieces.size(); ++p)
      EXPECT_EQ(Bytes(at + 10 + 200 * p, at + 10 + 200 * (p + 1)), pieces[p]) << p;
  };
  std::vector<uint8_t> servers;
  for (int i = 0; i < kBurst; ++i) servers.push_back(Packets().ImageList[i * kRecord + 3]);
  std::sort(servers.begin(), servers.end());
  EXPECT_EQ(servers.front(), 5);
  EXPECT_EQ(servers.back(), 100 + kBurst - 1);
  EXPECT_EQ(std::unique(servers.begin(), servers.end()), servers.end());
  for (int i = 0; i < kBurst; ++i) expectRecord(Packets().ImageList + i * kRecord, Packets().ImageList[i * kRecord + 3], 67);

  // The caller keeps the first record only, in a block of exactly its size.
  UINT8 *own = nullptr;
  ASSERT_EQ(fw_.BootServices()->AllocatePool(EfiBootServicesData, kRecord, reinterpret_cast<VOID **>(&own)),
            EFI_SUCCESS);
  std::memcpy(own, Packets().ImageList, kRecord);
  const uint8_t first = own[3];
  fw_.BootServices()->FreePool(Packets().ImageList);
  Packets().ImageList = own;
  Packets().ImageListLength = kRecord;
  a_->Shape = nullptr;
  ASSERT_EQ(Proto()->Wirl(Proto()), EFI_SUCCESS);  // LIST
  ASSERT_EQ(Proto()->Wirl(Proto()), EFI_SUCCESS);  // gather
  ASSERT_EQ(Packets().ImageListLength, 2 * kRecord);
  EXPECT_NE(Packets().ImageList, own);  // grown, not written past the caller's block
  expectRecord(Packets().ImageList, first, 67);
  expectRecord(Packets().ImageList + kRecord, 5, 7799);  // the second LIST went to 7799
}

TEST_F(WirlTest, FirstGatherWindowFollowsTheDiscoveryWindow) {
  server_->config().ignoreDiscovers = 1;  // the offer comes in the 2-second window
  ASSERT_EQ(Proto()->Wirl(Proto()), EFI_SUCCESS);
  ASSERT_EQ(Proto()->Wirl(Proto()), EFI_SUCCESS);
  const uint64_t before = fw_.Now();
  ASSERT_EQ(Proto()->Wirl(Proto()), EFI_SUCCESS);
  EXPECT_EQ(fw_.Now() - before, 20 * hosted::kTicksPerMs);
}

TEST_F(WirlTest, RecordListReplyGuardsTheListLength) {
  auto slot = std::make_unique<PacketSlot>();
  std::memset(slot.get(), 0, sizeof(PacketSlot));
  const Bytes tail = {99, 130, 83, 99, 53, 1, 5, 54, 4, 10, 0, 0, 5, 60, 9, 'Z', 'E', 'K', 'O', 'W', 'I', 'R', 'L',
                      'C', 43, 7, 1, 1, 1, 9, 2, 7, 7, 255};
  std::copy(tail.begin(), tail.end(), slot->packet.Raw + 236);
  ASSERT_TRUE(ParsePacket(slot.get(), 236 + tail.size()));
  Locked([&](ProtocolInstance *in) {
    in->Packets.ImageList = static_cast<UINT8 *>(AllocZeroed(16));
    in->Packets.ImageListLength = 0xFFFFFFFFu - 11;  // one record more would pass 2^32
    EXPECT_TRUE(RecordListReply(in, slot.get()));
    EXPECT_EQ(in->Packets.ImageListLength, 0xFFFFFFFFu - 11);
    in->Packets.ImageListLength = 0xFFFFFFFFu - 12;  // exactly fits
    fw_.FailAllocationsOfSize(0xFFFFFFFFu);  // but there is no memory: accepted without a record
    EXPECT_TRUE(RecordListReply(in, slot.get()));
    fw_.FailAllocationsOfSize(0);
    EXPECT_EQ(in->Packets.ImageListLength, 0xFFFFFFFFu - 12);
    in->Packets.ImageListLength = 4;
    EXPECT_TRUE(RecordListReply(in, slot.get()));
    EXPECT_EQ(in->Packets.ImageListLength, 4u + 10 + 2);
    return 0;
  });
  OptionIndexClear(&slot->options);
  OptionIndexClear(&slot->vendorOptions);
}

}  // namespace
}  // namespace orvale_test
