// The driver against the Linux kernel across a real bridge: ARP both ways,
// UDP through udp_peer.py, fragments both ways, the kernel's ICMP port
// unreachable, and IGMP with the bridge's querier.
#include <string.h>

#include <algorithm>

#include "tests/realnet/realnet_fixture.h"

namespace realnet {
namespace {

using KernelPeer = DriverTest;

hosted::Bytes Text(const char *s) { return hosted::Bytes(s, s + strlen(s)); }
std::string AsString(const hosted::Bytes &b) { return std::string(b.begin(), b.end()); }

bool IsArp(const TapFrame &f, uint16_t op, const EFI_IP_ADDRESS &target) {
  // Ethernet ARP: operation at 20, target protocol address at 38.
  return EtherType(f) == 0x0806 && f.bytes.size() >= 42 && f.bytes[20] == 0 && f.bytes[21] == op &&
         memcmp(f.bytes.data() + 38, target.v4.Addr, 4) == 0;
}

TEST_F(KernelPeer, ArpResolvesTheServerAndTimesOutOnSilence) {
  SetStation();
  EFI_IP_ADDRESS server = env_.serverIp;
  EFI_MAC_ADDRESS mac{};
  ASSERT_STATUS(p_->Arp(p_, &server, &mac), EFI_SUCCESS);
  EXPECT_EQ(0, memcmp(mac.Addr, env_.serverMac.data(), 6));
  ASSERT_EQ(p_->Mode->ArpCacheEntries, 1u);
  EXPECT_EQ(0, memcmp(p_->Mode->ArpCache[0].IpAddr.v4.Addr, server.v4.Addr, 4));
  EXPECT_EQ(0, memcmp(p_->Mode->ArpCache[0].MacAddr.Addr, env_.serverMac.data(), 6));

  // A cached address is answered without a request on the wire.
  tap_.Poll();
  tap_.Clear();
  EFI_MAC_ADDRESS again{};
  ASSERT_STATUS(p_->Arp(p_, &server, &again), EFI_SUCCESS);
  EXPECT_EQ(0, memcmp(again.Addr, env_.serverMac.data(), 6));
  SleepSeconds(0.05);
  tap_.Poll();
  EXPECT_TRUE(tap_.Matching([&](const TapFrame &f) { return f.outgoing && IsArp(f, 1, server); }).empty());

  // Nobody has .99: one request, then EFI_TIMEOUT after about half a second of real time.
  EFI_IP_ADDRESS nobody = env_.stationIp;
  nobody.v4.Addr[3] = 99;
  const double start = MonotonicNow();
  EXPECT_STATUS(p_->Arp(p_, &nobody, nullptr), EFI_TIMEOUT);
  const double took = MonotonicNow() - start;
  EXPECT_GT(took, 0.45);
  EXPECT_LT(took, 1.5);
  tap_.Poll();
  EXPECT_EQ(tap_.Matching([&](const TapFrame &f) { return f.outgoing && IsArp(f, 1, nobody); }).size(), 1u);
}

TEST_F(KernelPeer, AnswersTheKernelsArpForTheStationAddress) {
  SetStation();
  // The server must learn the station's MAC from our reply, not from a request of ours.
  ASSERT_EQ(RunCommandIn(env_.serverNs, {"ip", "-4", "neigh", "flush", "all"}).exitCode, 0);
  const std::string station = realnet::Text(env_.stationIp);
  pid_t sender = Spawn({"ip", "netns", "exec", env_.serverNs, env_.python, "-c",
                        "import socket; socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto("
                        "b'kernel to station', ('" +
                            station + "', 5555))"});
  ASSERT_GT(sender, 0);
  hosted::Bytes data;
  EXPECT_STATUS(Receive(&env_.serverIp, 0, 5555, &data, 4), EFI_SUCCESS);
  EXPECT_EQ(AsString(data), "kernel to station");
  EXPECT_EQ(WaitExit(sender, 5), 0);

  Outcome neigh = RunCommandIn(env_.serverNs, {"ip", "-4", "neigh", "show", station});
  EXPECT_NE(neigh.out.find("lladdr " + realnet::Text(mac_)), std::string::npos) << neigh.out;
  // REACHABLE only follows a solicited reply.
  EXPECT_NE(neigh.out.find("REACHABLE"), std::string::npos) << neigh.out;

  const auto replies = tap_.Matching([&](const TapFrame &f) {
    return f.outgoing && EtherType(f) == 0x0806 && f.bytes.size() >= 42 && f.bytes[21] == 2 &&
           memcmp(f.bytes.data() + 28, env_.stationIp.v4.Addr, 4) == 0 &&
           memcmp(f.bytes.data(), env_.serverMac.data(), 6) == 0;
  });
  EXPECT_EQ(replies.size(), 1u);
  // The request taught the driver the server's address too.
  EFI_MAC_ADDRESS cached{};
  EFI_IP_ADDRESS server = env_.serverIp;
  tap_.Clear();
  EXPECT_STATUS(p_->Arp(p_, &server, &cached), EFI_SUCCESS);
  EXPECT_EQ(0, memcmp(cached.Addr, env_.serverMac.data(), 6));
  tap_.Poll();
  EXPECT_TRUE(tap_.Matching([&](const TapFrame &f) { return f.outgoing && IsArp(f, 1, server); }).empty());
}

TEST_F(KernelPeer, UdpEchoRoundTrip) {
  SetStation();
  uint16_t port = 0;
  const hosted::Bytes hello = Text("hello across a real bridge");
  ASSERT_STATUS(Send(env_.serverIp, env_.echoPort, hello, 0, &port), EFI_SUCCESS);
  hosted::Bytes echo;
  ASSERT_STATUS(Receive(&env_.serverIp, env_.echoPort, port, &echo, 3), EFI_SUCCESS);
  EXPECT_EQ(echo, hello);

  // From a port of the caller's choosing, and the echo comes back to it.
  uint16_t fixed = 40000;
  const hosted::Bytes second = Text("second, from port 40000");
  ASSERT_STATUS(Send(env_.serverIp, env_.echoPort, second, 0, &fixed, true), EFI_SUCCESS);
  ASSERT_STATUS(Receive(&env_.serverIp, env_.echoPort, 40000, &echo, 3), EFI_SUCCESS);
  EXPECT_EQ(echo, second);
}

TEST_F(KernelPeer, FragmentedWriteIsReassembledByTheKernel) {
  SetStation();
  uint16_t port = 0;
  const UINT16 mayFragment = EFI_PXE_BASE_CODE_UDP_OPFLAGS_MAY_FRAGMENT;
  ASSERT_STATUS(Send(env_.serverIp, env_.checkPort, orvale_cli::Pattern(3000), mayFragment, &port), EFI_SUCCESS);
  hosted::Bytes answer;
  ASSERT_STATUS(Receive(&env_.serverIp, env_.checkPort, port, &answer, 3), EFI_SUCCESS);
  EXPECT_EQ(AsString(answer), "LEN 3000 OK");

  // On the wire: 1464 + 1464 + 80 bytes of IPv4 payload, one identification.
  const auto fragments = tap_.Matching([&](const TapFrame &f) {
    Ipv4Frame ip = ParseIpv4(f);
    return f.outgoing && ip.ok && ip.protocol == 17 && SameIp(ip.dst, env_.serverIp) &&
           (ip.moreFragments || ip.fragmentOffset != 0);
  });
  ASSERT_EQ(fragments.size(), 3u);
  const uint32_t offsets[3] = {0, 1464, 2928};
  const size_t lengths[3] = {1464, 1464, 80};
  for (size_t i = 0; i < 3; ++i) {
    Ipv4Frame ip = ParseIpv4(fragments[i]);
    EXPECT_EQ(ip.fragmentOffset, offsets[i]);
    EXPECT_EQ(ip.payloadLength, lengths[i]);
    EXPECT_EQ(ip.moreFragments, i < 2);
    EXPECT_FALSE(ip.dontFragment);
    EXPECT_EQ(ip.id, ParseIpv4(fragments[0]).id);
  }
}

TEST_F(KernelPeer, KernelFragmentsAreReassembledByTheDriver) {
  SetStation();
  for (const size_t bufferSize : {size_t{4096}, size_t{2000}}) {
    SCOPED_TRACE("buffer " + std::to_string(bufferSize));
    tap_.Clear();
    uint16_t port = 0;
    ASSERT_STATUS(Send(env_.serverIp, env_.sendPort, Text("SIZE 3000"), 0, &port), EFI_SUCCESS);
    // UdpRead never waits, so a datagram whose fragments straddle a call is
    // lost (see the report); let all three arrive before reading.
    auto incoming = [&] {
      return tap_.Matching([&](const TapFrame &f) {
        Ipv4Frame ip = ParseIpv4(f);
        return !f.outgoing && ip.ok && ip.protocol == 17 && SameIp(ip.src, env_.serverIp) &&
               (ip.moreFragments || ip.fragmentOffset != 0);
      });
    };
    ASSERT_TRUE(WatchUntil([&] { return incoming().size() >= 3; }, 3));
    // The kernel's fragments: IPv4 totals of 1500, 1500 and 68 bytes.
    const auto fragments = incoming();
    ASSERT_EQ(fragments.size(), 3u);
    EXPECT_EQ(ParseIpv4(fragments[0]).totalLength, 1500);
    EXPECT_EQ(ParseIpv4(fragments[1]).totalLength, 1500);
    EXPECT_EQ(ParseIpv4(fragments[2]).totalLength, 68);

    EFI_IP_ADDRESS src = env_.serverIp;
    EFI_PXE_BASE_CODE_UDP_PORT sport = env_.sendPort, dport = port;
    hosted::Bytes buffer(bufferSize, 0xEE);
    UINTN size = buffer.size();
    EFI_STATUS status = p_->UdpRead(p_, 0, nullptr, &dport, &src, &sport, nullptr, nullptr, &size, buffer.data());
    if (bufferSize >= 3000) {
      ASSERT_STATUS(status, EFI_SUCCESS);
      ASSERT_EQ(size, 3000u);
      buffer.resize(size);
      EXPECT_TRUE(buffer == orvale_cli::Pattern(3000));
    } else {
      EXPECT_STATUS(status, EFI_BUFFER_TOO_SMALL);
      EXPECT_EQ(size, bufferSize);
    }
  }
}

// A caller polling UdpRead meets the fragments of one datagram in different
// calls whenever they arrive apart (a distant sender, a busy link). The
// datagram must still come out whole.
TEST_F(KernelPeer, FragmentsArrivingBetweenUdpReadCallsAreReassembled) {
  SetStation();
  EFI_IP_ADDRESS server = env_.serverIp;
  ASSERT_STATUS(p_->Arp(p_, &server, nullptr), EFI_SUCCESS);  // and the judge has a frame of ours
  const uint16_t port = 6001;
  pid_t sender = Spawn({"ip", "netns", "exec", env_.serverNs, env_.python, env_.scripts + "/send_fragments.py",
                        env_.serverIf, realnet::Text(mac_), realnet::Text(env_.serverIp), realnet::Text(env_.stationIp),
                        std::to_string(env_.sendPort), std::to_string(port), "3000", "0.2"});
  ASSERT_GT(sender, 0);
  hosted::Bytes data;
  EXPECT_STATUS(Receive(&env_.serverIp, env_.sendPort, port, &data, 3), EFI_SUCCESS);
  EXPECT_TRUE(data == orvale_cli::Pattern(3000)) << "got " << data.size() << " bytes";
  EXPECT_EQ(WaitExit(sender, 5), 0);
  const auto fragments = tap_.Matching([&](const TapFrame &f) {
    Ipv4Frame ip = ParseIpv4(f);
    return !f.outgoing && ip.ok && SameIp(ip.src, env_.serverIp) && (ip.moreFragments || ip.fragmentOffset != 0);
  });
  EXPECT_EQ(fragments.size(), 3u);
}

TEST_F(KernelPeer, ClosedPortGivesIcmpError) {
  SetStation();
  uint16_t port = 0;
  ASSERT_STATUS(Send(env_.serverIp, env_.closedPort, Text("anyone there?"), 0, &port), EFI_SUCCESS);
  EXPECT_FALSE(p_->Mode->IcmpErrorReceived);
  hosted::Bytes data;
  ASSERT_STATUS(Receive(&env_.serverIp, env_.closedPort, port, &data, 3), EFI_ICMP_ERROR);
  EXPECT_TRUE(p_->Mode->IcmpErrorReceived);
  const EFI_PXE_BASE_CODE_ICMP_ERROR &e = p_->Mode->IcmpError;
  EXPECT_EQ(e.Type, 3);  // destination unreachable
  EXPECT_EQ(e.Code, 3);  // port unreachable
  // The kernel quotes our datagram whole: our IPv4 header, then our UDP header.
  const uint8_t *quoted = e.Data;
  EXPECT_EQ(quoted[0], 0x45);
  EXPECT_EQ(quoted[9], 17);
  EXPECT_EQ(0, memcmp(quoted + 12, env_.stationIp.v4.Addr, 4));
  EXPECT_EQ(0, memcmp(quoted + 16, env_.serverIp.v4.Addr, 4));
  EXPECT_EQ((quoted[20] << 8) | quoted[21], port);
  EXPECT_EQ((quoted[22] << 8) | quoted[23], env_.closedPort);
  EXPECT_EQ(0, memcmp(quoted + 28, "anyone there?", 13));
}

// The querier of the bridge is off until here, so its first query comes while
// the driver listens. Its maximum response time (4 s, set by the harness) is
// shorter than the 10 s repeat of the join's report, so a report inside it is
// the answer to the query.
TEST_F(KernelPeer, IgmpQueryIsAnsweredWithinItsMaximumResponseTime) {
  SetStation();
  struct Querier {
    const Env &env;
    bool Set(bool on) {
      return RunCommandIn(env.bridgeNs,
                          {"ip", "link", "set", "dev", env.bridge, "type", "bridge", "mcast_querier", on ? "1" : "0"})
                 .exitCode == 0;
    }
    ~Querier() { Set(false); }
  } querier{env_};
  ASSERT_TRUE(querier.Set(false));

  EFI_IP_ADDRESS group{};
  const uint8_t groupBytes[4] = {239, 1, 2, 3};
  memcpy(group.v4.Addr, groupBytes, 4);
  auto reports = [&](double after) {
    return tap_.Matching([&](const TapFrame &f) {
      Ipv4Frame ip = ParseIpv4(f);
      return f.outgoing && f.time > after && ip.ok && ip.protocol == 2 && ip.payloadLength >= 8 &&
             (ip.payload[0] == 0x12 || ip.payload[0] == 0x16) && memcmp(ip.payload + 4, groupBytes, 4) == 0 &&
             SameIp(ip.dst, group);
    });
  };

  EFI_PXE_BASE_CODE_IP_FILTER filter{};
  filter.Filters = EFI_PXE_BASE_CODE_IP_FILTER_STATION_IP;
  filter.IpCnt = 1;
  filter.IpList[0] = group;
  const double joined = RealtimeNow();
  ASSERT_STATUS(p_->SetIpFilter(p_, &filter), EFI_SUCCESS);
  // The first report goes out at once, to the group's MAC.
  ASSERT_TRUE(PollUntil([&] { return !reports(0).empty(); }, 1.0));
  const TapFrame first = reports(0)[0];
  EXPECT_LT(first.time - joined, 0.5);
  const uint8_t groupMac[6] = {0x01, 0x00, 0x5e, 0x01, 0x02, 0x03};
  EXPECT_EQ(0, memcmp(first.bytes.data(), groupMac, 6));
  // RFC 2236 section 2: with the Router Alert option (RFC 2113).
  const Ipv4Frame firstIp = ParseIpv4(first);
  ASSERT_EQ(firstIp.headerLength, 24u);
  const uint8_t routerAlert[4] = {0x94, 0x04, 0x00, 0x00};
  EXPECT_EQ(0, memcmp(first.bytes.data() + 14 + 20, routerAlert, 4));

  ASSERT_TRUE(querier.Set(true));
  auto queries = [&] {
    return tap_.Matching([](const TapFrame &f) {
      Ipv4Frame ip = ParseIpv4(f);
      return !f.outgoing && ip.ok && ip.protocol == 2 && ip.payloadLength >= 8 && ip.payload[0] == 0x11;
    });
  };
  ASSERT_TRUE(PollUntil([&] { return !queries().empty(); }, 3.0)) << "no query from the bridge";
  const TapFrame query = queries()[0];
  const double maxResponse = ParseIpv4(query).payload[1] / 10.0;
  ASSERT_GT(maxResponse, 0) << "a version 2 query carries its maximum response time";
  ASSERT_LT(maxResponse, 9.0) << "the harness sets a response time below the 10 s repeat";

  ASSERT_TRUE(PollUntil([&] { return !reports(query.time).empty(); }, maxResponse + 1.5))
      << "no report answered the query";
  const double answeredAfter = reports(query.time)[0].time - query.time;
  EXPECT_LE(answeredAfter, maxResponse + 0.5);

  // The bridge's snooping took the report: the group is on the client's port.
  Outcome mdb = RunCommandIn(env_.bridgeNs, {"bridge", "mdb", "show", "dev", env_.bridge});
  EXPECT_NE(mdb.out.find("port " + env_.bridgePort + " grp 239.1.2.3"), std::string::npos) << mdb.out;
}

}  // namespace
}  // namespace realnet
