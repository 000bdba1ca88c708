// Drives a child through the C11 caller in caller_header_test.c.
#include "tests/test_support.h"

extern "C" {
int OrvaleCallerRevisionIsCurrent(const OrvaleProtocol *Protocol);
EFI_STATUS OrvaleCallerAskForAck(OrvaleProtocol *Protocol, UINTN *BufferSize, EFI_STATUS *StartStatus,
                                 EFI_STATUS *StopStatus);
}

namespace orvale_test {
namespace {

using CallerHeaderTest = DriverTest;

TEST_F(CallerHeaderTest, CCallerUsesTheTable) {
  EXPECT_TRUE(OrvaleCallerRevisionIsCurrent(Proto()));
  UINTN size = 16;
  EFI_STATUS start = EFI_SUCCESS, stop = EFI_SUCCESS;
  EXPECT_EQ(OrvaleCallerAskForAck(Proto(), &size, &start, &stop), EFI_NOT_READY);
  EXPECT_EQ(start, EFI_SUCCESS);
  EXPECT_EQ(stop, EFI_SUCCESS);
  Instance()->Packets.DhcpAckReceived = TRUE;
  EXPECT_EQ(OrvaleCallerAskForAck(Proto(), &size, &start, &stop), EFI_NOT_READY) << "Start clears the flag";
  EXPECT_EQ(size, 16u);
  ExpectTplRestored();
}

}  // namespace
}  // namespace orvale_test
