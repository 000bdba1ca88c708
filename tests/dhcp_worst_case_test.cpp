// How long the DHCP, WIRL and PXE members can wait, on the virtual clock.
// Each row pairs a member with what makes it wait longest: a hostile peer
// that answers every window at its last moment with a reply that keeps the
// exchange going, a flood of replies for another transaction arriving faster
// than they are handled, or an MNP that fails. Each bound is the sum of the
// windows the member can be made to wait (N s + 0.1 s each); the hostile
// rows also show the bound is reached.
#include <gtest/gtest.h>

#include <functional>

#include "peers/pxe_server.h"
#include "pxe/pxe.h"
#include "tests/dhcp_test_support.h"

namespace orvale_test {
namespace {

using peers::Bytes;
using peers::DhcpMessage;
using peers::DhcpSeen;
using peers::Ip4;

constexpr uint64_t kSecond = hosted::kTicksPerSecond;
constexpr uint64_t kMs = hosted::kTicksPerMs;
constexpr uint64_t kEarly = 50 * kMs;
constexpr uint64_t kFloodInterval = 10 * kMs;  // how long before a window's end the hostile peer answers
constexpr Ip4 kWirlA = {10, 0, 0, 5};
constexpr Ip4 kBootIp = {10, 0, 0, 9};
constexpr hosted::Mac kHostileMac = {0x02, 0, 0, 0, 0, 0x66};
const Bytes kPxeClass = {'P', 'X', 'E', 'C', 'l', 'i', 'e', 'n', 't'};

// A window of n seconds plus 0.1 s, less the hostile peer's margin.
uint64_t LastMoment(uint64_t seconds) { return seconds * kSecond + kSecond / 10 - kEarly; }

class WorstCaseTest : public DhcpTest {
 public:
  using DhcpTest::AddStation;
  using DhcpTest::Packets;
  using DhcpTest::Proto;
  using DhcpTest::fw_;
  using DhcpTest::nic_;
  using DhcpTest::server_;

  void TearDown() override {
    pxe_.clear();
    wirl_.reset();
    DhcpTest::TearDown();
  }

  // A UDP datagram carrying m, due at the client delay ticks from now.
  void SendLater(const DhcpMessage &m, uint64_t delay, const Ip4 &from, uint16_t fromPort = 67,
                 const Ip4 &to = peers::kBroadcastIp, uint16_t toPort = 68) {
    peers::Ipv4Fields ip;
    ip.source = from;
    ip.destination = to;
    peers::UdpFields udp;
    udp.sourcePort = fromPort;
    udp.destinationPort = toPort;
    const Bytes datagram = peers::BuildIpv4(ip, peers::BuildUdp(from, to, udp, peers::EncodeDhcp(m)));
    const hosted::Mac destination = to == peers::kBroadcastIp ? peers::kBroadcastMac : kClientMac;
    segment_.Inject(peers::BuildEthernet(destination, kHostileMac, peers::kEtherIpv4, datagram), delay);
  }
  void ArpReplyLater(const Ip4 &owner, const Ip4 &to, uint64_t delay) {
    const hosted::Mac ownerMac = {0x02, 0, 0, 0, 0x77, owner[3]};
    segment_.Inject(peers::BuildEthernet(kClientMac, ownerMac, peers::kEtherArp,
                                         peers::BuildArp(2, ownerMac, owner, kClientMac, to)),
                    delay);
  }
  // Replies for another transaction for seconds, one every 10 ms, each taking
  // the driver 10 ms to handle: there is always one waiting, so a wait that
  // looked at its timer only when nothing came would never end. Each frame
  // sends the next when it is delivered, so only one is ever in flight.
  void Flood(uint64_t seconds, const Ip4 &to = peers::kBroadcastIp, uint16_t toPort = 68) {
    nic_->faults.receiveTicks = kFloodInterval;
    DhcpMessage m;
    m.xid = 0x00FEED00;
    m.chaddr[0] = kClientMac[0];
    m.yiaddr = {10, 0, 0, 66};
    m.Set(53, {2});
    m.Set(54, {10, 0, 0, 66});
    peers::Ipv4Fields ip;
    ip.source = {10, 0, 0, 66};
    ip.destination = to;
    peers::UdpFields udp;
    udp.sourcePort = 67;
    udp.destinationPort = toPort;
    const Bytes datagram = peers::BuildIpv4(ip, peers::BuildUdp(ip.source, to, udp, peers::EncodeDhcp(m)));
    const hosted::Mac destination = to == peers::kBroadcastIp ? peers::kBroadcastMac : kClientMac;
    floodFrame_ = peers::BuildEthernet(destination, kHostileMac, peers::kEtherIpv4, datagram);
    floodEnd_ = fw_.Now() + seconds * kSecond;
    if (flooder_ == nullptr) {
      flooder_ = AddStation({10, 0, 0, 66}, 0x66);
      flooder_->OnFrame = [this](const hosted::Frame &frame) {
        if (frame.bytes == floodFrame_ && fw_.Now() < floodEnd_) segment_.Inject(floodFrame_, kFloodInterval);
      };
    }
    segment_.Inject(floodFrame_, 0);
  }

