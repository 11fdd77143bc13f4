#include <memory>

#include <gtest/gtest.h>

#include "QStringPrinter.h"

#include "core/entity/QoDevice.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/entity/QoSyncdirCopyRelation.h"
#include "core/state/SyncFileProcessBox.h"
#include "ui/TreeProgress.h"

namespace velbor {
namespace {

std::shared_ptr<QoSyncdirCopy> copy(const std::string& path, const std::string& uuid) {
  auto made = std::make_shared<QoSyncdirCopy>();
  made->setPath(path);
  made->setUuid(uuid);
  return made;
}

std::shared_ptr<QoSyncdirCopyRelation> pairing(const std::string& firstUuid, const std::string& secondUuid) {
  auto relation = std::make_shared<QoSyncdirCopyRelation>();
  relation->setFirstSyncdirCopy(copy("/home/me/共享", firstUuid));
  relation->setSecondSyncdirCopy(copy("/remote/共享", secondUuid));
  return relation;
}

SyncFileProcessBox notice(int status) { return *SyncFileProcessBox::boxWithStatus(status); }

SyncFileProcessBox begin(const std::shared_ptr<QoSyncdirCopyRelation>& relation, int64_t bytes, int64_t files,
                         double start) {
  SyncFileProcessBox box = notice(SyncFileDownloadBegin);
  box.relation = relation;
  box.total = bytes;
  box.fileCount = files;
  box.currentFileCount = files;
  box.timeStart = start;
  return box;
}

SyncFileProcessBox part(const std::shared_ptr<QoSyncdirCopyRelation>& relation, const std::string& path, int64_t length,
                        double now) {
  SyncFileProcessBox box = notice(SyncFileDownloading);
  box.relation = relation;
  box.downloadFilePath = path;
  box.downloadLength = length;
  box.currentTime = now;
  return box;
}

SyncFileProcessBox forPairing(int status, const std::shared_ptr<QoSyncdirCopyRelation>& relation,
                              const std::string& path = "") {
  SyncFileProcessBox box = notice(status);
  box.relation = relation;
  box.downloadFilePath = path;
  return box;
}

TEST(TreeProgressTest, TransfersKeepTheirOwnFileCounts) {
  TreeProgress progress;
  const auto a = pairing("aaaaaa11", "bbbbbb11");
  const auto b = pairing("cccccc22", "dddddd22");
  progress.apply(begin(a, 10240, 3, 100), 100);
  progress.apply(begin(b, 10, 1, 100), 100);
  EXPECT_EQ(progress.transferText(a->relationHash()), "有文件更新");

  progress.apply(part(b, "/remote/共享/one.txt", 10, 101), 101);
  progress.apply(forPairing(SyncFileDownloadFileDown, b, "/remote/共享/one.txt"), 101);
  const auto bDone = progress.apply(forPairing(SyncFileDownloadEnd, b), 102);
  ASSERT_TRUE(bDone);
  EXPECT_EQ(bDone->info, "1 个文件已同步");
  EXPECT_EQ(bDone->subTitle, "one.txt");
  EXPECT_EQ(bDone->title, "/home/me/共享");

  // The other pull, begun before b, still counts its own three files.
  const auto aDone = progress.apply(forPairing(SyncFileDownloadEnd, a), 103);
  ASSERT_TRUE(aDone);
  EXPECT_EQ(aDone->info, "3 个文件已同步");
  EXPECT_EQ(aDone->subTitle, "");
  EXPECT_TRUE(progress.transferText(a->relationHash()).startsWith("同步完成于"));

  // A pull with no files ends silently.
  progress.apply(begin(a, 0, 0, 200), 200);
  EXPECT_FALSE(progress.apply(forPairing(SyncFileDownloadEnd, a), 201));
}

TEST(TreeProgressTest, SpeedWithoutElapsedTimeShowsNoFigures) {
  TreeProgress progress;
  const auto a = pairing("aaaaaa11", "bbbbbb11");
  progress.apply(begin(a, 10240, 2, 100), 100);
  // The first part arrives in the same second the pull began: nothing to divide by.
  progress.apply(part(a, "/remote/共享/big.bin", 1024, 100), 100);
  EXPECT_EQ(progress.transferText(a->relationHash()), "0B/s");
  // A clock stepped back gives no speed either.
  progress.apply(part(a, "/remote/共享/big.bin", 0, 99), 99);
  EXPECT_EQ(progress.transferText(a->relationHash()), "0B/s");

  progress.apply(part(a, "/remote/共享/big.bin", 1024, 102), 102);
  EXPECT_EQ(progress.transferText(a->relationHash()), "1.00KB/s，剩余8秒");
  EXPECT_EQ(progress.transferToolTip(a->relationHash()), "2个文件正在等待下载\n正在下载文件\"/remote/共享/big.bin\"");

  progress.apply(forPairing(SyncFileDownloadCreateDir, a, "/remote/共享/新目录"), 103);
  EXPECT_EQ(progress.transferText(a->relationHash()), "正在创建目录\"新目录\"");
  EXPECT_EQ(progress.transferToolTip(a->relationHash()), "");
  progress.apply(forPairing(SyncFileDownloadDeleteFile, a, "/remote/共享/old.txt"), 104);
  EXPECT_EQ(progress.transferText(a->relationHash()), "正在删除\"old.txt\"");
  EXPECT_EQ(progress.transferEntry(a->relationHash())->box.currentFileCount, 0);

  // Notices of a pull never begun change nothing.
  const auto other = pairing("eeeeee33", "ffffff33");
  progress.apply(part(other, "/x", 5, 105), 105);
  EXPECT_FALSE(progress.transferEntry(other->relationHash()));
}

TEST(TreeProgressTest, NoticesAfterTheEndOfAPullLeaveItFinished) {
  TreeProgress progress;
  const auto a = pairing("aaaaaa11", "bbbbbb11");
  progress.apply(begin(a, 3400, 1, 100), 100);
  progress.apply(part(a, "/remote/共享/only.txt", 3400, 101), 101);
  progress.apply(forPairing(SyncFileDownloadFileDown, a, "/home/me/共享/only.txt"), 101);
  ASSERT_TRUE(progress.apply(forPairing(SyncFileDownloadEnd, a), 102));

  // Late notices of the pull that ended, in the order a slow poster could deliver them.
  progress.apply(part(a, "/remote/共享/only.txt", 0, 103), 103);
  EXPECT_TRUE(progress.transferText(a->relationHash()).startsWith("同步完成于"))
      << progress.transferText(a->relationHash()).toStdString();
  EXPECT_EQ(progress.transferToolTip(a->relationHash()), "");
  progress.apply(forPairing(SyncFileDownloadCreateDir, a, "/remote/共享/新目录"), 103);
  progress.apply(forPairing(SyncFileDownloadFileDown, a, "/home/me/共享/only.txt"), 103);
  EXPECT_FALSE(progress.apply(forPairing(SyncFileDownloadEnd, a), 104));  // told once
  EXPECT_TRUE(progress.transferText(a->relationHash()).startsWith("同步完成于"));
  EXPECT_EQ(progress.transferEntry(a->relationHash())->box.currentTime, 102);

  // The next pull starts afresh.
  progress.apply(begin(a, 10, 1, 200), 200);
  EXPECT_EQ(progress.transferText(a->relationHash()), "有文件更新");
  progress.apply(part(a, "/remote/共享/two.txt", 5, 201), 201);
  EXPECT_TRUE(progress.transferText(a->relationHash()).contains("剩余"));
}

TEST(TreeProgressTest, IndexRunCountsUpAndSummarisesOnce) {
  TreeProgress progress;
  const auto local = copy("/home/me/照片", "uuid-1");
  SyncFileProcessBox prepare = notice(SyncFileIndexPrepare);
  prepare.syncdirCopy = local;
  SyncFileProcessBox indexBegin = notice(SyncFileIndexBegin);
  indexBegin.syncdirCopy = local;
  indexBegin.total = 2;
  SyncFileProcessBox indexing = notice(SyncFileIndexing);
  indexing.syncdirCopy = local;
  indexing.downloadFilePath = "/home/me/照片/a.jpg";

  progress.apply(indexing, 1);  // before any prepare: no entry yet
  EXPECT_EQ(progress.indexTitle("uuid-1"), "");
  progress.apply(prepare, 1);
  EXPECT_EQ(progress.indexTitle("uuid-1"), "正在准备索引...");
  progress.apply(indexBegin, 1);
  EXPECT_EQ(progress.indexTitle("uuid-1"), "0/2文件索引");
  EXPECT_FALSE(progress.apply(indexing, 1));
  EXPECT_EQ(progress.indexTitle("uuid-1"), "1/2文件索引");
  const auto summary = progress.apply(indexing, 1);
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary->info, "本地 2 个文件已更新");
  EXPECT_EQ(summary->title, "/home/me/照片");
  EXPECT_EQ(summary->subTitle, "");
  EXPECT_EQ(progress.indexTitle("uuid-1"), "");

