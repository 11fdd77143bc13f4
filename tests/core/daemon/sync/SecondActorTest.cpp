#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>

#include "PullTestBase.h"
#include "core/daemon/sync/FileFetcher.h"
#include "core/daemon/sync/InstallReclassifier.h"
#include "core/daemon/sync/SyncEngine.h"
#include "core/entity/FileFetchEvent.h"
#include "core/entity/SyncdirMark.h"
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
 protected:
  struct Page {
    QoWorkerSync::RelationList dirs, files, update, updateDir, deletions, conflicts, metadata;
  };

  // Copy "b"'s records sorted against copy "a" as it is now.
  Page sortPage() {
    const auto found = findPageOfB();
    Page page;
    int64_t maxUsn = 0;
    int64_t count = 0;
    const std::vector<std::string> remote(found->uuids().begin(), found->uuids().end());
    QoWorkerSync::getCompareResultWithStatList(found->stats(), pairing_, page.dirs, page.files, page.update,
                                               page.updateDir, page.deletions, page.conflicts, page.metadata, maxUsn,
                                               count, remote, copyA_->getSyncdirCopysUuidList());
    return page;
  }
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
  void writeA(const std::string& relative, const std::string& content, int64_t mtime) {
    std::ofstream(inA(relative), std::ios::binary | std::ios::trunc) << content;
    QoFile::setFileAttributeAtPath(inA(relative), 0644, mtime);
  }
  // Records copy "a" as it is on disk, as its monitor would.
  void recordA() { copyA_->refresh(); }
  // The contents of the files of copy "a", in order.
  std::vector<std::string> contentsOfA() const {
    std::vector<std::string> contents;
    for (const auto& entry : fs::directory_iterator(rootA_)) {
      if (!SyncdirMark::isMarkName(entry.path().filename().string())) contents.push_back(readFile(entry.path()));
    }
    std::sort(contents.begin(), contents.end());
    return contents;
  }
  // "f.txt" made in "b" and pulled by "a".
  void shareOneFile() {
    writeB("f.txt", "first", 0644, 1600000000000);
    recordB();
    ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
    ASSERT_EQ(readFile(inA("f.txt")), "first");
  }
  // What "b" holds now reaches "a" once more, by a whole pull.
  void pullAgain() { ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse); }
};

TEST_F(SecondActorTest, AnEditRecordedHereMeanwhileIsKeptBesideTheArrivingOne) {
  startPeer();
  shareOneFile();
  writeB("f.txt", "edited in b", 0644, 1600000001000);
  recordB();
  const Page page = sortPage();
  ASSERT_EQ(page.update.size(), 1u);

  writeA("f.txt", "edited in a", 1600000002000);
  recordA();
  applyPage(page);
  EXPECT_EQ(contentsOfA(), (std::vector<std::string>{"edited in a", "edited in b"}));
  EXPECT_TRUE(temporaries().empty());
  // Nothing is left to fetch again: the conflict was taken whole.
  EXPECT_EQ(failedUsn(), 0);
}

TEST_F(SecondActorTest, AnEditRecordedHereMeanwhileStaysWhenThePeerRemovedTheFile) {
  startPeer();
  shareOneFile();
  fs::remove(inB("f.txt"));
  recordB();
  const Page page = sortPage();
  ASSERT_EQ(page.deletions.size(), 1u);

  writeA("f.txt", "edited in a", 1600000002000);
  recordA();
  applyPage(page);
  EXPECT_EQ(contentsOfA(), (std::vector<std::string>{"edited in a"}));
  // And it goes back to "b", which now has it again.
  auto back = std::make_shared<QoSyncdirCopyRelation>();
  back->setFirstSyncdirCopy(copyB_);
  back->setSecondSyncdirCopy(copyA_);
  back->save();
  ASSERT_EQ(SyncEngine::pullOnce(copyB_->uuid(), copyA_->uuid()), SyncEngine::Pull::kDone);
  EXPECT_EQ(readFile(inB("f.txt")), "edited in a");
}

TEST_F(SecondActorTest, AFileMadeHereMeanwhileUnderTheArrivingNameIsKeptBesideIt) {
  startPeer();
  writeB("new.txt", "made in b", 0644, 1600000001000);
  recordB();
  const Page page = sortPage();
  ASSERT_EQ(page.files.size(), 1u);

  writeA("new.txt", "made in a", 1600000002000);
  recordA();
  applyPage(page);
  EXPECT_EQ(contentsOfA(), (std::vector<std::string>{"made in a", "made in b"}));
  EXPECT_TRUE(temporaries().empty());
}

// The peer renamed a file; meanwhile a file was made here under the new name. The rename
// does not go over it: the arriving file is kept beside it, and the old name goes with the
// next pull.
TEST_F(SecondActorTest, AFileMadeHereMeanwhileUnderTheNameARenameTakesIsKeptBesideIt) {
  startPeer();
  shareOneFile();
  fs::rename(inB("f.txt"), inB("g.txt"));
  recordB();
  const Page page = sortPage();
  ASSERT_EQ(page.files.size(), 1u);
  ASSERT_EQ(page.deletions.size(), 1u);

  writeA("g.txt", "made in a", 1600000002000);
  recordA();
  applyPage(page);
  EXPECT_EQ(contentsOfA(), (std::vector<std::string>{"first", "first", "made in a"}));
  pullAgain();
  EXPECT_FALSE(fs::exists(inA("f.txt")));
  EXPECT_EQ(contentsOfA(), (std::vector<std::string>{"first", "made in a"}));
  EXPECT_EQ(failedUsn(), 0);
}

TEST_F(SecondActorTest, TheSameEditMadeHereMeanwhileIsOneVersion) {
  startPeer();
  shareOneFile();
  writeB("f.txt", "edited alike", 0644, 1600000001000);
  recordB();
  const Page page = sortPage();
  ASSERT_EQ(page.update.size(), 1u);

  writeA("f.txt", "edited alike", 1600000002000);
  recordA();
  applyPage(page);
  EXPECT_EQ(contentsOfA(), (std::vector<std::string>{"edited alike"}));
  EXPECT_EQ(failedUsn(), 0);
}

// A file the pull was to take without downloading it (its content was here) that changed
// here meanwhile to other content is not overwritten: it is fetched again and then kept
// beside the arriving one.
TEST_F(SecondActorTest, ContentChangedHereMeanwhileUnderATakeOfTimesOnlyIsFetchedAgain) {
  startPeer();
  shareOneFile();
  QoFile::setFileAttributeAtPath(inB("f.txt"), 0600, 1600000001000);
  recordB();
  const Page page = sortPage();
  ASSERT_EQ(page.metadata.size(), 1u);

  writeA("f.txt", "edited in a", 1600000002000);
  recordA();
  applyPage(page);
  EXPECT_EQ(contentsOfA(), (std::vector<std::string>{"edited in a"}));
  EXPECT_NE(failedUsn(), 0);
  pullAgain();
  EXPECT_EQ(contentsOfA(), (std::vector<std::string>{"edited in a", "first"}));
}

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
  writeA("d/new.txt", "installed meanwhile", 1600000003000);
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
