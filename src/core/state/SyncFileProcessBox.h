#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace velbor {

class QoSyncdirCopy;
class QoSyncdirCopyRelation;

// Kinds of progress notice carried by "SyncFileProcess".
enum SyncFileProcessStatus : int {
  SyncFileIndexPrepare = 0,
  SyncFileIndexBegin = 1,
  SyncFileIndexing = 2,
  SyncFileIndexEnd = 3,
  SyncFileDownloadBegin = 4,
  SyncFileDownloading = 5,
  SyncFileDownloadCreateDir = 6,
  SyncFileDownloadDeleteFile = 7,
  SyncFileDownloadFileDown = 8,
  SyncFileDownloadEnd = 9,
};

// One progress notice of indexing a local copy (statuses 0-3) or of downloading a pairing
// (statuses 4-9). Every notice is posted with a record of its own, as a
// std::shared_ptr<SyncFileProcessBox>; a receiver may keep and update it (currentSize,
// currentFileCount) on the "notify" queue.
class SyncFileProcessBox {
 public:
  int status = 0;
  std::shared_ptr<QoSyncdirCopyRelation> relation;  // download notices
  std::shared_ptr<QoSyncdirCopy> syncdirCopy;       // index notices
  std::string downloadFilePath;
  int64_t downloadLength = 0;
  double timeStart = 0;    // seconds since 1970
  double currentTime = 0;  // seconds since 1970
  int64_t total = 0;
  int64_t fileCount = 0;
  int64_t currentFileCount = 0;
  int64_t currentSize = 0;
  std::string statusString;
  std::string remainTime;
  // A download end: whether the pull went through. False when it stopped or lost files; the
  // files announced then are only those that arrived (their "file done" notices).
  bool complete = true;

  static std::shared_ptr<SyncFileProcessBox> boxWithStatus(int status);

  static void sendSyncFileIndexPrepare(const std::shared_ptr<QoSyncdirCopy>& syncdirCopy);
  static void sendSyncFileIndexBegin(const std::shared_ptr<QoSyncdirCopy>& syncdirCopy, int64_t total);
  static void sendSyncFileIndexing(const std::shared_ptr<QoSyncdirCopy>& syncdirCopy, const std::string& path);
  static void sendSyncFileIndexEnd(const std::shared_ptr<QoSyncdirCopy>& syncdirCopy);
  static void sendSyncFileDownloadBegin(const std::shared_ptr<QoSyncdirCopyRelation>& relation, int64_t total,
                                        int64_t count);
  static void sendSyncFileDownloading(const std::shared_ptr<QoSyncdirCopyRelation>& relation, const std::string& path,
                                      int64_t length);
  static void sendSyncFileDownloadCreateDir(const std::shared_ptr<QoSyncdirCopyRelation>& relation,
                                            const std::string& path);
  static void sendSyncFileDownloadDeleteFile(const std::shared_ptr<QoSyncdirCopyRelation>& relation,
                                             const std::string& path);
  static void sendSyncFileDownloadFileDown(const std::shared_ptr<QoSyncdirCopyRelation>& relation,
                                           const std::string& path);
  static void sendSyncFileDownloadEnd(const std::shared_ptr<QoSyncdirCopyRelation>& relation, bool complete = true);

  // Sets statusString (speed since timeStart) and remainTime (time left for the bytes
  // still missing of total) for the time `now` (seconds since 1970).
  void getSpeedDescriptionByCurrentTime(double now);

  // Current time in seconds since 1970, with its fraction.
  static double timeNow();

 private:
  static void post(const std::shared_ptr<SyncFileProcessBox>& box);
};

}  // namespace velbor
