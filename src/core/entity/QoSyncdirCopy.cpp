#include "core/entity/QoSyncdirCopy.h"

#include <map>

#include "core/entity/CopyEvents.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoFile.h"
#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/entity/QoSyncdirCopyRelation.h"
#include "core/utils/QoUtils.h"
#include "framework/errors/QoExceptionProto.h"
#include "framework/persistence/SQLiteInstanceManager.h"
#include "framework/persistence/SQLiteStatement.h"
#include "framework/persistence/WriteTransaction.h"
#include "platform/LockerGuard.h"
#include "platform/QoLog.h"

namespace velbor {
namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

sqlite3* database() { return SQLiteInstanceManager::sharedManager()->database(); }

// A copy strictly contains a path when the path begins with the copy's root and "/".
constexpr const char* kContainsPath = "substr(?1, 1, length(qo_syncdir_copy.path) + 1) = qo_syncdir_copy.path || '/'";

}  // namespace

std::vector<std::pair<std::string, std::string>> QoSyncdirCopy::getPropertiesList() {
  return {{"uuid", "\"NSString\""},
          {"path", "\"NSString\""},
          {"device", "\"QoDevice\""},
          {"syncdirUuid", "\"NSString\""},
          {"vcIndex", "\"int\""}};
}

std::vector<std::string> QoSyncdirCopy::propertiesOrderedArray() {
  // Never destroyed: jobs still running at exit use it.
  static const auto& properties = *new std::vector<std::string>{"path", "device", "syncdirUuid", "vcIndex", "uuid"};
  return properties;
}

std::vector<std::string> QoSyncdirCopy::uniques() { return {"uuid"}; }

std::vector<PersistentProperty> QoSyncdirCopy::propertiesWithEncodedTypes() {
  return {PersistentProperty::text("path", &QoSyncdirCopy::path_),
          PersistentProperty::entity("device", &QoSyncdirCopy::device_),
          PersistentProperty::text("syncdirUuid", &QoSyncdirCopy::syncdirUuid_),
          PersistentProperty::scalar("vcIndex", &QoSyncdirCopy::vcIndex_),
          PersistentProperty::text("uuid", &QoSyncdirCopy::uuid_)};
}

QoSyncdirCopy::List QoSyncdirCopy::findByCriteria(const std::string& criteria,
                                                  const std::optional<Parameters>& parameters) {
  List copies;
  Lock lock(getLocker());
  try {
    SQLiteStatement statement(
        database(),
        fmt::format("SELECT * FROM qo_syncdir_copy LEFT JOIN qo_device ON qo_syncdir_copy.device=qo_device.pk {}",
                    criteria));
    if (!statement.ok()) {
      QoLog("Error inserting or updating row. {}, {}", statement.errorMessage(), className());
      return copies;
    }
    bindCriteriaParameters(statement, parameters);
    std::map<int32_t, std::shared_ptr<QoDevice>> devices;
    while (statement.step() == SQLITE_ROW) {
      auto copy = std::make_shared<QoSyncdirCopy>();
      copy->setPk(statement.columnInt(0));
      copy->path_ = statement.columnText(1);
      const int32_t devicePk = statement.columnInt(2);
      copy->syncdirUuid_ = statement.columnText(3);
      copy->vcIndex_ = statement.columnInt(4);
      copy->uuid_ = statement.columnText(5);
      if (devicePk >= 0) {
        auto& device = devices[devicePk];
        if (!device) {
          device = std::make_shared<QoDevice>();
          device->setPk(devicePk);
          device->setPubUri(statement.columnText(7));
          device->setRegisterTime(statement.columnInt64(8));
          device->setPubKey(statement.columnBlob(9));
          device->setUuid(statement.columnText(10));
          device->setRouteUri(statement.columnText(11));
          device->setType(statement.columnInt(12));
          device->setToken(statement.columnText(13));
          device->setName(statement.columnText(14));
          device->setStatus(statement.columnInt(15));
          device->setIsOnline(statement.columnInt(16) != 0);
        }
        copy->device_ = device;
      }
      copies.push_back(std::move(copy));
    }
  } catch (const std::exception& e) {
    QoAssert(false, "{} {}", tableName(), e.what());
  }
  return copies;
}

