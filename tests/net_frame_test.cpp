// Frames and ARP: answering, the cache, resolution and claiming, routes,
// transmit faults, and the Arp and SetStationIp members.
#include <gtest/gtest.h>

#include <cstring>

#include "dhcp/codec.h"
#include "dhcp/exchange.h"
#include "tests/net_test_support.h"

namespace orvale_test {
namespace {

using peers::Bytes;
using peers::Ip4;

class ArpTest : public NetTest {};

// The station's frames carrying ARP, as the peer saw them.
std::vector<Bytes> ArpFrames(const peers::Station &peer) {
  std::vector<Bytes> out;
  for (const hosted::Frame &f : peer.Received()) {
    if (f.bytes.size() >= 14 && f.bytes[12] == 0x08 && f.bytes[13] == 0x06) out.push_back(f.bytes);
  }
  return out;
}

TEST_F(ArpTest, RequestAnsweredOnlyOnceTheAddressIsSet) {
  // The address is known but not marked set: the request is learned from, not answered.
  Instance()->Packets.StationIpSet = FALSE;
  peer_->SendArpRequest(kClientIp);
  EXPECT_EQ(ReadAny().status, EFI_TIMEOUT);
  EXPECT_TRUE(ArpFrames(*peer_).empty());
  ASSERT_EQ(Instance()->Mode.ArpCacheEntries, 1u);
  EXPECT_EQ(Ip4Of(Instance()->Mode.ArpCache[0].IpAddr), kPeerIp);
  EXPECT_EQ(MacOf(Instance()->Mode.ArpCache[0].MacAddr), kPeerMac);

  EFI_IP_ADDRESS ip = Efi(kClientIp);
  ASSERT_EQ(Proto()->SetStationIp(Proto(), &ip, nullptr), EFI_SUCCESS);
  peer_->SendArpRequest(kClientIp);
  EXPECT_EQ(ReadAny().status, EFI_TIMEOUT);
  const std::vector<Bytes> frames = ArpFrames(*peer_);
  ASSERT_EQ(frames.size(), 1u);
  const Bytes expected = {
      0x02, 0x00, 0x00, 0x00, 0x00, 0x01,  // destination: the requester
      0x52, 0x54, 0x00, 0x12, 0x34, 0x56,  // source: the station
      0x08, 0x06,                          // EtherType ARP
      0x00, 0x01,                          // hardware type Ethernet
      0x08, 0x00,                          // protocol type IPv4
      0x06, 0x04,                          // HLEN, PLEN
      0x00, 0x02,                          // operation: reply
      0x52, 0x54, 0x00, 0x12, 0x34, 0x56,  // sender hardware address
      0x0A, 0x00, 0x00, 0x02,              // sender protocol address 10.0.0.2
      0x02, 0x00, 0x00, 0x00, 0x00, 0x01,  // target hardware address
      0x0A, 0x00, 0x00, 0x01,              // target protocol address 10.0.0.1
  };
  ASSERT_GE(frames[0].size(), expected.size());
  EXPECT_EQ(Bytes(frames[0].begin(), frames[0].begin() + expected.size()), expected);
  EXPECT_EQ(Instance()->Mode.ArpCacheEntries, 1u);

  // An address probe (sender 0.0.0.0) is answered but teaches nothing.
  peers::Station prober(&segment_, {0x02, 0, 0, 0, 0, 0x77}, {0, 0, 0, 0});
  prober.SendArpRequest(kClientIp);
  EXPECT_EQ(ReadAny().status, EFI_TIMEOUT);
  ASSERT_EQ(nic_->sent.size(), 2u);
  EXPECT_EQ(Bytes(nic_->sent[1].bytes.begin(), nic_->sent[1].bytes.begin() + 6),
            (Bytes{0x02, 0, 0, 0, 0, 0x77}));
  EXPECT_EQ(Instance()->Mode.ArpCacheEntries, 1u);
}

TEST_F(ArpTest, ReplyForAnotherTargetRefreshesButDoesNotAdd) {
  const Ip4 other = {10, 0, 0, 77};
  // Not for us and not known: nothing learned.
  peer_->SendFrame(peers::kBroadcastMac, peers::kEtherArp, peers::BuildArp(2, kPeerMac, kPeerIp, kPeerMac, other));
  EXPECT_EQ(ReadAny().status, EFI_TIMEOUT);
  EXPECT_EQ(Instance()->Mode.ArpCacheEntries, 0u);

  peer_->SendArpReply(kClientMac, kClientIp);
  EXPECT_EQ(ReadAny().status, EFI_TIMEOUT);
  ASSERT_EQ(Instance()->Mode.ArpCacheEntries, 1u);

  // The same sender with a new hardware address, replying to someone else: refreshed.
  peers::Station moved(&segment_, {0x02, 0, 0, 0, 0, 0x99}, kPeerIp);
  moved.SendFrame(peers::kBroadcastMac, peers::kEtherArp,
                 peers::BuildArp(2, {0x02, 0, 0, 0, 0, 0x99}, kPeerIp, kPeerMac, other));
  EXPECT_EQ(ReadAny().status, EFI_TIMEOUT);
  ASSERT_EQ(Instance()->Mode.ArpCacheEntries, 1u);
  EXPECT_EQ(MacOf(Instance()->Mode.ArpCache[0].MacAddr), (hosted::Mac{0x02, 0, 0, 0, 0, 0x99}));
}

TEST_F(ArpTest, FullCacheIsOverwrittenRoundRobin) {
  for (uint8_t i = 0; i < 10; ++i) {
    peers::Station sender(&segment_, {0x02, 0, 0, 0, 1, i}, {10, 0, 0, static_cast<uint8_t>(100 + i)});
    sender.SendArpReply(kClientMac, kClientIp);
    EXPECT_EQ(ReadAny().status, EFI_TIMEOUT);
    if (i == 8) {
      // The ninth sender took slot 0.
      EXPECT_EQ(Ip4Of(Instance()->Mode.ArpCache[0].IpAddr), (Ip4{10, 0, 0, 108}));
      EXPECT_EQ(Ip4Of(Instance()->Mode.ArpCache[1].IpAddr), (Ip4{10, 0, 0, 101}));
    }
  }
  const OrvaleMode &mode = Instance()->Mode;
  EXPECT_EQ(mode.ArpCacheEntries, 8u);
  EXPECT_EQ(Ip4Of(mode.ArpCache[0].IpAddr), (Ip4{10, 0, 0, 108}));
  EXPECT_EQ(Ip4Of(mode.ArpCache[1].IpAddr), (Ip4{10, 0, 0, 109}));
  EXPECT_EQ(MacOf(mode.ArpCache[1].MacAddr), (hosted::Mac{0x02, 0, 0, 0, 1, 9}));
  EXPECT_EQ(Ip4Of(mode.ArpCache[2].IpAddr), (Ip4{10, 0, 0, 102}));
  EXPECT_EQ(Instance()->ArpReplaceIndex, 2u);
}

TEST_F(ArpTest, MalformedPacketsAreIgnored) {
  // HLEN 8 and PLEN 4: a well-formed packet for another hardware type, 32 bytes.
  Bytes wide = {0x00, 0x01, 0x08, 0x00, 0x08, 0x04, 0x00, 0x01};
  wide.insert(wide.end(), 8, 0xAA);
  wide.insert(wide.end(), {10, 0, 0, 1});
  wide.insert(wide.end(), 8, 0x00);
  wide.insert(wide.end(), {10, 0, 0, 2});
  peer_->SendFrame(peers::kBroadcastMac, peers::kEtherArp, wide);
  // PLEN 6.
  Bytes plen6 = peers::BuildArp(1, kPeerMac, kPeerIp, {}, kClientIp);
  plen6[5] = 6;
  plen6.resize(8 + 2 * (6 + 6));
  peer_->SendFrame(peers::kBroadcastMac, peers::kEtherArp, plen6);
  // Operation 3.
  Bytes op3 = peers::BuildArp(3, kPeerMac, kPeerIp, {}, kClientIp);
  peer_->SendFrame(peers::kBroadcastMac, peers::kEtherArp, op3);
  EXPECT_EQ(ReadAny().status, EFI_TIMEOUT);
  EXPECT_EQ(Drops(kDropArpForeign), 3u);

  // Shorter than its HLEN and PLEN imply, even with the link padding.
  Bytes longAddresses = peers::BuildArp(1, kPeerMac, kPeerIp, {}, kClientIp);
  longAddresses[4] = 20;  // 8 + 2 * (20 + 4) = 56 bytes; 46 arrive
  peer_->SendFrame(peers::kBroadcastMac, peers::kEtherArp, longAddresses);
  peer_->SendFrame(peers::kBroadcastMac, peers::kEtherArp, {0x00, 0x01, 0x08, 0x00, 0xFF, 0xFF, 0x00, 0x01});
  EXPECT_EQ(ReadAny().status, EFI_TIMEOUT);
  EXPECT_EQ(Drops(kDropArpShort), 2u);
  // Handed exactly the bytes that arrived (the vector ends there), one short of 28.
  Bytes cut = peers::BuildArp(1, kPeerMac, kPeerIp, {}, kClientIp);
  cut.resize(27);
  Locked([&](ProtocolInstance *in) {
    HandleArpPacket(in, cut.data(), cut.size(), cut.data());
    return 0;
  });
  EXPECT_EQ(Drops(kDropArpShort), 3u);

  EXPECT_EQ(Instance()->Mode.ArpCacheEntries, 0u);
  EXPECT_TRUE(ArpFrames(*peer_).empty());
}

TEST_F(ArpTest, ResolveTimesOutAfterHalfASecondOfVirtualTime) {
  peer_->SetAnswerArp(false);
  const EFI_IP_ADDRESS target = Efi(kPeerIp);
  EFI_MAC_ADDRESS mac{};
  const uint64_t before = fw_.Now();
  EXPECT_EQ(Locked([&](ProtocolInstance *in) { return ResolveArp(in, &target, &mac); }), EFI_TIMEOUT);
  const uint64_t elapsed = fw_.Now() - before;
  EXPECT_GE(elapsed, 5'000'000u);
  EXPECT_LT(elapsed, 5'000'000u + 10 * hosted::kTicksPerMs);
  const auto requests = SentArp();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].operation, 1);
  EXPECT_EQ(requests[0].senderIp, kClientIp);
  EXPECT_EQ(requests[0].targetIp, kPeerIp);

