#include <sys/resource.h>

#include <gtest/gtest.h>

#include "platform/OpenFileLimit.h"

namespace velbor::test {
namespace {

// A process started with a low soft limit ends with the hard one; at the hard one already,
// nothing changes.
TEST(OpenFileLimitTest, TheSoftLimitIsRaisedToTheHardOne) {
  rlimit original{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
  if (original.rlim_max <= 256) GTEST_SKIP() << "hard limit too low to lower the soft one";
  rlimit low = original;
  low.rlim_cur = 256;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);

  EXPECT_EQ(raiseOpenFileLimit(), original.rlim_max);
  rlimit now{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &now), 0);
  EXPECT_EQ(now.rlim_cur, original.rlim_max);
  EXPECT_EQ(raiseOpenFileLimit(), original.rlim_max);

  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &original), 0);
}

}  // namespace
}  // namespace velbor::test
