// Installs on the disks of USB sticks and Windows machines, through the FUSE drivers Debian
// ships: no rename flags, every item shown with mode 0777 whatever chmod is told, and (exFAT)
// whole seconds only. What a pull installs there must arrive, and must never look like a local
// change that would travel back, with the disk's times and modes, to the device it came from.
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <string>

#include "FetchTestBase.h"
#include "core/entity/FileTimes.h"
#include "core/entity/ModeKeeping.h"
#include "core/entity/NameSpelling.h"
#include "core/entity/OwnInstalls.h"
#include "core/entity/RecordedStates.h"
#include "core/entity/SyncdirMark.h"
#include "support/FuseDisk.h"

namespace velbor::test {
namespace {

namespace fs = std::filesystem;

class FetchOnFuseDiskTest : public FetchTestBase, public ::testing::WithParamInterface<FuseDisk::Kind> {
 protected:
  void SetUp() override {
    FetchTestBase::SetUp();
    ModeKeeping::shared().clear();
    disk_ = std::make_unique<FuseDisk>(GetParam(), root_);
    if (!disk_->mounted()) GTEST_SKIP() << disk_->reason();
    // The copy is made on the disk: its folder is marked as a new tree's is.
    ASSERT_TRUE(SyncdirMark::markAs(*local_));
  }
  void TearDown() override {
    disk_.reset();
    ModeKeeping::shared().clear();
    FetchTestBase::TearDown();
  }

  std::unique_ptr<FuseDisk> disk_;
};

TEST_P(FetchOnFuseDiskTest, EditsArriveAndAreRecordedAsTheDiskKeepsThem) {
  writeFile(at("a.txt"), "first");
  local_->refresh();
  ASSERT_NE(stored("a.txt"), nullptr);
  EXPECT_EQ(stored("a.txt")->unixAttr(), 0644) << "the 0777 every file shows is never recorded";

  auto edit = incoming(
      "a.txt",
      Incoming().content("edited there").download("edited there").permissions(0640).clock(std::vector<uint64_t>{1, 3}));
  ASSERT_TRUE(edit->handleFetchEvent(EventUpdateFile));
  EXPECT_EQ(readFile(at("a.txt")), "edited there");
  EXPECT_TRUE(temporaries().empty());
  EXPECT_EQ(failedUsn(), 0);

  // Given both times, the disk keeps the peer's (to the second on exFAT); the record holds
  // what it kept, and the peer's permission bits.
  EXPECT_EQ(mtimeOf(at("a.txt")) / 1000, kPeerTime / 1000);
  const auto record = stored("a.txt");
  struct stat disk {};
  ASSERT_EQ(::lstat(at("a.txt").c_str(), &disk), 0);
  EXPECT_TRUE(isRecordedModificationTime(disk.st_mtim, record->contentModTime()));
  EXPECT_EQ(record->unixAttr(), 0640);
  EXPECT_EQ(storedClock("a.txt"), "1|3");

  // Compared with the disk again, nothing differs: nothing new to announce.
  const int64_t usn = record->usn();
  OwnInstalls::shared().clear();
  RecordedStates::shared().clear();
  local_->refresh();
  EXPECT_EQ(stored("a.txt")->usn(), usn);
  EXPECT_EQ(stored("a.txt")->unixAttr(), 0640);
  EXPECT_EQ(storedClock("a.txt"), "1|3");
}

TEST_P(FetchOnFuseDiskTest, ConflictsKeepBothSidesWithoutRenameFlags) {
  writeFile(at("both.txt"), "base");
  recordLocal("both.txt");
  writeFile(at("both.txt"), "local edit");
  recordLocal("both.txt");
  for (const bool renameLocal : {true, false}) {
    auto conflict = incoming("both.txt", Incoming()
                                             .content(renameLocal ? "theirs 1" : "theirs 2")
                                             .download(renameLocal ? "theirs 1" : "theirs 2")
                                             .clock(std::vector<uint64_t>{0, renameLocal ? 3u : 4u}));
    conflict->setIsRenameLocalWHenConflict(renameLocal);
    ASSERT_TRUE(conflict->handleFetchEvent(EventFFConflict));
  }
  EXPECT_EQ(readFile(at("both.txt")), "theirs 1");
  EXPECT_EQ(conflictsOf("both.txt").size(), 2u);
  EXPECT_TRUE(temporaries().empty());
  EXPECT_EQ(failedUsn(), 0);
}

// What the folder lists: the spelling the disk holds.
std::set<std::string> listedIn(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().filename().string().front() != '.') names.insert(entry.path().filename().string());
  }
  return names;
}

