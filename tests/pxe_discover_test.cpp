// Boot-server discovery: the methods from the DHCP reply (multicast, then
// broadcast, then unicast with accept lists), the caller's server list,
// further layers, replies that must be passed over, and BIS discovery
// followed by the plain one.
#include <gtest/gtest.h>

#include <cstring>

#include "peers/pxe_server.h"
#include "pxe/pxe.h"
#include "tests/dhcp_test_support.h"

namespace orvale_test {
namespace {

using peers::Bytes;
using peers::DhcpMessage;
using peers::DhcpSeen;
using peers::Ip4;

constexpr Ip4 kBootIp = {10, 0, 0, 9};
constexpr Ip4 kOtherBootIp = {10, 0, 0, 8};
constexpr Ip4 kRogueIp = {10, 0, 0, 7};
constexpr Ip4 kGroup = {224, 0, 1, 2};

class PxeDiscoverTest : public DhcpTest {
 protected:
  void ConfigurePlatform() override {
    DhcpTest::ConfigurePlatform();
    fw_.SetBis(bis_);
  }
  void TearDown() override {
    servers_.clear();
    DhcpTest::TearDown();
  }
  // A lease whose ACK carries vendor (sub-options, end byte added) and a boot file.
  void Lease(const Bytes &subOptions) {
    Bytes vendor = subOptions;
    vendor.push_back(255);
    server_->Shape = [vendor](const DhcpSeen &, std::optional<DhcpMessage> &reply) {
      if (!reply) return;
      reply->Set(60, {'P', 'X', 'E', 'C', 'l', 'i', 'e', 'n', 't'});
      reply->Set(43, vendor);
      reply->Set(67, {'d'});
    };
    ASSERT_EQ(Proto()->Dhcp(Proto(), TRUE), EFI_SUCCESS);
    ASSERT_EQ(StationIp(), kLease);
    nic_->sent.clear();
  }
  peers::PxeServer *AddBootServer(const Ip4 &ip, uint8_t macLast, peers::PxeServer::Config c) {
    c.proxyOffers = false;
    c.answerProxyRequests = false;
    c.bootServer = true;
    servers_.push_back(std::make_unique<peers::PxeServer>(AddStation(ip, macLast), c));
    return servers_.back().get();
  }
  std::vector<DhcpSeen> Requests() const {
    std::vector<DhcpSeen> out;
    for (const auto &s : Sent({67, 4011}))
      if (TypeOf(s) == 3) out.push_back(s);
    return out;
  }
  EFI_STATUS Run(UINT16 type, UINT16 *layer, bool bis = false, EFI_PXE_BASE_CODE_DISCOVER_INFO *info = nullptr) {
    return Proto()->Discover(Proto(), type, layer, bis ? TRUE : FALSE, info);
  }

