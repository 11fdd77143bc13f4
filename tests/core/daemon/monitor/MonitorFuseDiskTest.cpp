// The classifier on the disks of USB sticks and Windows machines, through the FUSE drivers
// Debian ships: every item shows mode 0777 and chmod is ignored, exFAT keeps whole seconds.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "MonitorTestBase.h"
#include "core/daemon/sync/FolderClashWait.h"
#include "core/daemon/sync/FoldersRespelledHere.h"
#include "core/daemon/sync/InstallReclassifier.h"
#include "core/daemon/sync/PeerFolderRemovals.h"
#include "core/daemon/sync/QoWorkerSync.h"
#include "core/entity/ModeKeeping.h"
#include "core/entity/NameSpelling.h"
#include "core/entity/OwnInstalls.h"
#include "core/entity/RecordedStates.h"
#include "core/entity/SyncdirMark.h"
#include "support/FuseDisk.h"

namespace velbor::test {
namespace {

class MonitorFuseDiskTest : public FuseDiskMonitorTestBase, public ::testing::WithParamInterface<FuseDisk::Kind> {
 protected:
  void SetUp() override {
    MonitorTestBase::SetUp();
    mountDisk(GetParam());
  }
};

TEST_P(MonitorFuseDiskTest, ModesThatTheDiskDoesNotKeepAreNeverRecordedNorAnInstallTakenForAChange) {
  load();
  writeFile(at("new.txt"), "made here");
  std::filesystem::create_directories(at("folder"));
  report({"new.txt", "folder"});
  tick();
  ASSERT_TRUE(recorded("new.txt"));
  EXPECT_EQ(stored("new.txt")->unixAttr(), 0644) << "not the 0777 every file shows";
  EXPECT_EQ(stored("folder")->unixAttr(), 0755);

  auto edit = incoming(
      "new.txt",
      Incoming().content("edited there").download("edited there").permissions(0750).clock(std::vector<uint64_t>{1, 3}));
  ASSERT_TRUE(edit->handleFetchEvent(EventUpdateFile));
  ASSERT_EQ(readFile(at("new.txt")), "edited there");
  const int64_t installedUsn = stored("new.txt")->usn();
  const int64_t counter = usn();
  report({"new.txt"});
  tick();
  // Its event again once the monitor no longer knows the install for its own.
  OwnInstalls::shared().clear();
  RecordedStates::shared().clear();
  report({"new.txt", "folder"});
  tick();
  EXPECT_EQ(usn(), counter) << "nothing recorded as a local change";
  EXPECT_EQ(stored("new.txt")->usn(), installedUsn);
  EXPECT_EQ(stored("new.txt")->unixAttr(), 0750);
  EXPECT_EQ(storedClock("new.txt"), "1|3");
}

// Renamed on the stick in letter case only: the old spelling still answers a look-up, yet
// the folder lists the new one. The old name is recorded removed, the new one present; and
// removed through any spelling, the one recorded is.
TEST_P(MonitorFuseDiskTest, ARenameInLetterCaseOnlyIsRecordedAsTheFolderListsIt) {
  if (GetParam() != FuseDisk::Kind::Exfat) GTEST_SKIP() << "ntfs-3g keeps names apart by case";
  load();
  writeFile(at("Notes0.txt"), "notes");
  std::filesystem::create_directories(at("Photos"));
  writeFile(at("Photos/two.jpg"), "two");
  report({"Notes0.txt", "Photos", "Photos/two.jpg"});
  tick();
  ASSERT_TRUE(recorded("Photos/two.jpg"));
  std::filesystem::rename(at("Notes0.txt"), at("notes0.txt"));
  std::filesystem::rename(at("Photos"), at("photos"));
  report({"Notes0.txt", "notes0.txt", "Photos", "photos"});
  tick();
  for (const char* gone : {"Notes0.txt", "Photos", "Photos/two.jpg"}) EXPECT_EQ(stored(gone)->status(), 1) << gone;
  for (const char* there : {"notes0.txt", "photos", "photos/two.jpg"}) EXPECT_TRUE(recorded(there)) << there;

  // Written through another spelling: exfat-fuse gives it its own inode, and what the kernel
  // keeps of the content read through the listed one stays the old bytes.
  ASSERT_EQ(readFile(at("photos/two.jpg")), "two");
  writeFile(at("PHOTOS/two.jpg"), "TWO");
  report({"photos/two.jpg"});
  tick();
  EXPECT_EQ(stored("photos/two.jpg")->sha1(), sha1Of("TWO"));

  // Removed through yet another spelling: the event names that one, and the ones recorded go.
  std::filesystem::remove_all(at("PHOTOS"));
  std::filesystem::remove(at("NOTES0.txt"));
  report({"PHOTOS", "NOTES0.txt"});
  tick();
  for (const char* gone : {"notes0.txt", "photos", "photos/two.jpg"}) EXPECT_EQ(stored(gone)->status(), 1) << gone;
}

// The names a folder lists (hidden ones left out): the spelling the disk holds.
std::set<std::string> listedIn(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().filename().string().front() != '.') names.insert(entry.path().filename().string());
  }
  return names;
}