  // Answered: the hardware address comes back and is cached.
  peer_->SetAnswerArp(true);
  EXPECT_EQ(Locked([&](ProtocolInstance *in) { return ResolveArp(in, &target, &mac); }), EFI_SUCCESS);
  EXPECT_EQ(MacOf(mac), kPeerMac);
  EXPECT_EQ(Instance()->Mode.ArpCacheEntries, 1u);
}

class ClaimTest : public NetTest {
 protected:
  bool SetAddress() const override { return false; }
};

TEST_F(ClaimTest, FreeAddressIsTakenAndAnnounced) {
  const EFI_IP_ADDRESS address = Efi(kClientIp);
  const uint64_t before = fw_.Now();
  EXPECT_TRUE(Locked([&](ProtocolInstance *in) { return ClaimAddress(in, &address); }));
  EXPECT_GE(fw_.Now() - before, 2 * 5'000'000u);
  EXPECT_EQ(Ip4Of(Instance()->Mode.StationIp), kClientIp);
  EXPECT_TRUE(Instance()->Packets.StationIpSet);
  EXPECT_NE(Instance()->IgmpV1Timer, nullptr);
  const auto sent = SentArp();
  ASSERT_EQ(sent.size(), 2u);
  // The probe from 0.0.0.0, then one gratuitous request for the address itself.
  EXPECT_EQ(sent[0].senderIp, (Ip4{0, 0, 0, 0}));
  EXPECT_EQ(sent[0].targetIp, kClientIp);
  EXPECT_EQ(sent[1].operation, 1);
  EXPECT_EQ(sent[1].senderIp, kClientIp);
  EXPECT_EQ(sent[1].targetIp, kClientIp);
  EXPECT_EQ(sent[1].senderMac, kClientMac);
}

