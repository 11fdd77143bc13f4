#include "core/entity/DownloadJournal.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/entity/TmpFileStream.h"
#include "support/TempDir.h"

namespace velbor::test {
namespace {

namespace fs = std::filesystem;

class DownloadJournalTest : public ::testing::Test {
 protected:
  void TearDown() override { DownloadJournal::shared().close(); }

  std::shared_ptr<TmpFileStream> download(const std::string& name) {
    auto handle = QoFileAndSyncdirCopyRelation::openTmpFile(copy_.str(), (copy_ / name).string());
    if (handle) *handle << "part of " << name << std::flush;
    return handle;
  }
  fs::path journal() const { return data_ / "downloads.journal"; }

  TempDir data_;
  TempDir copy_;
};

TEST_F(DownloadJournalTest, WhatAKilledRunWasDownloadingGoesAtTheNextStartAndNothingElse) {
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(
      {
        DownloadJournal::shared().open(journal().string());
        auto first = download(".a.txt.Velbor.Download");
        auto second = download(".b.txt.Velbor.Download");
        auto installed = download(".c.txt.Velbor.Download");
        auto removed = download(".d.txt.Velbor.Download");
        fs::create_directories(copy_ / "sub/deeper");
        auto inFolder = download("sub/deeper/.f.txt.Velbor.Download");
        fs::rename(copy_ / ".c.txt.Velbor.Download", copy_ / "c.txt");
        installed.reset();
        fs::remove(copy_ / ".d.txt.Velbor.Download");
        removed.reset();
        if (!first || !second || !inFolder) _exit(3);
        ::kill(::getpid(), SIGKILL);
      },
      ::testing::KilledBySignal(SIGKILL), "");
  ASSERT_TRUE(fs::exists(copy_ / ".a.txt.Velbor.Download"));
  ASSERT_TRUE(fs::exists(copy_ / ".b.txt.Velbor.Download"));
  // Since then the user made a file of that name: another file, whatever its name.
  writeFile(copy_ / "mine", "the user's own");
  fs::rename(copy_ / "mine", copy_ / ".b.txt.Velbor.Download");
  // And a file the user made under a name the killed run had used and given up.
  writeFile(copy_ / ".d.txt.Velbor.Download", "the user's too");
  // A folder renamed while the device was down takes its download along; the user's file
  // takes the old place.
  fs::rename(copy_ / "sub", copy_ / "renamed");
  fs::create_directories(copy_ / "sub/deeper");
  writeFile(copy_ / "sub/deeper/.f.txt.Velbor.Download", "the user's at the old place");

  DownloadJournal::shared().open(journal().string(), {copy_.str()});
  EXPECT_FALSE(fs::exists(copy_ / "renamed/deeper/.f.txt.Velbor.Download"));
  EXPECT_EQ(readFile(copy_ / "sub/deeper/.f.txt.Velbor.Download"), "the user's at the old place");
  EXPECT_FALSE(fs::exists(copy_ / ".a.txt.Velbor.Download"));
  EXPECT_EQ(readFile(copy_ / ".b.txt.Velbor.Download"), "the user's own");
  EXPECT_EQ(readFile(copy_ / ".d.txt.Velbor.Download"), "the user's too");
  EXPECT_EQ(readFile(copy_ / "c.txt"), "part of .c.txt.Velbor.Download");

  // A download is made anew: a file standing at its name is the user's, never written into.
  EXPECT_FALSE(download(".b.txt.Velbor.Download"));
  EXPECT_EQ(readFile(copy_ / ".b.txt.Velbor.Download"), "the user's own");
  EXPECT_FALSE(DownloadJournal::shared().madeHere((copy_ / ".b.txt.Velbor.Download").string()));

  // This run's downloads, once over, leave nothing to remove at the next start.
  auto next = download(".e.txt.Velbor.Download");
  EXPECT_TRUE(DownloadJournal::shared().madeHere((copy_ / ".e.txt.Velbor.Download").string()));
  EXPECT_GT(fs::file_size(journal()), 0u);
  fs::rename(copy_ / ".e.txt.Velbor.Download", copy_ / "e.txt");
  next.reset();
  EXPECT_EQ(fs::file_size(journal()), 0u);
}

TEST_F(DownloadJournalTest, ALineCutShortByTheKillIsNotRead) {
  auto handle = download(".a.txt.Velbor.Download");
  ASSERT_TRUE(handle);
  struct stat status {};
  ASSERT_EQ(::stat((copy_ / ".a.txt.Velbor.Download").c_str(), &status), 0);
  const std::string path = (copy_ / ".a.txt.Velbor.Download").string();
  {
    std::ofstream out(journal(), std::ios::binary);
    // Whole: the path, then its newline.
    out << "+ 1 " << status.st_dev << ' ' << status.st_ino << ' ' << path.size() << '\n' << path;
  }
  EXPECT_EQ(DownloadJournal::removeLeftovers(journal().string()), 0u);
  EXPECT_TRUE(fs::exists(path));
  std::ofstream(journal(), std::ios::app) << '\n';
  EXPECT_EQ(DownloadJournal::removeLeftovers(journal().string()), 1u);
  EXPECT_FALSE(fs::exists(path));
}

// The journal is written anew aside and moved into place: a run killed in between leaves the
// file written aside, which the next start does not keep.
TEST_F(DownloadJournalTest, TheJournalAKilledRunWasWritingAnewGoesAtTheNextStart) {
  const fs::path aside = data_ / "downloads.journal.new";
  writeFile(aside, "+ 1 2 3 4\n");
  DownloadJournal::shared().open(journal().string());
  EXPECT_FALSE(fs::exists(aside));
  EXPECT_TRUE(fs::exists(journal()));
}

// A full disk takes part of a line: the journal goes on with whole lines after it, so that what
// is begun once there is room again is still removed after a kill.
TEST_F(DownloadJournalTest, ALineAFullDiskCutShortLeavesTheNextOnesWhole) {
  DownloadJournal::shared().open(journal().string());
  auto first = download(".a.txt.Velbor.Download");
  ASSERT_TRUE(first);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto savedHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limited = saved;
  limited.rlim_cur = fs::file_size(journal()) + 10;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  auto cut = download(".b.txt.Velbor.Download");
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, savedHandler);
  EXPECT_TRUE(DownloadJournal::shared().failing());
  auto after = download(".c.txt.Velbor.Download");
  ASSERT_TRUE(after);
  // One the journal could not note would be left for good by a kill: it is not made.
  EXPECT_FALSE(cut);
  EXPECT_FALSE(fs::exists(copy_ / ".b.txt.Velbor.Download"));

  // As the next start after a kill here.
  DownloadJournal::removeLeftovers(journal().string());
  EXPECT_FALSE(fs::exists(copy_ / ".a.txt.Velbor.Download"));
  EXPECT_FALSE(fs::exists(copy_ / ".c.txt.Velbor.Download"));
}

}  // namespace
}  // namespace velbor::test