// A folder respelled in letter case on the peer while items came into its old spelling here
// (made here, or from a third device): they end in the new spelling, recorded as moved there,
// so they follow on the other devices. On exFAT the folder takes the new spelling with them
// also where the peer still holds the old one (made again there for a file arriving in it)
// and only its files' renames tell the respelling; where the disk tells the two apart (NTFS),
// they are moved over once the peer removed the old spelling.
TEST_P(MonitorFuseDiskTest, ItemsInAFolderRespelledOnThePeerEndInTheNewSpelling) {
  load();
  std::filesystem::create_directories(at("Album"));
  writeFile(at("Album/f.txt"), "f");
  writeFile(at("Album/n1.txt"), "n1");
  report({"Album", "Album/f.txt", "Album/n1.txt"});
  tick();
  ASSERT_TRUE(recorded("Album/n1.txt"));
  auto folder = incoming("album", Incoming().type(1).permissions(0755));
  auto moved = incoming("album/f.txt", Incoming().content("f").permissions(0644));
  moved->setFileRelationLocal(local_->getFileRelationWithFilePath(at("Album/f.txt")));
  if (GetParam() == FuseDisk::Kind::Exfat) {
    QoWorkerSync::respellFolders({folder}, {}, {moved});
    EXPECT_TRUE(QoWorkerSync::renameFiles({moved}).empty());
  } else {
    ASSERT_TRUE(folder->handleFetchEvent(EventCreateDirectory));
    EXPECT_TRUE(QoWorkerSync::renameFiles({moved}).empty());
    QoWorkerSync::mergeIntoNewSpelling(root_, {at("Album")}, {at("album")});
  }
  EXPECT_EQ(listedIn(root_), std::set<std::string>{"album"});
  EXPECT_EQ(listedIn(at("album")), (std::set<std::string>{"f.txt", "n1.txt"}));
  report({"Album", "album", "Album/n1.txt", "album/n1.txt"});
  tick();
  EXPECT_TRUE(recorded("album/n1.txt"));
  EXPECT_EQ(stored("Album/n1.txt")->status(), 1);
  EXPECT_EQ(stored("Album")->status(), 1);
  if (GetParam() != FuseDisk::Kind::Exfat) return;
  // The peer made the old spelling again (for a file that arrived there) and moves a file
  // into it: the spelling this device left is not taken back.
  auto again = incoming("Album", Incoming().type(1).permissions(0755));
  auto back = incoming("Album/n2.txt", Incoming().content("n1").permissions(0644));
  back->setFileRelationLocal(local_->getFileRelationWithFilePath(at("album/n1.txt")));
  QoWorkerSync::respellFolders({again}, {}, {back});
  EXPECT_EQ(listedIn(root_), std::set<std::string>{"album"});
}

