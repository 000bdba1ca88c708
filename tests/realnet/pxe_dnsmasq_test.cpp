// The PXE path against dnsmasq as DHCP server and boot server: PXE DHCP,
// then discovery of the boot server it lists, in the driver and through the
// orvale tool, with the capture judged like every other test.
#include <signal.h>
#include <string.h>
#include <sys/wait.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "dhcp/exchange.h"
#include "pxe/pxe.h"
#include "tests/realnet/realnet_fixture.h"

namespace realnet {
namespace {

// dnsmasq in the server namespace, with the arguments of its role after the
// common ones; its log is <name>.log in the capture directory.
class Dnsmasq {
 public:
  bool Start(const Env &env, const std::string &name, const std::vector<std::string> &role, std::string *why) {
    log_ = env.captureDir + "/" + name + ".log";
    std::vector<std::string> args = {"ip", "netns", "exec", env.serverNs, "dnsmasq", "--keep-in-foreground",
                                     "--conf-file=/dev/null", "--port=0", "--interface=" + env.serverIf,
                                     "--bind-interfaces", "--user=root", "--pid-file=", "--log-dhcp",
                                     "--dhcp-leasefile=" + env.captureDir + "/" + name + ".leases",
                                     "--log-facility=" + log_};
    args.insert(args.end(), role.begin(), role.end());
    pid_ = Spawn(args, "", log_ + ".stderr");
    if (pid_ < 0) {
      *why = name + " did not start";
      return false;
    }
    for (int i = 0; i < 100; ++i) {
      Outcome ss = RunCommandIn(env.serverNs, {"ss", "-Hlnup", "sport = :67"});
      // ip netns exec execs dnsmasq, which stays in the foreground: same pid.
      if (ss.out.find("pid=" + std::to_string(pid_) + ",") != std::string::npos) return true;
      SleepSeconds(0.05);
    }
    *why = name + " does not listen on port 67 (see " + log_ + ")";
    return false;
  }
  std::string Log() const {
    Outcome o = RunCommand({"cat", log_});
    return o.out;
  }
  ~Dnsmasq() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      WaitExit(pid_, 5);
    }
  }

 private:
  pid_t pid_ = -1;
  std::string log_;
};

const std::vector<std::string> kPxeService = {"--pxe-service=x86PC,Network boot,boot/pxe", "--pxe-prompt=Pick,5"};

// dnsmasq as DHCP and boot server in one: addresses 198.18.0.50-59, one PXE
// boot service for architecture 0 served by itself, a menu and a prompt.
class PxeDnsmasq : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    if (HasFatalFailure()) return;
    std::string why;
    std::vector<std::string> role = {"--dhcp-range=198.18.0.50,198.18.0.59,255.255.255.0,1h"};
    role.insert(role.end(), kPxeService.begin(), kPxeService.end());
    ASSERT_TRUE(dnsmasq_.Start(env_, "dnsmasq", role, &why)) << why;
  }
  Dnsmasq dnsmasq_;
};

bool Has(const Outcome &o, const std::string &s) { return o.out.find(s) != std::string::npos; }

TEST_F(PxeDnsmasq, DhcpThenDiscoveryOfTheListedBootServer) {
  p_->Packets->BootMode = 0;
  ASSERT_STATUS(p_->Dhcp(p_, TRUE), EFI_SUCCESS);
  EXPECT_EQ(p_->Mode->StationIp.v4.Addr[0], 198);
  EXPECT_GE(p_->Mode->StationIp.v4.Addr[3], 50);
  ASSERT_TRUE(p_->Packets->DhcpAckReceived);
  // The ACK itself carries the boot-server information (a class-1 offer).
  PacketSlot &ack = p_->Packets->ParsedPackets[kParsedAck];
  ASSERT_NE(ack.pxeFlags & kPxeFlagBootServer, 0);
  UINT8 length = 0;
  const UINT8 *servers = PxeSubOption(&ack, kRefBootServers, &length);
  ASSERT_NE(servers, nullptr);
  ASSERT_GE(length, 7);
  const UINT16 type = static_cast<UINT16>(servers[0] << 8 | servers[1]);
  EXPECT_EQ(servers[3], 198);

  UINT16 layer = 0;
  ASSERT_STATUS(p_->Discover(p_, type, &layer, FALSE, nullptr), EFI_SUCCESS);
  EXPECT_EQ(layer, 0);
  EXPECT_TRUE(p_->Packets->PxeReplyReceived);
  EXPECT_EQ(Text(p_->Packets->LastBootServerIp), Text(env_.serverIp));
  const std::string file(reinterpret_cast<const char *>(p_->Packets->PxeReply.Raw + 108));
  EXPECT_EQ(file.rfind("boot/pxe", 0), 0u) << file;
}

