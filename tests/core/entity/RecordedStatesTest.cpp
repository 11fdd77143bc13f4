// The memory of the states whose content was recorded: any move of what the disk tells
// beyond size and millisecond time, or a racy state, means the content must be read again.

#include <gtest/gtest.h>

#include <cstdlib>

#include <string>

#include <fmt/format.h>

#include "DiskStateSample.h"
#include "core/entity/RecordedStates.h"

namespace velbor::test {
namespace {

RecordedStates::State recordedState() { return diskStateSample(1700000000); }

TEST(RecordedStatesTest, OnlyTheNotedStateVouchesForTheRecordAndARacyOneNever) {
  RecordedStates states;
  const std::string path = "/copy/file";
  EXPECT_FALSE(states.mayDiffer(path, recordedState())) << "nothing known: the record alone decides";
  states.note(path, recordedState());
  EXPECT_FALSE(states.mayDiffer(path, recordedState()));
  RecordedStates::State sameMillisecond = recordedState();
  sameMillisecond.mtime.tv_nsec += 1000;
  RecordedStates::State changedAgain = recordedState();
  changedAgain.ctime.tv_nsec += 1;
  RecordedStates::State replaced = recordedState();
  replaced.inode += 1;
  for (const auto& state : {sameMillisecond, changedAgain, replaced}) EXPECT_TRUE(states.mayDiffer(path, state));
  EXPECT_FALSE(states.mayDiffer(path, recordedState())) << "asking uses nothing up";

  states.note(path, recordedState(), true);
  EXPECT_TRUE(states.mayDiffer(path, recordedState()));
  states.note(path, recordedState());
  EXPECT_FALSE(states.mayDiffer(path, recordedState()));
  states.forget(path);
  EXPECT_EQ(states.size(), 0U);
}

TEST(RecordedStatesTest, TheOldestNotesGoBeyondTheBound) {
  RecordedStates states;
  RecordedStates::State other = recordedState();
  other.inode += 1;
  // Notes of one path again and again take one entry.
  for (size_t i = 0; i < 3 * RecordedStates::kMaxEntries; ++i) states.note("/copy/again", recordedState());
  EXPECT_EQ(states.size(), 1U);
  for (size_t i = 0; i < RecordedStates::kMaxEntries + 10; ++i) {
    states.note(fmt::format("/copy/{}", i), recordedState());
  }
  EXPECT_EQ(states.size(), RecordedStates::kMaxEntries);
  EXPECT_FALSE(states.mayDiffer("/copy/0", other)) << "forgotten: judged by its record alone";
  EXPECT_TRUE(states.mayDiffer(fmt::format("/copy/{}", RecordedStates::kMaxEntries + 9), other));
}

// A pull on a worker still running at exit notes its installs after the static objects are
// destroyed. The handler is registered before the shared memory's first use, so it runs
// after its destruction.
void notedAfterExit() {
  std::atexit([] {
    RecordedStates::shared().note("/copy/late", {});
    std::_Exit(RecordedStates::shared().mayDiffer("/copy/late", {}) ? 3 : 0);
  });
  RecordedStates::shared().note("/copy/early", recordedState());
  std::exit(0);
}

TEST(RecordedStatesTest, TheSharedMemoryOutlivesTheStaticObjectsAtExit) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(notedAfterExit(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace velbor::test