// The old spelling of a folder respelled on the peer holds here what was changed while the
// rename travelled (the peer's removal of it came as a conflict, kept it, and the peer's new
// spelling holds items of the same names): merged all the way down into the new spelling, a
// file both hold once where its content is the same, beside as a conflict copy otherwise.
// Two spellings that no removal and making of the peer relate stay apart.
TEST_P(MonitorFuseDiskTest, AFolderRespelledOnThePeerIsMergedIntoItsNewSpellingAllTheWayDown) {
  if (GetParam() == FuseDisk::Kind::Exfat) GTEST_SKIP() << "exFAT holds one of the two spellings";
  load();
  const std::vector<std::pair<std::string, std::string>> files = {{"Album/Sub/new.txt", "made here"},
                                                                  {"Album/same.txt", "same"},
                                                                  {"Album/both.txt", "ours"},
                                                                  {"album/Sub/old.txt", "from peer"},
                                                                  {"album/same.txt", "same"},
                                                                  {"album/both.txt", "theirs"},
                                                                  {"Photos/p.txt", "p"},
                                                                  {"photos/q.txt", "q"},
                                                                  {"Notes/n.txt", "n"},
                                                                  {"notes/m.txt", "m"}};
  for (const char* folder : {"Album/Empty", "album/Empty"}) std::filesystem::create_directories(at(folder));
  std::vector<std::string> paths = {"Album", "Album/Sub", "Album/Empty", "album", "album/Sub", "album/Empty"};
  for (const auto& [path, content] : files) {
    std::filesystem::create_directories(std::filesystem::path(at(path)).parent_path());
    writeFile(at(path), content);
    paths.push_back(path);
  }
  report(paths);
  tick();
  ASSERT_TRUE(recorded("Album/Sub/new.txt"));
  QoWorkerSync::mergeIntoNewSpelling(root_, {at("Album"), at("Album/Sub"), at("Album/Empty"), at("Notes")},
                                     {at("album"), at("album/Sub"), at("album/Empty"), at("photos")});
  EXPECT_EQ(listedIn(root_), (std::set<std::string>{"album", "Photos", "photos", "Notes", "notes"}));
  EXPECT_EQ(listedIn(at("album/Sub")), (std::set<std::string>{"new.txt", "old.txt"}));
  EXPECT_TRUE(listedIn(at("album/Empty")).empty());
  const std::vector<std::string> copies = conflictsOf("album/both.txt");
  ASSERT_EQ(copies.size(), 1u) << ::testing::PrintToString(listedIn(at("album")));
  EXPECT_EQ(readFile(copies[0]), "ours");
  const std::string copy = std::filesystem::path(copies[0]).filename().string();
  EXPECT_EQ(listedIn(at("album")), (std::set<std::string>{"Sub", "Empty", "same.txt", "both.txt", copy}));
  EXPECT_EQ(readFile(at("album/both.txt")), "theirs");
  EXPECT_EQ(readFile(at("album/Sub/new.txt")), "made here");
  for (const char* apart : {"Photos/p.txt", "photos/q.txt", "Notes/n.txt", "notes/m.txt"}) {
    EXPECT_TRUE(exists(at(apart))) << apart;
  }
  report({"Album", "Album/Sub", "Album/Sub/new.txt", "Album/same.txt", "Album/both.txt", "album/Sub/new.txt",
          "album/" + copy});
  tick();
  EXPECT_EQ(stored("Album")->status(), 1);
  EXPECT_EQ(stored("Album/Sub/new.txt")->status(), 1);
  EXPECT_TRUE(recorded("album/Sub/new.txt"));
  EXPECT_TRUE(recorded("album/" + copy));

  // A folder below that holds a download under way is merged item by item: the download stays
  // where its transfer made it.
  std::filesystem::create_directories(at("Tour/Deep"));
  std::filesystem::create_directories(at("tour"));
  writeFile(at("Tour/Deep/y.txt"), "y");
  writeFile(at("Tour/Deep/.x.txt.Velbor.Download"), "part");
  QoWorkerSync::mergeIntoNewSpelling(root_, {at("Tour")}, {at("tour")});
  EXPECT_EQ(readFile(at("tour/Deep/y.txt")), "y");
  EXPECT_TRUE(exists(at("Tour/Deep/.x.txt.Velbor.Download")));

  // Respelled here, and a peer that still names the old spelling sends a folder into it: the old
  // spelling, made again for it, goes back into the new one; also before the monitor has
  // recorded the rename.
  for (const bool recordedFirst : {true, false}) {
    const std::string from = recordedFirst ? "Trip" : "Ride";
    const std::string to = recordedFirst ? "trip" : "ride";
    std::filesystem::create_directories(at(from));
    report({from});
    tick();
    std::filesystem::rename(at(from), at(to));
    if (recordedFirst) {
      report({from, to});
      tick();
      ASSERT_EQ(stored(from)->status(), 1);
    }
    const auto respelled =
        QoWorkerSync::respelledHere(root_, {incoming(from + "/Day", Incoming().type(1).permissions(0755)),
                                            incoming(from + "/Day/d.txt", Incoming().content("d").permissions(0644)),
                                            incoming("Photos/r.txt", Incoming().content("r").permissions(0644))});
    EXPECT_EQ(respelled, (std::map<std::string, std::string>{{at(from), at(to)}}));
    std::filesystem::create_directories(at(from + "/Day"));
    writeFile(at(from + "/Day/d.txt"), "d");
    QoWorkerSync::mergeIntoRespelling(root_, respelled);
    EXPECT_EQ(listedIn(root_).count(from), 0U);
    EXPECT_EQ(listedIn(at(to + "/Day")), std::set<std::string>{"d.txt"});
  }
  // Renamed after the pull's start looked, while it makes the folder again for a peer's file.
  std::filesystem::create_directories(at("Walk"));
  report({"Walk"});
  tick();
  std::filesystem::rename(at("Walk"), at("walk"));
  QoWorkerSync::restoreMissingFolders({incoming("Walk/w.txt", Incoming().content("w").permissions(0644))});
  const auto noted = FoldersRespelledHere::shared().takeBelow(root_);
  EXPECT_EQ(noted, (std::map<std::string, std::string>{{at("Walk"), at("walk")}}));
  writeFile(at("Walk/w.txt"), "w");
  QoWorkerSync::mergeIntoRespelling(root_, noted);
  EXPECT_EQ(listedIn(at("walk")), std::set<std::string>{"w.txt"});
}