  // The DHCP server of the WIRL rows: each discovery attempt is answered in
  // its last (32 s) window, with an offer and a BOOTP reply; the REQUEST in
  // its second (64 s) window. The first failAttempts leases are taken by
  // another station, which answers only the announcement, at its last moment.
  void HostileDhcp(int failAttempts) {
    server_->Shape = [this](const DhcpSeen &seen, std::optional<DhcpMessage> &reply) {
      const uint8_t type = TypeOf(seen);
      if (type == 1 && ++discovers_ % 6 == 0) {
        const int attempt = discovers_ / 6;
        DhcpMessage offer = server_->Reply(seen.message, 2);
        offer.yiaddr = {10, 0, 0, static_cast<uint8_t>(50 + attempt)};
        SendLater(offer, LastMoment(32), kPeerIp);
        DhcpMessage bootp = offer;
        bootp.Remove(53);
        bootp.Remove(54);
        bootp.yiaddr = {10, 0, 0, static_cast<uint8_t>(70 + attempt)};
        SendLater(bootp, LastMoment(32), kPeerIp);
      }
      if (type == 3 && ++requests_ % 2 == 0) {
        DhcpMessage ack = server_->Reply(seen.message, 5);
        const Bytes *asked = seen.message.Option(50);
        if (asked != nullptr && asked->size() == 4) ack.yiaddr = {(*asked)[0], (*asked)[1], (*asked)[2], (*asked)[3]};
        SendLater(ack, LastMoment(64), kPeerIp);
      }
      reply.reset();
    };
    owner_ = AddStation({10, 0, 0, 250}, 0x70);
    owner_->OnFrame = [this, failAttempts](const hosted::Frame &frame) {
      auto eth = peers::ParseEthernet(frame.bytes);
      if (!eth || eth->etherType != peers::kEtherArp) return;
      auto arp = peers::ParseArp(eth->payload);
      if (!arp || arp->operation != 1 || arp->senderIp != arp->targetIp) return;
      if (announcements_++ < 2 * failAttempts) ArpReplyLater(arp->targetIp, arp->targetIp, 5 * kSecond / 10 - kEarly);
    };
  }

  // WIRL server A lists with a selected image in the last moment of every
  // LIST window, refuses the k-th SELECT after the k-th LIST at the last
  // moment of its window, and never answers the fifth series.
  void HostileWirl() {
    wirl_ = std::make_unique<peers::WirlServer>(AddStation(kWirlA, 5), peers::WirlServer::Config{});
    wirl_->config().selectedImage = std::array<uint8_t, 4>{0x83, 0, 0, 7};
    wirl_->Shape = [this](const DhcpSeen &seen, std::optional<DhcpMessage> &reply) {
      if (!reply) return;
      const uint8_t kind = peers::WirlTypeOf(seen.message);
      if (kind == 1) {
        SendLater(*reply, LastMoment(1u << lists_), kWirlA, 67, seen.message.ciaddr);
        ++lists_;
        selects_ = 0;
      } else if (kind == 2 && lists_ < 5 && selects_++ == lists_ - 1) {
        reply->options.clear();
        reply->Set(53, {5});
        reply->Set(54, peers::Ip4Bytes(kWirlA));
        reply->Set(60, {'Z', 'E', 'K', 'O', 'W', 'I', 'R', 'L', 'C'});
        reply->Set(43, {1, 1, 3});
        SendLater(*reply, LastMoment(1u << (lists_ - 1)), kWirlA, 67, seen.message.ciaddr);
      }
      reply.reset();
    };
  }