  hosted::BisConfig bis_;
  std::vector<std::unique_ptr<peers::PxeServer>> servers_;
};

TEST_F(PxeDiscoverTest, MulticastThenBroadcastThenTimeout) {
  Lease(peers::Bytes{6, 1, 0, 7, 4, 224, 0, 1, 2, 9, 7, 0, 5, 4, 'B', 'o', 'o', 't', 10, 2, 0, 'P'});
  UINT16 layer = 0;
  const uint64_t start = fw_.Now();
  EXPECT_EQ(Run(5, &layer), EFI_TIMEOUT);
  const uint64_t elapsed = fw_.Now() - start;
  EXPECT_GE(elapsed, 208'000'000u);
  EXPECT_LT(elapsed, 212'000'000u);
  const auto requests = Requests();
  ASSERT_EQ(requests.size(), 8u);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(requests[i].destination, kGroup) << i;
    EXPECT_EQ(requests[i].sourcePort, 4011) << i;
    EXPECT_EQ(requests[i].destinationPort, 4011) << i;
    EXPECT_EQ(requests[4 + i].destination, peers::kBroadcastIp) << i;
    EXPECT_EQ(requests[4 + i].sourcePort, 68) << i;
    EXPECT_EQ(requests[4 + i].destinationPort, 67) << i;
  }
  // The request byte for byte after the PXE identity.
  const Bytes raw = [&] {
    for (const hosted::Frame &f : nic_->sent) {
      const auto eth = peers::ParseEthernet(f.bytes);
      if (!eth || eth->etherType != 0x0800) continue;
      const auto ip = peers::ParseIpv4(eth->payload);
      if (!ip || ip->protocol != 17) continue;
      if (const auto udp = peers::ParseUdp(ip->source, ip->destination, ip->payload)) return udp->data;
    }
    return Bytes{};
  }();
  ASSERT_EQ(raw.size(), 548u);
  EXPECT_EQ(Bytes(raw.begin() + 12, raw.begin() + 16), (Bytes{10, 0, 0, 50}));  // ciaddr
  EXPECT_EQ(raw[242], 3);                                                          // DHCPREQUEST
  const Bytes option43 = {
      43, 7,        // vendor specific
      71, 4,        // boot item
      0, 5,         // type 5
      0, 0,         // layer 0, no BIS
      255,          // end of sub-options
      255,          // END
  };
  EXPECT_EQ(Bytes(raw.begin() + 346, raw.begin() + 356), option43);
  EXPECT_EQ(Bytes(raw.begin() + 356, raw.end()), Bytes(192, 0));
  EXPECT_FALSE(Packets().PxeReplyReceived);
}

TEST_F(PxeDiscoverTest, MulticastAnsweredByTheGroupsServer) {
  Lease(Bytes{6, 1, 0, 7, 4, 224, 0, 1, 2, 9, 7, 0, 5, 4, 'B', 'o', 'o', 't', 10, 2, 0, 'P'});
  AddBootServer(kBootIp, 9, {.serverTypes = {5}, .discoveryMulticast = kGroup});
  UINT16 layer = 0;
  ASSERT_EQ(Run(5, &layer), EFI_SUCCESS);
  const auto requests = Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].destination, kGroup);
  EXPECT_EQ(Ip4Of(Packets().BootServerIp), kBootIp);
}

// Control 0x04: multicast and broadcast are tried first, then the list, and
// only the list's servers count throughout.
TEST_F(PxeDiscoverTest, MulticastThenBroadcastThenTheList) {
  Lease(Bytes{6, 1, 0x04, 7, 4, 224, 0, 1, 2, 8, 7, 0, 5, 1, 10, 0, 0, 9, 9, 7, 0, 5, 4, 'B', 'o', 'o', 't', 10, 2,
              0, 'P'});
  AddBootServer(kBootIp, 9, {.serverTypes = {5}, .answerBroadcastDiscovery = false});
  AddBootServer(kRogueIp, 7, {.serverTypes = {5}, .discoveryMulticast = kGroup});
  UINT16 layer = 0;
  ASSERT_EQ(Run(5, &layer), EFI_SUCCESS);
  const auto requests = Requests();
  ASSERT_EQ(requests.size(), 9u);
  EXPECT_EQ(requests[0].destination, kGroup);
  EXPECT_EQ(requests[4].destination, peers::kBroadcastIp);
  EXPECT_EQ(requests[8].destination, kBootIp);
  EXPECT_EQ(Ip4Of(Packets().BootServerIp), kBootIp);
}

TEST_F(PxeDiscoverTest, UnicastToTheListAcceptsOnlyItsServers) {
  // Control 0x07: unicast only, to the servers of type 5: 10.0.0.9 (silent) and 10.0.0.8.
  Lease(Bytes{6, 1, 0x07, 8, 11, 0, 5, 2, 10, 0, 0, 9, 10, 0, 0, 8, 9, 7, 0, 5, 4, 'B', 'o', 'o', 't', 10, 2, 0,
              'P'});
  AddStation(kBootIp, 9);  // answers ARP, not discovery
  AddBootServer(kRogueIp, 7, {.serverTypes = {5}, .rogue = true});
  AddBootServer(kOtherBootIp, 8, {.serverTypes = {5}, .bootFile = {'o', 'k'}});
  UINT16 layer = 0;
  ASSERT_EQ(Run(5, &layer), EFI_SUCCESS);
  const auto requests = Requests();
  ASSERT_EQ(requests.size(), 5u);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(requests[i].destination, kBootIp) << i;
  EXPECT_EQ(requests[4].destination, kOtherBootIp);
  EXPECT_EQ(Ip4Of(Packets().BootServerIp), kOtherBootIp);
  EXPECT_EQ(Ip4Of(Packets().LastBootServerIp), kOtherBootIp);
  EXPECT_TRUE(Packets().PxeReplyReceived);
  EXPECT_TRUE(Packets().PxeDiscoverValid);
  EXPECT_EQ(Packets().PxeReply.Raw[108], 'o');
  EXPECT_EQ(Packets().PxeDiscover.Raw[242], 3);
}

