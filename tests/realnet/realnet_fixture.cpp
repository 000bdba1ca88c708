#include "tests/realnet/realnet_fixture.h"

namespace realnet {

void CapturedTest::SetUp() {
  std::string why;
  ASSERT_TRUE(LoadEnv(&env_, &why)) << why;
  auto mac = InterfaceMac(env_.iface);
  ASSERT_TRUE(mac.has_value()) << "no interface " << env_.iface;
  mac_ = *mac;
  ASSERT_TRUE(tap_.Open(env_.iface, &why)) << why;
  const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
  capturePath_ = env_.captureDir + "/" + info->test_suite_name() + "." + info->name() + ".pcap";
  ASSERT_TRUE(capture_.Start(env_.iface, capturePath_, &why, captureFilter_)) << why;
  capturing_ = true;
  tap_.Poll();
  seenBeforeCapture_ = tap_.Seen();
}

std::string CapturedTest::StopCapture() {
  if (capturing_) {
    capturing_ = false;
    std::string why;
    tap_.Poll();
    if (!capture_.Stop(&why, tap_.Seen() - seenBeforeCapture_)) ADD_FAILURE() << why;
  }
  return capturePath_;
}

void CapturedTest::TearDown() {
  const bool wasCapturing = capturing_;
  StopCapture();
  if (!wasCapturing || !judgeInTearDown_) return;
  Verdict v = Judge(capturePath_, mac_);
  EXPECT_TRUE(v.clean) << "judge of " << capturePath_ << ": " << v.Summary();
}

void DriverTest::SetUp() {
  CapturedTest::SetUp();
  if (HasFatalFailure()) return;
  std::string why;
  session_ = orvale_cli::DriverSession::Open(env_.iface, &why);
  ASSERT_TRUE(session_ != nullptr) << why;
  p_ = session_->Protocol();
  ASSERT_EQ(session_->Mac(), mac_);
}

void DriverTest::TearDown() {
  if (session_) {
    const hosted::PacketSocketWire::Counters stats = session_->Wire().Stats();
    EXPECT_EQ(stats.sendErrors, 0u) << session_->Wire().LastSendError();
    // The harness turns transmit offload off on every veth; a frame with its
    // checksum left to offload would be a harness fault, not a driver one.
    EXPECT_EQ(stats.checksumNotReady, 0u);
    EXPECT_EQ(stats.truncated, 0u);
    EXPECT_EQ(session_->Close(), "");
    session_.reset();
    p_ = nullptr;
  }
  CapturedTest::TearDown();
}

void DriverTest::SetStation() {
  EFI_IP_ADDRESS ip = env_.stationIp, mask = env_.subnetMask;
  ASSERT_STATUS(p_->SetStationIp(p_, &ip, &mask), EFI_SUCCESS);
}

EFI_STATUS DriverTest::Send(const EFI_IP_ADDRESS &dest, uint16_t destPort, const hosted::Bytes &data, UINT16 flags,
                            uint16_t *srcPort, bool fixedSrcPort) {
  EFI_IP_ADDRESS to = dest;
  EFI_PXE_BASE_CODE_UDP_PORT dport = destPort;
  EFI_PXE_BASE_CODE_UDP_PORT sport = fixedSrcPort ? *srcPort : 0;
  if (!fixedSrcPort) flags |= EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_SRC_PORT;
  UINTN size = data.size();
  EFI_STATUS status = p_->UdpWrite(p_, flags, &to, &dport, nullptr, nullptr, &sport, nullptr, nullptr, &size,
                                   const_cast<uint8_t *>(data.data()));
  *srcPort = sport;
  return status;
}

EFI_STATUS DriverTest::Receive(const EFI_IP_ADDRESS *srcIp, uint16_t srcPort, uint16_t destPort, hosted::Bytes *data,
                               double seconds, size_t bufferSize) {
  UINT16 flags = 0;
  if (srcIp == nullptr) flags |= EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_SRC_IP;
  if (srcPort == 0) flags |= EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_SRC_PORT;
  hosted::Bytes buffer(bufferSize);
  const double deadline = MonotonicNow() + seconds;
  EFI_STATUS status;
  UINTN size;
  do {
    EFI_IP_ADDRESS src = srcIp != nullptr ? *srcIp : EFI_IP_ADDRESS{};
    EFI_PXE_BASE_CODE_UDP_PORT sport = srcPort, dport = destPort;
    size = buffer.size();
    status = p_->UdpRead(p_, flags, nullptr, &dport, &src, &sport, nullptr, nullptr, &size, buffer.data());
    tap_.Poll();
    if (status != EFI_TIMEOUT) break;
    SleepSeconds(0.001);
  } while (MonotonicNow() < deadline);
  data->assign(buffer.begin(), buffer.begin() + (status == EFI_SUCCESS ? size : 0));
  return status;
}

bool DriverTest::PollUntil(const std::function<bool()> &done, double seconds) {
  const UINT16 any = EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_SRC_IP | EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_SRC_PORT |
                     EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_DEST_IP | EFI_PXE_BASE_CODE_UDP_OPFLAGS_ANY_DEST_PORT;
  hosted::Bytes buffer(65536);
  const double deadline = MonotonicNow() + seconds;
  for (;;) {
    UINTN size = buffer.size();
    (void)p_->UdpRead(p_, any, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &size, buffer.data());
    tap_.Poll();
    if (done()) return true;
    if (MonotonicNow() >= deadline) return false;
    SleepSeconds(0.001);
  }
}

bool DriverTest::WatchUntil(const std::function<bool()> &done, double seconds) {
  const double deadline = MonotonicNow() + seconds;
  for (;;) {
    tap_.Poll();
    if (done()) return true;
    if (MonotonicNow() >= deadline) return false;
    SleepSeconds(0.001);
  }
}

}  // namespace realnet
