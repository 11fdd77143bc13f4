#include "core/entity/QoFileAndSyncdirCopyRelation.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "core/entity/CopyItemFolder.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoFile.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/utils/QoUtils.h"
#include "framework/errors/QoException.h"
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

const std::string& pathOf(const QoFileAndSyncdirCopyRelation::Ptr& relation) {
  // Never destroyed: jobs still running at exit use it.
  static const std::string& none = *new std::string();
  return relation->file() ? relation->file()->path() : none;
}

}  // namespace

QoFileAndSyncdirCopyRelation::Comparator QoFileAndSyncdirCopyRelation::sortComparator() {
  return [](const Ptr& a, const Ptr& b) { return QoUtils::caseInsensitiveCompare(pathOf(a), pathOf(b)) < 0; };
}

QoFileAndSyncdirCopyRelation::Comparator QoFileAndSyncdirCopyRelation::sortComparatorDesc() {
  return [](const Ptr& a, const Ptr& b) { return QoUtils::caseInsensitiveCompare(pathOf(a), pathOf(b)) > 0; };
}

QoFileAndSyncdirCopyRelation::Ptr QoFileAndSyncdirCopyRelation::getRelationWithPath(const std::string& path) {
  return findFirstByCriteria("WHERE qo_file.path = ?", Parameters{path});
}

std::vector<std::vector<std::string>> QoFileAndSyncdirCopyRelation::indices() { return {{"file"}}; }

std::vector<std::string> QoFileAndSyncdirCopyRelation::propertiesOrderedArray() {
  // Never destroyed: jobs still running at exit use it.
  static const auto& properties = *new std::vector<std::string>{"syncdirCopy", "file", "vclock"};
  return properties;
}

std::vector<PersistentProperty> QoFileAndSyncdirCopyRelation::propertiesWithEncodedTypes() {
  PersistentProperty vclock = PersistentProperty::data("vclock", &QoFileAndSyncdirCopyRelation::vclock_);
  // The decoded clock follows the stored bytes.
  vclock.set = [](PersistentObject& object, const PersistentValue& value) {
    const auto* bytes = std::get_if<std::string>(&value);
    static_cast<QoFileAndSyncdirCopyRelation&>(object).setVclock(bytes != nullptr ? *bytes : std::string());
  };
  return {PersistentProperty::entity("syncdirCopy", &QoFileAndSyncdirCopyRelation::syncdirCopy_),
          PersistentProperty::entity("file", &QoFileAndSyncdirCopyRelation::file_), vclock};
}

QoFileAndSyncdirCopyRelation::List QoFileAndSyncdirCopyRelation::findByCriteria(
    const std::string& criteria, const std::optional<Parameters>& parameters) {
  return findWithQuery(fmt::format("SELECT * FROM qo_file_and_syncdir_copy_relation LEFT JOIN qo_syncdir_copy ON "
                                   "qo_file_and_syncdir_copy_relation.syncdir_copy=qo_syncdir_copy.pk LEFT JOIN "
                                   "qo_device ON qo_syncdir_copy.device=qo_device.pk LEFT JOIN qo_file ON "
                                   "qo_file_and_syncdir_copy_relation.file=qo_file.pk  {}",
                                   criteria),
                       parameters);
}

QoFileAndSyncdirCopyRelation::List QoFileAndSyncdirCopyRelation::findInUsnOrder(int32_t syncdirCopyPk, int64_t usn,
                                                                                int32_t limit) {
  // The same columns in the same order as findByCriteria, but walked from the file usn index:
  // a page then reads its own rows, already in usn order, instead of sorting the copy's.
  return findWithQuery(
      fmt::format("SELECT qo_file_and_syncdir_copy_relation.*, qo_syncdir_copy.*, qo_device.*, qo_file.* FROM "
                  "qo_file CROSS JOIN qo_file_and_syncdir_copy_relation ON "
                  "qo_file_and_syncdir_copy_relation.file=qo_file.pk LEFT JOIN qo_syncdir_copy ON "
                  "qo_file_and_syncdir_copy_relation.syncdir_copy=qo_syncdir_copy.pk LEFT JOIN qo_device ON "
                  "qo_syncdir_copy.device=qo_device.pk WHERE qo_file_and_syncdir_copy_relation.syncdir_copy={} AND "
                  "qo_file.usn > {} ORDER BY qo_file.usn LIMIT {}",
                  syncdirCopyPk, usn, limit),
      std::nullopt);
}