TEST_F(ClaimTest, OwnedAddressIsRefused) {
  peer_->AddIp(kClientIp);  // the peer owns the address
  const EFI_IP_ADDRESS address = Efi(kClientIp);
  EXPECT_FALSE(Locked([&](ProtocolInstance *in) { return ClaimAddress(in, &address); }));
  EXPECT_EQ(Ip4Of(Instance()->Mode.StationIp), (Ip4{0, 0, 0, 0}));
  EXPECT_FALSE(Instance()->Packets.StationIpSet);

  // Now cached: refused without a frame.
  peer_->ClearReceived();
  EXPECT_FALSE(Locked([&](ProtocolInstance *in) { return ClaimAddress(in, &address); }));
  EXPECT_TRUE(peer_->Received().empty());
}

TEST_F(ClaimTest, AnnouncementAnsweredByTheOwnerFails) {
  // As ClaimAddress leaves it: the station address is the one announced.
  Instance()->Mode.StationIp = Efi({10, 0, 0, 9});
  const EFI_IP_ADDRESS address = Efi({10, 0, 0, 9});
  peer_->AddIp({10, 0, 0, 9});
  EXPECT_FALSE(Locked([&](ProtocolInstance *in) { return AnnounceAddress(in, &address); }));
  Instance()->Mode.StationIp = Efi({10, 0, 0, 10});
  const EFI_IP_ADDRESS free = Efi({10, 0, 0, 10});
  EXPECT_TRUE(Locked([&](ProtocolInstance *in) { return AnnounceAddress(in, &free); }));
}