TEST_F(PxeDnsmasq, TheToolPrintsOffersAndTheServerFound) {
  // The tool runs its own driver on the interface: close ours first.
  EXPECT_EQ(session_->Close(), "");
  session_.reset();
  p_ = nullptr;
  Outcome first = RunCommand({env_.cli, "--if", env_.iface, "pxe"});
  ASSERT_EQ(first.exitCode, 0) << first.out;
  EXPECT_TRUE(Has(first, "class 1")) << first.out;
  EXPECT_TRUE(Has(first, "menu: type")) << first.out;
  const size_t at = first.out.find("boot servers of type ");
  ASSERT_NE(at, std::string::npos) << first.out;
  const std::string type = first.out.substr(at + 21, first.out.find(':', at) - at - 21);
  Outcome both = RunCommand({env_.cli, "--if", env_.iface, "pxe", "discover", type});
  EXPECT_EQ(both.exitCode, 0) << both.out;
  EXPECT_TRUE(Has(both, "server " + Text(env_.serverIp) + " layer 0")) << both.out;
  EXPECT_TRUE(Has(both, "boot file: boot/pxe")) << both.out;
}

// Two dnsmasq on the link: a plain DHCP server that knows nothing of PXE, and
// a proxy (no addresses) that lists itself as boot server, answers discovery
// on port 4011 and serves the boot file by TFTP.
class PxeDnsmasqProxy : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    if (HasFatalFailure()) return;
    root_ = env_.captureDir + "/tftp";
    ASSERT_EQ(RunCommand({"mkdir", "-p", root_ + "/boot"}).exitCode, 0);
    std::mt19937 random(7);
    image_.resize(300000);
    for (UINT8 &b : image_) b = static_cast<UINT8>(random());
    std::ofstream(root_ + "/boot/pxe.0", std::ios::binary)
        .write(reinterpret_cast<const char *>(image_.data()), static_cast<std::streamsize>(image_.size()));
    std::string why;
    ASSERT_TRUE(plain_.Start(env_, "plain", {"--dhcp-range=198.18.0.50,198.18.0.59,255.255.255.0,1h"}, &why)) << why;
    std::vector<std::string> role = {"--dhcp-range=198.18.0.0,proxy", "--enable-tftp", "--tftp-root=" + root_};
    role.insert(role.end(), kPxeService.begin(), kPxeService.end());
    ASSERT_TRUE(proxy_.Start(env_, "proxy", role, &why)) << why;
  }
  std::string root_;
  hosted::Bytes image_;
  Dnsmasq plain_;
  Dnsmasq proxy_;
};

TEST_F(PxeDnsmasqProxy, AddressFromOneServerBootInformationFromTheProxy) {
  p_->Packets->BootMode = 0;
  ASSERT_STATUS(p_->Dhcp(p_, TRUE), EFI_SUCCESS);
  EXPECT_EQ(p_->Mode->StationIp.v4.Addr[0], 198);
  EXPECT_GE(p_->Mode->StationIp.v4.Addr[3], 50);
  EXPECT_LE(p_->Mode->StationIp.v4.Addr[3], 59);
  // The ACK gives the address only; the boot servers come from the proxy.
  ASSERT_TRUE(p_->Packets->DhcpAckReceived);
  EXPECT_EQ(p_->Packets->ParsedPackets[kParsedAck].pxeFlags & kPxeFlagBootServer, 0);
  ASSERT_TRUE(p_->Packets->ProxyOfferReceived);
  PacketSlot &proxy = p_->Packets->ParsedPackets[kParsedProxyOffer];
  const UINT8 none[4] = {0, 0, 0, 0};
  EXPECT_EQ(memcmp(p_->Packets->ProxyOffer.Raw + 16, none, 4), 0);  // yiaddr
  UINT8 length = 0;
  const UINT8 *servers = PxeSubOption(&proxy, kRefBootServers, &length);
  ASSERT_NE(servers, nullptr);
  ASSERT_GE(length, 7);
  const UINT16 type = static_cast<UINT16>(servers[0] << 8 | servers[1]);
  // The lease is the plain server's, the PXE answer the proxy's.
  EXPECT_NE(plain_.Log().find("DHCPACK("), std::string::npos);
  EXPECT_EQ(proxy_.Log().find("DHCPACK("), std::string::npos);
  EXPECT_NE(proxy_.Log().find("PXE("), std::string::npos);

  UINT16 layer = 0;
  ASSERT_STATUS(p_->Discover(p_, type, &layer, FALSE, nullptr), EFI_SUCCESS);
  EXPECT_TRUE(p_->Packets->PxeReplyReceived);
  const std::string file(reinterpret_cast<const char *>(p_->Packets->PxeReply.Raw + 108));
  EXPECT_EQ(file, "boot/pxe.0");

  hosted::Bytes buffer(image_.size() + 1);
  UINT64 size = buffer.size();
  UINTN blockSize = 1468;
  EFI_IP_ADDRESS server = p_->Packets->LastBootServerIp;
  std::string name = file;
  ASSERT_STATUS(p_->Mtftp(p_, EFI_PXE_BASE_CODE_TFTP_READ_FILE, buffer.data(), FALSE, &size, &blockSize, &server,
                          reinterpret_cast<UINT8 *>(name.data()), nullptr, FALSE),
                EFI_SUCCESS);
  ASSERT_EQ(size, image_.size());
  buffer.resize(size);
  EXPECT_TRUE(buffer == image_);
}

