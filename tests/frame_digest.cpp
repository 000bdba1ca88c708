// Labels the frame digests the hosted segments write under
// ORVALE_FRAME_DIGEST with the running test's name, so that two builds'
// frames can be compared test by test (tools/frame-digests.sh).
#include <gtest/gtest.h>

#include "platform/hosted.h"

namespace {

std::string CurrentTest() {
  const testing::TestInfo *info = testing::UnitTest::GetInstance()->current_test_info();
  return info != nullptr ? std::string(info->test_suite_name()) + "." + info->name() : "-";
}

const bool kLabelled = (hosted::FrameDigestLabel = CurrentTest, true);

}  // namespace