// A folder whose name the disk holds in another spelling is not made, and not tried again
// before its wait is over, even once the other spelling is gone; another version of it is
// tried at once.
TEST_P(MonitorFuseDiskTest, AFolderWhoseNameTheDiskHoldsInAnotherSpellingWaitsToBeTriedAgain) {
  if (GetParam() != FuseDisk::Kind::Exfat) GTEST_SKIP() << "ntfs-3g keeps names apart by case";
  FolderClashWait::shared().clear();
  load();
  std::filesystem::create_directories(at("album"));
  const auto folder = [&](int64_t usn) {
    auto record = incoming("ALBUM", Incoming().type(1).permissions(0755));
    record->file()->setUsn(usn);
    return record;
  };
  EXPECT_FALSE(InstallReclassifier::install(folder(kPeerUsn), EventCreateDirectory, false));
  EXPECT_EQ(failedUsn(), kPeerUsn);
  std::filesystem::remove(at("album"));
  // exfat-fuse may answer for the name as it stood a moment ago.
  ASSERT_TRUE(eventually([&] { return !exists(at("ALBUM")); }));
  EXPECT_FALSE(InstallReclassifier::install(folder(kPeerUsn), EventCreateDirectory, false));
  EXPECT_TRUE(listedIn(root_).empty());
  EXPECT_TRUE(InstallReclassifier::install(folder(kPeerUsn + 1), EventCreateDirectory, false));
  EXPECT_EQ(listedIn(root_), std::set<std::string>{"ALBUM"});

  // A folder inside one the disk holds in another spelling waits as well, instead of failing
  // at every pass.
  std::filesystem::rename(at("ALBUM"), at("Album"));
  ASSERT_TRUE(eventually([&] { return listedIn(root_) == std::set<std::string>{"Album"}; }));
  NameSpelling::forget();
  const auto inside = [&] {
    auto record = incoming("ALBUM/Day", Incoming().type(1).permissions(0755));
    record->file()->setUsn(kPeerUsn);
    return record;
  };
  EXPECT_FALSE(InstallReclassifier::install(inside(), EventCreateDirectory, false));
  std::filesystem::rename(at("Album"), at("ALBUM"));
  ASSERT_TRUE(eventually([&] { return listedIn(root_) == std::set<std::string>{"ALBUM"}; }));
  NameSpelling::forget();
  EXPECT_FALSE(InstallReclassifier::install(inside(), EventCreateDirectory, false));
  EXPECT_TRUE(listedIn(at("ALBUM")).empty());
  FolderClashWait::shared().clear();
}