// A probe that cannot be sent proves nothing: the failure comes back and
// the address is not taken.
TEST_F(ClaimTest, ProbeThatCannotBeSentClaimsNothing) {
  const EFI_IP_ADDRESS address = Efi(kClientIp);
  EFI_STATUS error = EFI_SUCCESS;
  nic_->faults.transmitFails = true;
  EXPECT_FALSE(Locked([&](ProtocolInstance *in) { return ClaimAddress(in, &address, &error); }));
  EXPECT_EQ(error, EFI_DEVICE_ERROR);
  nic_->faults.transmitFails = false;
  // A transmit that completes with an error status, likewise.
  nic_->faults.transmitCompletion = EFI_NO_MEDIA;
  EXPECT_FALSE(Locked([&](ProtocolInstance *in) { return ClaimAddress(in, &address, &error); }));
  EXPECT_EQ(error, EFI_NO_MEDIA);
  nic_->faults.transmitCompletion = EFI_SUCCESS;
  EXPECT_EQ(Ip4Of(Instance()->Mode.StationIp), (Ip4{0, 0, 0, 0}));
  EXPECT_FALSE(Instance()->Packets.StationIpSet);
  EXPECT_EQ(Instance()->IgmpV1Timer, nullptr);
  // Silence with a working link: claimed, and no error.
  error = EFI_DEVICE_ERROR;
  EXPECT_TRUE(Locked([&](ProtocolInstance *in) { return ClaimAddress(in, &address, &error); }));
  EXPECT_EQ(error, EFI_SUCCESS);
}

class RouteTest : public NetTest {};