void QoSyncdirCopy::save() {
  try {
    LockerGuard transaction(WriteTransaction::locker());
    // A stored device is only referenced: this copy holds a snapshot of it, and writing
    // that back would undo changes made since (trust, name, online state).
    if (device_ && device_->pk() < 0) device_->save();
    const auto failure =
        saveRow(fmt::format("UPDATE {} SET path=?, device=?, syncdir_uuid=?, vc_index=?, uuid=? WHERE pk={}",
                            tableName(), pk()),
                fmt::format("INSERT INTO {} values(null, ?, ? ,? ,? ,?)", tableName()),
                [this](SQLiteStatement& statement, bool) {
                  statement.bindOptionalText(1, path_);
                  statement.bindInt(2, device_ ? device_->pk() : -1);
                  statement.bindOptionalText(3, syncdirUuid_);
                  statement.bindInt(4, static_cast<int32_t>(vcIndex_));
                  statement.bindOptionalText(5, uuid_);
                });
    if (failure) reportWriteFailure(fmt::format("Error inserting or updating row. {}, {}", *failure, className()));
  } catch (const std::exception& e) {
    QoLog("QoSyncdirCopy save failed, {}", e.what());
  }
}

QoSyncdirCopy::Ptr QoSyncdirCopy::getSyncdirCopyWithUuid(const std::string& uuid) {
  return findFirstByCriteria("WHERE qo_syncdir_copy.uuid = ?", Parameters{uuid});
}

QoSyncdirCopy::List QoSyncdirCopy::getSyncdirCopysWithFilePath(const std::string& path) {
  return findByCriteria(fmt::format("WHERE {} AND device <> -1", kContainsPath), Parameters{path});
}

QoSyncdirCopy::Ptr QoSyncdirCopy::getSyncdirCopyWithFilePath(const std::string& path) {
  List copies = getSyncdirCopysWithFilePath(path);
  return copies.empty() ? nullptr : copies.front();
}

QoSyncdirCopy::Ptr QoSyncdirCopy::getSyncdirCopyWithPath(const std::string& path, int32_t devicePk) {
  return findFirstByCriteria(fmt::format("WHERE qo_syncdir_copy.path = ? AND qo_device.pk={}", devicePk),
                             Parameters{path});
}

QoSyncdirCopy::List QoSyncdirCopy::getSyncdirCopyWithDevicePk(int32_t devicePk) {
  return findByCriteria(fmt::format("WHERE qo_device.pk = {}", devicePk));
}

QoSyncdirCopy::List QoSyncdirCopy::getSyncdirCopyInLocalDevice() { return getSyncdirCopyWithDevicePk(0); }

QoSyncdirCopy::List QoSyncdirCopy::getSyncdirCopysWithSyncdirUuid(const std::string& syncdirUuid) {
  return findByCriteria("WHERE syncdir_uuid = ? order by vc_index", Parameters{syncdirUuid});
}

bool QoSyncdirCopy::isNestedSyncdirCopyHasSameSyncUuid(const std::string& syncdirUuid, const std::string& path) {
  const std::string criteria = fmt::format(
      "WHERE syncdir_uuid = ?1 AND (substr(qo_syncdir_copy.path, 1, length(?2) + 1) = ?2 || '/' OR "
      "substr(?2, 1, length(qo_syncdir_copy.path) + 1) = qo_syncdir_copy.path || '/') AND qo_device.pk={}",
      0);
  return !findByCriteria(criteria, Parameters{syncdirUuid, path}).empty();
}

void QoSyncdirCopy::addBigFileWithPath(const std::string& path) {
  if (bigFiles_.count(path) != 0) return;
  try {
    const int64_t modified = QoFile::getFileModifyTimeAtPath(path);
    QoLog("{}", modified);
    bigFiles_[path] = modified;
  } catch (const std::exception& e) {
    QoLog("*** add big file record failed, {}", e.what());
  }
}