QoFileAndSyncdirCopyRelation::List QoFileAndSyncdirCopyRelation::findWithQuery(
    const std::string& sql, const std::optional<Parameters>& parameters) {
  List relations;
  Lock lock(getLocker());
  SQLiteStatement statement(database(), sql);
  if (!statement.ok()) {
    QoLog("Error select. {}, {}", statement.errorMessage(), className());
    return relations;
  }
  bindCriteriaParameters(statement, parameters);
  std::map<int32_t, std::shared_ptr<QoSyncdirCopy>> copies;
  std::map<int32_t, std::shared_ptr<QoDevice>> devices;
  std::map<int32_t, std::shared_ptr<QoFile>> files;
  try {
    while (statement.step() == SQLITE_ROW) {
      auto relation = std::make_shared<QoFileAndSyncdirCopyRelation>();
      relation->setPk(statement.columnInt(0));
      const int32_t copyPk = statement.columnInt(1);
      const int32_t filePk = statement.columnInt(2);
      relation->setVclock(statement.columnBlob(3));

      // Only rows whose joined record exists build one (a dangling key reads as none).
      if (copyPk > 0 && !statement.columnIsNull(4)) {
        auto& copy = copies[copyPk];
        if (!copy) {
          copy = std::make_shared<QoSyncdirCopy>();
          copy->setPk(statement.columnInt(4));
          copy->setPath(statement.columnText(5));
          copy->setSyncdirUuid(statement.columnText(7));
          copy->setVcIndex(statement.columnInt(8));
          copy->setUuid(statement.columnText(9));
          const int32_t devicePk = statement.columnInt(6);
          if (devicePk >= 0 && !statement.columnIsNull(10)) {
            auto& device = devices[devicePk];
            if (!device) {
              device = std::make_shared<QoDevice>();
              device->setPk(devicePk);
              device->setPubUri(statement.columnText(11));
              device->setRegisterTime(statement.columnInt64(12));
              device->setPubKey(statement.columnBlob(13));
              device->setUuid(statement.columnText(14));
              device->setRouteUri(statement.columnText(15));
              device->setType(statement.columnInt(16));
              device->setToken(statement.columnText(17));
              device->setName(statement.columnText(18));
              device->setStatus(statement.columnInt(19));
              device->setIsOnline(statement.columnInt(20) != 0);
            }
            copy->setDevice(device);
          }
        }
        relation->syncdirCopy_ = copy;
      }
      if (filePk > 0 && !statement.columnIsNull(21)) {
        auto& file = files[filePk];
        if (!file) {
          file = std::make_shared<QoFile>();
          file->setPk(statement.columnInt(21));
          file->setStatus(statement.columnInt(22));
          file->setLength(statement.columnInt64(23));
          file->setUsn(statement.columnInt64(24));
          file->setAndroidAttr(statement.columnInt(25));
          file->setContentModTime(statement.columnInt64(26));
          file->setWinAttr(statement.columnInt(27));
          file->setPath(statement.columnText(28));
          file->setSha1(statement.columnText(29));
          file->setType(statement.columnInt(30));
          file->setUnixAttr(statement.columnInt(31));
        }
        relation->file_ = file;
      }
      relations.push_back(std::move(relation));
    }
  } catch (const QoException&) {
    // The rows read so far are the answer.
  }
  return relations;
}