TEST_F(PxeDiscoverTest, RepliesWithoutBootFileOrOfAnotherTypeArePassedOver) {
  Lease(Bytes{6, 1, 0x03, 8, 7, 0, 0, 1, 10, 0, 0, 9, 9, 7, 0, 0, 4, 'B', 'o', 'o', 't', 10, 2, 0, 'P'});
  peers::PxeServer *server = AddBootServer(kBootIp, 9, {.serverTypes = {0}, .bootItemInReply = false});
  int replies = 0;
  server->Shape = [&](const DhcpSeen &, std::optional<DhcpMessage> &reply) {
    // The first reply lacks a boot file; later ones are fine.
    if (replies++ == 0) {
      reply->Remove(67);
      reply->file.clear();
    }
  };
  UINT16 layer = 0;
  ASSERT_EQ(Run(0, &layer), EFI_SUCCESS);
  EXPECT_EQ(layer, 0);  // no boot item: type 0, layer 0
  EXPECT_EQ(Requests().size(), 2u);
  // The same server asked for type 5 by broadcast: its replies carry no
  // boot item, so they count as type 0 and are passed over.
  EFI_PXE_BASE_CODE_DISCOVER_INFO info{};
  info.UseBCast = TRUE;
  EXPECT_EQ(Run(5, &layer, false, &info), EFI_TIMEOUT);
  // From the DHCP reply, no server of type 5 is listed.
  EXPECT_EQ(Run(5, &layer), EFI_INVALID_PARAMETER);
}

// The request carries the broadcast flag: a server may broadcast its answer
// to a broadcast request. Any other address but ciaddr is not ours.
TEST_F(PxeDiscoverTest, BroadcastRequestTakesABroadcastReplyOnly) {
  Lease(Bytes{6, 1, 0x03, 8, 7, 0, 5, 1, 10, 0, 0, 9, 9, 7, 0, 5, 4, 'B', 'o', 'o', 't', 10, 2, 0, 'P'});
  peers::PxeServer *server = AddBootServer(kBootIp, 9, {.serverTypes = {5}, .discoveryReplyIp = Ip4{10, 0, 0, 77}});
  EFI_PXE_BASE_CODE_DISCOVER_INFO info{};
  info.UseBCast = TRUE;
  UINT16 layer = 0;
  EXPECT_EQ(Run(5, &layer, false, &info), EFI_TIMEOUT);
  EXPECT_FALSE(Packets().PxeReplyReceived);
  server->config().discoveryReplyIp = peers::kBroadcastIp;
  ASSERT_EQ(Run(5, &layer, false, &info), EFI_SUCCESS);
  EXPECT_TRUE(Packets().PxeReplyReceived);
  EXPECT_EQ(Requests().back().destination, peers::kBroadcastIp);
  // A unicast request (control 0x03: the listed server) still wants its answer at ciaddr.
  EXPECT_EQ(Run(5, &layer), EFI_TIMEOUT);
  EXPECT_EQ(Requests().back().destination, kBootIp);
}

TEST_F(PxeDiscoverTest, FurtherLayerGoesToTheLastServerOnly) {
  Lease(Bytes{6, 1, 0x03, 8, 7, 0, 5, 1, 10, 0, 0, 9, 9, 7, 0, 5, 4, 'B', 'o', 'o', 't', 10, 2, 0, 'P'});
  AddBootServer(kBootIp, 9, {.serverTypes = {5}});
  UINT16 layer = 0;
  ASSERT_EQ(Run(5, &layer), EFI_SUCCESS);
  EXPECT_EQ(layer, 0);
  nic_->sent.clear();
  layer = 1;
  ASSERT_EQ(Run(5, &layer), EFI_SUCCESS);
  EXPECT_EQ(layer, 1);
  const auto requests = Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].destination, kBootIp);
  EXPECT_EQ(peers::PxeServer::BootItemOf(requests[0].message)->second, 1);
  EFI_PXE_BASE_CODE_DISCOVER_INFO info{};
  info.UseBCast = TRUE;
  EXPECT_EQ(Run(5, &layer, false, &info), EFI_INVALID_PARAMETER);
  // Without a previous reply a further layer is refused.
  Packets().PxeReplyReceived = FALSE;
  EXPECT_EQ(Run(5, &layer), EFI_INVALID_PARAMETER);
}