// exFAT answers for every spelling of a name: only the listed one is there. A rename that
// changes only the letter case is made, the old spelling's removal (in any order, also for a
// folder renamed so) removes nothing, and nothing is made over another item's spelling.
TEST_P(FetchOnFuseDiskTest, NamesAreWhatTheFolderListsWhateverSpellingTheDiskAnswers) {
  if (GetParam() != FuseDisk::Kind::Exfat) GTEST_SKIP() << "ntfs-3g keeps names apart by case";
  // Letters of every script with case, as the disk folds them.
  for (const auto& [before, after] : std::vector<std::pair<std::string, std::string>>{
           {"Report0.txt", "report0.txt"}, {"Отчёт0.txt", "отчёт0.txt"}, {"Ωμέγα0.txt", "ωμέγα0.txt"}}) {
    writeFile(at(before), "report");
    auto oldName = recordLocal(before);
    auto renamed = incoming(after, Incoming().content("report").permissions(0644));
    renamed->setFileRelationLocal(oldName);
    ASSERT_TRUE(renamed->handleFetchEvent(EventRenameFile)) << after;
    EXPECT_EQ(listedIn(root_).count(after), 1U) << after;
    EXPECT_EQ(listedIn(root_).count(before), 0U) << before;
    auto removal = incoming(before, Incoming().status(1).clock(std::vector<uint64_t>{1, 3}));
    ASSERT_TRUE(removal->handleFetchEvent(EventDeleteFile)) << before;
    EXPECT_EQ(readFile(at(after)), "report") << "the old spelling's removal took " << after;
    if (after != "report0.txt") fs::remove(at(after));
  }

  // Renamed here before the old spelling's removal came: a file, and a folder with a file.
  writeFile(at("Notes0.txt"), "notes");
  recordLocal("Notes0.txt");
  fs::create_directory(at("Album"));
  writeFile(at("Album/one.jpg"), "one");
  recordLocal("Album");
  recordLocal("Album/one.jpg");
  fs::rename(at("Notes0.txt"), at("notes0.txt"));
  fs::rename(at("Album"), at("album"));
  struct stat status {};
  EXPECT_NE(NameSpelling::lstatAsSpelled(root_, at("Album/one.jpg"), status), 0);
  EXPECT_EQ(NameSpelling::lstatAsSpelled(root_, at("album/one.jpg"), status), 0);
  for (const std::string gone : {"Notes0.txt", "Album/one.jpg", "Album"}) {
    auto deletion =
        incoming(gone, Incoming().status(1).type(gone == "Album" ? 1 : 0).clock(std::vector<uint64_t>{1, 9}));
    EXPECT_TRUE(deletion->handleFetchEvent(EventDeleteFile)) << gone;
    EXPECT_EQ(stored(gone)->status(), 1) << gone;
  }
  EXPECT_EQ(readFile(at("notes0.txt")), "notes");
  EXPECT_EQ(readFile(at("album/one.jpg")), "one");

  // A folder and its file renamed in letter case at once, the folder's rename made before
  // the file's arrives: the file's old and new folders are one folder under two spellings.
  fs::create_directory(at("Trip"));
  writeFile(at("Trip/Map.txt"), "map");
  recordLocal("Trip");
  auto oldMap = recordLocal("Trip/Map.txt");
  fs::rename(at("Trip"), at("trip"));
  auto respelled = incoming("trip/map.txt", Incoming().content("map").permissions(0644));
  respelled->setFileRelationLocal(oldMap);
  EXPECT_TRUE(respelled->handleFetchEvent(EventRenameFile));
  EXPECT_EQ(listedIn(at("trip")), std::set<std::string>{"map.txt"});
  fs::remove_all(at("trip"));

  // Another item stands under another spelling: nothing is made over it.
  auto other = incoming("NOTES0.TXT", Incoming().content("other").download("other"));
  EXPECT_FALSE(other->handleFetchEvent(EventCreateFile));
  auto folder = incoming("ALBUM", Incoming().type(1).permissions(0755));
  EXPECT_FALSE(folder->handleFetchEvent(EventCreateDirectory));
  EXPECT_EQ(listedIn(root_), (std::set<std::string>{"album", "notes0.txt", "report0.txt"}));
  EXPECT_EQ(readFile(at("notes0.txt")), "notes");
  EXPECT_TRUE(temporaries().empty());
  EXPECT_TRUE(other->refusedForSpellingClash());
  EXPECT_FALSE(folder->refusedForSpellingClash()) << "folders keep their own rule";

  // Such a clash that outlasted a rename on its way: the file comes in beside the item under a
  // conflict name, and its spelling is recorded removed past the peer's clock (a new file, and
  // an edit of a spelling whose removal is recorded here), the item there untouched.
  struct Clash {
    std::string name;
    int32_t event;
    std::string listed;
    std::string clock;
  };
  for (const Clash& clash : {Clash{"NOTES0.TXT", EventCreateFile, "notes0.txt", "1|7"},
                             Clash{"Report0.txt", EventFFConflict, "report0.txt", "1|7"}}) {
    auto again =
        incoming(clash.name, Incoming().content("theirs").download("theirs").clock(std::vector<uint64_t>{0, 7}));
    again->setCopyOnSpellingClash(true);
    ASSERT_TRUE(again->handleFetchEvent(clash.event)) << clash.name;
    const auto copies = conflictsOf(clash.name);
    ASSERT_EQ(copies.size(), 1u) << clash.name;
    EXPECT_EQ(readFile(copies.front()), "theirs");
    EXPECT_EQ(stored(copies.front().substr(root_.size() + 1))->status(), 0);
    EXPECT_EQ(stored(clash.name)->status(), 1) << clash.name;
    EXPECT_EQ(storedClock(clash.name), clash.clock) << clash.name;
    EXPECT_EQ(listedIn(root_).count(clash.listed), 1u);
  }
  EXPECT_EQ(readFile(at("notes0.txt")), "notes");
  EXPECT_EQ(readFile(at("report0.txt")), "report");
  EXPECT_TRUE(temporaries().empty());
}

INSTANTIATE_TEST_SUITE_P(Disks, FetchOnFuseDiskTest, ::testing::Values(FuseDisk::Kind::Exfat, FuseDisk::Kind::Ntfs),
                         [](const ::testing::TestParamInfo<FuseDisk::Kind>& info) {
                           return info.param == FuseDisk::Kind::Exfat ? std::string("Exfat") : std::string("Ntfs");
                         });

}  // namespace
}  // namespace velbor::test