std::vector<std::string> QoSyncdirCopy::getBigFilesUnchanged() {
  std::vector<std::string> unchanged;
  for (auto& [path, modified] : bigFiles_) {
    try {
      const int64_t now = QoFile::getFileModifyTimeAtPath(path);
      if (now == modified) {
        unchanged.push_back(path);
      } else {
        // Still being written: compare with this time on the next round.
        modified = now;
      }
    } catch (const std::exception& e) {
      QoLog("*** add big file record failed, {}", e.what());
    }
  }
  for (const std::string& path : unchanged) bigFiles_.erase(path);
  return unchanged;
}

std::vector<std::shared_ptr<QoSyncdirCopyRelation>> QoSyncdirCopy::getAllSyncdirCopyRelations() const {
  return QoSyncdirCopyRelation::getSyncdirCopyRelationsWithFirstPk(pk());
}

QoSyncdirCopy::List QoSyncdirCopy::getSyncdirCopysWithSameSyncUuid() const {
  return getSyncdirCopysWithSyncdirUuid(syncdirUuid_);
}

std::vector<std::string> QoSyncdirCopy::getSyncdirCopysUuidList() const {
  std::vector<std::string> uuids;
  for (const Ptr& copy : getSyncdirCopysWithSameSyncUuid()) {
    QoAssert(copy != nullptr, "syncdir copy can not be nil");
    uuids.push_back(copy->uuid());
  }
  return uuids;
}

std::shared_ptr<QoFileAndSyncdirCopyRelation> QoSyncdirCopy::getFileRelationWithFilePath(
    const std::string& path) const {
  // Two reads, under the writers' locker so that no write falls between them and neither sees
  // a write not yet committed (there is one connection).
  LockerGuard writers(WriteTransaction::locker());
  auto file = QoFile::findFirstByCriteria("WHERE path = ?", Parameters{path});
  if (!file) return nullptr;
  return QoFileAndSyncdirCopyRelation::findFirstByCriteria(
      "WHERE qo_syncdir_copy.pk = ? AND file = ?", Parameters{std::to_string(pk()), std::to_string(file->pk())});
}

QoSyncdirCopy::RelationList QoSyncdirCopy::getAllFileRelations() const {
  // Qualified: the joined rows carry the copy's root path as well.
  return QoFileAndSyncdirCopyRelation::findByCriteria("WHERE syncdir_copy=? order by qo_file.path",
                                                      Parameters{std::to_string(pk())});
}

QoSyncdirCopy::RelationList QoSyncdirCopy::getFileRelationsWithUsn(int64_t usn) const {
  return QoFileAndSyncdirCopyRelation::findByCriteria("WHERE syncdir_copy=? AND qo_file.usn > ?",
                                                      Parameters{std::to_string(pk()), std::to_string(usn)});
}

QoSyncdirCopy::RelationList QoSyncdirCopy::getFileRelationsWithUsn(int64_t usn, int32_t limit) const {
  return QoFileAndSyncdirCopyRelation::findInUsnOrder(pk(), usn, limit);
}

int64_t QoSyncdirCopy::getMaxIndex() const {
  return countByCriteria("WHERE syncdir_uuid = ?", Parameters{syncdirUuid_});
}

QoSyncdirCopy::Ptr QoSyncdirCopy::getSyncdirCopyByPath() const {
  return findFirstByCriteria("WHERE path = ?", Parameters{path_});
}

QoSyncdirCopy::Ptr QoSyncdirCopy::getSyncdirCopyByPathInDevicePk(int32_t devicePk) const {
  return getSyncdirCopyWithPath(path_, devicePk);
}

QoSyncdirCopy::Ptr QoSyncdirCopy::getSyncdirCopyByPathInLocalDevice() const {
  return getSyncdirCopyByPathInDevicePk(0);
}