TEST_F(RouteTest, RoutersAndRelayAgentBecomeRoutes) {
  auto slot = std::make_unique<PacketSlot>();
  std::memset(slot.get(), 0, sizeof(PacketSlot));
  const Bytes fixed = {
      0x02, 0x01, 0x06, 0x00,  // op reply, htype, hlen, hops
  };
  std::copy(fixed.begin(), fixed.end(), slot->packet.Raw);
  const Bytes giaddr = {10, 0, 0, 250};
  std::copy(giaddr.begin(), giaddr.end(), slot->packet.Raw + 24);
  const Bytes tail = {
      0x63, 0x82, 0x53, 0x63,  // magic cookie
      53, 1, 5,                // message type ACK
      3, 18,                   // routers, 18 bytes: four addresses and a 2-byte remainder
      10, 0, 0, 254,           // on the subnet
      192, 168, 9, 1,          // off the subnet: skipped
      10, 0, 0, 253,           // on the subnet
      10, 0, 0, 254,           // repeated: skipped
      10, 0,                   // incomplete: ignored
      255,                     // end
  };
  std::copy(tail.begin(), tail.end(), slot->packet.Raw + 236);
  ASSERT_TRUE(ParsePacket(slot.get(), 236 + tail.size()));
  Locked([&](ProtocolInstance *in) {
    LearnRoutes(in, slot.get());
    return 0;
  });
  OptionIndexClear(&slot->options);
  OptionIndexClear(&slot->vendorOptions);

  const OrvaleMode &mode = Instance()->Mode;
  ASSERT_EQ(mode.RouteTableEntries, 3u);
  EXPECT_EQ(Ip4Of(mode.RouteTable[0].GwAddr), (Ip4{10, 0, 0, 254}));
  EXPECT_EQ(Ip4Of(mode.RouteTable[1].GwAddr), (Ip4{10, 0, 0, 253}));
  EXPECT_EQ(Ip4Of(mode.RouteTable[2].GwAddr), (Ip4{10, 0, 0, 250}));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Ip4Of(mode.RouteTable[i].IpAddr), (Ip4{0, 0, 0, 0}));
    EXPECT_EQ(Ip4Of(mode.RouteTable[i].SubnetMask), (Ip4{0, 0, 0, 0}));
  }
}

TEST_F(RouteTest, TableHoldsEightAndRefusesZero) {
  Locked([&](ProtocolInstance *in) {
    const EFI_IP_ADDRESS zero = Efi({0, 0, 0, 0});
    AddRoute(in, &zero);
    for (uint8_t i = 0; i < 10; ++i) {
      const EFI_IP_ADDRESS gw = Efi({10, 0, 0, static_cast<uint8_t>(200 + i)});
      AddRoute(in, &gw);
    }
    return 0;
  });
  EXPECT_EQ(Instance()->Mode.RouteTableEntries, 8u);
  EXPECT_EQ(Ip4Of(Instance()->Mode.RouteTable[0].GwAddr), (Ip4{10, 0, 0, 200}));
  EXPECT_EQ(Ip4Of(Instance()->Mode.RouteTable[7].GwAddr), (Ip4{10, 0, 0, 207}));
}

class TransmitTest : public NetTest {};

TEST_F(TransmitTest, TimeoutCancelsTheTokenAndClosesItsEvent) {
  nic_->faults.transmitNeverCompletes = true;
  const size_t events = fw_.LiveEvents();
  const Bytes payload(40, 0x5A);
  EFI_MAC_ADDRESS to{};
  const uint64_t before = fw_.Now();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Locked([&](ProtocolInstance *in) {
                return SendFrame(in, payload.data(), payload.size(), &to, kEtherTypeIpv4);
              }),
              EFI_TIMEOUT);
    EXPECT_EQ(nic_->PendingTransmits(), 0u);
    EXPECT_EQ(fw_.LiveEvents(), events);
  }
  EXPECT_GE(fw_.Now() - before, 3 * hosted::kTicksPerSecond);
  nic_->faults.transmitNeverCompletes = false;

  nic_->faults.transmitFails = true;
  EXPECT_EQ(Locked([&](ProtocolInstance *in) {
              return SendFrame(in, payload.data(), payload.size(), &to, kEtherTypeIpv4);
            }),
            EFI_DEVICE_ERROR);
  EXPECT_EQ(fw_.LiveEvents(), events);
  nic_->faults.transmitFails = false;

  // Accepted, but the token completes with an error: that is the result.
  nic_->faults.transmitCompletion = EFI_DEVICE_ERROR;
  EXPECT_EQ(Locked([&](ProtocolInstance *in) {
              return SendFrame(in, payload.data(), payload.size(), &to, kEtherTypeIpv4);
            }),
            EFI_DEVICE_ERROR);
  EXPECT_EQ(fw_.LiveEvents(), events);
  nic_->faults.transmitCompletion = EFI_SUCCESS;

  // Completed transmits leave no event behind either.
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(Locked([&](ProtocolInstance *in) {
                return SendFrame(in, payload.data(), payload.size(), &to, kEtherTypeIpv4);
              }),
              EFI_SUCCESS);
  }
  EXPECT_EQ(fw_.LiveEvents(), events);
  // Larger than the staging buffer: refused, nothing sent.
  const Bytes huge(kTxStagingSize + 1, 0);
  EXPECT_EQ(Locked([&](ProtocolInstance *in) {
              return SendFrame(in, huge.data(), huge.size(), &to, kEtherTypeIpv4);
            }),
            EFI_BAD_BUFFER_SIZE);
}

