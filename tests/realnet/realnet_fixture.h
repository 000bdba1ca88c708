// Fixtures of the real-network tests. Every test captures the client
// interface with tshark and, unless it judges the capture itself, fails when
// the judge finds a malformed frame or a warning in anything the driver sent.
#ifndef ORVALE_TESTS_REALNET_FIXTURE_H
#define ORVALE_TESTS_REALNET_FIXTURE_H

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/realnet/realnet_support.h"
#include "tools/cli/session.h"

// Status comparisons that print names, not 64-bit numbers.
#define EXPECT_STATUS(actual, expected) EXPECT_EQ(orvale_cli::StatusName(actual), orvale_cli::StatusName(expected))
#define ASSERT_STATUS(actual, expected) ASSERT_EQ(orvale_cli::StatusName(actual), orvale_cli::StatusName(expected))

namespace realnet {

class CapturedTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Stops the capture now; the path of the finished pcap file.
  std::string StopCapture();

  Env env_;
  hosted::Mac mac_{};  // the client interface's, which the driver uses too
  Tap tap_;
  Capture capture_;
  size_t seenBeforeCapture_ = 0;
  std::string capturePath_;
  bool capturing_ = false;
  bool judgeInTearDown_ = true;
  // A tshark capture filter, set before SetUp: frames a test floods the link
  // with need no judge and would take it longer than the test.
  std::string captureFilter_;
};

class DriverTest : public CapturedTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  void SetStation();
  // UdpWrite from the station address; the source port comes back in *srcPort
  // (from the driver's counter unless fixedSrcPort).
  EFI_STATUS Send(const EFI_IP_ADDRESS &dest, uint16_t destPort, const hosted::Bytes &data, UINT16 flags,
                  uint16_t *srcPort, bool fixedSrcPort = false);
  // UdpRead polled until it returns something other than EFI_TIMEOUT or
  // seconds pass. srcIp null accepts any source; srcPort 0 any source port.
  EFI_STATUS Receive(const EFI_IP_ADDRESS *srcIp, uint16_t srcPort, uint16_t destPort, hosted::Bytes *data,
                     double seconds, size_t bufferSize = 65536);
  // Keeps the driver receiving (answering ARP, running IGMP timers) and the
  // tap reading until done() or seconds pass. Datagrams are consumed.
  bool PollUntil(const std::function<bool()> &done, double seconds);
  // Reads only the tap: the driver's queue is left alone.
  bool WatchUntil(const std::function<bool()> &done, double seconds);

  std::unique_ptr<orvale_cli::DriverSession> session_;
  OrvaleProtocol *p_ = nullptr;
};

}  // namespace realnet

#endif
