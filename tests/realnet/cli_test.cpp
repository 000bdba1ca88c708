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