  // The PXE servers of the longest arrival-order selection: in the last
  // moment of every window three plain offers without a boot file (from
  // servers that answer no ARP) and three PXE proxy offers without boot
  // information (from proxies that answer ARP and never a proxy REQUEST).
  // Every REQUEST is acknowledged at the last moment; every probe goes
  // unanswered, so each offer is leased, tried with each proxy and released.
  void HostilePxe() {
    for (uint8_t p = 0; p < 3; ++p) AddStation({10, 0, 0, static_cast<uint8_t>(11 + p)}, 0x11 + p);
    server_->config().answerDiscover = false;
    peers::Station *hostile = AddStation({10, 0, 0, 30}, 0x30);
    hostile->OnFrame = [this](const hosted::Frame &frame) {
      const auto seen = peers::DecodeDhcpFrame(frame, {67});
      if (!seen) return;
      const uint8_t type = TypeOf(*seen);
      if (type == 1) {
        const uint64_t window = uint64_t{1} << discovers_++;
        for (uint8_t i = 0; i < 3; ++i) {
          DhcpMessage offer = server_->Reply(seen->message, 2);
          offer.yiaddr = {10, 0, 0, static_cast<uint8_t>(50 + i)};
          offer.Set(54, {10, 0, 0, static_cast<uint8_t>(21 + i)});
          offer.Remove(3);
          SendLater(offer, LastMoment(window), kPeerIp);
        }
        for (uint8_t i = 0; i < 3; ++i) {
          DhcpMessage proxy = server_->Reply(seen->message, 2);
          proxy.yiaddr = {};
          proxy.options.clear();
          proxy.Set(53, {2});
          proxy.Set(54, {10, 0, 0, static_cast<uint8_t>(11 + i)});
          proxy.Set(60, kPxeClass);
          SendLater(proxy, LastMoment(window) + kMs, kPeerIp);
        }
      } else if (type == 3) {
        const uint64_t window = uint64_t{1} << (discovers_ - 1);
        DhcpMessage ack = server_->Reply(seen->message, 5);
        const Bytes *asked = seen->message.Option(50);
        const Bytes *id = seen->message.Option(54);
        if (asked == nullptr || asked->size() != 4 || id == nullptr) return;
        ack.yiaddr = {(*asked)[0], (*asked)[1], (*asked)[2], (*asked)[3]};
        ack.Set(54, *id);
        ack.Remove(3);
        SendLater(ack, LastMoment(window), kPeerIp);
      }
    };
  }

  EFI_STATUS RunDhcp(UINT32 bootMode, BOOLEAN sort = FALSE) {
    Packets().BootMode = bootMode;
    Packets().AutoSelect = 1;
    return Proto()->Dhcp(Proto(), sort);
  }
  EFI_STATUS FixAddress() {
    EFI_IP_ADDRESS ip = Efi(kLease);
    EFI_IP_ADDRESS mask = Efi({255, 255, 255, 0});
    return Proto()->SetStationIp(Proto(), &ip, &mask);
  }
  // Multicast, broadcast and two unicast servers, all silent (each answers ARP).
  EFI_STATUS DiscoverEverywhere() {
    if (silentBootServer_ == nullptr) silentBootServer_ = AddStation(kBootIp, 9);
    struct {
      EFI_PXE_BASE_CODE_DISCOVER_INFO info;
      EFI_PXE_BASE_CODE_SRVLIST second;
    } both{};
    both.info.UseMCast = TRUE;
    both.info.ServerMCastIp = Efi({224, 0, 1, 2});
    both.info.UseBCast = TRUE;
    both.info.UseUCast = TRUE;
    both.info.IpCnt = 2;
    both.info.SrvList[0].Type = 5;
    both.info.SrvList[0].IpAddr = Efi(kBootIp);
    both.second.Type = 5;
    both.second.IpAddr = Efi(kPeerIp);
    UINT16 layer = 0;
    return Proto()->Discover(Proto(), 5, &layer, FALSE, &both.info);
  }