TEST_F(TransmitTest, ReceiveWithoutTimeoutPollsOnce) {
  UINTN header = 0, data = 0;
  UINT16 type = 0;
  const uint64_t before = fw_.Now();
  EXPECT_EQ(Locked([&](ProtocolInstance *in) { return ReceiveFrame(in, nullptr, &header, &data, &type); }),
            EFI_TIMEOUT);
  EXPECT_EQ(fw_.Now(), before);
  EXPECT_EQ(nic_->PendingReceives(), 0u);

  peer_->SendFrame(kClientMac, 0x88B5, Bytes(20, 0x11));
  EXPECT_EQ(Locked([&](ProtocolInstance *in) { return ReceiveFrame(in, nullptr, &header, &data, &type); }),
            EFI_SUCCESS);
  EXPECT_EQ(type, 0x88B5);
  EXPECT_EQ(header, 14u);
  EXPECT_EQ(data, 46u);  // padded to the Ethernet minimum
  EXPECT_EQ(Instance()->FrameBuffer[14], 0x11);
}

TEST_F(TransmitTest, ReceiveErrorDoesNotEndTheWait) {
  nic_->faults.receiveCompletesWithError = true;
  hosted::SegmentFaults later;
  later.delay = hosted::kTicksPerSecond / 10;
  segment_.SetFaults(later);
  peer_->SendFrame(kClientMac, 0x88B5, Bytes(20, 0x22));
  UINTN header = 0, data = 0;
  UINT16 type = 0;
  EXPECT_EQ(Locked([&](ProtocolInstance *in) {
              TimerEvent timer;
              EXPECT_EQ(timer.Arm(hosted::kTicksPerSecond), EFI_SUCCESS);
              return ReceiveFrame(in, timer.Get(), &header, &data, &type);
            }),
            EFI_SUCCESS);
  EXPECT_EQ(type, 0x88B5);
  EXPECT_FALSE(nic_->faults.receiveCompletesWithError);
}