// A folder of the peer's whose name the disk holds in another spelling that is gone but for its
// name (recorded removed here, kept for a hidden entry; or the latest record of it the peer gave,
// in an earlier page or pass, says removed) takes the peer's spelling with what it holds, and is
// made at once after its earlier refusal; where the peer holds that spelling too, it waits.
TEST_P(MonitorFuseDiskTest, AFolderHeldInASpellingGoneButForItsNameTakesThePeersSpelling) {
  if (GetParam() != FuseDisk::Kind::Exfat) GTEST_SKIP() << "ntfs-3g keeps names apart by case";
  FolderClashWait::shared().clear();
  PeerFolderRemovals::shared().clear();
  load();
  struct Case {
    std::string held;
    std::string arriving;
    bool removedHere;               // recorded removed here, kept for its hidden entry
    std::vector<bool> peerRecords;  // the peer's records of the spelling held, in order (true: removed)
    bool respelled;
    bool removedInThePage = false;  // the page's removals hold the spelling held
  };
  const std::vector<Case> cases = {{"Tour", "tour", true, {}, true},
                                   {"Trip", "trip", false, {true}, true},
                                   {"Walk", "walk", false, {true, false}, false},
                                   {"Hike", "hike", false, {}, false},
                                   {"Camp", "camp/Tent", false, {}, true, true},
                                   // Above what arrives, an earlier word of the peer's is not enough.
                                   {"Dune", "dune/Tent", false, {true}, false}};
  for (const Case& item : cases) {
    std::filesystem::create_directories(at(item.held + "/.git"));
    if (!item.removedHere) writeFile(at(item.held + "/f.txt"), "f");
    report({item.held, item.held + "/f.txt"});
    tick();
    ASSERT_TRUE(recorded(item.held)) << item.held;
    if (item.removedHere) {
      auto removal = incoming(item.held, Incoming().type(1).status(1).permissions(0755));
      ASSERT_TRUE(removal->handleFetchEvent(EventDeleteFile)) << item.held;
      ASSERT_EQ(stored(item.held)->status(), 1) << item.held;
    }
    for (const bool removed : item.peerRecords) {
      PeerFolderRemovals::shared().saw(local_->uuid(), remote_->uuid(), "/" + item.held, removed);
    }
    const auto folder = [&] { return incoming(item.arriving, Incoming().type(1).permissions(0755)); };
    EXPECT_FALSE(InstallReclassifier::install(folder(), EventCreateDirectory, false)) << item.held;
    // The peer's record of a folder above what arrives may never come.
    QoWorkerSync::RelationList removals;
    if (item.removedInThePage) removals.push_back(incoming(item.held, Incoming().type(1).status(1).permissions(0755)));
    QoWorkerSync::respellFolders({folder()}, removals, {}, {folder()});
    const std::string named = item.arriving.substr(0, item.arriving.find('/'));
    const std::string& standing = item.respelled ? named : item.held;
    EXPECT_EQ(listedIn(root_).count(standing), 1U) << item.held;
    EXPECT_EQ(listedIn(root_).count(item.respelled ? item.held : named), 0U) << item.held;
    EXPECT_TRUE(exists(at(standing + "/.git"))) << item.held;
    EXPECT_EQ(InstallReclassifier::install(folder(), EventCreateDirectory, false), item.respelled) << item.held;
    if (!item.removedHere) {
      EXPECT_EQ(listedIn(at(standing)).count("f.txt"), 1U) << item.held;
    }
  }
  FolderClashWait::shared().clear();
  PeerFolderRemovals::shared().clear();
}

INSTANTIATE_TEST_SUITE_P(Disks, MonitorFuseDiskTest, ::testing::Values(FuseDisk::Kind::Exfat, FuseDisk::Kind::Ntfs),
                         [](const ::testing::TestParamInfo<FuseDisk::Kind>& info) {
                           return info.param == FuseDisk::Kind::Exfat ? std::string("Exfat") : std::string("Ntfs");
                         });

}  // namespace
}  // namespace velbor::test
