// Real DHCP servers as black-box peers in the server namespace: a lease from
// dnsmasq and from ISC dhcpd, and a whole WIRL boot against ISC dhcpd
// configured with classes for the WIRL LIST and SELECT, all through the
// orvale tool. The capture is judged as in every other test.
#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "tests/realnet/realnet_fixture.h"

namespace realnet {
namespace {

bool Has(const Outcome &o, const std::string &s) { return o.out.find(s) != std::string::npos; }

// An ISC dhcpd class for the WIRL INFORMs whose option 43 begins with prefix,
// answering with the vendor class and the given option 43, plus extra statements.
std::string WirlClass(const std::string &name, const std::string &prefix, const std::string &vendorOptions,
                      const std::string &extra = "") {
  return "class \"" + name + "\" {\n"
         "  match if substring(option vendor-class-identifier, 0, 9) = \"ZEKOWIRLC\"\n"
         "    and substring(option vendor-encapsulated-options, 0, 3) = " + prefix + ";\n"
         "  option vendor-class-identifier \"ZEKOWIRLC\";\n"
         "  option vendor-encapsulated-options " + vendorOptions + ";\n" + extra + "}\n";
}

class RealDhcpServer : public CapturedTest {
 protected:
  void TearDown() override {
    if (server_ > 0) {
      // dhcpd in the foreground may take its time over SIGTERM; WaitExit kills it then.
      kill(server_, SIGTERM);
      (void)WaitExit(server_, 2);
      server_ = -1;
    }
    CapturedTest::TearDown();
  }

  std::string Write(const std::string &name, const std::string &text) {
    const std::string path = env_.captureDir + "/" + name;
    std::ofstream(path) << text;
    return path;
  }

  // Starts argv in the server namespace and waits until something listens on port 67.
  void StartServer(const std::vector<std::string> &argv, const std::string &log) {
    std::vector<std::string> full = {"ip", "netns", "exec", env_.serverNs};
    full.insert(full.end(), argv.begin(), argv.end());
    server_ = Spawn(full, env_.captureDir + "/" + log + ".out", env_.captureDir + "/" + log + ".err");
    ASSERT_GT(server_, 0);
    for (int i = 0; i < 100; ++i) {
      if (!RunCommandIn(env_.serverNs, {"ss", "-Hlnu", "sport = :67"}).out.empty()) return;
      SleepSeconds(0.05);
    }
    FAIL() << "no DHCP server listening (see " << log << ".err)";
  }

  void StartDhcpd(const std::string &extra) {
    const std::string conf = Write("dhcpd.conf",
                                   "authoritative;\n"
                                   "default-lease-time 600;\n"
                                   "max-lease-time 600;\n"
                                   "subnet 198.18.0.0 netmask 255.255.255.0 {\n"
                                   "  range 198.18.0.100 198.18.0.150;\n"
                                   "  option routers 198.18.0.1;\n"
                                   "  option subnet-mask 255.255.255.0;\n"
                                   "}\n" +
                                       extra);
    const std::string leases = Write("dhcpd.leases", "");
    StartServer({"dhcpd", "-f", "-d", "-4", "-cf", conf, "-lf", leases, env_.serverIf}, "dhcpd");
  }

  void StartDnsmasq() {
    const std::string conf = Write("dnsmasq.conf",
                                     "port=0\n"
                                     "interface=" + env_.serverIf + "\n"
                                     "bind-interfaces\n"
                                     "user=root\n"
                                     "dhcp-range=198.18.0.100,198.18.0.150,255.255.255.0,10m\n"
                                     "dhcp-option=3,198.18.0.1\n"
                                     "dhcp-authoritative\n"
                                     "dhcp-leasefile=" + env_.captureDir + "/dnsmasq.leases\n"
                                     "pid-file=" + env_.captureDir + "/dnsmasq.pid\n");
    StartServer({"dnsmasq", "--no-daemon", "--conf-file=" + conf}, "dnsmasq");
  }

  Outcome Cli(const std::vector<std::string> &words) {
    std::vector<std::string> argv = {env_.cli, "--if", env_.iface};
    argv.insert(argv.end(), words.begin(), words.end());
    return RunCommand(argv, env_.captureDir + "/cli.err");
  }

