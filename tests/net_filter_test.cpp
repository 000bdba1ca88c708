// The receive filter and IGMP: validation, what filtered reads accept,
// joining and leaving groups with the reports on the wire, and the version
// choice around version 1 queriers.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/net_test_support.h"

namespace orvale_test {
namespace {

using peers::Bytes;
using peers::Ip4;

constexpr Ip4 kGroup1 = {239, 1, 1, 1};
constexpr Ip4 kGroup2 = {239, 1, 1, 2};

EFI_PXE_BASE_CODE_IP_FILTER Filter(UINT8 filters, std::initializer_list<Ip4> list = {}) {
  EFI_PXE_BASE_CODE_IP_FILTER f{};
  f.Filters = filters;
  for (const Ip4 &ip : list) f.IpList[f.IpCnt++] = Efi(ip);
  return f;
}

class FilterTest : public NetTest {
 public:
  const hosted::Child &Child() const { return child_; }

 protected:
  EFI_STATUS Set(EFI_PXE_BASE_CODE_IP_FILTER f) { return Proto()->SetIpFilter(Proto(), &f); }
  // The IGMP datagrams the client sent, as frames.
  std::vector<hosted::Frame> IgmpFrames() const {
    std::vector<hosted::Frame> out;
    for (const hosted::Frame &f : nic_->sent) {
      if (f.bytes.size() >= 24 && f.bytes[12] == 0x08 && f.bytes[13] == 0x00 && f.bytes[14 + 9] == 2) {
        out.push_back(f);
      }
    }
    return out;
  }
  std::vector<peers::ParsedIgmp> Reports() const {
    std::vector<peers::ParsedIgmp> out;
    for (const hosted::Frame &f : IgmpFrames()) {
      const auto ip = peers::ParseIpv4(Bytes(f.bytes.begin() + 14, f.bytes.end()));
      if (ip) out.push_back(*peers::ParseIgmp(ip->payload));
    }
    return out;
  }
  // Keeps the receive path running (it services the report timers) for ticks.
  void Listen(uint64_t ticks) {
    Bytes data(64);
    UINTN size = data.size();
    UINT8 header[8];
    EXPECT_EQ(ReceiveFor(ticks, 0x0010, header, 8, data.data(), &size), EFI_TIMEOUT);
  }
  // Whether a filtered read accepts a datagram from the peer to destination.
  bool Accepts(const Ip4 &destination) {
    peers::Ipv4Fields ip;
    ip.destination = destination;
    peers::UdpFields udp;
    udp.sourcePort = kPeerPort;
    udp.destinationPort = kClientPort;
    peer_->SendIpv4(kClientMac, ip, peers::BuildUdp(kPeerIp, destination, udp, Pattern(4)));
    return ReadAny(64, 0x001B).status == EFI_SUCCESS;
  }
};

// Whether a filtered read gets a datagram sent to a group's own MAC, as a
// multicast frame reaches the NIC (MNP passes it only for joined groups).
bool GroupDatagramArrives(FilterTest *t, peers::Station *peer, const Ip4 &group) {
  peers::Ipv4Fields ip;
  ip.destination = group;
  peers::UdpFields udp;
  udp.sourcePort = kPeerPort;
  udp.destinationPort = kClientPort;
  peer->SendIpv4(peers::MulticastMac(group), ip, peers::BuildUdp(kPeerIp, group, udp, Pattern(4)));
  Bytes data(64);
  UINTN size = data.size();
  OrvaleProtocol *p = t->Child().protocol;
  return p->UdpRead(p, 0x001B, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &size, data.data()) ==
         EFI_SUCCESS;
}

// The IGMP datagram as it must leave: IPv4 header with Router Alert, then the message.
// Identification and IPv4 checksum are taken from the frame and checked by the peer.
void ExpectIgmpFrame(const hosted::Frame &frame, const Bytes &expectedMac, Bytes expected) {
  ASSERT_GE(frame.bytes.size(), 14u + 32u);
  EXPECT_EQ(Bytes(frame.bytes.begin(), frame.bytes.begin() + 6), expectedMac);
  Bytes got(frame.bytes.begin() + 14, frame.bytes.begin() + 14 + 32);
  expected[4] = got[4];
  expected[5] = got[5];
  expected[10] = got[10];
  expected[11] = got[11];
  EXPECT_EQ(got, expected);
  EXPECT_EQ(peers::Checksum(got.data(), 24), 0);
}

TEST_F(FilterTest, Validation) {
  EXPECT_EQ(Set(Filter(0x04)), EFI_SUCCESS);
  EXPECT_EQ(Set(Filter(0x05)), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Set(Filter(0x04, {{10, 0, 0, 9}})), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Set(Filter(0x08, {{10, 1, 2, 3}})), EFI_SUCCESS);
  EXPECT_EQ(Set(Filter(0x08, {kGroup1})), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Set(Filter(0x10)), EFI_INVALID_PARAMETER);
  EFI_PXE_BASE_CODE_IP_FILTER nine = Filter(0x01);
  nine.IpCnt = 9;
  EXPECT_EQ(Set(nine), EFI_INVALID_PARAMETER);
  // The refused filters left the last good one in place.
  EXPECT_EQ(Instance()->State.IpFilter.Filters, 0x08);
  EXPECT_EQ(Instance()->State.IpFilter.IpCnt, 1);
  EXPECT_EQ(Instance()->GroupCount, 0u);
  EXPECT_EQ(Proto()->SetIpFilter(Proto(), nullptr), EFI_INVALID_PARAMETER);
  EFI_PXE_BASE_CODE_IP_FILTER f = Filter(0x01);
  EXPECT_EQ(Proto()->SetIpFilter(nullptr, &f), EFI_INVALID_PARAMETER);
  ASSERT_EQ(Proto()->Stop(Proto()), EFI_SUCCESS);
  EXPECT_EQ(Proto()->SetIpFilter(Proto(), &f), EFI_NOT_STARTED);
}

TEST_F(FilterTest, WhatFilteredReadsAccept) {
  // After Start nothing is accepted.
  EXPECT_FALSE(Accepts(kClientIp));
  ASSERT_EQ(Set(Filter(0x01, {{10, 0, 0, 7}})), EFI_SUCCESS);
  EXPECT_TRUE(Accepts(kClientIp));
  EXPECT_TRUE(Accepts({10, 0, 0, 7}));
  EXPECT_FALSE(Accepts(peers::kBroadcastIp));
  ASSERT_EQ(Set(Filter(0x03)), EFI_SUCCESS);
  EXPECT_FALSE(Accepts({10, 0, 0, 7}));
  EXPECT_TRUE(Accepts(peers::kBroadcastIp));
  EXPECT_EQ(Instance()->State.IpFilter.IpCnt, 0);
  ASSERT_EQ(Set(Filter(0x08)), EFI_SUCCESS);
  EXPECT_TRUE(Accepts({239, 7, 7, 7}));
  EXPECT_FALSE(Accepts(kClientIp));
  ASSERT_EQ(Set(Filter(0x04)), EFI_SUCCESS);
  EXPECT_TRUE(Accepts({10, 9, 9, 9}));
}

TEST_F(FilterTest, JoinAndLeaveWithReportsOnTheWire) {
  ASSERT_EQ(Set(Filter(0x01, {kGroup1, kGroup2})), EFI_SUCCESS);
  EXPECT_EQ(Instance()->GroupCount, 2u);
  EXPECT_NE(Instance()->ReportTimers[0], nullptr);
  EXPECT_NE(Instance()->ReportTimers[1], nullptr);
  auto frames = IgmpFrames();
  ASSERT_EQ(frames.size(), 2u);
  // No version 1 querier heard: version 2 reports.
  ExpectIgmpFrame(frames[0], {0x01, 0x00, 0x5E, 0x01, 0x01, 0x01},
                  {
                      0x46, 0x00,              // version 4, IHL 6 (Router Alert); TOS 0
                      0x00, 0x20,              // total length 32
                      0x00, 0x00,              // identification (from the frame)
                      0x00, 0x00,              // no fragmenting flags
                      0x01, 0x02,              // TTL 1, IGMP
                      0x00, 0x00,              // header checksum (checked)
                      0x0A, 0x00, 0x00, 0x02,  // source 10.0.0.2
                      0xEF, 0x01, 0x01, 0x01,  // destination: the group
                      0x94, 0x04, 0x00, 0x00,  // Router Alert
                      0x16, 0x00,              // version 2 report, max response 0
                      0xF9, 0xFC,              // IGMP checksum
                      0xEF, 0x01, 0x01, 0x01,  // group 239.1.1.1
                  });
  ExpectIgmpFrame(frames[1], {0x01, 0x00, 0x5E, 0x01, 0x01, 0x02},
                  {
                      0x46, 0x00,              // version 4, IHL 6; TOS 0
                      0x00, 0x20,              // total length 32
                      0x00, 0x00,              // identification
                      0x00, 0x00,              // flags
                      0x01, 0x02,              // TTL 1, IGMP
                      0x00, 0x00,              // header checksum
                      0x0A, 0x00, 0x00, 0x02,  // source
                      0xEF, 0x01, 0x01, 0x02,  // destination
                      0x94, 0x04, 0x00, 0x00,  // Router Alert
                      0x16, 0x00,              // version 2 report
                      0xF9, 0xFB,              // IGMP checksum
                      0xEF, 0x01, 0x01, 0x02,  // group 239.1.1.2
                  });

  const size_t events = fw_.LiveEvents();
  ASSERT_EQ(Set(Filter(0x01, {kGroup2})), EFI_SUCCESS);
  EXPECT_EQ(Instance()->GroupCount, 1u);
  Bytes group(4);
  std::memcpy(group.data(), &Instance()->Groups[0], 4);
  EXPECT_EQ(group, (Bytes{239, 1, 1, 2}));
  EXPECT_NE(Instance()->ReportTimers[0], nullptr);
  EXPECT_EQ(Instance()->ReportTimers[1], nullptr);
  // The left group's timer was closed, not leaked.
  EXPECT_EQ(fw_.LiveEvents(), events - 1);
  frames = IgmpFrames();
  ASSERT_EQ(frames.size(), 3u);
  ExpectIgmpFrame(frames[2], {0x01, 0x00, 0x5E, 0x00, 0x00, 0x02},
                  {
                      0x46, 0x00,              // version 4, IHL 6; TOS 0
                      0x00, 0x20,              // total length 32
                      0x00, 0x00,              // identification
                      0x00, 0x00,              // flags
                      0x01, 0x02,              // TTL 1, IGMP
                      0x00, 0x00,              // header checksum
                      0x0A, 0x00, 0x00, 0x02,  // source
                      0xE0, 0x00, 0x00, 0x02,  // all routers
                      0x94, 0x04, 0x00, 0x00,  // Router Alert
                      0x17, 0x00,              // leave group
                      0xF8, 0xFC,              // IGMP checksum
                      0xEF, 0x01, 0x01, 0x01,  // group 239.1.1.1
                  });
}

TEST_F(FilterTest, UnsolicitedReportIsRepeatedWithinTenSeconds) {
  ASSERT_EQ(Set(Filter(0x01, {kGroup1})), EFI_SUCCESS);
  const uint64_t joined = fw_.Now();
  Listen(12 * hosted::kTicksPerSecond);
  const auto frames = IgmpFrames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_GE(frames[1].time - joined, 10 * hosted::kTicksPerSecond);
  EXPECT_LT(frames[1].time - joined, 10 * hosted::kTicksPerSecond + 7 * hosted::kTicksPerMs);
  EXPECT_EQ(Reports()[1].type, 0x16);
  EXPECT_EQ(Instance()->ReportTimers[0], nullptr);
}

TEST_F(FilterTest, NinthGroupIsInstalledButNotJoined) {
  EFI_PXE_BASE_CODE_IP_FILTER eight = Filter(0x01);
  for (uint8_t i = 0; i < 8; ++i) eight.IpList[eight.IpCnt++] = Efi({239, 0, 0, static_cast<uint8_t>(i + 1)});
  ASSERT_EQ(Set(eight), EFI_SUCCESS);
  EXPECT_EQ(Instance()->GroupCount, 8u);
  // The caller may edit the published filter; the groups stay joined.
  Proto()->State->IpFilter.IpCnt = 0;
  const size_t reports = IgmpFrames().size();
  ASSERT_EQ(Set(Filter(0x01, {{239, 0, 0, 9}})), EFI_SUCCESS);
  EXPECT_EQ(Instance()->GroupCount, 8u);
  EXPECT_EQ(Instance()->State.IpFilter.IpCnt, 1);
  EXPECT_EQ(Ip4Of(Instance()->State.IpFilter.IpList[0]), (Ip4{239, 0, 0, 9}));
  EXPECT_EQ(IgmpFrames().size(), reports);
}

TEST_F(FilterTest, VersionOneQuerierSwitchesReportsUntilItTimesOut) {
  ASSERT_EQ(Set(Filter(0x01, {kGroup1, kGroup2})), EFI_SUCCESS);
  nic_->sent.clear();
  // A version 1 general query: both groups report within about 10 s, as version 1.
  peer_->SendIgmpQuery(0);
  const uint64_t queried = fw_.Now();
  Listen(11 * hosted::kTicksPerSecond);
  EXPECT_TRUE(Instance()->IgmpV1Mode);
  EXPECT_NE(Instance()->IgmpV1Timer, nullptr);
  auto frames = IgmpFrames();
  ASSERT_EQ(frames.size(), 2u);
  for (const hosted::Frame &f : frames) {
    EXPECT_GE(f.time - queried, 10 * hosted::kTicksPerSecond);
    EXPECT_LT(f.time - queried, 10 * hosted::kTicksPerSecond + 7 * hosted::kTicksPerMs);
  }
  EXPECT_EQ(Reports()[0].type, 0x12);
  EXPECT_EQ(Reports()[1].type, 0x12);

  // No leave while a version 1 querier is present.
  ASSERT_EQ(Set(Filter(0x01, {kGroup2})), EFI_SUCCESS);
  EXPECT_EQ(IgmpFrames().size(), 2u);

  // 400 s without version 1 queries: back to version 2 for a version 2 query.
  fw_.Advance(400 * hosted::kTicksPerSecond);
  nic_->sent.clear();
  peer_->SendIgmpQuery(20, kGroup2);
  Listen(3 * hosted::kTicksPerSecond);
  ASSERT_EQ(Reports().size(), 1u);
  EXPECT_EQ(Reports()[0].type, 0x16);
  EXPECT_FALSE(Instance()->IgmpV1Mode);
  EXPECT_EQ(Instance()->IgmpV1Timer, nullptr);
  // And leaves are sent again.
  ASSERT_EQ(Set(Filter(0x01)), EFI_SUCCESS);
  ASSERT_EQ(Reports().size(), 2u);
  EXPECT_EQ(Reports()[1].type, 0x17);
}

TEST_F(FilterTest, GroupQueryAndAnotherMembersReport) {
  ASSERT_EQ(Set(Filter(0x01, {kGroup1, kGroup2})), EFI_SUCCESS);
  Listen(11 * hosted::kTicksPerSecond);  // the unsolicited repeats
  nic_->sent.clear();
  // A query for one group: only that one reports, within its 2 s.
  peer_->SendIgmpQuery(20, kGroup2);
  Listen(3 * hosted::kTicksPerSecond);
  ASSERT_EQ(Reports().size(), 1u);
  EXPECT_EQ(Reports()[0].group, kGroup2);

  // Another member answers first: this station stays quiet for that group.
  nic_->sent.clear();
  peer_->SendIgmpQuery(50);
  peer_->SendIgmpReport(0x16, kGroup1);
  Listen(6 * hosted::kTicksPerSecond);
  ASSERT_EQ(Reports().size(), 1u);
  EXPECT_EQ(Reports()[0].group, kGroup2);
}

TEST_F(FilterTest, MalformedIgmpIsIgnored) {
  ASSERT_EQ(Set(Filter(0x01, {kGroup1})), EFI_SUCCESS);
  Listen(11 * hosted::kTicksPerSecond);
  nic_->sent.clear();
  peers::Ipv4Fields ip;
  ip.destination = {224, 0, 0, 1};
  ip.protocol = peers::kProtoIgmp;
  Bytes query = peers::BuildIgmp(0x11, 10, {0, 0, 0, 0});
  peer_->SendIpv4(peers::MulticastMac(ip.destination), ip, Bytes(query.begin(), query.begin() + 7));
  query[2] ^= 0x01;
  peer_->SendIpv4(peers::MulticastMac(ip.destination), ip, query);
  Listen(2 * hosted::kTicksPerSecond);
  EXPECT_TRUE(Reports().empty());
  EXPECT_EQ(Drops(kDropIgmpShort), 1u);
  EXPECT_EQ(Drops(kDropIgmpChecksum), 1u);
  EXPECT_EQ(Instance()->ReportTimers[0], nullptr);
}

}  // namespace
}  // namespace orvale_test

