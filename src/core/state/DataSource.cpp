#include "core/state/DataSource.h"

#include <algorithm>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "core/entity/CopyEvents.h"
#include "core/entity/MarkedCopies.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoFeedback.h"
#include "core/entity/QoFile.h"
#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/entity/QoSyncdirCopyRelation.h"
#include "core/entity/UsnSource.h"
#include "core/state/CopyEventNotices.h"
#include "core/state/Lockers.h"
#include "core/state/QoConfig.h"
#include "core/utils/QoUtils.h"
#include "framework/persistence/DatabaseRefusal.h"
#include "framework/persistence/WriteTransaction.h"
#include "platform/LockerGuard.h"
#include "platform/QoLog.h"
#include "platform/UserDefaults.h"

namespace velbor {

namespace {

constexpr const char* kSuiteName = "DataSource";
constexpr const char* kUsnKey = "usn";
constexpr int64_t kUsnBlock = 256;
constexpr const char* kMaxUsnPrefix = "syncdirCopyMaxUsn";
constexpr const char* kMarkRecordPrefix = "syncdirCopyMarkRecord";
constexpr const char* kMarkedPrefix = "Marked-";

std::mutex sharedMutex;
// Never destroyed: jobs still running at exit use it.
std::shared_ptr<DataSource>& sharedInstance = *new std::shared_ptr<DataSource>();
// Instances replaced by resetSharedDataSource stay alive: callers may still hold references.
std::vector<std::shared_ptr<DataSource>>& retiredInstances = *new std::vector<std::shared_ptr<DataSource>>();

std::string maxUsnKey(const std::string& relationKey) { return fmt::format("{}-{}", kMaxUsnPrefix, relationKey); }
std::string markRecordKey(const std::string& relationKey) {
  return fmt::format("{}-{}", kMarkRecordPrefix, relationKey);
}

std::string segmentKey(int index) { return fmt::format("SC-{}", index); }

// The highest usn of any file record, 0 when there is none or it cannot be read (usns stay
// far below where a double loses whole numbers).
int64_t highestStoredUsn() {
  return std::max<int64_t>(
      0, static_cast<int64_t>(QoFile::performSQLAggregation("SELECT MAX(usn) FROM " + QoFile::tableName())));
}

}  // namespace

DataSource& DataSource::sharedDataSource() {
  handDownToEntities();
  QoConfig::handDownToEntities();
  std::lock_guard lock(sharedMutex);
  if (!sharedInstance) sharedInstance = std::make_shared<DataSource>();
  return *sharedInstance;
}

void DataSource::handDownToEntities() {
  static std::once_flag handedDown;
  std::call_once(handedDown, [] {
    UsnSource::install(UsnSource([] { return sharedDataSource().getAutoUsn(); },
                                 [](const std::string& relationKey, int64_t usn) {
                                   sharedDataSource().setSyncdirCopyRelationFailedUsn(relationKey, usn);
                                 }));
    CopyEvents::install(std::make_shared<CopyEventNotices>());
    MarkedCopies::install(
        MarkedCopies([](const std::string& uuid) { return sharedDataSource().isSyncdirCopyMarked(uuid); },
                     [](const std::string& uuid) { sharedDataSource().setSyncdirCopyMarked(uuid); }));
  });
}

void DataSource::resetSharedDataSource() {
  std::lock_guard lock(sharedMutex);
  if (sharedInstance) retiredInstances.push_back(std::exchange(sharedInstance, nullptr));
}

DataSource::DataSource() : defaults_(UserDefaults::suiteNamed(kSuiteName)) {}

DataSource::~DataSource() = default;

void DataSource::dbCheck() {
  QoSyncdirCopy::tableCheck();
  QoSyncdirCopyRelation::tableCheck();
  QoFile::tableCheck();
  QoDevice::tableCheck();
  QoFileAndSyncdirCopyRelation::tableCheck();
  QoFeedback::tableCheck();

  // A lost or older settings file must not hand out usns that records already carry.
  int64_t highest = highestStoredUsn();
  std::lock_guard lock(usnMutex_);
  loadUsnLocked();
  if (highest > currentUsn_) {
    QoLog("Usn({}) below the highest stored usn({}), raised", currentUsn_, highest);
    currentUsn_ = highest;
    reservedUsn_ = highest;
    defaults_->setInteger(kUsnKey, highest);
  }
}

void DataSource::dbClear() {
  QoLog("Clean Db");
  {
    // One transaction, so that no reader sees half the records gone.
    WriteTransaction transaction;
    QoDevice::deleteObjectsByCriteria(fmt::format("WHERE pk != {}", 0));
    QoDevice::rowsWritten();
    QoSyncdirCopy::deleteObjectsByCriteria("");
    QoSyncdirCopyRelation::deleteObjectsByCriteria("");
    QoFile::deleteObjectsByCriteria("");
    QoFileAndSyncdirCopyRelation::deleteObjectsByCriteria("");
    transaction.commit();
  }
  resetUsn();
  resetSyncdirCopyMaxUsn();
  // The copies are gone; a copy made again under one of their uuids marks its folder anew.
  for (const auto& key : defaults_->allKeys()) {
    if (key.starts_with(kMarkedPrefix)) defaults_->removeObjectForKey(key);
  }
}

bool DataSource::isSyncdirCopyMarked(const std::string& copyUuid) {
  return defaults_->boolForKey(kMarkedPrefix + copyUuid);
}

void DataSource::setSyncdirCopyMarked(const std::string& copyUuid) {
  if (!defaults_->setBool(kMarkedPrefix + copyUuid, true)) {
    QoLog("*** syncdir copy({}) marked, but that could not be stored", copyUuid);
  }
}

void DataSource::recreate() {
  dbCheck();
  dbClear();
  QoConfig::sharedQoConfig().reset();
}

void DataSource::loadUsnLocked() {
  if (currentUsn_ >= 0) return;
  currentUsn_ = std::max<int64_t>(defaults_->integerForKey(kUsnKey), 0);
  reservedUsn_ = currentUsn_;
}

int64_t DataSource::getAutoUsn() {
  std::lock_guard lock(usnMutex_);
  loadUsnLocked();
  int64_t next = currentUsn_ + 1;
  if (next > reservedUsn_) {
    // The ceiling reaches the disk before any usn below it is handed out; a restart
    // continues above it, leaving at most one block unused. Not stored (a full disk), none
    // is handed out: a restart would hand out the same numbers again.
    if (!defaults_->setInteger(kUsnKey, next + kUsnBlock - 1)) {
      throw DatabaseRefusal("the usn ceiling cannot be stored");
    }
    reservedUsn_ = next + kUsnBlock - 1;
  }
  currentUsn_ = next;
  return next;
}

int64_t DataSource::getCurrentUsn() {
  std::lock_guard lock(usnMutex_);
  loadUsnLocked();
  return currentUsn_;
}

void DataSource::resetUsn() {
  std::lock_guard lock(usnMutex_);
  defaults_->removeObjectForKey(kUsnKey);
  currentUsn_ = 0;
  reservedUsn_ = 0;
}

int64_t DataSource::getSyncdirCopyMaxUsnWithRelaionKey(const std::string& relationKey) {
  std::lock_guard lock(usnMutex_);
  return defaults_->integerForKey(maxUsnKey(relationKey));
}

void DataSource::setSyncdirCopyMaxUsnWithRelationKey(const std::string& relationKey, int64_t value) {
  setSyncdirCopyMaxUsnWithRelationKey(relationKey, value, std::string());
}

void DataSource::setSyncdirCopyMaxUsnWithRelationKey(const std::string& relationKey, int64_t value,
                                                     const std::string& markRecord) {
  std::lock_guard lock(usnMutex_);
  // The old record goes first: a stop between the writes leaves it unknown, never wrong.
  if (defaults_->hasKey(markRecordKey(relationKey))) defaults_->removeObjectForKey(markRecordKey(relationKey));
  defaults_->setInteger(maxUsnKey(relationKey), value);
  if (!markRecord.empty()) defaults_->setData(markRecordKey(relationKey), markRecord);
}

std::string DataSource::getSyncdirCopyMarkRecordWithRelationKey(const std::string& relationKey) {
  std::lock_guard lock(usnMutex_);
  return defaults_->dataForKey(markRecordKey(relationKey)).value_or(std::string());
}

void DataSource::resetSyncdirCopyMaxUsn() {
  std::lock_guard lock(usnMutex_);
  for (const auto& key : defaults_->allKeys()) {
    if (key.starts_with(kMaxUsnPrefix) || key.starts_with(kMarkRecordPrefix)) defaults_->removeObjectForKey(key);
  }
}

int64_t DataSource::getSyncdirCopyRelationFailedUsn(const std::string& relationKey) {
  QoAssert(!relationKey.empty(), "*** uuid not be nil");
  LockerGuard locker(Lockers::failedUsn());
  LockerGuard lock(cacheMutex_);
  auto found = failedUsn_.find(relationKey);
  return found == failedUsn_.end() ? 0 : found->second;
}

void DataSource::setSyncdirCopyRelationFailedUsn(const std::string& relationKey, int64_t usn) {
  LockerGuard locker(Lockers::failedUsn());
  LockerGuard lock(cacheMutex_);
  int64_t& mark = failedUsn_[relationKey];
  if (mark == 0 || usn < mark) mark = usn;
}

void DataSource::resetSyncdirCopyRelationFailedUsn(const std::string& relationKey) {
  LockerGuard lock(cacheMutex_);
  failedUsn_[relationKey] = 0;
}

void DataSource::setDoingSyncOnce(int32_t relationPk) {
  LockerGuard locker(Lockers::syncOnce(relationPk));
  LockerGuard lock(cacheMutex_);
  syncOnceStarted_[relationPk] = std::chrono::system_clock::now();
}

void DataSource::setStopSyncOnce(int32_t relationPk) {
  LockerGuard locker(Lockers::syncOnce(relationPk));
  LockerGuard lock(cacheMutex_);
  syncOnceStarted_.erase(relationPk);
}

bool DataSource::isDoingSyncOnce(int32_t relationPk) {
  LockerGuard locker(Lockers::syncOnce(relationPk));
  LockerGuard lock(cacheMutex_);
  return syncOnceStarted_.contains(relationPk);
}

void DataSource::appendSyncOnceQueue(int32_t relationPk) {
  LockerGuard locker(Lockers::syncOnce(relationPk));
  LockerGuard lock(cacheMutex_);
  ++syncOnceQueue_[relationPk];
}

void DataSource::cleanSyncOnceQueue(int32_t relationPk) {
  LockerGuard locker(Lockers::syncOnce(relationPk));
  LockerGuard lock(cacheMutex_);
  syncOnceQueue_.erase(relationPk);
}

bool DataSource::hasAnySyncOnceRequest(int32_t relationPk) {
  LockerGuard locker(Lockers::syncOnce(relationPk));
  LockerGuard lock(cacheMutex_);
  return syncOnceQueue_.contains(relationPk);
}

void DataSource::setSendTrustContext(const std::string& deviceUuid, std::shared_ptr<TrustInfo> context) {
  if (!context) return;
  LockerGuard lock(cacheMutex_);
  sendTrust_[deviceUuid] = std::move(context);
}

std::shared_ptr<TrustInfo> DataSource::getSendTrustContext(const std::string& deviceUuid) {
  LockerGuard lock(cacheMutex_);
  auto found = sendTrust_.find(deviceUuid);
  return found == sendTrust_.end() ? nullptr : found->second;
}

void DataSource::cleanSendTrustContext(const std::string& deviceUuid) {
  LockerGuard lock(cacheMutex_);
  sendTrust_.erase(deviceUuid);
}

void DataSource::setRecvTrustContext(const std::string& deviceUuid, std::shared_ptr<TrustInfo> context) {
  if (!context) return;
  LockerGuard lock(cacheMutex_);
  recvTrust_[deviceUuid] = std::move(context);
}

std::shared_ptr<TrustInfo> DataSource::getRecvTrustContext(const std::string& deviceUuid) {
  LockerGuard lock(cacheMutex_);
  auto found = recvTrust_.find(deviceUuid);
  return found == recvTrust_.end() ? nullptr : found->second;
}

void DataSource::cleanRecvTrustContext(const std::string& deviceUuid) {
  LockerGuard lock(cacheMutex_);
  recvTrust_.erase(deviceUuid);
}

RecursiveLocker& DataSource::getLocker(const std::string& name) {
  QoAssert(!name.empty(), "");
  return Lockers::named(name);
}

RecursiveLocker& DataSource::getLocker(const std::string& name, int32_t userId) {
  return getLocker(fmt::format("{}-{}", name, userId));
}

void DataSource::setSegmentControl(int index, bool value) { defaults_->setBool(segmentKey(index), value); }

bool DataSource::getSegmentControl(int index) { return defaults_->boolForKey(segmentKey(index)); }

bool DataSource::isSegmentControlInited() { return defaults_->hasKey(segmentKey(0)); }

// Each value is read under its own lock; holding the usn lock across the database reads
// would order it before the statement lock, against the file writers.
void DataSource::printInternalStatus() {
  const std::string rule(71, '=');
  QoLog("{}", rule);
  QoLog("========================== StatusCheck ================================");
  QoLog("{}", rule);
  QoLog("Usn Current: {}", getCurrentUsn());
  QoLog("{}", "Usn of Syncdir copy: { ");
  for (const auto& relation : QoSyncdirCopyRelation::allObjects()) {
    auto copy = relation->firstSyncdirCopy();
    std::string key = relation->relationHash();
    QoLog("   {} usn({:<5}) failUsn({:<5}) : {}({})", copy && copy->device() ? "On " : "Off",
          getSyncdirCopyMaxUsnWithRelaionKey(key), getSyncdirCopyRelationFailedUsn(key),
          copy ? copy->path() : std::string(), copy ? copy->shortUuid() : std::string());
  }
  QoLog("{}", "}");
  QoLog("Public Key:");
  QoLog("{}", QoConfig::sharedQoConfig().devicePublicKey());
  QoLog("{}", "Trust token : {");
  auto devices = QoDevice::getDeviceRemote();
  for (const auto& device : devices) {
    if (auto context = getSendTrustContext(device->uuid())) QoLog("  {}: {}", device->name(), context->token);
  }
  QoLog("================");
  for (const auto& device : devices) {
    if (auto context = getRecvTrustContext(device->uuid())) QoLog("  {}: {}", device->name(), context->token);
  }
  QoLog("{}", "}");
  QoLog("{}", rule);
  QoLog("{}", rule);
}

}  // namespace velbor
