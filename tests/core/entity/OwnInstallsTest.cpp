// The memory of a pull's own installs: only the exact state noted matches, once, for a while.

#include <gtest/gtest.h>

#include <cstdlib>

#include <string>
#include <vector>

#include "DiskStateSample.h"
#include "core/entity/OwnInstalls.h"

namespace velbor::test {
namespace {

OwnInstalls::State installed() { return diskStateSample(1800000000); }

TEST(OwnInstallsTest, OnlyTheExactStateMatchesAndOnlyOnce) {
  OwnInstalls installs;
  const auto now = OwnInstalls::Clock::now();
  const std::string path = "/copy/file";
  // Every field that a later change moves: each one alone makes it someone else's change.
  std::vector<OwnInstalls::State> changed(6, installed());
  changed[0].device += 1;
  changed[1].inode += 1;
  changed[2].size += 1;
  changed[3].mode = 0100600;
  changed[4].mtime.tv_nsec += 1;
  changed[5].ctime.tv_nsec += 1;
  for (const auto& state : changed) {
    installs.note(path, installed(), now);
    EXPECT_FALSE(installs.matches(path, state, now));
    // A mismatch uses the note up: the install is not taken for later events either.
    EXPECT_FALSE(installs.matches(path, installed(), now));
  }
  installs.note(path, installed(), now);
  EXPECT_FALSE(installs.matches("/copy/other", installed(), now));
  EXPECT_TRUE(installs.matches(path, installed(), now));
  EXPECT_FALSE(installs.matches(path, installed(), now));
}

TEST(OwnInstallsTest, NotesExpireAndAreBounded) {
  OwnInstalls installs;
  const auto start = OwnInstalls::Clock::now();
  installs.note("/copy/old", installed(), start);
  EXPECT_FALSE(installs.matches("/copy/old", installed(), start + OwnInstalls::kLifetime));

  // Noted again: the latest note counts, and the earlier one does not drop it when it expires.
  installs.note("/copy/again", installed(), start);
  auto later = installed();
  later.ctime.tv_sec += 1;
  installs.note("/copy/again", later, start + OwnInstalls::kLifetime / 2);
  installs.note("/copy/next", installed(), start + OwnInstalls::kLifetime + std::chrono::seconds(1));
  EXPECT_TRUE(installs.matches("/copy/again", later, start + OwnInstalls::kLifetime + std::chrono::seconds(1)));

  installs.clear();
  for (size_t index = 0; index < 3 * OwnInstalls::kMaxEntries; ++index) {
    installs.note("/copy/f" + std::to_string(index), installed(), start);
  }
  EXPECT_LE(installs.size(), OwnInstalls::kMaxEntries);
  EXPECT_FALSE(installs.matches("/copy/f0", installed(), start));
  EXPECT_TRUE(installs.matches("/copy/f" + std::to_string(3 * OwnInstalls::kMaxEntries - 1), installed(), start));
}

// A pull on a worker still running at exit notes its installs after the static objects are
// destroyed. The handler is registered before the shared memory's first use, so it runs
// after its destruction.
void notedAfterExit() {
  std::atexit([] {
    OwnInstalls::shared().note("/copy/late", {});
    std::_Exit(OwnInstalls::shared().matches("/copy/late", {}) ? 0 : 3);
  });
  OwnInstalls::shared().note("/copy/early", installed());
  std::exit(0);
}

TEST(OwnInstallsTest, TheSharedMemoryOutlivesTheStaticObjectsAtExit) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(notedAfterExit(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace velbor::test