namespace orvale_test {
namespace {

// Stop leaves the groups (MNP forgets them when reset, and Start clears the
// filter), so after a restart the same filter joins them again: reports go
// out and MNP passes the group's frames.
TEST_F(FilterTest, GroupsAgreeWithMnpAcrossStopAndStart) {
  ASSERT_EQ(Set(Filter(0x01, {kGroup1})), EFI_SUCCESS);
  EXPECT_TRUE(GroupDatagramArrives(this, peer_.get(), kGroup1));
  EXPECT_FALSE(GroupDatagramArrives(this, peer_.get(), kGroup2)) << "never joined";
  nic_->sent.clear();
  ASSERT_EQ(Proto()->Stop(Proto()), EFI_SUCCESS);
  EXPECT_EQ(Instance()->GroupCount, 0u);
  auto reports = Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].type, 0x17);
  EXPECT_EQ(reports[0].group, kGroup1);

  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(StartChild(), EFI_SUCCESS);
    EFI_IP_ADDRESS ip = Efi(kClientIp);
    ASSERT_EQ(Proto()->SetStationIp(Proto(), &ip, nullptr), EFI_SUCCESS);
    nic_->sent.clear();
    ASSERT_EQ(Set(Filter(0x01, {kGroup1, {239, 1, 1, 3}, {239, 1, 1, 4}, {239, 1, 1, 5}, {239, 1, 1, 6},
                                {239, 1, 1, 7}, {239, 1, 1, 8}, {239, 1, 1, 9}})),
              EFI_SUCCESS);
    EXPECT_EQ(Instance()->GroupCount, 8u) << "no slot kept by a group of the last run";
    reports = Reports();
    ASSERT_EQ(reports.size(), 8u);
    EXPECT_EQ(reports[0].type, 0x16);
    EXPECT_EQ(reports[0].group, kGroup1);
    EXPECT_TRUE(GroupDatagramArrives(this, peer_.get(), kGroup1));
    EXPECT_TRUE(GroupDatagramArrives(this, peer_.get(), {239, 1, 1, 9}));
    ASSERT_EQ(Proto()->Stop(Proto()), EFI_SUCCESS);
  }
}

// A filter change that leaves one group and joins another: each message goes
// out at once, and the TPL the leave raises is back before the join sends.
TEST_F(FilterTest, LeaveAndJoinInOneCallTakeNoTime) {
  ASSERT_EQ(Set(Filter(0x01, {kGroup1})), EFI_SUCCESS);
  nic_->sent.clear();
  const uint64_t before = fw_.Now();
  ASSERT_EQ(Set(Filter(0x01, {kGroup2})), EFI_SUCCESS);
  EXPECT_EQ(fw_.Now(), before);
  ExpectTplRestored();
  const auto reports = Reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].type, 0x17);
  EXPECT_EQ(reports[0].group, kGroup1);
  EXPECT_EQ(reports[1].type, 0x16);
  EXPECT_EQ(reports[1].group, kGroup2);
  EXPECT_EQ(Instance()->Mode.Ttl, 16) << "IGMP's TTL of 1 is its own";
}

}  // namespace
}  // namespace orvale_test