// A layer above that drops whatever arrives and asks again, as every exchange
// does with a datagram that is not its reply: the wait must still end at the
// timer's deadline, however the frames come and whatever MNP does.
TEST_F(TransmitTest, EveryWaitEndsAtItsDeadline) {
  struct Case {
    const char *name;
    bool flood;  // frames every 1 ms, handled in 2 ms each: the queue never empties
    bool receiveFails;
    bool completesWithError;
  };
  const Case cases[] = {
      {"flood", true, false, false},
      {"Receive fails", false, true, false},
      {"every receive completes with an error", false, false, true},
      {"flood, every receive completes with an error", true, false, true},
  };
  constexpr uint64_t kWindow = hosted::kTicksPerSecond;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    if (c.flood) {
      nic_->faults.receiveTicks = 2 * hosted::kTicksPerMs;
      hosted::Bytes junk(kClientMac.begin(), kClientMac.end());
      for (uint8_t b : {0x02, 0x00, 0x00, 0x00, 0x00, 0x99, 0x88, 0xB5}) junk.push_back(b);
      junk.resize(60, 0x33);
      for (uint64_t t = 0; t < 2 * hosted::kTicksPerSecond; t += hosted::kTicksPerMs) segment_.Inject(junk, t);
    }
    nic_->faults.receiveFails = c.receiveFails;
    nic_->faults.receiveAlwaysCompletesWithError = c.completesWithError;
    const uint64_t before = fw_.Now();
    int calls = 0;
    const EFI_STATUS end = Locked([&](ProtocolInstance *in) {
      TimerEvent timer;
      EXPECT_EQ(timer.Arm(kWindow), EFI_SUCCESS);
      UINTN header = 0, data = 0;
      UINT16 type = 0;
      EFI_STATUS s;
      do {
        s = ReceiveFrame(in, timer.Get(), &header, &data, &type);
      } while ((s == EFI_SUCCESS || s == EFI_DEVICE_ERROR) && ++calls < 1'000'000);
      return s;
    });
    EXPECT_EQ(end, EFI_TIMEOUT);
    const uint64_t took = fw_.Now() - before;
    EXPECT_GE(took, kWindow);
    EXPECT_LE(took, kWindow + 2 * hosted::kTicksPerMs);
    EXPECT_EQ(nic_->PendingReceives(), 0u);
    nic_->faults = hosted::MnpFaults{};
    fw_.Advance(2 * hosted::kTicksPerSecond);
  }
}

class ArpMemberTest : public NetTest {};

TEST_F(ArpMemberTest, CacheHitSendsNothing) {
  EFI_IP_ADDRESS ip = Efi(kPeerIp);
  EFI_MAC_ADDRESS mac{};
  EXPECT_EQ(Proto()->Arp(Proto(), &ip, &mac), EFI_SUCCESS);
  EXPECT_EQ(MacOf(mac), kPeerMac);
  EXPECT_EQ(SentArp().size(), 1u);

  peer_->ClearReceived();
  std::memset(&mac, 0xEE, sizeof(mac));
  const uint64_t before = fw_.Now();
  EXPECT_EQ(Proto()->Arp(Proto(), &ip, &mac), EFI_SUCCESS);
  EXPECT_EQ(MacOf(mac), kPeerMac);
  EXPECT_EQ(Proto()->Arp(Proto(), &ip, nullptr), EFI_SUCCESS);
  EXPECT_TRUE(peer_->Received().empty());
  EXPECT_EQ(fw_.Now(), before);
}

TEST_F(ArpMemberTest, ArgumentsAndMisses) {
  EFI_IP_ADDRESS ip = Efi({10, 0, 0, 66});
  EFI_MAC_ADDRESS mac;
  std::memset(&mac, 0xEE, sizeof(mac));
  EXPECT_EQ(Proto()->Arp(nullptr, &ip, &mac), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Proto()->Arp(Proto(), nullptr, &mac), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Proto()->Arp(Proto(), &ip, &mac), EFI_TIMEOUT);
  // The hardware address was cleared before the attempt.
  EXPECT_EQ(MacOf(mac), (hosted::Mac{}));
  // With MacAddr null an answer still fills the cache.
  EFI_IP_ADDRESS peer = Efi(kPeerIp);
  EXPECT_EQ(Proto()->Arp(Proto(), &peer, nullptr), EFI_SUCCESS);
  EXPECT_EQ(Instance()->Mode.ArpCacheEntries, 1u);

  ASSERT_EQ(Proto()->Stop(Proto()), EFI_SUCCESS);
  EXPECT_EQ(Proto()->Arp(Proto(), &peer, &mac), EFI_NOT_STARTED);
  EXPECT_EQ(Proto()->SetStationIp(Proto(), &peer, nullptr), EFI_NOT_STARTED);
}

}  // namespace
}  // namespace orvale_test

