// Sorting a page of a peer's records into the actions of a pull (QoWorkerSync).

#include <algorithm>
#include <cctype>
#include <limits>

#include "core/daemon/sync/EqualContentAttributes.h"
#include "core/daemon/sync/PeerRecordOrder.h"
#include "core/daemon/sync/QoWorkerSync.h"
#include "core/entity/FileFetchEvent.h"
#include "core/entity/LocalVersion.h"
#include "core/entity/QoFile.h"
#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/entity/QoSyncdirCopyRelation.h"
#include "core/entity/RecordsRefused.h"
#include "core/proto/QoPbMessageCode.h"
#include "core/state/DataSource.h"
#include "core/state/QoPeer.h"
#include "core/utils/QoUtils.h"
#include "core/utils/SmartDebugger.h"
#include "core/utils/Vclock.h"
#include "framework/errors/QoExceptionProto.h"
#include "framework/persistence/WriteTransaction.h"
#include "platform/LockerGuard.h"
#include "platform/QoLog.h"

namespace velbor {
namespace {

using Relation = QoWorkerSync::Relation;
using RelationList = QoWorkerSync::RelationList;

bool isDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

// Texts compared character by character, except that runs of digits compare by their value.
int compareNumeric(const std::string& a, const std::string& b) {
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (isDigit(a[i]) && isDigit(b[j])) {
      while (i + 1 < a.size() && a[i] == '0' && isDigit(a[i + 1])) ++i;
      while (j + 1 < b.size() && b[j] == '0' && isDigit(b[j + 1])) ++j;
      const size_t startA = i;
      const size_t startB = j;
      while (i < a.size() && isDigit(a[i])) ++i;
      while (j < b.size() && isDigit(b[j])) ++j;
      if (i - startA != j - startB) return i - startA < j - startB ? -1 : 1;
      const int digits = a.compare(startA, i - startA, b, startB, j - startB);
      if (digits != 0) return digits < 0 ? -1 : 1;
      continue;
    }
    if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]) ? -1 : 1;
    ++i;
    ++j;
  }
  if (i < a.size()) return 1;
  return j < b.size() ? -1 : 0;
}

// The local record as a deletion of the peer's record `incoming`: a failure is that peer
// record's, to be fetched again.
Relation deletionOfLocal(const Relation& local, const Relation& incoming) {
  auto file = std::make_shared<QoFile>(*local->file());
  file->setUsn(incoming->file()->usn());
  auto deletion = std::make_shared<QoFileAndSyncdirCopyRelation>();
  deletion->setPkPublic(local->pk());
  deletion->setSyncdirCopy(local->syncdirCopy());
  deletion->setFile(file);
  deletion->setVclock(local->vclock());
  deletion->setRemoteSyncdirCopyUuid(incoming->getRemoteSyncdirCopyUuid());
  deletion->setFileFetchEvent(EventDeleteFile);
  return deletion;
}

// Removes the local item for good; a database that refuses records as a whole stops the pull.
bool deleteLocal(QoFileAndSyncdirCopyRelation& deletion) {
  const bool removed = deletion.handleFetchEvent(EventDeleteFile);
  RecordsRefused::raiseIfNoted();
  return removed;
}

}  // namespace

bool QoWorkerSync::removeReplacedFolder(const Relation& local, const Relation& incoming, RelationList& deleteArray) {
  // The deletions this page lists below the folder go first, deepest first; the folder
  // follows only when they left it empty. Anything else in it is local content the peer has
  // not seen.
  const std::string prefix = local->file()->path() + "/";
  RelationList contents;
  std::erase_if(deleteArray, [&](const Relation& deletion) {
    if (!deletion->file() || deletion->file()->path().compare(0, prefix.size(), prefix) != 0) return false;
    contents.push_back(deletion);
    return true;
  });
  std::sort(contents.begin(), contents.end(), QoFileAndSyncdirCopyRelation::sortComparatorDesc());
  for (const auto& deletion : contents) applyDeletion(deletion);
  if (!folderHoldsOnlyDownloads(local->file()->path())) {
    QoLog("Folder({}) holds local content, its replacement comes in as a conflict", local->file()->path());
    return false;
  }
  return deleteLocal(*deletionOfLocal(local, incoming));
}

