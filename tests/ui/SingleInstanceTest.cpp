#include <QSignalSpy>

#include <gtest/gtest.h>

#include "support/TempDir.h"
#include "ui/SingleInstance.h"
#include "ui/UiSpin.h"

namespace velbor::test {
namespace {

// A second launch finds the first, which brings its window forward; once the first has
// ended, a relaunch waiting for it goes on.
TEST(SingleInstanceTest, SecondLaunchReachesTheFirstAndARelaunchWaitsForItsEnd) {
  TempDir settings;
  const QString key = QString::fromStdString(settings.str());
  auto first = std::make_unique<SingleInstance>(key);
  ASSERT_FALSE(first->notifyRunning());
  QSignalSpy reopened(first.get(), &SingleInstance::reopenRequested);

  SingleInstance second(key);
  EXPECT_TRUE(second.notifyRunning());
  EXPECT_TRUE(spinUntil([&] { return reopened.count() == 1; }));
  EXPECT_FALSE(second.waitForPreviousToEnd(0));

  first.reset();
  EXPECT_TRUE(second.waitForPreviousToEnd(0));
  EXPECT_FALSE(second.notifyRunning());
}

}  // namespace
}  // namespace velbor::test
