#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "core/state/TrustInfo.h"
#include "platform/Mutex.h"
#include "platform/RecursiveLocker.h"
#include "platform/ThreadSafety.h"

namespace velbor {

class UserDefaults;

// The daemon's shared runtime state outside the database: the global usn and the per-pairing
// pulled-usn marks and the copies whose folder was marked (suite "DataSource", kept across
// restarts), and in memory the failed-usn marks, sync-once flags and counters and pending
// trust exchanges. The lockers are Lockers.
class DataSource {
 public:
  static DataSource& sharedDataSource();
  // Drops the instance so that the next sharedDataSource() opens the suite again (tests with
  // a fresh HOME). The old instance stays alive, so references still held keep working.
  static void resetSharedDataSource();
  // Hands the entities the usn counter and the failed-usn marks of whichever shared instance
  // is current at each use, and posts their rescans of a local copy as this process's
  // notices. Once per process, creating no instance; called as QoConfig::handDownToEntities.
  static void handDownToEntities();

  DataSource();
  ~DataSource();
  DataSource(const DataSource&) = delete;
  DataSource& operator=(const DataSource&) = delete;

  // Creates missing tables and columns of every entity, then raises the usn counter to the
  // highest usn stored in the database if it lags behind (a lost or older settings file).
  void dbCheck();
  // Deletes every sync record except the local device row and the feedback rows, and
  // resets the usn and the pulled-usn marks.
  void dbClear();
  // dbCheck, dbClear, then QoConfig::reset (clears the device token).
  void recreate();

  // The next usn: unique across threads, 1 on a fresh store, and never handed out again after
  // a restart, since the suite always holds a ceiling at or above every usn handed out.
  int64_t getAutoUsn();
  int64_t getCurrentUsn();
  void resetUsn();

  // Highest remote usn already pulled for a pairing (its relationHash); 0 when absent.
  int64_t getSyncdirCopyMaxUsnWithRelaionKey(const std::string& relationKey);
  // Stores the mark; what stood at it is then unknown.
  void setSyncdirCopyMaxUsnWithRelationKey(const std::string& relationKey, int64_t value);
  // Stores the mark with what identifies the peer's record standing at it (`markRecord`,
  // empty when unknown): a different record at that very usn later shows that the peer hands
  // out its numbers again.
  void setSyncdirCopyMaxUsnWithRelationKey(const std::string& relationKey, int64_t value,
                                           const std::string& markRecord);
  // What setSyncdirCopyMaxUsnWithRelationKey stored of the record at the mark; empty when unknown.
  std::string getSyncdirCopyMarkRecordWithRelationKey(const std::string& relationKey);
  // Forgets every mark and what stood at each.
  void resetSyncdirCopyMaxUsn();

  // Lowest usn of a fetched change that failed for a pairing; 0 for none.
  int64_t getSyncdirCopyRelationFailedUsn(const std::string& relationKey);
  // Keeps the lowest non-zero mark.
  void setSyncdirCopyRelationFailedUsn(const std::string& relationKey, int64_t usn);
  void resetSyncdirCopyRelationFailedUsn(const std::string& relationKey);

  // Whether the folder of a local copy was ever marked as its own ("Marked-<uuid>"): a folder
  // without the mark is then not the copy's.
  bool isSyncdirCopyMarked(const std::string& copyUuid);
  void setSyncdirCopyMarked(const std::string& copyUuid);

  // Sync-once coalescing per pairing primary key.
  void setDoingSyncOnce(int32_t relationPk);
  void setStopSyncOnce(int32_t relationPk);
  bool isDoingSyncOnce(int32_t relationPk);
  void appendSyncOnceQueue(int32_t relationPk);
  void cleanSyncOnceQueue(int32_t relationPk);
  bool hasAnySyncOnceRequest(int32_t relationPk);

  // Pending trust exchanges by device uuid; a null context stores nothing.
  void setSendTrustContext(const std::string& deviceUuid, std::shared_ptr<TrustInfo> context);
  std::shared_ptr<TrustInfo> getSendTrustContext(const std::string& deviceUuid);
  void cleanSendTrustContext(const std::string& deviceUuid);
  void setRecvTrustContext(const std::string& deviceUuid, std::shared_ptr<TrustInfo> context);
  std::shared_ptr<TrustInfo> getRecvTrustContext(const std::string& deviceUuid);
  void cleanRecvTrustContext(const std::string& deviceUuid);

  // The one re-entrant locker kept under `name` (Lockers::named), the same object for the
  // life of the process. An empty name raises the assertion exception.
  RecursiveLocker& getLocker(const std::string& name);
  // getLocker of "<name>-<userId>".
  RecursiveLocker& getLocker(const std::string& name, int32_t userId);

  // The device list's filter segments, persisted as "SC-<index>".
  void setSegmentControl(int index, bool value);
  bool getSegmentControl(int index);
  bool isSegmentControlInited();

  // Logs the usn counters, the pairings' marks, the public key and the pending trust tokens.
  void printInternalStatus();

 private:
  std::shared_ptr<UserDefaults> defaults_;
  // Guards the usn counter and the pulled-usn marks.
  std::recursive_mutex usnMutex_;
  // The last usn handed out (-1 until read from the suite) and the ceiling stored in the
  // suite: usns are reserved on disk a block at a time, so handing one out rarely writes.
  int64_t currentUsn_ = -1;
  int64_t reservedUsn_ = 0;
  void loadUsnLocked();
  // Guards the in-memory tables below; the lockers themselves are separate objects.
  Mutex cacheMutex_;
  std::map<std::string, int64_t> failedUsn_ GUARDED_BY(cacheMutex_);
  std::map<int32_t, std::chrono::system_clock::time_point> syncOnceStarted_ GUARDED_BY(cacheMutex_);
  std::map<int32_t, int32_t> syncOnceQueue_ GUARDED_BY(cacheMutex_);
  std::map<std::string, std::shared_ptr<TrustInfo>> sendTrust_ GUARDED_BY(cacheMutex_);
  std::map<std::string, std::shared_ptr<TrustInfo>> recvTrust_ GUARDED_BY(cacheMutex_);
};

}  // namespace velbor