void QoFileAndSyncdirCopyRelation::save() {
  LockerGuard transaction(WriteTransaction::locker());
  // Referenced rows that are already stored are not written again from this snapshot.
  if (syncdirCopy_ && syncdirCopy_->pk() < 0) syncdirCopy_->save();
  if (file_) file_->save();
  const auto failure = saveRow(fmt::format("UPDATE {} SET  {}{} vclock=? WHERE pk={}", tableName(),
                                           syncdirCopy_ ? "syncdir_copy=?, " : "", file_ ? "file=?, " : "", pk()),
                               fmt::format("INSERT INTO {} values(null, ?, ?, ?)", tableName()),
                               [this](SQLiteStatement& statement, bool update) {
                                 // An update sets only the references this record holds; an insert has every column.
                                 int position = 1;
                                 if (syncdirCopy_) statement.bindInt(position, syncdirCopy_->pk());
                                 if (syncdirCopy_ || !update) ++position;
                                 if (file_) statement.bindInt(position, file_->pk());
                                 if (file_ || !update) ++position;
                                 statement.bindOptionalBlob(position, vclock_);
                               });
  if (failure) reportWriteFailure(fmt::format("Error inserting or updating row. {}, {}", *failure, className()));
}

std::optional<std::string> QoFileAndSyncdirCopyRelation::vclockData() const {
  if (vclock_.empty()) return std::nullopt;
  return vclock_;
}

void QoFileAndSyncdirCopyRelation::setVclockWithSyncdirCopy(const QoSyncdirCopy& syncdirCopy) {
  Vclock clock(vclockData());
  clock.incClockValueAtIndex(static_cast<uint64_t>(syncdirCopy.vcIndex()));
  setVclock(clock.encode());
}

void QoFileAndSyncdirCopyRelation::setVclockInc() {
  if (syncdirCopy_) setVclockWithSyncdirCopy(*syncdirCopy_);
}

void QoFileAndSyncdirCopyRelation::setVclock(const std::string& data) {
  vclock_ = data;
  vclockObject_ = Vclock(vclockData());
}

void QoFileAndSyncdirCopyRelation::converFileRelativePathToAbsolutePath() {
  if (!file_) return;
  const std::string relative = file_->path();
  // The path comes from a peer: it must stay below the copy's root once joined to it.
  if (!QoUtils::checkPeerPath(relative)) {
    throw QoExceptionZeBadPath::defaultExceptionWithReason("bad path ({}) from peer", relative);
  }
  if (!syncdirCopy_ || !QoUtils::checkPath(syncdirCopy_->path())) {
    throw QoExceptionZeBadPath::defaultExceptionWithReason("path ({}) has no copy root to go below", relative);
  }
  relativeFilePath_ = relative;
  file_->setPath(syncdirCopy_->path() + relative);
}

void QoFileAndSyncdirCopyRelation::mergeVclockFrom(const Vclock& incoming) {
  Vclock merged(vclockData());
  merged.mergeVclock(incoming);
  setVclock(merged.encode());
}

void QoFileAndSyncdirCopyRelation::insertRelationUpdateSha1(bool updateSha1) {
  if (!file_) return;
  auto stored = QoFile::getFileWithPath(file_->path());
  if (stored) file_->setPk(stored->pk());
  file_->setUsnAuto();
  if (updateSha1 && file_->type() == 0 && !(stored && !stored->sha1().empty())) {
    file_->setSha1(QoUtils::getSha1StringWithPath(file_->path()).value_or(""));
  }
  const Vclock incoming = getVclockObject();
  for (const auto& copy : QoSyncdirCopy::getSyncdirCopysWithFilePath(file_->path())) {
    auto relation = file_->getRelationWithSyncdirCopyId(copy->pk());
    if (!relation) relation = std::make_shared<QoFileAndSyncdirCopyRelation>();
    relation->mergeVclockFrom(incoming);
    relation->setFile(file_);
    relation->setSyncdirCopy(copy);
    relation->save();
  }
}