// dnsmasq's discovery control 0x03 asks for unicast discovery only. A caller
// may still try the other methods: dnsmasq does not join 224.0.1.2, and it
// answers a broadcast request with a broadcast.
TEST_F(PxeDnsmasqProxy, EveryDiscoveryMethodButMulticastIsAnswered) {
  p_->Packets->BootMode = 0;
  ASSERT_STATUS(p_->Dhcp(p_, FALSE), EFI_SUCCESS);
  ASSERT_TRUE(p_->Packets->ProxyOfferReceived);
  PacketSlot &proxy = p_->Packets->ParsedPackets[kParsedProxyOffer];
  UINT8 length = 0;
  const UINT8 *control = PxeSubOption(&proxy, kRefDiscoveryControl, &length);
  ASSERT_NE(control, nullptr);
  EXPECT_EQ(control[0], 0x03);

  EFI_PXE_BASE_CODE_DISCOVER_INFO info{};
  info.UseMCast = TRUE;
  const UINT8 group[4] = {224, 0, 1, 2};
  CopyBytes(info.ServerMCastIp.v4.Addr, group, 4);
  UINT16 layer = 0;
  EXPECT_STATUS(p_->Discover(p_, 0x8000, &layer, FALSE, &info), EFI_TIMEOUT);
  EXPECT_FALSE(p_->Packets->PxeReplyReceived);

  info.UseMCast = FALSE;
  info.UseBCast = TRUE;
  ASSERT_STATUS(p_->Discover(p_, 0x8000, &layer, FALSE, &info), EFI_SUCCESS);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(p_->Packets->PxeReply.Raw + 108)), "boot/pxe.0");

  info.UseBCast = FALSE;
  info.UseUCast = TRUE;
  info.IpCnt = 1;
  info.SrvList[0].Type = 0x8000;
  info.SrvList[0].IpAddr = env_.serverIp;
  ASSERT_STATUS(p_->Discover(p_, 0x8000, &layer, FALSE, &info), EFI_SUCCESS);
  EXPECT_EQ(layer, 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(p_->Packets->PxeReply.Raw + 108)), "boot/pxe.0");
}

TEST_F(PxeDnsmasqProxy, TheToolBootsThroughTheProxy) {
  EXPECT_EQ(session_->Close(), "");
  session_.reset();
  p_ = nullptr;
  Outcome sha = RunCommand({"sha256sum", root_ + "/boot/pxe.0"});
  ASSERT_EQ(sha.exitCode, 0);
  const std::string want = sha.out.substr(0, 64);
  Outcome run = RunCommand({env_.cli, "--if", env_.iface, "pxe", "discover", "32768", "tftp-get", Text(env_.serverIp),
                            "boot/pxe.0", "--sha256"});
  ASSERT_EQ(run.exitCode, 0) << run.out;
  EXPECT_TRUE(Has(run, "class 0")) << run.out;
  EXPECT_TRUE(Has(run, "proxy: yiaddr 0.0.0.0")) << run.out;
  EXPECT_TRUE(Has(run, "boot file: boot/pxe.0")) << run.out;
  EXPECT_TRUE(Has(run, "300000 bytes")) << run.out;
  EXPECT_TRUE(Has(run, "sha256: " + want)) << run.out;
}

}  // namespace
}  // namespace realnet
