// Shared fixture for tests that drive the loaded driver through the hosted
// platform.
//
// DriverTest::SetUp builds a fresh firmware, lets ConfigurePlatform() set BIS,
// data hub or faults, loads the driver (the image entry runs again, so every
// test starts from a fresh load), adds one NIC on a simulated segment,
// records the pool, event and TPL baselines, connects the driver and (unless
// CreateFirstChild() says otherwise) creates one child in child_.
//
// TearDown disconnects the driver when the test has not (use Disconnect(),
// not fw_.DisconnectDriver, so the fixture knows), then checks that the pool
// blocks and live events are back at their baselines, that the TPL is where
// it started, that no TPL violation or firmware misuse was recorded and,
// once disconnected, that the NIC has no MNP child or unrecycled receive
// buffer left.
#ifndef ORVALE_TESTS_TEST_SUPPORT_H
#define ORVALE_TESTS_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <string>

#include "instance/instance.h"
#include "platform/hosted.h"

namespace orvale_test {

constexpr hosted::Mac kClientMac = {0x52, 0x54, 0x00, 0x12, 0x34, 0x56};

class DriverTest : public ::testing::Test {
 protected:
  // Runs before the driver is loaded and the NIC added.
  virtual void ConfigurePlatform() {}
  // Whether SetUp creates child_.
  virtual bool CreateFirstChild() const { return true; }

  void SetUp() override {
    ConfigurePlatform();
    fw_.LoadDriver();
    nic_ = fw_.AddNic(&segment_, kClientMac);
    ASSERT_NE(nic_, nullptr);
    poolBlocks_ = fw_.LivePoolBlocks();
    events_ = fw_.LiveEvents();
    tpl_ = fw_.CurrentTpl();
    ASSERT_EQ(fw_.ConnectDriver(nic_), EFI_SUCCESS);
    connected_ = true;
    if (CreateFirstChild()) ASSERT_EQ(hosted::CreateChild(fw_, nic_, &child_), EFI_SUCCESS);
  }

  void TearDown() override {
    fw_.FailAllocation(-1);
    fw_.FailAllocationsOfSize(0);
    if (connected_) EXPECT_EQ(Disconnect(), EFI_SUCCESS);
    ExpectBaselines();
    if (!connected_) {
      EXPECT_EQ(nic_->MnpChildren(), 0u);
      EXPECT_EQ(nic_->UnrecycledBuffers(), 0u);
    }
    for (const std::string &e : fw_.Errors()) ADD_FAILURE() << "firmware misuse: " << e;
  }

  // The driver binding's Stop on the NIC.
  EFI_STATUS Disconnect() {
    const EFI_STATUS Status = fw_.DisconnectDriver(nic_);
    if (Status == EFI_SUCCESS) connected_ = false;
    return Status;
  }

  // Pool, events and TPL as they were before the driver was connected.
  void ExpectBaselines() {
    EXPECT_EQ(fw_.LivePoolBlocks(), poolBlocks_);
    EXPECT_EQ(fw_.LiveEvents(), events_);
    ExpectTplRestored();
  }
  void ExpectTplRestored() {
    EXPECT_EQ(fw_.CurrentTpl(), tpl_);
    for (const std::string &v : fw_.TplViolations()) ADD_FAILURE() << "TPL violation: " << v;
  }

  static ProtocolInstance *InstanceOf(const hosted::Child &c) { return InstanceFromThis(c.protocol); }
  ProtocolInstance *Instance() const { return InstanceOf(child_); }
  ControllerBinding *Binding() const { return Instance()->Binding; }
  OrvaleProtocol *Proto() const { return child_.protocol; }
  EFI_STATUS StartChild() { return child_.protocol->Start(child_.protocol); }

  // The segment outlives the firmware, whose NICs are attached to it.
  hosted::SimSegment segment_;
  hosted::Firmware fw_;
  hosted::Nic *nic_ = nullptr;
  hosted::Child child_;
  bool connected_ = false;
  size_t poolBlocks_ = 0;
  size_t events_ = 0;
  EFI_TPL tpl_ = 0;
};

}  // namespace orvale_test

#endif