  std::unique_ptr<peers::WirlServer> wirl_;
  std::vector<std::unique_ptr<peers::PxeServer>> pxe_;
  peers::Station *owner_ = nullptr;
  peers::Station *silentBootServer_ = nullptr;
  peers::Station *flooder_ = nullptr;
  Bytes floodFrame_;
  uint64_t floodEnd_ = 0;
  int discovers_ = 0, requests_ = 0, announcements_ = 0, lists_ = 0, selects_ = 0;
  uint64_t measureFrom_ = 0;
};

struct WorstCase {
  const char *name;
  double seconds;  // what the row takes: for the hostile rows, the member's worst case
  double slack;    // more it may take: under a flood a reply waits behind the queued frames
  std::function<EFI_STATUS(WorstCaseTest *)> run;
  EFI_STATUS status;
};

// Derivations (W = a window of N s + 0.1 s):
//  Dhcp, WIRL path: two discovery attempts that fail (offers in the last of
//    the six windows, 63.6 s; the REQUEST answered in the last of its two
//    windows, 32.1 + 64.1 s; the lease and the BOOTP reply each lost to the
//    announcement, 0.5 + 0.5 s each: 161.8 s), a third that succeeds (160.8 s),
//    then LIST windows 1.1 + 2.1 + 4.1 + 8.1 + 16.1 s each ending in a
//    selected image, each followed by a SELECT series refused in its k-th
//    window (1.1, 3.2, 7.3, 15.4 s) and the last unanswered (31.5 s): 90 s.
//  Wirl, discovery call: three failing attempts, 485.4 s.
//  Dhcp, PXE path, arrival order: five windows (31.5 s in all), each holding
//    six replies: three plain offers times three proxies, each pair a lease
//    (W + 0.5 s probe), three proxy windows (3 W) and a RELEASE whose ARP
//    goes unanswered (0.5 s): 37 W + 9 s a window, 1210.5 s.
//  Discover: 10.4 s (windows 1.1 to 4.1) per method and server.
const WorstCase kCases[] = {
    {"DhcpWirlPathHostileServers", 573.8, 0.6,
     [](WorstCaseTest *t) {
       t->HostileDhcp(2);
       t->HostileWirl();
       return t->RunDhcp(ORVALE_BOOT_MODE_WIRL);
     },
     EFI_NO_RESPONSE},
    {"WirlDiscoveryCallHostileServer", 484.95, 0.45,
     [](WorstCaseTest *t) {
       t->HostileDhcp(3);
       return t->Proto()->Wirl(t->Proto());
     },
     EFI_NO_RESPONSE},
    {"DhcpPxePathArrivalOrderHostileServers", 1208.0, 2.5,
     [](WorstCaseTest *t) {
       t->HostilePxe();
       return t->RunDhcp(0, FALSE);
     },
     EFI_NO_RESPONSE},
    {"DiscoverEveryMethodUnderFlood", 41.6, 0.1,
     [](WorstCaseTest *t) {
       EXPECT_EQ(t->FixAddress(), EFI_SUCCESS);
       t->Flood(42, kLease, 4011);
       return t->DiscoverEverywhere();
     },
     EFI_TIMEOUT},
    {"DhcpWirlPathNoServerUnderFlood", 63.6, 0.1,
     [](WorstCaseTest *t) {
       t->server_->config().answerDiscover = false;
       t->Flood(64);
       return t->RunDhcp(ORVALE_BOOT_MODE_WIRL);
     },
     EFI_NO_RESPONSE},
    {"DhcpWirlPathNoAckUnderFlood", 12.9, 0.1,
     [](WorstCaseTest *t) {
       t->server_->config().answerRequest = false;
       t->Flood(13);
       return t->RunDhcp(ORVALE_BOOT_MODE_WIRL);
     },
     EFI_NO_RESPONSE},
    {"DhcpWirlPathNoWirlServerUnderFlood", 33.6, 0.15,
     [](WorstCaseTest *t) {
       t->Flood(34, kLease);
       return t->RunDhcp(ORVALE_BOOT_MODE_WIRL);
     },
     EFI_NO_RESPONSE},
    {"WirlGatherCallUnderFlood", 0.04, 0.01,
     [](WorstCaseTest *t) {
       t->wirl_ = std::make_unique<peers::WirlServer>(t->AddStation(kWirlA, 5), peers::WirlServer::Config{});
       EXPECT_EQ(t->Proto()->Wirl(t->Proto()), EFI_SUCCESS);  // discovery
       EXPECT_EQ(t->Proto()->Wirl(t->Proto()), EFI_SUCCESS);  // LIST
       EXPECT_EQ(t->Proto()->Wirl(t->Proto()), EFI_SUCCESS);  // gather, 10 ms
       EXPECT_EQ(t->Proto()->Wirl(t->Proto()), EFI_SUCCESS);  // LIST
       t->Flood(1, kLease);
       t->measureFrom_ = t->fw_.Now();
       return t->Proto()->Wirl(t->Proto());  // gather, 40 ms
     },
     EFI_SUCCESS},
    {"DhcpPxePathNoServerUnderFlood", 31.5, 0.1,
     [](WorstCaseTest *t) {
       t->server_->config().answerDiscover = false;
       t->Flood(32);
       return t->RunDhcp(0);
     },
     EFI_NO_RESPONSE},
    {"DhcpPxePathSilentProxyUnderFlood", 128.5, 0.8,
     [](WorstCaseTest *t) {
       t->pxe_.push_back(std::make_unique<peers::PxeServer>(t->AddStation(kBootIp, 9),
                                                            peers::PxeServer::Config{.answerProxyRequests = false}));
       t->Flood(129, kLease, 4011);
       return t->RunDhcp(0, TRUE);
     },
     EFI_NO_RESPONSE},
    {"DhcpWirlPathReceiveFails", 63.6, 0.0,
     [](WorstCaseTest *t) {
       t->nic_->faults.receiveFails = true;
       return t->RunDhcp(ORVALE_BOOT_MODE_WIRL);
     },
     EFI_NO_RESPONSE},
    {"DhcpPxePathReceivesCompleteWithError", 31.5, 0.0,
     [](WorstCaseTest *t) {
       t->nic_->faults.receiveAlwaysCompletesWithError = true;
       return t->RunDhcp(0);
     },
     EFI_NO_RESPONSE},
    {"DiscoverReceiveFails", 21.8, 0.0,
     [](WorstCaseTest *t) {
       EXPECT_EQ(t->FixAddress(), EFI_SUCCESS);
       t->nic_->faults.receiveFails = true;
       return t->DiscoverEverywhere();
     },
     EFI_TIMEOUT},
    {"DhcpWirlPathTransmitFails", 0.0, 0.0,
     [](WorstCaseTest *t) {
       t->nic_->faults.transmitFails = true;
       return t->RunDhcp(ORVALE_BOOT_MODE_WIRL);
     },
     EFI_DEVICE_ERROR},
    {"DhcpWirlPathTransmitNeverCompletes", 4.0, 0.0,
     [](WorstCaseTest *t) {
       t->nic_->faults.transmitNeverCompletes = true;
       return t->RunDhcp(ORVALE_BOOT_MODE_WIRL);
     },
     EFI_TIMEOUT},
    {"DhcpPxePathTransmitNeverCompletes", 1.0, 0.0,
     [](WorstCaseTest *t) {
       t->nic_->faults.transmitNeverCompletes = true;
       return t->RunDhcp(0);
     },
     EFI_TIMEOUT},
    {"DiscoverTransmitNeverCompletes", 4.0, 0.0,
     [](WorstCaseTest *t) {
       EXPECT_EQ(t->FixAddress(), EFI_SUCCESS);
       t->nic_->faults.transmitNeverCompletes = true;
       return t->DiscoverEverywhere();
     },
     EFI_TIMEOUT},
};

void PrintTo(const WorstCase &c, std::ostream *os) { *os << c.name; }

class WorstCaseTable : public WorstCaseTest, public ::testing::WithParamInterface<WorstCase> {};

TEST_P(WorstCaseTable, EndsWithinItsBound) {
  const WorstCase &c = GetParam();
  measureFrom_ = fw_.Now();
  EXPECT_EQ(c.run(this), c.status);
  const double took = double(fw_.Now() - measureFrom_) / double(kSecond);
  nic_->faults = hosted::MnpFaults{};
  // The last frame handled in a window may overrun it by its handling time.
  EXPECT_LE(took, c.seconds + c.slack + 0.011) << c.name;
  EXPECT_GE(took, c.seconds - 0.011) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Members, WorstCaseTable, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<WorstCase> &info) { return info.param.name; });

}  // namespace
}  // namespace orvale_test