namespace orvale_test {
namespace {

// Every child of a controller shares its one MNP child: none may cut the
// others off the network, in whichever order they stop or go.
class SeveralChildrenTest : public NetTest {
 protected:
  void SetUp() override {
    NetTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(hosted::CreateChild(fw_, nic_, &second_), EFI_SUCCESS);
    ASSERT_EQ(second_.protocol->Start(second_.protocol), EFI_SUCCESS);
  }
  void TearDown() override {
    if (second_.protocol != nullptr) EXPECT_EQ(hosted::DestroyChild(fw_, nic_, second_.handle), EFI_SUCCESS);
    NetTest::TearDown();
  }
  // A datagram to 10.0.0.2 read by the given child.
  EFI_STATUS Receives(OrvaleProtocol *p, uint8_t seed) {
    peer_->SendUdp(kClientMac, kClientIp, kPeerPort, kClientPort, Pattern(10, seed));
    Bytes data(64);
    UINTN size = data.size();
    const EFI_STATUS s =
        p->UdpRead(p, 0x000F, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &size, data.data());
    if (s == EFI_SUCCESS && Bytes(data.begin(), data.begin() + static_cast<long>(size)) != Pattern(10, seed)) {
      ADD_FAILURE() << "another datagram";
    }
    return s;
  }
  void Gone(hosted::Child *c, bool destroy) {
    if (destroy) {
      ASSERT_EQ(hosted::DestroyChild(fw_, nic_, c->handle), EFI_SUCCESS);
      *c = {};
    } else {
      ASSERT_EQ(c->protocol->Stop(c->protocol), EFI_SUCCESS);
    }
  }
  hosted::Child second_;
};

TEST_F(SeveralChildrenTest, EachStillReceivesWhileTheOtherLives) {
  for (const bool destroy : {false, true}) {
    for (const bool firstGoesFirst : {true, false}) {
      SCOPED_TRACE(std::string(destroy ? "destroyed" : "stopped") + (firstGoesFirst ? ", first child" : ", second"));
      if (child_.protocol == nullptr) ASSERT_EQ(hosted::CreateChild(fw_, nic_, &child_), EFI_SUCCESS);
      if (second_.protocol == nullptr) ASSERT_EQ(hosted::CreateChild(fw_, nic_, &second_), EFI_SUCCESS);
      for (hosted::Child *c : {&child_, &second_}) {
        if (!InstanceOf(*c)->State.Started) ASSERT_EQ(c->protocol->Start(c->protocol), EFI_SUCCESS);
      }
      EXPECT_EQ(Receives(child_.protocol, 1), EFI_SUCCESS);
      EXPECT_EQ(Receives(second_.protocol, 2), EFI_SUCCESS);
      hosted::Child *going = firstGoesFirst ? &child_ : &second_;
      hosted::Child *staying = firstGoesFirst ? &second_ : &child_;
      Gone(going, destroy);
      EXPECT_TRUE(nic_->Config().has_value()) << "MNP stays configured for the child still started";
      EXPECT_EQ(Receives(staying->protocol, 3), EFI_SUCCESS);
      // The last one going resets MNP.
      Gone(staying, destroy);
      EXPECT_FALSE(nic_->Config().has_value());
      EXPECT_EQ(nic_->PendingReceives(), 0u);
      ExpectTplRestored();
    }
  }
}

TEST_F(SeveralChildrenTest, NeverStartedChildGoesWithoutTouchingMnp) {
  hosted::Child idle;
  ASSERT_EQ(hosted::CreateChild(fw_, nic_, &idle), EFI_SUCCESS);
  EXPECT_EQ(idle.protocol->Stop(idle.protocol), EFI_SUCCESS);
  EXPECT_EQ(Receives(Proto(), 4), EFI_SUCCESS);
  ASSERT_EQ(hosted::DestroyChild(fw_, nic_, idle.handle), EFI_SUCCESS);
  EXPECT_EQ(Receives(second_.protocol, 5), EFI_SUCCESS);
  EXPECT_TRUE(nic_->Config().has_value());
}

}  // namespace
}  // namespace orvale_test
