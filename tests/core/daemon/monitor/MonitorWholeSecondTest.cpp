// The classifier on a file system that stamps times to the whole second only.

#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "MonitorTestBase.h"
#include "WholeSecondFileSystem.h"
#include "core/entity/RecordedStates.h"
#include "core/entity/SyncdirMark.h"

namespace velbor::test {
namespace {

using MonitorWholeSecondTest = MonitorTestBase;

TEST_F(MonitorWholeSecondTest, ASecondSaveOfTheSameSizeWithinTheSameSecondIsRecorded) {
  WholeSecondFileSystem wholeSeconds(root_);
  if (!wholeSeconds.mounted()) GTEST_SKIP() << wholeSeconds.reason();
  // The copy is made on the disk: its folder is marked as a new tree's is.
  ASSERT_TRUE(SyncdirMark::markAs(*local_));
  RecordedStates::shared().clear();
  load();
  // Both saves and the read between them must fall within one second; on a slow machine a
  // try may straddle two, and is made again.
  for (int attempt = 0; attempt < 20; ++attempt) {
    const std::string name = "f" + std::to_string(attempt);
    WholeSecondFileSystem::waitForTheStartOfASecond();
    const struct stat first = saveInPlace(at(name), "one");
    if (first.st_ctim.tv_nsec != 0) GTEST_SKIP() << "the mounted file system keeps fractions of a second";
    // Read more than a clock tick after the stamp, within its second.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    report({name});
    tick();
    ASSERT_TRUE(recorded(name));
    const struct stat second = saveInPlace(at(name), "two");
    if (second.st_ctim.tv_sec != first.st_ctim.tv_sec || second.st_ino != first.st_ino) continue;
    report({name});
    tick();
    EXPECT_EQ(stored(name)->sha1(), sha1Of("two"));
    RecordedStates::shared().clear();
    return;
  }
  RecordedStates::shared().clear();
  GTEST_SKIP() << "no two saves fell within one second on this machine";
}

}  // namespace
}  // namespace velbor::test