// The caller's list with 2 entries (EFI_PXE_BASE_CODE_DISCOVER_INFO holds one
// inline; the record is laid out with a second after it).
struct InfoWithTwo {
  EFI_PXE_BASE_CODE_DISCOVER_INFO info;
  EFI_PXE_BASE_CODE_SRVLIST second;
};

TEST_F(PxeDiscoverTest, CallersListWithAcceptAnyResponse) {
  Lease(Bytes{6, 1, 0x03, 8, 7, 0, 5, 1, 10, 0, 0, 9, 9, 7, 0, 5, 4, 'B', 'o', 'o', 't', 10, 2, 0, 'P'});
  InfoWithTwo both{};
  both.info.UseUCast = TRUE;
  both.info.IpCnt = 2;
  both.info.SrvList[0].Type = 5;
  both.info.SrvList[0].IpAddr = Efi({10, 0, 0, 1});
  both.second.Type = 5;
  both.second.AcceptAnyResponse = TRUE;
  UINT16 layer = 0;
  EXPECT_EQ(Run(5, &layer, false, &both.info), EFI_INVALID_PARAMETER);
  // Accept-any first: an empty list, so no request at all.
  std::swap(both.info.SrvList[0], both.second);
  EXPECT_EQ(Run(5, &layer, false, &both.info), EFI_TIMEOUT);
  EXPECT_TRUE(Requests().empty());
  // No entry of the type; IpCnt 0; no method at all.
  EXPECT_EQ(Run(6, &layer, false, &both.info), EFI_INVALID_PARAMETER);
  both.info.IpCnt = 0;
  EXPECT_EQ(Run(5, &layer, false, &both.info), EFI_INVALID_PARAMETER);
  EFI_PXE_BASE_CODE_DISCOVER_INFO none{};
  EXPECT_EQ(Run(5, &layer, false, &none), EFI_INVALID_PARAMETER);
  none.UseMCast = TRUE;  // multicast to 0.0.0.0
  EXPECT_EQ(Run(5, &layer, false, &none), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Proto()->Discover(Proto(), 5, nullptr, FALSE, &none), EFI_INVALID_PARAMETER);
}

TEST_F(PxeDiscoverTest, WithoutBisTheLayerBitIsClearedEvenOnTimeout) {
  Lease(Bytes{6, 1, 0x03, 8, 7, 0, 5, 1, 10, 0, 0, 9, 9, 7, 0, 5, 4, 'B', 'o', 'o', 't', 10, 2, 0, 'P'});
  peers::PxeServer *server = AddBootServer(kBootIp, 9, {.serverTypes = {5}});
  UINT16 layer = 0;
  ASSERT_EQ(Run(5, &layer), EFI_SUCCESS);
  // A further layer with bit 15 set; the server has gone silent.
  server->config().bootServer = false;
  layer = 0x8001;
  EXPECT_EQ(Run(5, &layer), EFI_TIMEOUT);
  EXPECT_EQ(layer, 1);
  EXPECT_FALSE(Packets().PxeReplyReceived);
  EXPECT_EQ(peers::PxeServer::BootItemOf(Requests().back().message)->second, 1);
  // BIS asked for without a BIS on the platform: it cannot be probed.
  layer = 0;
  EXPECT_EQ(Run(5, &layer, true), EFI_OUT_OF_RESOURCES);
  EXPECT_FALSE(Packets().PxeReplyReceived);
}

