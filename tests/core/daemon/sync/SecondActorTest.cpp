#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "PullTestBase.h"
#include "core/daemon/sync/FileFetcher.h"
#include "core/daemon/sync/InstallReclassifier.h"
#include "core/daemon/sync/SyncEngine.h"
#include "core/entity/FileFetchEvent.h"
#include "framework/network/ZMQContext.h"
#include "framework/persistence/WriteTransaction.h"
#include "platform/RecursiveLocker.h"
#include "support/LockWait.h"
#include "support/ReadWatch.h"

namespace velbor::test {
namespace {

namespace fs = std::filesystem;

// A pull of "a" from "b" whose page is sorted, then something else changes "a" (its monitor
// records an edit), then the pull applies the page: what it installs must meet the local
// state as it is then.
class SecondActorTest : public PullTestBase {
 public:
  // Applies the page as a pull does, in its order, renames found first.
  void applyPage(Page page) {
    auto context = std::make_shared<ZMQContext>(1);
    const std::string tree = copyB_->uuid();
    auto renames = QoWorkerSync::computeToRenameFilesByDeleteArray(page.deletions, page.files);
    QoWorkerSync::handleConflictTreeRelation<FileFetcher>(pairing_, page.conflicts, local_, tree, context);
    QoWorkerSync::createDirectorysRelation(pairing_, page.dirs);
    QoWorkerSync::createDirectorysRelation(pairing_, page.updateDir);
    const auto notRenamed = QoWorkerSync::renameFiles(renames);
    page.files.insert(page.files.end(), notRenamed.begin(), notRenamed.end());
    QoWorkerSync::deleteRelation(pairing_, page.deletions);
    QoWorkerSync::createTreeRelation<FileFetcher>(pairing_, page.files, local_, tree, context);
    QoWorkerSync::updateTreeRelation<FileFetcher>(pairing_, page.update, local_, tree, context);
    QoWorkerSync::updateFilesWithoutDownload(page.metadata);
    context->closeSockets();
    context->terminate();
  }
  // Records copy "a" as it is on disk, as its monitor would.
  void recordA() { copyA_->refresh(); }
  std::vector<std::string> contentsOfA() const { return contentsOf(rootA_); }
  // "f.txt" made in "b" and pulled by "a".
  void shareOneFile() {
    writeB("f.txt", "first", 0644, 1600000000000);
    recordB();
    pullAgain();
    ASSERT_EQ(readFile(inA("f.txt")), "first");
  }
  // What "b" holds now reaches "a" once more, by a whole pull.
  void pullAgain() { ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse); }
};

// One change of "b" sorted into a page, then a file of "a" written meanwhile; what "a" holds
// once the page is applied.
using Page = SecondActorTest::Page;
using Texts = std::vector<std::string>;
struct Meanwhile {
  const char* name;
  bool shared;  // "f.txt" ("first") made in "b" and pulled by "a" before
  std::function<void(const std::string& rootB)> changeInB;
  QoWorkerSync::RelationList Page::*sorted;  // holds the one record of the change
  std::string fileInA, contentInA;
  Texts contents;
  // Whether a record is left to fetch again; nothing: either.
  std::optional<bool> failed;
  std::function<void(SecondActorTest&)> then;
  QoWorkerSync::RelationList Page::*alsoSorted = nullptr;
};
void PrintTo(const Meanwhile& row, std::ostream* out) { *out << row.name; }

class SecondActorTableTest : public SecondActorTest, public ::testing::WithParamInterface<Meanwhile> {};

const auto editInB = [](const char* content) {
  return [content](const std::string& rootB) { SecondActorTest::writeIn(rootB, "f.txt", content, 1600000001000); };
};

const Meanwhile kMeanwhile[] = {
    {"AnEditRecordedHereMeanwhileIsKeptBesideTheArrivingOne", true, editInB("edited in b"), &Page::update, "f.txt",
     "edited in a", Texts{"edited in a", "edited in b"}, false, nullptr},
    {"AnEditRecordedHereMeanwhileStaysWhenThePeerRemovedTheFile", true,
     [](const std::string& rootB) { fs::remove(rootB + "/f.txt"); }, &Page::deletions, "f.txt", "edited in a",
     Texts{"edited in a"}, std::nullopt,
     // And it goes back to "b", which now has it again.
     [](SecondActorTest& test) {
       SecondActorTest::pair(test.copyB_, test.copyA_);
       ASSERT_EQ(SyncEngine::pullOnce(test.copyB_->uuid(), test.copyA_->uuid()), SyncEngine::Pull::kDone);
       EXPECT_EQ(SecondActorTest::readFile(test.inB("f.txt")), "edited in a");
     }},
    {"AFileMadeHereMeanwhileUnderTheArrivingNameIsKeptBesideIt", false,
     [](const std::string& rootB) { SecondActorTest::writeIn(rootB, "new.txt", "made in b", 1600000001000); },
     &Page::files, "new.txt", "made in a", Texts{"made in a", "made in b"}, std::nullopt, nullptr},
    // The rename does not go over the file made here: the arriving file is kept beside it,
    // and the old name goes with the next pull.
    {"AFileMadeHereMeanwhileUnderTheNameARenameTakesIsKeptBesideIt", true,
     [](const std::string& rootB) { fs::rename(rootB + "/f.txt", rootB + "/g.txt"); }, &Page::files, "g.txt",
     "made in a", Texts{"first", "first", "made in a"}, std::nullopt,
     [](SecondActorTest& test) {
       test.pullAgain();
       EXPECT_FALSE(fs::exists(test.inA("f.txt")));
       EXPECT_EQ(test.contentsOfA(), (Texts{"first", "made in a"}));
       EXPECT_EQ(test.failedUsn(), 0);
     },
     &Page::deletions},
    {"TheSameEditMadeHereMeanwhileIsOneVersion", true, editInB("edited alike"), &Page::update, "f.txt", "edited alike",
     Texts{"edited alike"}, false, nullptr},
    // A file the pull was to take without downloading it (its content was here) that changed
    // here meanwhile to other content is not overwritten: it is fetched again and then kept
    // beside the arriving one.
    {"ContentChangedHereMeanwhileUnderATakeOfTimesOnlyIsFetchedAgain", true,
     [](const std::string& rootB) { QoFile::setFileAttributeAtPath(rootB + "/f.txt", 0600, 1600000001000); },
     &Page::metadata, "f.txt", "edited in a", Texts{"edited in a"}, true,
     [](SecondActorTest& test) {
       test.pullAgain();
       EXPECT_EQ(test.contentsOfA(), (Texts{"edited in a", "first"}));
     }},
};

TEST_P(SecondActorTableTest, WhatIsWrittenHereMeanwhileIsKept) {
  const Meanwhile& row = GetParam();
  startPeer();
  if (row.shared) {
    ASSERT_NO_FATAL_FAILURE(shareOneFile());
  }
  row.changeInB(rootB_);
  recordB();
  const Page page = sortPage();
  ASSERT_EQ((page.*row.sorted).size(), 1u);
  if (row.alsoSorted) {
    ASSERT_EQ((page.*row.alsoSorted).size(), 1u);
  }

  writeIn(rootA_, row.fileInA, row.contentInA, 1600000002000);
  recordA();
  applyPage(page);
  EXPECT_EQ(contentsOfA(), row.contents);
  EXPECT_TRUE(temporaries().empty());
  // Nothing is left to fetch again where the conflict was taken whole.
  if (row.failed) {
    EXPECT_EQ(failedUsn() != 0, *row.failed);
  }
  if (row.then) row.then(*this);
}

INSTANTIATE_TEST_SUITE_P(Changes, SecondActorTableTest, ::testing::ValuesIn(kMeanwhile),
                         [](const ::testing::TestParamInfo<Meanwhile>& info) { return info.param.name; });

// A download that no flush checked (no descriptor was free for one) is read and hashed before
// the install takes the transaction locker: a large file must not hold up the monitor and
// every other pull while it is read. It is not read again once the locker is taken.
TEST_F(SecondActorTest, AnUncheckedDownloadIsReadWhileAnotherWriterHoldsTheLocker) {
  startPeer();
  writeB("new.txt", "made in b", 0644, 1600000001000);
  recordB();
  const Page page = sortPage();
  ASSERT_EQ(page.files.size(), 1u);
  const auto record = page.files.front();
  const fs::path temporary(record->getTempFilePath());
  std::ofstream(temporary, std::ios::binary) << "made in b";
  ReadWatch reads(temporary.parent_path().string());

  bool installed = false;
  std::unique_lock<RecursiveLocker> otherWriter(WriteTransaction::locker());
  std::thread installer([&] { installed = InstallReclassifier::install(record, EventCreateFile, true); });
  const bool readWhileHeld = reads.waitUntilRead({temporary.filename().string()});
  reads.takeReads();
  otherWriter.unlock();
  installer.join();
  EXPECT_TRUE(readWhileHeld) << "the download is read while another writer holds the locker";
  EXPECT_TRUE(installed);
  const auto again = reads.takeReads();
  EXPECT_EQ(std::count(again.begin(), again.end(), temporary.filename().string()), 0)
      << "the download is not read again";
  EXPECT_EQ(contentsOfA(), (std::vector<std::string>{"made in b"}));
  EXPECT_TRUE(temporaries().empty());
}

// "b" removed a folder while another pull installs here, into that folder, a file of a version
// the removal never saw: the folder stays with the file, in whichever order the two come. The
// removal looks into the folder only once no other writer is busy with it.
TEST_F(SecondActorTest, AFileInstalledIntoAFolderWhileThePeersRemovalOfItIsAppliedKeepsTheFolder) {
  startPeer();
  fs::create_directories(inB("d"));
  recordB();
  pullAgain();
  ASSERT_TRUE(fs::is_directory(inA("d")));
  fs::remove(inB("d"));
  recordB();
  const Page page = sortPage();
  ASSERT_EQ(page.deletions.size(), 1u);

  std::atomic<pid_t> deleterTid{0};
  std::unique_lock<RecursiveLocker> otherWriter(WriteTransaction::locker());
  std::thread deleter([&] {
    deleterTid = ::gettid();
    QoWorkerSync::deleteRelation(pairing_, page.deletions);
  });
  while (deleterTid == 0) std::this_thread::yield();
  const bool waited = waitUntilWaitingFor(deleterTid, &WriteTransaction::locker());
  // What the other pull's install leaves: the file, and a record of it alone.
  writeIn(rootA_, "d/new.txt", "installed meanwhile", 1600000003000);
  QoFile::initWithPath(inA("d/new.txt"))->insertRelationUpdateSha1(true);
  otherWriter.unlock();
  deleter.join();
  ASSERT_TRUE(waited) << "the removal waits for the other writer";
  EXPECT_EQ(readFile(inA("d/new.txt")), "installed meanwhile");
  ASSERT_NE(QoFile::getFileWithPath(inA("d")), nullptr);
  EXPECT_EQ(QoFile::getFileWithPath(inA("d"))->status(), 0);
  EXPECT_EQ(QoFile::getFileWithPath(inA("d/new.txt"))->status(), 0);
  // The removal comes again with the next pull, and meets the file then.
  EXPECT_EQ(failedUsn(), usnInB("d"));
}

}  // namespace
}  // namespace velbor::test
