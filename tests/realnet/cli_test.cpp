// The orvale tool against the same kernel peer: what it prints and the exit
// status it gives, with the capture judged like every other test.
#include <string>

#include "tests/realnet/realnet_fixture.h"

namespace realnet {
namespace {

using Cli = CapturedTest;

bool Has(const Outcome &o, const std::string &s) { return o.out.find(s) != std::string::npos; }

TEST_F(Cli, ArpEchoAndFragmentsInOneLine) {
  const std::string server = realnet::Text(env_.serverIp);
  Outcome o = RunCommand({env_.cli,
                          "--if",
                          env_.iface,
                          "set-ip",
                          realnet::Text(env_.stationIp) + "/24",
                          "arp",
                          server,
                          "udp-send",
                          server,
                          std::to_string(env_.echoPort),
                          "hello from the tool",
                          "udp-recv",
                          "--timeout",
                          "3",
                          "udp-send",
                          server,
                          std::to_string(env_.checkPort),
                          "--size",
                          "3000",
                          "--fragment",
                          "udp-recv",
                          "--timeout",
                          "3"});
  EXPECT_EQ(o.exitCode, 0) << o.out;
  EXPECT_TRUE(Has(o, "station " + realnet::Text(env_.stationIp) + " mask 255.255.255.0")) << o.out;
  EXPECT_TRUE(Has(o, server + " is at " + realnet::Text(env_.serverMac))) << o.out;
  EXPECT_TRUE(Has(o, "data: hello from the tool")) << o.out;
  EXPECT_TRUE(Has(o, "data: LEN 3000 OK")) << o.out;
  EXPECT_TRUE(Has(o, "status: EFI_SUCCESS")) << o.out;
}

TEST_F(Cli, ClosedPortExitsWithTheIcmpErrorStatus) {
  const std::string server = realnet::Text(env_.serverIp);
  Outcome o = RunCommand({env_.cli, "--if", env_.iface, "set-ip", realnet::Text(env_.stationIp) + "/24", "udp-send",
                          server, std::to_string(env_.closedPort), "x", "udp-recv", "--timeout", "3", "show"});
  EXPECT_EQ(o.exitCode, 22) << o.out;  // EFI_ICMP_ERROR's code
  EXPECT_TRUE(Has(o, "icmp error: type 3 code 3")) << o.out;
  EXPECT_TRUE(Has(o, "status: EFI_ICMP_ERROR")) << o.out;
  EXPECT_FALSE(Has(o, "\nshow\n")) << "the line must stop at the failing command:\n" << o.out;
}

// The tool reads one datagram while a hostile station sends crafted frames of
// one kind, then a good datagram: only the good one is printed, and the
// tool exits 0. (Cli.ClosedPortExitsWithTheIcmpErrorStatus shows that the
// kernel's own port unreachable still ends the read.)
class HostileStation : public CapturedTest {
 protected:
  void ReadsOnlyTheGoodDatagram(const std::string &kind) {
    const std::string port = "7100";
    const std::string stderrPath = env_.captureDir + "/HostileStation." + kind + ".stderr";
    const pid_t station =
        Spawn({"ip", "netns", "exec", env_.serverNs, env_.python, env_.scripts + "/hostile_frames.py", env_.serverIf,
               realnet::Text(mac_), realnet::Text(env_.serverIp), realnet::Text(env_.stationIp), port, kind, "1.0"});
    ASSERT_GT(station, 0);
    // The ARP request is the driver's frame the judge reads.
    Outcome o = RunCommand({env_.cli, "--if", env_.iface, "set-ip", realnet::Text(env_.stationIp) + "/24", "arp",
                            realnet::Text(env_.serverIp), "udp-recv", "--port", port, "--timeout", "6"},
                           stderrPath);
    EXPECT_EQ(WaitExit(station, 10), 0);
    EXPECT_EQ(o.exitCode, 0) << o.out;
    EXPECT_TRUE(Has(o, "data: GOOD " + kind)) << o.out;
    size_t received = 0;
    for (size_t at = o.out.find("received "); at != std::string::npos; at = o.out.find("received ", at + 1)) {
      ++received;
    }
    EXPECT_EQ(received, 1u) << o.out;
    EXPECT_FALSE(Has(o, "FORGED")) << o.out;
    EXPECT_FALSE(Has(o, "icmp error")) << o.out;
    const Outcome err = RunCommand({"cat", stderrPath});
    EXPECT_EQ(err.out.find("dropped a datagram with a bad UDP checksum") != std::string::npos,
              kind == "bad-checksum")
        << err.out;
  }
};

TEST_F(HostileStation, ForgedFirstFragmentOverARealDatagram) { ReadsOnlyTheGoodDatagram("forged-first"); }
TEST_F(HostileStation, OverlappingFragmentWithOtherBytes) { ReadsOnlyTheGoodDatagram("overlap"); }
TEST_F(HostileStation, PortUnreachableToTheBroadcastAddress) { ReadsOnlyTheGoodDatagram("icmp-broadcast"); }
TEST_F(HostileStation, IcmpErrorQuotingAnotherHost) { ReadsOnlyTheGoodDatagram("icmp-foreign"); }
TEST_F(HostileStation, IcmpErrorWithAFourByteQuote) { ReadsOnlyTheGoodDatagram("icmp-short"); }
TEST_F(HostileStation, BadUdpChecksumAheadOfAGoodDatagram) { ReadsOnlyTheGoodDatagram("bad-checksum"); }

// No driver traffic in these; nothing to judge.
TEST(CliLine, HelpAndWrongLines) {
  Env env;
  std::string why;
  ASSERT_TRUE(LoadEnv(&env, &why)) << why;
  Outcome help = RunCommand({env.cli, "--help"});
  EXPECT_EQ(help.exitCode, 0);
  for (const char *command : {"set-ip IP/PREFIX", "arp IP", "udp-send IP PORT TEXT|--size N", "udp-recv [--port P]",
                              "join GROUP", "wait SECONDS", "show", "exit status"})
    EXPECT_TRUE(Has(help, command)) << command;

  // Checked before the driver starts: nothing reaches the wire.
  EXPECT_EQ(RunCommand({env.cli, "--if", env.iface, "udp-send", "198.18.0.1", "7"}).exitCode, 64);
  EXPECT_EQ(RunCommand({env.cli, "--if", env.iface, "set-ip", "198.18.0.10", "show"}).exitCode, 64);
  EXPECT_EQ(RunCommand({env.cli, "--if", env.iface, "arp", "198.18.0.300"}).exitCode, 64);
  EXPECT_EQ(RunCommand({env.cli, "--if", env.iface, "join", "10.0.0.1"}).exitCode, 64);
  EXPECT_EQ(RunCommand({env.cli, "--if", env.iface, "frobnicate"}).exitCode, 64);
  EXPECT_EQ(RunCommand({env.cli, "show"}).exitCode, 64);
  EXPECT_EQ(RunCommand({env.cli, "--if", "orv-nonexistent", "show"}).exitCode, 65);
}

}  // namespace
}  // namespace realnet