  pid_t server_ = -1;
};

TEST_F(RealDhcpServer, DnsmasqLease) {
  StartDnsmasq();
  const Outcome o = Cli({"dhcp"});
  EXPECT_EQ(o.exitCode, 0) << o.out;
  EXPECT_TRUE(Has(o, "station 198.18.0.1")) << o.out;
  EXPECT_TRUE(Has(o, "mask 255.255.255.0")) << o.out;
  EXPECT_TRUE(Has(o, "router 198.18.0.1")) << o.out;
  EXPECT_TRUE(Has(o, "server 198.18.0.1")) << o.out;
  EXPECT_TRUE(Has(o, "lease 600 s")) << o.out;
}

// A station in the server namespace floods the link with OFFERs of another
// transaction, as fast as its packet socket sends, for a few seconds. With
// nobody else answering, the PXE Dhcp ends when its five windows (31.5 s) are
// out, not later: a flood that stretched a window would hold the first one
// (1.1 s) open for the flood's 8 s; with dnsmasq on the link the lease still
// comes.
class DhcpFlood : public RealDhcpServer {
 protected:
  // The flood's OFFERs (xid 0xFEED0000) stay out of the capture: a quarter
  // of a million of them would keep the judge busy past the test's time.
  DhcpFlood() { captureFilter_ = "not (udp src port 67 and udp[12:4] = 0xfeed0000)"; }
  pid_t StartFlood(double seconds) {
    return Spawn({"ip", "netns", "exec", env_.serverNs, env_.python, env_.scripts + "/dhcp_flood.py", env_.serverIf,
                  Text(env_.serverIp), std::to_string(seconds), "0.2"},
                 env_.captureDir + "/flood.out", env_.captureDir + "/flood.err");
  }
  void ExpectFlooded(pid_t flood) {
    EXPECT_EQ(WaitExit(flood, 30), 0);
    const Outcome sent = RunCommand({"cat", env_.captureDir + "/flood.out"});
    EXPECT_GT(std::atol(sent.out.c_str()), 10000) << "the flood sent " << sent.out;
  }
};

TEST_F(DhcpFlood, NoServerEndsWhenItsWindowsAreOut) {
  const pid_t flood = StartFlood(8);
  ASSERT_GT(flood, 0);
  const double start = MonotonicNow();
  const Outcome o = Cli({"pxe"});
  const double took = MonotonicNow() - start;
  EXPECT_NE(o.exitCode, 0) << o.out;
  // The tool's start and its own work under the flood take 1 to 1.6 s; a
  // first window stretched to the flood's end would take about 39 s in all.
  EXPECT_LT(took, 31.5 + 4.0) << o.out;
  EXPECT_GT(took, 31.4) << o.out;
  ExpectFlooded(flood);
}

TEST_F(DhcpFlood, DnsmasqLeaseStillComes) {
  StartDnsmasq();
  const pid_t flood = StartFlood(3);
  ASSERT_GT(flood, 0);
  SleepSeconds(0.5);  // the flood is on before the DISCOVER goes out
  const Outcome o = Cli({"dhcp"});
  EXPECT_EQ(o.exitCode, 0) << o.out;
  EXPECT_TRUE(Has(o, "server 198.18.0.1")) << o.out;
  ExpectFlooded(flood);
}

TEST_F(RealDhcpServer, IscDhcpdLease) {
  StartDhcpd("");
  const Outcome o = Cli({"dhcp"});
  EXPECT_EQ(o.exitCode, 0) << o.out;
  EXPECT_TRUE(Has(o, "station 198.18.0.1")) << o.out;
  EXPECT_TRUE(Has(o, "router 198.18.0.1")) << o.out;
  EXPECT_TRUE(Has(o, "server 198.18.0.1")) << o.out;
  EXPECT_TRUE(Has(o, "lease 600 s")) << o.out;
}

// The classes are ours: the vendor class prefix and the first bytes of
// option 43 tell a LIST (01:01:01) from a SELECT (01:01:02). Option 67 is
// not in the INFORM's parameter list, so the SELECT class asks for it.
TEST_F(RealDhcpServer, IscDhcpdWirlBoot) {
  StartDhcpd(WirlClass("wirl-list", "01:01:01", "01:01:01:04:02:00:05:07:04:83:00:00:01:09:04:83:00:00:01") +
             WirlClass("wirl-select", "01:01:02", "01:01:02",
                       "  option bootfile-name \"wirl/boot.efi\";\n"
                       "  option dhcp-parameter-request-list = concat(option dhcp-parameter-request-list, 43);\n"));
  const Outcome o = Cli({"wirl"});
  EXPECT_EQ(o.exitCode, 0) << o.out;
  EXPECT_TRUE(Has(o, "station 198.18.0.1")) << o.out;
  EXPECT_TRUE(Has(o, "heard 198.18.0.1 priority 5 default 83000001")) << o.out;
  EXPECT_TRUE(Has(o, "chose image 83000001 on 198.18.0.1")) << o.out;
  EXPECT_TRUE(Has(o, "acknowledged by 198.18.0.1")) << o.out;
  EXPECT_TRUE(Has(o, "boot file wirl/boot.efi")) << o.out;
}

// The Wirl member's cycle against the same classes: a LIST to 67 answered,
// one to 7799 that nobody answers.
TEST_F(RealDhcpServer, IscDhcpdWirlList) {
  StartDhcpd(
      WirlClass("wirl-list", "01:01:01", "01:01:01:04:02:00:05:07:04:83:00:00:01:09:08:83:00:00:01:03:00:00:07"));
  const Outcome o = Cli({"wirl-list", "--rounds", "2"});
  EXPECT_EQ(o.exitCode, 0) << o.out;
  EXPECT_TRUE(Has(o, "server 198.18.0.1 port 67: 8 bytes\n    image 83000001\n    image 03000007")) << o.out;
  EXPECT_FALSE(Has(o, "port 7799")) << o.out;
}

// No driver traffic here; nothing to judge.
TEST(RealDhcpCli, HelpAndWrongLines) {
  Env env;
  std::string why;
  ASSERT_TRUE(LoadEnv(&env, &why)) << why;
  const Outcome help = RunCommand({env.cli, "--help"});
  for (const char *command : {"  dhcp\n", "wirl [--server IP]", "wirl-list [--rounds N]"})
    EXPECT_TRUE(Has(help, command)) << command;
  EXPECT_EQ(RunCommand({env.cli, "--if", env.iface, "wirl", "--image", "83000001"}).exitCode, 64);
  EXPECT_EQ(RunCommand({env.cli, "--if", env.iface, "wirl", "--image", "8300", "--select-server", "1.2.3.4"}).exitCode,
            64);
  EXPECT_EQ(RunCommand({env.cli, "--if", env.iface, "wirl-list", "--rounds", "0"}).exitCode, 64);
  EXPECT_EQ(RunCommand({env.cli, "--if", env.iface, "dhcp", "extra"}).exitCode, 64);
}

}  // namespace
}  // namespace realnet