// No PXE Dhcp has run: a fixed address, then a unicast discovery carries the
// whole identity, and the server's reply is taken.
TEST_F(PxeDiscoverTest, DiscoveryWithoutPxeDhcpCarriesTheIdentity) {
  EFI_IP_ADDRESS ip = Efi(kLease);
  EFI_IP_ADDRESS mask = Efi({255, 255, 255, 0});
  ASSERT_EQ(Proto()->SetStationIp(Proto(), &ip, &mask), EFI_SUCCESS);
  ASSERT_EQ(Instance()->PxeIdentityState, kPxeIdentityUnbuilt);
  // As after loading the driver: no instance has built the shared template.
  std::memset(PxeOptionTemplate, 0, sizeof(PxeOptionTemplate));
  AddBootServer(kBootIp, 9, {.serverTypes = {5}});
  EFI_PXE_BASE_CODE_DISCOVER_INFO info{};
  info.UseUCast = TRUE;
  info.IpCnt = 1;
  info.SrvList[0].Type = 5;
  info.SrvList[0].IpAddr = Efi(kBootIp);
  UINT16 layer = 0;
  ASSERT_EQ(Run(5, &layer, false, &info), EFI_SUCCESS);
  ASSERT_EQ(Requests().size(), 1u);
  const DhcpMessage request = Requests()[0].message;
  const Bytes *vendorClass = request.Option(60);
  ASSERT_NE(vendorClass, nullptr);
  EXPECT_EQ(Bytes(vendorClass->begin(), vendorClass->begin() + 10), Bytes({'P', 'X', 'E', 'C', 'l', 'i', 'e', 'n', 't', ':'}));
  EXPECT_NE(request.Option(97), nullptr);
  EXPECT_TRUE(Packets().PxeReplyReceived);
  EXPECT_EQ(Packets().PxeReply.Raw[0], 2);
}

class PxeBisDiscoverTest : public PxeDiscoverTest {
 protected:
  void ConfigurePlatform() override {
    bis_.mode = hosted::BisMode::Good;
    bis_.signatureInfoLength = 504;  // 63 credential types
    PxeDiscoverTest::ConfigurePlatform();
  }
};

TEST_F(PxeBisDiscoverTest, BisDiscoveryThenThePlainOne) {
  ASSERT_TRUE(Packets().BisDetected);
  Lease(Bytes{6, 1, 0x03, 8, 7, 0, 5, 1, 10, 0, 0, 9, 9, 7, 0, 5, 4, 'B', 'o', 'o', 't', 10, 2, 0, 'P'});
  AddBootServer(kBootIp, 9, {.serverTypes = {5}, .credentialType = 1u});
  UINT16 layer = 0;
  ASSERT_EQ(Run(5, &layer, true), EFI_SUCCESS);
  EXPECT_TRUE(Packets().PxeBisReplyReceived);
  EXPECT_TRUE(Packets().PxeReplyReceived);
  EXPECT_EQ(layer, 0);
  const auto requests = Requests();
  ASSERT_EQ(requests.size(), 2u);
  // The BIS request: layer bit 15, as many types as fit, END inside 548 bytes.
  EXPECT_EQ(peers::PxeServer::BootItemOf(requests[0].message)->second, 0x8000);
  const auto types = peers::PxeServer::CredentialTypesOf(requests[0].message);
  EXPECT_EQ(types.size(), 47u);
  EXPECT_EQ(types[0], 1u);
  EXPECT_EQ(requests[0].message.Option(43)->size(), 6u + 2 + 4 * 47 + 1);
  EXPECT_TRUE(requests[0].message.end);
  // The plain request to the server that answered, from and to port 4011.
  EXPECT_EQ(peers::PxeServer::BootItemOf(requests[1].message)->second, 0);
  EXPECT_TRUE(peers::PxeServer::CredentialTypesOf(requests[1].message).empty());
  EXPECT_EQ(requests[1].destination, kBootIp);
  EXPECT_EQ(requests[1].destinationPort, 4011);
  EXPECT_EQ(fw_.BisLiveApplicationHandles(), 0);
  EXPECT_EQ(fw_.BisOutstandingSignatureInfo(), 0);
}

TEST_F(PxeBisDiscoverTest, ReplyWithACredentialTypeNotSentIsPassedOver) {
  Lease(Bytes{6, 1, 0x03, 8, 7, 0, 5, 1, 10, 0, 0, 9, 9, 7, 0, 5, 4, 'B', 'o', 'o', 't', 10, 2, 0, 'P'});
  AddBootServer(kBootIp, 9, {.serverTypes = {5}, .credentialType = 2u});
  UINT16 layer = 0;
  EXPECT_EQ(Run(5, &layer, true), EFI_TIMEOUT);
  EXPECT_FALSE(Packets().PxeBisReplyReceived);
  EXPECT_EQ(Requests().size(), 4u);
}

}  // namespace
}  // namespace orvale_test