void QoSyncdirCopy::deleteFiles(const FileList& files) {
  try {
    WriteTransaction transaction;
    for (const auto& file : files) {
      QoLog("toDelete {}", file->path());
      file->deleteRelation();
      CopyEvents::installed()->indexing(self(), file->path());
    }
    transaction.commit();
  } catch (const std::exception& e) {
    QoLog("*** delete files part failed, {}", e.what());
    // Rolled back; the caller must know, above all when it nests this in its own transaction.
    throw;
  }
}

void QoSyncdirCopy::insertFiles(const FileList& files) {
  try {
    WriteTransaction transaction;
    for (const auto& file : files) {
      QoLog("toInsert {}", file->path());
      file->insertRelation();
      CopyEvents::installed()->indexing(self(), file->path());
    }
    transaction.commit();
  } catch (const std::exception& e) {
    QoLog("*** insert files part failed, {}", e.what());
    // Rolled back; the caller must know, above all when it nests this in its own transaction.
    throw;
  }
}

void QoSyncdirCopy::updateFiles(const FileList& files) {
  try {
    WriteTransaction transaction;
    for (const auto& file : files) {
      QoLog("toUpdate {}", file->path());
      file->updateRelation();
      CopyEvents::installed()->indexing(self(), file->path());
    }
    transaction.commit();
  } catch (const std::exception& e) {
    QoLog("{}", e.what());
    // Rolled back; the caller must know, above all when it nests this in its own transaction.
    throw;
  }
}

std::string QoSyncdirCopy::shortUuid() const { return uuid_.empty() ? "Uninited UUID" : uuid_.substr(0, 6); }

void QoSyncdirCopy::insert() {
  // Held across counting and saving, so two new copies never take the same slot.
  LockerGuard transaction(WriteTransaction::locker());
  if (pk() < 0) {
    vcIndex_ = getMaxIndex();
    // Peers take a find reply or a request naming more copies than the bound from no one.
    if (vcIndex_ >= static_cast<int64_t>(kMaxCopiesPerSyncdir)) {
      throw QoExceptionZeGeneral::defaultExceptionWithReason("Syncdir({}) keeps {} copies already, ({}) not kept",
                                                             syncdirUuid_, kMaxCopiesPerSyncdir, uuid_);
    }
  }
  save();
}

bool QoSyncdirCopy::addPlaceholderCopy(const std::string& syncdirUuid, const std::string& uuid) {
  LockerGuard transaction(WriteTransaction::locker());
  if (getSyncdirCopyWithUuid(uuid)) return true;
  if (countByCriteria("WHERE syncdir_uuid = ?", Parameters{syncdirUuid}) >=
      static_cast<int64_t>(kMaxCopiesPerSyncdir)) {
    QoLog("*** Syncdir({}) keeps {} copies already, ({}) not kept", syncdirUuid, kMaxCopiesPerSyncdir, uuid);
    return false;
  }
  auto placeholder = std::make_shared<QoSyncdirCopy>();
  placeholder->setUuid(uuid);
  placeholder->setSyncdirUuid(syncdirUuid);
  placeholder->setDevice(nullptr);
  placeholder->setPath(fmt::format("{}-{}", "reserve", QoUtils::generateShortUuid()));
  placeholder->insert();
  return placeholder->pk() >= 0;
}

void QoSyncdirCopy::deleteFileRelation() {
  QoFileAndSyncdirCopyRelation::deleteObjectsByCriteria(fmt::format("WHERE syncdir_copy={}", pk()));
}

void QoSyncdirCopy::forceRemove() {
  for (const auto& relation : QoSyncdirCopyRelation::getSyncdirCopyRelationsWithFirstPk(pk())) relation->forceRemove();
  for (const auto& relation : QoSyncdirCopyRelation::getSyncdirCopyRelationsWithSecondPk(pk())) relation->forceRemove();
  deleteFileRelation();
  device_ = nullptr;
  save();
}

}  // namespace velbor
