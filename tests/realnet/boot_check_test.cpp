// The tool's boot command against real servers: dnsmasq (a PXE proxy beside a
// plain DHCP server), ISC dhcpd with WIRL classes beside tftpd-hpa, and our
// boot server reached through a temporary macvlan. Every case also writes the
// tool's own capture (--pcap), which must hold the driver's frames that
// tshark saw on the interface and pass the same judge.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/realnet/realnet_fixture.h"
#include "tools/cli/sha256.h"

namespace realnet {
namespace {

bool Has(const Outcome &o, const std::string &s) { return o.out.find(s) != std::string::npos; }

hosted::Bytes FileBytes(size_t n, unsigned seed) {
  hosted::Bytes b(n);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    b[i] = static_cast<uint8_t>(x >> 16);
  }
  return b;
}

hosted::Bytes ReadFile(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  return hosted::Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// An ISC dhcpd class for the WIRL INFORMs whose option 43 begins with prefix.
std::string WirlClass(const std::string &name, const std::string &prefix, const std::string &vendorOptions,
                      const std::string &extra = "") {
  return "class \"" + name + "\" {\n"
         "  match if substring(option vendor-class-identifier, 0, 9) = \"ZEKOWIRLC\"\n"
         "    and substring(option vendor-encapsulated-options, 0, 3) = " + prefix + ";\n"
         "  option vendor-class-identifier \"ZEKOWIRLC\";\n"
         "  option vendor-encapsulated-options " + vendorOptions + ";\n" + extra + "}\n";
}

// The LIST reply offers image 83000001 at priority 5; the SELECT reply names file.
std::string WirlClasses(const std::string &file) {
  return WirlClass("wirl-list", "01:01:01", "01:01:01:04:02:00:05:07:04:83:00:00:01:09:04:83:00:00:01") +
         WirlClass("wirl-select", "01:01:02", "01:01:02:08:04:83:00:00:01",
                   "  option bootfile-name \"" + file + "\";\n"
                   "  option dhcp-parameter-request-list = concat(option dhcp-parameter-request-list, 43);\n");
}

class BootCheck : public CapturedTest {
 protected:
  void SetUp() override {
    CapturedTest::SetUp();
    if (HasFatalFailure()) return;
    root_ = "/tmp/orvale-rn-boot-" + std::to_string(getpid());
    out_ = root_ + "-out";
    RunCommand({"rm", "-rf", root_, out_});
    ASSERT_EQ(RunCommand({"mkdir", "-p", root_ + "/boot", out_}).exitCode, 0);
    chmod(root_.c_str(), 0755);
    chmod((root_ + "/boot").c_str(), 0755);
    toolPcap_ = env_.captureDir + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".tool.pcap";
    judgeInTearDown_ = false;  // judged below, with the tool's capture beside it
  }

  void TearDown() override {
    for (auto it = servers_.rbegin(); it != servers_.rend(); ++it) {
      kill(*it, SIGTERM);
      if (WaitExit(*it, 3) < 0) kill(*it, SIGKILL);
    }
    servers_.clear();
    const bool judge = capturing_;
    const std::string path = StopCapture();
    if (judge && !HasFatalFailure()) JudgeBoth(path);
    CapturedTest::TearDown();
    RunCommand({"rm", "-rf", root_, out_});
  }

  // tshark's capture and the tool's own, both clean, with the same frames of the driver's.
  void JudgeBoth(const std::string &path) {
    const Verdict wire = Judge(path, driverMac_);
    EXPECT_TRUE(wire.clean) << "judge of " << path << ": " << wire.Summary();
    const Verdict tool = Judge(toolPcap_, driverMac_);
    EXPECT_TRUE(tool.clean) << "judge of " << toolPcap_ << ": " << tool.Summary();
    EXPECT_EQ(tool.driverFrames, wire.driverFrames) << "--pcap holds other frames of the driver's than the wire";
  }

  void Serve(const std::string &name, const hosted::Bytes &data) {
    const std::string path = root_ + "/" + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
    chmod(path.c_str(), 0644);
  }

  // argv in the server namespace until the test ends; waits until it is ready:
  // its own process listens on UDP port, or (port 0) it logged "ready".
  void Start(const std::vector<std::string> &argv, const std::string &log, int port) {
    std::vector<std::string> all = {"ip", "netns", "exec", env_.serverNs};
    all.insert(all.end(), argv.begin(), argv.end());
    const pid_t pid = Spawn(all, env_.captureDir + "/" + log + ".out", env_.captureDir + "/" + log + ".err");
    ASSERT_GT(pid, 0);
    servers_.push_back(pid);
    for (int i = 0; i < 100; ++i) {
      // ip netns exec execs the server: the process id is the server's.
      const Outcome ready = port == 0 ? RunCommand({"cat", env_.captureDir + "/" + log + ".out"})
                                      : RunCommandIn(env_.serverNs, {"ss", "-Hlnup", "sport = :" + std::to_string(port)});
      if (ready.out.find(port == 0 ? "ready" : "pid=" + std::to_string(pid) + ",") != std::string::npos) return;
      SleepSeconds(0.05);
    }
    FAIL() << log << " is not ready (port " << port << ")";
  }

  void StartDhcpd(const std::string &classes) {
    const std::string conf = env_.captureDir + "/boot-dhcpd.conf";
    std::ofstream(conf) << "authoritative;\n"
                           "default-lease-time 600;\n"
                           "max-lease-time 600;\n"
                           "subnet 198.18.0.0 netmask 255.255.255.0 {\n"
                           "  range 198.18.0.100 198.18.0.150;\n"
                           "  option routers 198.18.0.1;\n"
                           "}\n" +
                               classes;
    const std::string leases = env_.captureDir + "/boot-dhcpd.leases";
    std::ofstream(leases) << "";
    Start({"dhcpd", "-f", "-d", "-4", "-cf", conf, "-lf", leases, env_.serverIf}, "boot-dhcpd", 67);
  }

  void StartTftpdHpa() {
    Start({"in.tftpd", "--foreground", "--address", Text(env_.serverIp) + ":69", "--user", "nobody", "--secure",
           root_},
          "boot-tftpd", 69);
  }

  void StartDnsmasq(const std::string &name, const std::vector<std::string> &role) {
    std::vector<std::string> argv = {"dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null", "--port=0",
                                     "--interface=" + env_.serverIf, "--bind-interfaces", "--user=root",
                                     "--pid-file=", "--log-dhcp",
                                     "--dhcp-leasefile=" + env_.captureDir + "/" + name + ".leases",
                                     "--log-facility=" + env_.captureDir + "/" + name + ".log"};
    argv.insert(argv.end(), role.begin(), role.end());
    Start(argv, name, 67);
  }

  // The tool on the client interface (or a macvlan on it), its capture to toolPcap_.
  Outcome Boot(const std::vector<std::string> &words, bool macvlan = false) {
    std::vector<std::string> argv = {env_.cli, macvlan ? "--macvlan" : "--if", env_.iface, "--pcap", toolPcap_};
    argv.insert(argv.end(), words.begin(), words.end());
    return RunCommand(argv, env_.captureDir + "/" +
                                ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".tool.err");
  }

  // A file the tool saved with --out holds what the server has.
  void ExpectSaved(const std::string &leaf, const hosted::Bytes &want) {
    const hosted::Bytes got = ReadFile(out_ + "/" + leaf);
    EXPECT_EQ(got.size(), want.size()) << leaf;
    EXPECT_TRUE(got == want) << leaf << " differs from the served file";
  }

  std::string root_;
  std::string out_;
  std::string toolPcap_;
  hosted::Mac driverMac_ = mac_;
  std::vector<pid_t> servers_;
};

// The address from a dnsmasq that knows nothing of PXE, the boot server and
// its boot file from a dnsmasq proxy beside it, which serves the file too.
TEST_F(BootCheck, DnsmasqProxyBesidePlainDhcp) {
  driverMac_ = mac_;
  const hosted::Bytes image = FileBytes(300000, 1);
  Serve("boot/pxe.0", image);
  StartDnsmasq("boot-plain", {"--dhcp-range=198.18.0.50,198.18.0.59,255.255.255.0,1h"});
  StartDnsmasq("boot-proxy", {"--dhcp-range=198.18.0.0,proxy", "--enable-tftp", "--tftp-root=" + root_,
                              "--pxe-service=x86PC,Network boot,boot/pxe", "--pxe-prompt=Pick,5"});
  const Outcome o = Boot({"boot", "--pxe", "--blksize", "1468", "--out", out_});
  EXPECT_EQ(o.exitCode, 0) << o.out;
  EXPECT_TRUE(Has(o, "proxy offer from 198.18.0.1")) << o.out;
  // The type the proxy lists for x86PC, found by unicast to the listed server.
  EXPECT_TRUE(Has(o, "type 32768 layer 0 server 198.18.0.1")) << o.out;
  EXPECT_TRUE(Has(o, "\"boot/pxe.0\" from 198.18.0.1")) << o.out;
  EXPECT_TRUE(Has(o, "\"boot/pxe.0\" 300000 bytes")) << o.out;
  EXPECT_TRUE(Has(o, "300000 bytes, blksize 1468")) << o.out;
  EXPECT_TRUE(Has(o, "boot completed in")) << o.out;
  EXPECT_FALSE(Has(o, "script")) << o.out;
  ExpectSaved("pxe.0", image);
}

// The SELECT acknowledgement names a boot script; its kernel and initrd come
// from tftpd-hpa. The report is the JSON one, read back by Python's parser.
TEST_F(BootCheck, IscDhcpdWirlClassesAndTftpdHpa) {
  driverMac_ = mac_;
  const hosted::Bytes kernel = FileBytes(700001, 2);
  const hosted::Bytes initrd = FileBytes(65536, 3);
  const std::string script = "#!orvale\n# a test boot\nkernel boot/vmlinuz\ninitrd boot/initrd.img\n"
                             "cmdline console=ttyS0 \"quoted\" \\back\n";
  Serve("boot/linux.cfg", hosted::Bytes(script.begin(), script.end()));
  Serve("boot/vmlinuz", kernel);
  Serve("boot/initrd.img", initrd);
  StartDhcpd(WirlClasses("boot/linux.cfg"));
  StartTftpdHpa();
  const std::string json = out_ + "/report.json";
  const Outcome o = Boot({"--json", "boot", "--out", out_});
  EXPECT_EQ(o.exitCode, 0) << o.out;
  std::ofstream(json) << o.out;
  // One object: the stages in road order, each file's size matching its tsize.
  const Outcome read = RunCommand(
      {env_.python, "-c",
       "import json,sys\n"
       "d = json.load(open(sys.argv[1]))\n"
       "s = {x['name']: x for x in d['stages']}\n"
       "print(d['completed'], d['failed_stage'], d['exit_code'], ' '.join(x['name'] for x in d['stages']))\n"
       "print(s['wirl']['chosen'], s['wirl']['packets'][0]['boot_file'], s['wirl']['packets'][0]['image'])\n"
       "print(s['dhcp']['packets'][0]['router'], s['dhcp']['packets'][0]['lease_seconds'])\n"
       "print(s['script']['cmdline'])\n"
       "print(s['kernel-size']['tsize'], s['kernel']['bytes'], s['kernel']['matches_tsize'],"
       " s['initrd']['bytes'], s['initrd']['matches_tsize'])\n",
       json});
  EXPECT_EQ(read.exitCode, 0) << o.out;
  EXPECT_EQ(read.out,
            "True None 0 dhcp wirl bootfile size download script kernel-size kernel initrd-size initrd\n"
            "chose image 83000001 on 198.18.0.1 boot/linux.cfg 83000001\n"
            "198.18.0.1 600\n"
            "console=ttyS0 \"quoted\" \\back\n"
            "700001 700001 True 65536 True\n")
      << o.out;
  ExpectSaved("linux.cfg", hosted::Bytes(script.begin(), script.end()));
  ExpectSaved("vmlinuz", kernel);
  ExpectSaved("initrd.img", initrd);
}

// The SELECT acknowledgement names a file tftpd-hpa does not have: the size
// stage fails with the server's error, and the road goes no further.
TEST_F(BootCheck, MissingBootFileEndsInTheSizeStage) {
  driverMac_ = mac_;
  StartDhcpd(WirlClasses("boot/missing.efi"));
  StartTftpdHpa();
  const Outcome o = Boot({"boot"});
  EXPECT_EQ(o.exitCode, 84) << o.out;
  EXPECT_TRUE(Has(o, "EFI_TFTP_ERROR")) << o.out;
  EXPECT_TRUE(Has(o, "server error 1: File not found")) << o.out;
  EXPECT_TRUE(Has(o, "boot failed at size: EFI_TFTP_ERROR (server error 1 \"File not found\")")) << o.out;
  EXPECT_FALSE(Has(o, "\n  download")) << o.out;
}

// Our boot server on the server's veth with an address of its own; the tool
// runs on a temporary macvlan on the client veth, which is gone afterwards.
TEST_F(BootCheck, OurBootServerThroughAMacvlan) {
  const hosted::Bytes image = FileBytes(1000000, 4);
  Serve("boot/sample.efi", image);
  Start({ORVALE_BOOT_SERVER_PATH, "--interface", env_.serverIf, "--address", "198.18.0.2/24", "--mac",
         "02:00:5e:10:00:02", "--pool", "198.18.0.100,10", "--image", root_ + "/boot/sample.efi,name=Sample,kind=3"},
        "boot-server", 0);
  const Outcome o = Boot({"boot", "--out", out_}, true);
  EXPECT_EQ(o.exitCode, 0) << o.out;
  const std::string head = "orvale on orv-mv-";
  const size_t at = o.out.find(" (macvlan on " + env_.iface + "), mac ");
  ASSERT_EQ(o.out.rfind(head, 0), 0u) << o.out;
  ASSERT_NE(at, std::string::npos) << o.out;
  ASSERT_TRUE(ParseMac(o.out.substr(o.out.find(", mac ", at) + 6, 17), &driverMac_)) << o.out;
  EXPECT_NE(driverMac_, mac_);
  EXPECT_TRUE(Has(o, "address 198.18.0.100/255.255.255.0 server 198.18.0.2")) << o.out;
  EXPECT_TRUE(Has(o, "heard 198.18.0.2 priority 0 default 03000001")) << o.out;
  EXPECT_TRUE(Has(o, "\"sample.efi\" from 198.18.0.2")) << o.out;
  EXPECT_TRUE(Has(o, "1000000 bytes, blksize 8192")) << o.out;
  EXPECT_TRUE(Has(o, "boot completed in")) << o.out;
  ExpectSaved("sample.efi", image);
  const std::string name = o.out.substr(head.size() - 7, o.out.find(' ', head.size()) - (head.size() - 7));
  EXPECT_EQ(RunCommand({"ip", "link", "show", "dev", name}).exitCode, 1) << name << " is still there";
}

// Our boot server on the PXE path: the boot information in its DHCP replies,
// discovery of the type it lists, the boot file from its own TFTP service.
TEST_F(BootCheck, OurBootServerPxePath) {
  driverMac_ = mac_;
  const hosted::Bytes image = FileBytes(123457, 5);
  Serve("boot/pxe.efi", image);
  Start({ORVALE_BOOT_SERVER_PATH, "--interface", env_.serverIf, "--address", "198.18.0.2/24", "--mac",
         "02:00:5e:10:00:02", "--pool", "198.18.0.100,10", "--image", root_ + "/boot/pxe.efi", "--pxe", "dhcp",
         "--pxe-type", "7"},
        "boot-server", 0);
  const Outcome o = Boot({"boot", "--pxe", "--out", out_});
  EXPECT_EQ(o.exitCode, 0) << o.out;
  EXPECT_TRUE(Has(o, "address 198.18.0.100/255.255.255.0 server 198.18.0.2")) << o.out;
  EXPECT_TRUE(Has(o, "type 7 layer 0 server 198.18.0.2")) << o.out;
  EXPECT_TRUE(Has(o, "\"pxe.efi\" from 198.18.0.2")) << o.out;
  EXPECT_TRUE(Has(o, "123457 bytes, blksize 8192")) << o.out;
  EXPECT_TRUE(Has(o, "boot completed in")) << o.out;
  ExpectSaved("pxe.efi", image);
}

// A TFTP server whose tsize no host holds (2^62 bytes), beside a plain DHCP
// server that names the boot file and the server: the read fails its stage,
// or tftp-get its command, with EFI_OUT_OF_RESOURCES, and the tool says so.
class BootCheckHugeTsize : public BootCheck {
 protected:
  void SetUp() override {
    BootCheck::SetUp();
    if (HasFatalFailure()) return;
    driverMac_ = mac_;
    StartDnsmasq("boot-plain", {"--dhcp-range=198.18.0.50,198.18.0.59,255.255.255.0,1h",
                                "--dhcp-boot=huge.efi,," + Text(env_.serverIp)});
    Start({env_.python, env_.scripts + "/tsize_peer.py", Text(env_.serverIp), kHuge}, "tsize-peer", 69);
  }
  static constexpr const char *kHuge = "4611686018427387904";
};

TEST_F(BootCheckHugeTsize, EndsTheDownloadStage) {
  const Outcome o = Boot({"boot", "--pxe"});
  EXPECT_EQ(o.exitCode, 85) << o.out;
  EXPECT_TRUE(Has(o, "skipped: the DHCP reply names a boot file and lists no boot servers")) << o.out;
  EXPECT_TRUE(Has(o, "\"huge.efi\" " + std::string(kHuge) + " bytes")) << o.out;
  EXPECT_TRUE(Has(o, "no room for the " + std::string(kHuge) + " bytes of its tsize")) << o.out;
  EXPECT_TRUE(Has(o, "boot failed at download: EFI_OUT_OF_RESOURCES")) << o.out;
}

TEST_F(BootCheckHugeTsize, EndsTftpGet) {
  const Outcome o = Boot({"set-ip", Text(env_.stationIp) + "/24", "tftp-get", Text(env_.serverIp), "huge.efi",
                          "--tsize"});
  EXPECT_EQ(o.exitCode, 9) << o.out;  // EFI_OUT_OF_RESOURCES's code
  EXPECT_TRUE(Has(o, "tsize: " + std::string(kHuge))) << o.out;
  EXPECT_TRUE(Has(o, "no room for " + std::string(kHuge) + " bytes")) << o.out;
  EXPECT_TRUE(Has(o, "status: EFI_OUT_OF_RESOURCES")) << o.out;
}

// No driver traffic is judged here: the macvlan goes when the tool is told
// to stop, however far the boot got.
TEST(BootCheckLine, MacvlanRemovedOnSignalsAndHelp) {
  Env env;
  std::string why;
  ASSERT_TRUE(LoadEnv(&env, &why)) << why;
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
    const std::string log = env.captureDir + "/BootCheckLine.signal" + std::to_string(sig);
    const pid_t tool = Spawn({env.cli, "--macvlan", env.iface, "boot"}, log + ".out", log + ".err");
    ASSERT_GT(tool, 0);
    const std::string name = "orv-mv-" + [tool] {
      char hex[16];
      snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(tool));
      return std::string(hex);
    }();
    bool up = false;
    for (int i = 0; i < 100 && !up; ++i) {
      up = RunCommand({"ip", "link", "show", "dev", name}).out.find("UP") != std::string::npos;
      if (!up) SleepSeconds(0.05);
    }
    EXPECT_TRUE(up) << name << " never came up";
    // IPv6 off and no IPv4 address while it runs.
    EXPECT_EQ(RunCommand({"cat", "/proc/sys/net/ipv6/conf/" + name + "/disable_ipv6"}).out, "1\n");
    EXPECT_EQ(RunCommand({"ip", "-4", "addr", "show", "dev", name}).out, "");
    SleepSeconds(0.5);  // into the DHCP stage
    kill(tool, sig);
    int status = 0;
    const double deadline = MonotonicNow() + 5;
    while (waitpid(tool, &status, WNOHANG) == 0 && MonotonicNow() < deadline) SleepSeconds(0.01);
    // It ends by the signal itself, after the handler removed the macvlan.
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "status " << status;
    if (MonotonicNow() >= deadline) {
      kill(tool, SIGKILL);
      waitpid(tool, &status, 0);
    }
    EXPECT_EQ(RunCommand({"ip", "link", "show", "dev", name}).exitCode, 1) << name << " is still there";
  }
  const Outcome help = RunCommand({env.cli, "--help"});
  for (const char *text : {"boot [--pxe [--type N]]", "--macvlan PARENT", "--pcap FILE", "--json", "size 84"})
    EXPECT_TRUE(Has(help, text)) << text;
  EXPECT_EQ(RunCommand({env.cli, "--if", env.iface, "--json", "show"}).exitCode, 64);
  EXPECT_EQ(RunCommand({env.cli, "--if", env.iface, "--macvlan", env.iface, "boot"}).exitCode, 64);
  EXPECT_EQ(RunCommand({env.cli, "--if", env.iface, "boot", "--type", "1"}).exitCode, 64);
  EXPECT_EQ(RunCommand({env.cli, "--if", env.iface, "boot", "--pxe", "--kind3"}).exitCode, 64);
  EXPECT_EQ(RunCommand({env.cli, "--if", env.iface, "boot", "--out", "/nonexistent/dir"}).exitCode, 64);
  EXPECT_EQ(RunCommand({env.cli, "--if", env.iface, "boot", "--blksize", "100"}).exitCode, 64);
  EXPECT_EQ(RunCommand({env.cli, "--macvlan", "orv-nonexistent", "boot"}).exitCode, 65);
  // A line that never started still gives a monitoring script its one object.
  for (const char *link : {"--if", "--macvlan"}) {
    const Outcome o = RunCommand({env.cli, link, "orv-nonexistent", "--json", "boot"});
    EXPECT_EQ(o.exitCode, 65) << link;
    const std::string json = env.captureDir + "/BootCheckLine.setup.json";
    std::ofstream(json) << o.out;
    const Outcome read = RunCommand(
        {env.python, "-c",
         "import json,sys\nd = json.load(open(sys.argv[1]))\nprint(d['completed'], d['failed_stage'], d['exit_code'])",
         json});
    EXPECT_EQ(read.out, "False setup 65\n") << link << ": " << o.out;
  }
}

}  // namespace
}  // namespace realnet
