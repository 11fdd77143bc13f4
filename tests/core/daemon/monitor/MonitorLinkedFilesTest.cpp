// A file with several names (hard links): a change made through one name reaches the records
// of the others, although the event stream reports it under the name used only.

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "MonitorTestBase.h"
#include "WholeSecondFileSystem.h"
#include "core/entity/RecordedStates.h"
#include "core/entity/SyncdirMark.h"

namespace velbor::test {
namespace {

class MonitorLinkedFilesTest : public MonitorTestBase {
 protected:
  static void append(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out << text;
  }

  static void link(const std::filesystem::path& from, const std::filesystem::path& to) {
    std::filesystem::create_directories(to.parent_path());
    ASSERT_EQ(::link(from.c_str(), to.c_str()), 0) << to;
  }

  size_t followed() { return monitor_->linkedFileCount(local_->uuid()); }

  // A second copy of the folder, "other", in this device's home; "f.txt" written and recorded
  // in this copy.
  void recordFBesideAnotherCopy() {
    std::filesystem::create_directories(otherCopy());
    copy(otherCopy().string(), QoDevice::getDeviceLocal(), "T", "dddddd-other");
    writeFile(at("f.txt"), "first");
    load();
    ASSERT_TRUE(recorded("f.txt"));
  }
  std::filesystem::path otherCopy() const { return home_.path() / "other"; }
};

TEST_F(MonitorLinkedFilesTest, AChangeThroughOneNameIsRecordedForTheOthers) {
  // Names in the copy and one outside it (the same file system).
  TempDir outside("velbor-links");
  writeFile(at("f.txt"), "first");
  link(at("f.txt"), at("d/g.txt"));
  link(at("f.txt"), outside / "o.txt");
  load();
  ASSERT_TRUE(recorded("d/g.txt"));
  EXPECT_EQ(followed(), 2u);

  // Through a name in the copy: its other name is compared in the same batch.
  append(at("f.txt"), ", appended");
  monitor_->handlePaths({at("f.txt")}, watched());
  EXPECT_EQ(stored("f.txt")->sha1(), sha1Of("first, appended"));
  EXPECT_EQ(stored("d/g.txt")->sha1(), sha1Of("first, appended"));

  // Through the name outside, which no event reports: both names in the copy are compared.
  const int64_t before = usn();
  append(outside / "o.txt", ", again");
  tick();
  EXPECT_EQ(stored("f.txt")->sha1(), sha1Of("first, appended, again"));
  EXPECT_EQ(stored("d/g.txt")->sha1(), sha1Of("first, appended, again"));
  EXPECT_EQ(usn(), before + 2);

  // A name made for a file recorded under another one, and written through at once: the first
  // name is found, compared and followed from then on.
  writeFile(at("single"), "one name");
  look({"single"});
  link(at("single"), at("d/second"));
  append(at("d/second"), ", more");
  look({"d/second"}, FileEventStream::kItemIsFile | FileEventStream::kItemCreated);
  tick();
  EXPECT_EQ(stored("d/second")->sha1(), sha1Of("one name, more"));
  EXPECT_EQ(stored("single")->sha1(), sha1Of("one name, more"));
  append(at("d/second"), " and more");
  monitor_->handlePaths({at("d/second")}, watched());
  EXPECT_EQ(stored("single")->sha1(), sha1Of("one name, more and more"));

  // Nothing changed since: the names are not recorded again.
  const int64_t quiet = usn();
  tick();
  look({"f.txt", "d/second"});
  EXPECT_EQ(usn(), quiet);
}

TEST_F(MonitorLinkedFilesTest, APermissionSetByAPullOnOneNameIsRecordedForTheOthers) {
  writeFile(at("f.txt"), "shared");
  link(at("f.txt"), at("g.txt"));
  ::chmod(at("f.txt").c_str(), 0644);
  load();
  ASSERT_EQ(stored("g.txt")->unixAttr(), 0644);

  // The same content arrives for one name with other permissions: they are set in place.
  const auto pulled = incoming("f.txt", Incoming().content("shared").download("shared").permissions(0600));
  ASSERT_TRUE(pulled->handleFetchEvent(EventFFConflict));
  ASSERT_EQ(modeOf(at("g.txt")), 0600u);
  look({"f.txt"}, FileEventStream::kItemIsFile | FileEventStream::kItemInodeMetaMod);
  EXPECT_EQ(stored("f.txt")->unixAttr(), 0600);
  EXPECT_EQ(stored("g.txt")->unixAttr(), 0600);
  EXPECT_EQ(readFile(at("g.txt")), "shared");
}

TEST_F(MonitorLinkedFilesTest, ANameRemovedIsNoLongerFollowedAndTheOtherKeepsItsRecord) {
  writeFile(at("f.txt"), "kept");
  link(at("f.txt"), at("g.txt"));
  load();
  ASSERT_EQ(followed(), 2u);
  const int64_t before = usn();
  const std::string sha1 = stored("f.txt")->sha1();

  std::filesystem::remove(at("g.txt"));
  look({"g.txt"}, FileEventStream::kItemIsFile | FileEventStream::kItemRemoved);
  EXPECT_EQ(stored("g.txt")->status(), 1);
  EXPECT_TRUE(recorded("f.txt"));
  EXPECT_EQ(stored("f.txt")->sha1(), sha1);
  // One name left: nothing to follow, and only the removal is a change.
  EXPECT_EQ(followed(), 0u);
  EXPECT_EQ(usn(), before + 1);

  // The same name made again as a file of its own is compared on its own.
  writeFile(at("g.txt"), "new");
  look({"g.txt"});
  EXPECT_EQ(stored("g.txt")->sha1(), sha1Of("new"));
  EXPECT_EQ(stored("f.txt")->sha1(), sha1);
  EXPECT_EQ(followed(), 0u);
}

TEST_F(MonitorLinkedFilesTest, NoMoreFilesAreFollowedThanTheBound) {
  Monitor::Bounds bounds;
  bounds.linkedFiles = 2;
  monitor_->setBounds(bounds);
  TempDir outside("velbor-links");
  for (const char* name : {"a", "b", "c"}) {
    writeFile(at(name), name);
    link(at(name), outside / name);
  }
  // The start's rescan reaches the bound: the log says so, once.
  ::testing::internal::CaptureStderr();
  load();
  load();
  const std::string log = ::testing::internal::GetCapturedStderr();
  const std::string line = "Monitor: more than 2 files with several names in (" + root_ + ")";
  EXPECT_NE(log.find(line), std::string::npos) << log;
  EXPECT_EQ(log.find(line), log.rfind(line)) << log;
  EXPECT_EQ(followed(), 2u);
  // A change through the other names of the files followed is still recorded.
  for (const char* name : {"a", "b", "c"}) append(outside / name, "+");
  tick();
  int seen = 0;
  for (const char* name : {"a", "b", "c"}) seen += stored(name)->sha1() == sha1Of(std::string(name) + "+") ? 1 : 0;
  EXPECT_EQ(seen, 2);
}

TEST_F(MonitorLinkedFilesTest, ANameMadeInAnotherCopyKeepsTheFirstNameInStep) {
  ASSERT_NO_FATAL_FAILURE(recordFBesideAnotherCopy());
  const std::filesystem::path other = otherCopy();

  // A second name made in the other copy while the monitor runs: only that copy has an event.
  link(at("f.txt"), other / "g.txt");
  monitor_->scanPaths(
      {Event{(other / "g.txt").string(), ++eventId_, FileEventStream::kItemIsFile | FileEventStream::kItemCreated}});
  tick();
  tick();
  ASSERT_TRUE(QoFile::getFileWithPath((other / "g.txt").string()));

  // Written through the new name: the first name's record takes the change.
  append(other / "g.txt", ", more");
  monitor_->scanPaths({Event{(other / "g.txt").string(), ++eventId_, kFileChanged}});
  tick();
  EXPECT_EQ(QoFile::getFileWithPath((other / "g.txt").string())->sha1(), sha1Of("first, more"));
  EXPECT_EQ(stored("f.txt")->sha1(), sha1Of("first, more"));

  // And settles.
  tick();
  const int64_t quiet = usn();
  tick();
  EXPECT_EQ(usn(), quiet);
}

TEST_F(MonitorLinkedFilesTest, NamesInAnotherCopyFoundByARescanOfAWholeCopyAreFollowed) {
  ASSERT_NO_FATAL_FAILURE(recordFBesideAnotherCopy());
  const std::filesystem::path other = otherCopy();

  // Names made in the other copy faster than their events could be kept: it is compared whole.
  link(at("f.txt"), other / "g.txt");
  monitor_->scanPaths(
      {Event{other.string(), ++eventId_, FileEventStream::kMustScanSubDirs | FileEventStream::kItemIsDir}});
  tick();
  tick();
  ASSERT_TRUE(QoFile::getFileWithPath((other / "g.txt").string()));

  append(other / "g.txt", ", more");
  monitor_->scanPaths({Event{(other / "g.txt").string(), ++eventId_, kFileChanged}});
  tick();
  EXPECT_EQ(stored("f.txt")->sha1(), sha1Of("first, more"));
}

TEST_F(MonitorLinkedFilesTest, ASecondWriteOfTheSameSizeWithinOneSecondIsRecordedOnAWholeSecondDisk) {
  WholeSecondFileSystem wholeSeconds(root_);
  if (!wholeSeconds.mounted()) GTEST_SKIP() << wholeSeconds.reason();
  // The copy is made on the disk: its folder is marked as a new tree's is.
  ASSERT_TRUE(SyncdirMark::markAs(*local_));
  RecordedStates::shared().clear();
  writeFile(at("f"), "at first");
  link(at("f"), at("g"));
  load();
  ASSERT_TRUE(recorded("g"));
  // Both writes and the tick between them must fall within one second; on a slow machine a
  // try may straddle two, and is made again.
  for (int attempt = 0; attempt < 20; ++attempt) {
    WholeSecondFileSystem::waitForTheStartOfASecond();
    const struct stat first = saveInPlace(at("f"), "one" + std::to_string(attempt % 10));
    if (first.st_ctim.tv_nsec != 0) GTEST_SKIP() << "the mounted file system keeps fractions of a second";
    tick();
    ASSERT_EQ(stored("g")->sha1(), sha1Of("one" + std::to_string(attempt % 10)));
    const struct stat second = saveInPlace(at("f"), "two" + std::to_string(attempt % 10));
    if (second.st_ctim.tv_sec != first.st_ctim.tv_sec) continue;
    // No event tells of it, and the disk shows the same size and times as after the first.
    tick();
    tick();
    EXPECT_EQ(stored("f")->sha1(), sha1Of("two" + std::to_string(attempt % 10)));
    EXPECT_EQ(stored("g")->sha1(), sha1Of("two" + std::to_string(attempt % 10)));
    RecordedStates::shared().clear();
    return;
  }
  RecordedStates::shared().clear();
  GTEST_SKIP() << "no two writes fell within one second on this machine";
}

}  // namespace
}  // namespace velbor::test