  indexBegin.total = 1;
  progress.apply(indexBegin, 1);
  const auto one = progress.apply(indexing, 1);
  ASSERT_TRUE(one);
  EXPECT_EQ(one->subTitle, "a.jpg");

  indexBegin.total = 0;
  progress.apply(indexBegin, 1);
  EXPECT_FALSE(progress.apply(indexing, 1));
}

SyncFileProcessBox stopped(const std::shared_ptr<QoSyncdirCopyRelation>& relation) {
  SyncFileProcessBox box = forPairing(SyncFileDownloadEnd, relation);
  box.complete = false;
  return box;
}

// A pull that stopped or lost files announces only the files that arrived, and its row
// never says it completed, not even by an earlier completion: files are still to come.
TEST(TreeProgressTest, APullThatDidNotGoThroughIsNotAnnouncedAsSynced) {
  TreeProgress progress;
  const auto a = pairing("aaaaaa11", "bbbbbb11");
  progress.apply(begin(a, 2048, 1, 100), 100);
  progress.apply(part(a, "/remote/共享/big.bin", 1024, 101), 101);
  EXPECT_FALSE(progress.apply(stopped(a), 102)) << "nothing arrived";
  EXPECT_EQ(progress.transferText(a->relationHash()), "有文件更新");
  progress.apply(part(a, "/remote/共享/big.bin", 1024, 103), 103);
  EXPECT_EQ(progress.transferText(a->relationHash()), "有文件更新") << "a late part of the stopped pull";

  // One pull goes through; a later one over two pages brings two files of five.
  progress.apply(begin(a, 10, 1, 200), 200);
  progress.apply(forPairing(SyncFileDownloadFileDown, a, "/home/me/共享/one.txt"), 201);
  ASSERT_TRUE(progress.apply(forPairing(SyncFileDownloadEnd, a), 202));
  progress.apply(begin(a, 4096, 3, 300), 300);
  progress.apply(forPairing(SyncFileDownloadFileDown, a, "/home/me/共享/two.txt"), 301);
  progress.apply(begin(a, 4096, 2, 302), 302);
  progress.apply(forPairing(SyncFileDownloadFileDown, a, "/home/me/共享/三.txt"), 303);
  progress.apply(part(a, "/remote/共享/four.bin", 10, 304), 304);
  const auto partly = progress.apply(stopped(a), 305);
  ASSERT_TRUE(partly);
  EXPECT_EQ(partly->info, "2 个文件已同步");
  EXPECT_EQ(partly->subTitle, "");
  EXPECT_EQ(progress.transferText(a->relationHash()), "有文件更新") << "not the earlier completion";

  progress.apply(begin(a, 4096, 3, 400), 400);
  progress.apply(forPairing(SyncFileDownloadFileDown, a, "/home/me/共享/五.txt"), 401);
  const auto one = progress.apply(stopped(a), 402);
  ASSERT_TRUE(one);
  EXPECT_EQ(one->info, "1 个文件已同步");
  EXPECT_EQ(one->subTitle, "五.txt");
}

// A peer that goes away ends its pulls' transfer on the rows at once; the pull's own end,
// when it gives up later, announces what arrived.
TEST(TreeProgressTest, APeerGoingAwayEndsItsTransfersOnTheRows) {
  TreeProgress progress;
  auto peer = std::make_shared<QoDevice>();
  peer->setUuid("peer-uuid");
  const auto a = pairing("aaaaaa11", "bbbbbb11");
  a->secondSyncdirCopy()->setDevice(peer);
  const auto b = pairing("cccccc22", "dddddd22");
  progress.apply(begin(a, 1 << 20, 2, 100), 100);
  progress.apply(begin(b, 1 << 20, 1, 100), 100);
  progress.apply(forPairing(SyncFileDownloadFileDown, a, "/home/me/共享/small.txt"), 101);
  progress.apply(part(a, "/remote/共享/big.bin", 1 << 19, 102), 102);
  progress.apply(part(b, "/remote/共享/other.bin", 1 << 19, 102), 102);
  ASSERT_TRUE(progress.transferText(a->relationHash()).contains("剩余"));

  EXPECT_FALSE(progress.peerGone("another-uuid"));
  EXPECT_TRUE(progress.peerGone("peer-uuid"));
  EXPECT_EQ(progress.transferText(a->relationHash()), "有文件更新");
  EXPECT_TRUE(progress.transferText(b->relationHash()).contains("剩余")) << "another peer's pull goes on";
  progress.apply(part(a, "/remote/共享/big.bin", 1024, 103), 103);
  EXPECT_EQ(progress.transferText(a->relationHash()), "有文件更新");
  EXPECT_FALSE(progress.peerGone("peer-uuid")) << "nothing left to end";

  const auto done = progress.apply(stopped(a), 120);
  ASSERT_TRUE(done);
  EXPECT_EQ(done->info, "1 个文件已同步");
  EXPECT_EQ(done->subTitle, "small.txt");
  EXPECT_EQ(progress.transferText(a->relationHash()), "有文件更新");
}

}  // namespace
}  // namespace velbor