int64_t QoWorkerSync::getCompareResultWithStatList(const StatList& statList, const Pairing& syncdirCopyRelation,
                                                   RelationList& dirCreateArray, RelationList& fileCreateArray,
                                                   RelationList& updateArray, RelationList& updateDirArray,
                                                   RelationList& deleteArray, RelationList& conflictArray,
                                                   RelationList& updateWithoutDownload, int64_t& maxUsn, int64_t& count,
                                                   const std::vector<std::string>& uuidListRemote,
                                                   const std::vector<std::string>& uuidListLocal) {
  maxUsn = -1;
  count = 0;
  int64_t bytes = 0;
  QoAssert(syncdirCopyRelation && syncdirCopyRelation->firstSyncdirCopy() && syncdirCopyRelation->secondSyncdirCopy(),
           "parameters can not be nil");
  const auto& localCopy = syncdirCopyRelation->firstSyncdirCopy();
  const std::string failedKey = syncdirCopyRelation->relationHash();
  // Which side of a conflict takes the conflict name, the same on both devices.
  const bool renameLocalWhenConflict =
      compareNumeric(localCopy->uuid(), syncdirCopyRelation->secondSyncdirCopy()->uuid()) <= 0;
  const PeerRecordOrder order(uuidListLocal, localCopy->uuid(), syncdirCopyRelation->secondSyncdirCopy()->uuid());
  // No file larger than the whole disk of the copy can ever come in: such a record fails
  // alone, rather than making every page it is on wait for space that cannot be.
  const double capacity = QoUtils::getDiskTotalSpace(localCopy->path());
  const auto neverFits = [capacity](const pb::Stat& stat) {
    return stat.type() == pb::FileTypeFile && stat.status() == pb::FileStatusPresent && capacity >= 0 &&
           static_cast<double>(stat.length()) > capacity;
  };

  // One record into its list; answers the bytes it adds to the download.
  const auto classify = [&](const Relation& record, const Relation& local, int comparison) -> int64_t {
    QoFile& remote = *record->file();
    switch (comparison) {
      case VclockCompareEqual:
      case VclockCompareAfter:
        return 0;
      case VclockCompareBefore:
        break;
      case VclockCompareConcurrent: {
        QoAssert(local != nullptr, "");
        const QoFile& localFile = *local->file();
        ++count;
        if (remote.type() == 0 && localFile.type() == 0 && remote.sha1() == localFile.sha1() &&
            localFile.status() != 1) {
          // The same content on both sides: both devices settle on one set of attributes.
          EqualContentAttributes::settle(remote, localFile, renameLocalWhenConflict);
          updateWithoutDownload.push_back(record);
        } else {
          record->setFileFetchEvent(conflictEventOf(remote.type(), localFile.type()));
          conflictArray.push_back(record);
        }
        return 0;
      }
      default:
        QoAssert(false, "Unkown vcResult type!! {}", comparison);
    }
    const QoFile* localFile = local ? local->file().get() : nullptr;
    if (remote.status() == 1) {
      // What goes is the local item, whatever the peer's record was.
      if (localFile && localFile->type() != remote.type()) remote.setType(localFile->type());
      record->setFileFetchEvent(EventDeleteFile);
      deleteArray.push_back(record);
      ++count;
      return 0;
    }
    if (localFile && localFile->status() != 1 && localFile->type() != remote.type()) {
      const bool gone = localFile->type() == 1 ? removeReplacedFolder(local, record, deleteArray)
                                               : deleteLocal(*deletionOfLocal(local, record));
      if (!gone) {
        if (localFile->type() != 1) return 0;  // refused and marked failed by the deletion
        record->setFileFetchEvent(EventDFConflict);
        conflictArray.push_back(record);
        ++count;
        return 0;
      }
      localFile = nullptr;
      // What an install meets at the path now is the removal just recorded.
      record->setLocalVersion(LocalVersion::of(localCopy->getFileRelationWithFilePath(remote.path()).get()));
    }
    ++count;
    if (!localFile || localFile->status() == 1) {
      if (remote.type() == 1) {
        record->setFileFetchEvent(EventCreateDirectory);
        dirCreateArray.push_back(record);
        return 0;
      }
      record->setFileFetchEvent(remote.length() == 0 ? EventCreateEmptyFile : EventCreateFile);
      fileCreateArray.push_back(record);
      return remote.length();
    }
    record->setFileFetchEvent(remote.type() == 1 ? EventUpdateDirectory : EventUpdateFile);
    if (remote.type() == 1) {
      updateDirArray.push_back(record);
    } else if (localFile->type() == 0 && remote.sha1() == localFile->sha1()) {
      updateWithoutDownload.push_back(record);
    } else {
      updateArray.push_back(record);
      return remote.length();
    }
    return 0;
  };

  // Under the locker every writer of records takes (the monitor, other pulls): the page is
  // compared with one local state, not with one that a record half-written changes midway.
  LockerGuard lock(WriteTransaction::locker());
  for (const pb::Stat& stat : statList) {
    try {
      if (!stat.IsInitialized()) {
        // A record the page could not fully carry (a field missing, a type or status outside
        // their sets): skipped alone, and asked for again while it stays so.
        QoLog("*** getCompareResultWithFindResponse Failed, record({}) at usn({}) is incomplete: {}", stat.path(),
              stat.usn(), stat.InitializationErrorString());
        if (stat.has_usn()) DataSource::sharedDataSource().setSyncdirCopyRelationFailedUsn(failedKey, stat.usn());
      } else if (stat.path() == "/") {
        QoLog("WARNING if syncdir root(\"/\") need handle?????");
      } else if (QoFile::matchIgnoreFilter(stat.path())) {
        QoLog("Change Ignore, {},", stat.path());
      } else {
        try {
          if (stat.length() < 0 || neverFits(stat)) {
            throw QoExceptionZeBadFormat::defaultExceptionWithReason("({}) has length {}", stat.path(), stat.length());
          }
          const Relation record =
              QoPeer::convertToFileRelationFromPbStat(&stat, syncdirCopyRelation, uuidListLocal, uuidListRemote);
          const Relation local = localCopy->getFileRelationWithFilePath(record->file()->path());
          SmartDebugger::sharedSmartDebugger().debug("SyncFile", "{} vclock({})", description(stat),
                                                     record->getVclockObject().description());
          // Installed against this local record only: one changed meanwhile is compared again.
          record->setLocalVersion(LocalVersion::of(local.get()));
          int comparison = VclockCompareBefore;
          if (local) {
            QoAssert(local->file() && record->file(), "");
            comparison = order.compare(*local, *record);
            record->setPkPublic(local->pk());
            record->file()->setPkPublic(local->file()->pk());
            record->setFileRelationLocal(local);
          }
          // Also for a path with nothing here yet: something may be by the time it is installed.
          record->setIsRenameLocalWHenConflict(renameLocalWhenConflict);
          record->setRemoteSyncdirCopyUuid(syncdirCopyRelation->secondSyncdirCopy()->uuid());
          // Saturates: a total past what any disk holds is refused by the free-space check.
          const int64_t added = classify(record, local, comparison);
          bytes =
              added > std::numeric_limits<int64_t>::max() - bytes ? std::numeric_limits<int64_t>::max() : bytes + added;
        } catch (const Exception& e) {
          // Refused (a bad path is QoExceptionZeBadPath) or failed: fetched again next time.
          QoLog("*** getCompareResultWithFindResponse Failed, {}: {}", e.name(), e.reason());
          DataSource::sharedDataSource().setSyncdirCopyRelationFailedUsn(failedKey, stat.usn());
        }
      }
    } catch (...) {
      maxUsn = std::max(maxUsn, stat.usn());
      throw;
    }
    maxUsn = std::max(maxUsn, stat.usn());
  }
  return bytes;
}

}  // namespace velbor