void QoFileAndSyncdirCopyRelation::updateRelation() {
  if (!file_) return;
  file_->setUsnAuto();
  if (file_->type() == 0 && file_->sha1().empty()) {
    file_->setSha1(QoUtils::getSha1StringWithPath(file_->path()).value_or(""));
  }
  const Vclock incoming = getVclockObject();
  for (const auto& relation : file_->getFileRelations()) {
    relation->mergeVclockFrom(incoming);
    relation->setFile(file_);
    relation->save();
  }
}

void QoFileAndSyncdirCopyRelation::deleteRelation() {
  if (!file_) return;
  file_->setStatus(1);
  file_->setUsnAuto();
  if (pk() < 0) {
    // A row left at this path (the path is unique) is marked removed, not inserted again.
    if (auto stored = QoFile::getFileWithPath(file_->path()); stored && file_->pk() < 0) file_->setPk(stored->pk());
    save();
    return;
  }
  const Vclock incoming = getVclockObject();
  for (const auto& relation : file_->getFileRelations()) {
    Vclock merged = incoming;
    merged.mergeVclock(relation->getVclockObject());
    relation->setVclock(merged.encode());
    relation->setFile(file_);
    relation->save();
  }
}

std::string QoFileAndSyncdirCopyRelation::getTempFilePath() {
  const auto name = getTempFileName();
  return name ? name->path() : std::string();
}

std::shared_ptr<const TmpFileName> QoFileAndSyncdirCopyRelation::getTempFileName() {
  if (!tmpFileName_ && file_) tmpFileName_ = std::make_shared<const TmpFileName>(file_->path());
  return tmpFileName_;
}

void QoFileAndSyncdirCopyRelation::releaseTempFilePath() { tmpFileName_.reset(); }

std::string QoFileAndSyncdirCopyRelation::getRelativeFilePath() {
  if (relativeFilePath_.empty() && file_ && syncdirCopy_) {
    const std::string& path = file_->path();
    const size_t rootLength = syncdirCopy_->path().size();
    relativeFilePath_ = path.size() >= rootLength ? path.substr(rootLength) : std::string();
  }
  return relativeFilePath_;
}

std::shared_ptr<TmpFileStream> QoFileAndSyncdirCopyRelation::getTmpFileHandle() {
  if (fileHandle_ && fileHandle_->is_open()) return fileHandle_;
  const std::string path = getTempFilePath();
  if (!syncdirCopy_) {
    QoLog("*** getTmpFileHandle: ({}) has no copy", path);
    return nullptr;
  }
  auto handle = openTmpFile(syncdirCopy_->path(), path);
  if (handle) adoptTmpFileHandle(handle);
  return handle;
}

std::shared_ptr<TmpFileStream> QoFileAndSyncdirCopyRelation::openTmpFile(const std::string& copyRoot,
                                                                         const std::string& tmpPath) {
  try {
    // Never write outside the copy: a folder on the way that is a link raises here.
    const CopyItemFolder folder(copyRoot, tmpPath);
    // Made anew, never a file that stands at the name already (the user's own).
    auto handle = std::make_shared<TmpFileStream>(folder.openEmptyFile(folder.name()));
    if (!handle->is_open()) return nullptr;
    // Its folder stays at hand: moved away or replaced by a link meanwhile, the file is still
    // removed where it then stands. Without a descriptor to spare it is removed by its path.
    struct stat file {};
    if (::fstat(handle->descriptor(), &file) == 0) {
      const int folderFd = folder.duplicateFolderDescriptor();
      if (folderFd >= 0) {
        auto place = std::make_shared<const TmpFilePlace>(folderFd, folder.name(), tmpPath, file);
        // A download the journal could not note would be left for good by a kill: none is made.
        if (!place->noted()) {
          handle->close();
          place->remove();
          return nullptr;
        }
        handle->setPlace(std::move(place));
      }
    }
    return handle;
  } catch (const std::exception& e) {
    QoLog("*** getTmpFileHandle: {}", e.what());
    return nullptr;
  }
}

void QoFileAndSyncdirCopyRelation::closeTmpFileHandle() {
  if (fileHandle_) fileHandle_->close();
  fileHandle_.reset();
}

}  // namespace velbor
