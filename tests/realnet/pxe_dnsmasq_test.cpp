// The PXE path against dnsmasq as DHCP server and boot server: PXE DHCP,
// then discovery of the boot server it lists, in the driver and through the
// orvale tool, with the capture judged like every other test.
#include <signal.h>
#include <sys/wait.h>

#include <string>

#include "dhcp/exchange.h"
#include "pxe/pxe.h"
#include "tests/realnet/realnet_fixture.h"

namespace realnet {
namespace {

// dnsmasq in the server namespace: addresses 198.18.0.50-59, one PXE boot
// service for architecture 0 served by itself, a menu and a prompt.
class Dnsmasq {
 public:
  bool Start(const Env &env, std::string *why) {
    const std::string log = env.captureDir + "/dnsmasq.log";
    pid_ = Spawn({"ip", "netns", "exec", env.serverNs, "dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null",
                  "--port=0", "--interface=" + env.serverIf, "--bind-interfaces", "--user=root",
                  "--dhcp-range=198.18.0.50,198.18.0.59,255.255.255.0,1h", "--pxe-service=x86PC,Network boot,boot/pxe",
                  "--pxe-prompt=Pick,5", "--dhcp-leasefile=" + env.captureDir + "/dnsmasq.leases", "--pid-file=",
                  "--log-dhcp", "--log-facility=" + log},
                 "", log + ".stderr");
    if (pid_ < 0) {
      *why = "dnsmasq did not start";
      return false;
    }
    for (int i = 0; i < 100; ++i) {
      if (!RunCommandIn(env.serverNs, {"ss", "-Hlnu", "sport = :67"}).out.empty()) return true;
      SleepSeconds(0.05);
    }
    *why = "dnsmasq does not listen on port 67 (see " + log + ")";
    return false;
  }
  ~Dnsmasq() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      WaitExit(pid_, 5);
    }
  }

 private:
  pid_t pid_ = -1;
};

class PxeDnsmasq : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    if (HasFatalFailure()) return;
    std::string why;
    ASSERT_TRUE(dnsmasq_.Start(env_, &why)) << why;
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

}  // namespace
}  // namespace realnet
