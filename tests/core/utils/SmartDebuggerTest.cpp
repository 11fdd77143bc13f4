#include "core/utils/SmartDebugger.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/UserDefaults.h"
#include "support/TempDir.h"

namespace velbor {
namespace {

class SmartDebuggerTest : public ::testing::Test {
 protected:
  void SetUp() override { fresh(); }
  void TearDown() override { fresh(); }
  static void fresh() {
    SmartDebugger::resetForTesting();
    UserDefaults::resetAll();
  }
  test::TempHome home_;
};

TEST_F(SmartDebuggerTest, CategoriesPersistAcrossRestarts) {
  auto& debugger = SmartDebugger::sharedSmartDebugger();
  EXPECT_EQ(&debugger, &SmartDebugger::sharedSmartDebugger());
  EXPECT_FALSE(debugger.isCatagoryEnable("Download"));
  auto suite = UserDefaults::suiteNamed("Debugger");
  EXPECT_TRUE(suite->hasKey("Download"));
  EXPECT_FALSE(suite->boolForKey("Download"));

  debugger.setCatagoryEnable("SyncFile", true);
  debugger.setCatagoryEnable("FileMeta", true);
  debugger.setCatagoryEnable("FileMeta", false);
  suite.reset();

  fresh();
  auto& again = SmartDebugger::sharedSmartDebugger();
  EXPECT_TRUE(again.isCatagoryEnable("SyncFile"));
  EXPECT_FALSE(again.isCatagoryEnable("FileMeta"));
  EXPECT_FALSE(again.isCatagoryEnable("Download"));
}

TEST_F(SmartDebuggerTest, DebugLogsOnlyEnabledCategories) {
  auto& debugger = SmartDebugger::sharedSmartDebugger();
  debugger.setCatagoryEnable("Download", true);
  ::testing::internal::CaptureStderr();
  debugger.debug("Download", "[{:2}%] {}", 7, "/sync/a.txt");
  debugger.debug("SyncFile", "{} vclock({})", "/sync/b", "1|2");
  std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("Download [ 7%] /sync/a.txt\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("SyncFile"), std::string::npos) << log;
}

TEST_F(SmartDebuggerTest, StopwatchesStartReadAndClean) {
  auto& debugger = SmartDebugger::sharedSmartDebugger();
  EXPECT_EQ(debugger.getClockInterval("findRequest"), -1);
  debugger.clockStart("findRequest");
  double first = debugger.getClockInterval("findRequest");
  EXPECT_GE(first, 0);
  EXPECT_GE(debugger.getClockInterval("findRequest"), first);  // keeps running
  debugger.cleanClock("findRequest");
  EXPECT_EQ(debugger.getClockInterval("findRequest"), -1);
  debugger.cleanClock("never");
}

}  // namespace
}  // namespace velbor
