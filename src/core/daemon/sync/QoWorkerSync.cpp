// Applying the actions of a pull (QoWorkerSync). Every change to disk and database is made by
// the fetch events of the records, each in its own transaction; these operations choose the
// event, the order and the progress notices.

#include "core/daemon/sync/QoWorkerSync.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/daemon/sync/FoldersRespelledHere.h"
#include "core/daemon/sync/InstallReclassifier.h"
#include "core/daemon/sync/PeerFolderRemovals.h"
#include "core/daemon/sync/SpellingMerge.h"
#include "core/entity/CopyItemFolder.h"
#include "core/entity/DownloadJournal.h"
#include "core/entity/FileFetchEvent.h"
#include "core/entity/NameSpelling.h"
#include "core/entity/QoFile.h"
#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/entity/QoSyncdirCopyRelation.h"
#include "core/entity/RecordsRefused.h"
#include "core/entity/SyncdirMark.h"
#include "core/entity/TmpFileName.h"
#include "core/state/DataSource.h"
#include "core/state/SyncFileProcessBox.h"
#include "core/utils/QoUtils.h"
#include "framework/persistence/DatabaseRefusal.h"
#include "framework/persistence/WriteTransaction.h"
#include "platform/Exception.h"
#include "platform/LockerGuard.h"
#include "platform/QoLog.h"

namespace velbor {
namespace {

using Relation = QoWorkerSync::Relation;
using RelationList = QoWorkerSync::RelationList;

// SHA-1 texts in one total order: ignoring letter case first, then exactly.
int compareSha1(const std::string& a, const std::string& b) {
  const int folded = QoUtils::caseInsensitiveCompare(a, b);
  return folded != 0 ? folded : a.compare(b);
}

// Whether a deletion can be the old path of a rename: the peer removed a file whose local
// record is present with the same SHA-1, and a regular file stands there.
bool isRenameSource(const QoFileAndSyncdirCopyRelation& deletion) {
  const auto& removed = *deletion.file();
  const auto& local = deletion.getFileRelationLocal();
  if (removed.type() != 0 || removed.sha1().empty() || !local || !local->file()) return false;
  const QoFile& localFile = *local->file();
  if (localFile.type() != 0 || localFile.status() != 0 || localFile.sha1() != removed.sha1()) return false;
  // Where the disk ignores letter case, the old path may answer for the new one.
  struct stat status {};
  const std::string root = deletion.syncdirCopy() ? deletion.syncdirCopy()->path() : std::string();
  return NameSpelling::lstatAsSpelled(root, localFile.path(), status) == 0 && S_ISREG(status.st_mode);
}

// Whether `path` lies inside the folder `folder`.
bool isBelow(const std::string& path, const std::string& folder) {
  return path.size() > folder.size() + 1 && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

// The record, its copy, its file and the copy's device; a missing one fails an assertion.
void assertComplete(const Relation& record) {
  QoAssert(record && record->syncdirCopy() && record->file() && record->syncdirCopy()->device(), "");
}

// Whether the peer removed the folder that `path` names in the spelling `spelling` (its last
// name): it names it under the old spellings of the folders above it, which may have taken
// their new ones here already.
bool removedThere(const QoWorkerSync::RelationList& deletions, const std::string& path, const std::string& spelling) {
  const size_t nameAt = path.rfind('/') + 1;
  const std::string oldPath = path.substr(0, nameAt) + spelling;
  return std::any_of(deletions.begin(), deletions.end(), [&](const QoWorkerSync::Relation& deletion) {
    if (!deletion || !deletion->file() || deletion->file()->type() != 1) return false;
    const std::string& removed = deletion->file()->path();
    return removed.size() == oldPath.size() && removed.compare(nameAt, std::string::npos, spelling) == 0 &&
           NameSpelling::sameFolded(removed, oldPath);
  });
}

}  // namespace

void QoWorkerSync::setFailedUsn(const QoFileAndSyncdirCopyRelation& record, int64_t usn) {
  const std::string copyUuid = record.syncdirCopy() ? record.syncdirCopy()->uuid() : std::string();
  DataSource::sharedDataSource().setSyncdirCopyRelationFailedUsn(
      QoSyncdirCopyRelation::hashWithFirstUuid(copyUuid, record.getRemoteSyncdirCopyUuid()), usn);
}

bool QoWorkerSync::folderHoldsOnlyDownloads(const std::string& path) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return true;
  std::error_code error;
  std::filesystem::directory_iterator entry(path, error);
  for (; !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) {
    // A file of the user's named like a download is not one.
    if (!TmpFileName::isTemporaryName(entry->path().filename().string()) ||
        !DownloadJournal::shared().madeHere(entry->path().string())) {
      return false;
    }
  }
  // A folder that cannot be listed is not known to be empty.
  return !error;
}

bool QoWorkerSync::isSameFile(const std::string& one, const std::string& other) {
  struct stat first {};
  struct stat second {};
  return lstat(one.c_str(), &first) == 0 && lstat(other.c_str(), &second) == 0 && S_ISREG(first.st_mode) &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

bool QoWorkerSync::folderHoldsLocalContent(const std::string& root, const std::string& path) {
  struct stat status {};
  // A folder listed under another spelling is not the one at the path.
  if (NameSpelling::lstatAsSpelled(root, path, status) != 0 || !S_ISDIR(status.st_mode)) return false;
  std::vector<std::string> below;
  try {
    below = CopyItemFolder::listTree(root, path);
  } catch (const std::exception& e) {
    // A folder that cannot be listed is not known to hold nothing.
    QoLog("*** Folder({}) cannot be listed, {}", path, e.what());
    return true;
  }
  for (const std::string& item : below) {
    const std::string name = item.substr(item.rfind('/') + 1);
    // Left behind by the deletion itself, or ours to remove with the folder.
    if (TmpFileName::isTemporaryName(name) || QoFile::matchIgnoreFilter(item)) continue;
    if (lstat(item.c_str(), &status) != 0) continue;
    if (S_ISREG(status.st_mode)) return true;
    if (!S_ISDIR(status.st_mode)) continue;  // links and the like are never synchronised
    // A folder the peer's deletions recorded removed stays only for what was never synchronised.
    const auto stored = QoFile::getFileWithPath(item);
    if (!stored || stored->status() != 1 || stored->type() != 1) return true;
  }
  return false;
}

bool QoWorkerSync::moveIntoRespelling(const std::string& root, const std::string& path) {
  const auto respelling = SpellingMerge::respellingOf(root, path);
  if (!respelling) return false;
  QoLog("Folder({}) removed by a peer that holds ({}): what it holds here goes there", path, *respelling);
  return SpellingMerge::merge(root, path, *respelling);
}

bool QoWorkerSync::applyDeletion(const Relation& record) {
  const QoFile& file = *record->file();
  // Held from the look into the folder until it is removed: another pull may install a file
  // of a version this deletion never saw into it meanwhile, and that file must stop it.
  LockerGuard lock(WriteTransaction::locker());
  const std::string& root = record->syncdirCopy()->path();
  if (file.type() == 1 && folderHoldsLocalContent(root, file.path()) &&
      (!moveIntoRespelling(root, file.path()) || folderHoldsLocalContent(root, file.path()))) {
    QoLog("*** Folder({}) still holds items the peer did not remove, it stays", file.path());
    setFailedUsn(*record, file.usn());
    return false;
  }
  return InstallReclassifier::install(record, EventDeleteFile, false);
}

RelationList QoWorkerSync::computeToRenameFilesByDeleteArray(RelationList& deleteArray, RelationList& insertArray) {
  const auto bySha1 = [](const Relation& a, const Relation& b) {
    QoAssert(a && b && a->file() && b->file(), "");
    return compareSha1(a->file()->sha1(), b->file()->sha1()) < 0;
  };
  RelationList deletions = deleteArray;
  RelationList insertions = insertArray;
  std::sort(deletions.begin(), deletions.end(), bySha1);
  std::sort(insertions.begin(), insertions.end(), bySha1);

  RelationList renames;
  std::unordered_set<const QoFileAndSyncdirCopyRelation*> paired;
  size_t d = 0;
  size_t i = 0;
  while (d < deletions.size() && i < insertions.size()) {
    const Relation& deletion = deletions[d];
    const Relation& insertion = insertions[i];
    QoAssert(deletion && insertion && deletion->file() && insertion->file(), "");
    if (!isRenameSource(*deletion)) {
      ++d;
      continue;
    }
    const int order = compareSha1(deletion->file()->sha1(), insertion->file()->sha1());
    if (order < 0) {
      ++d;
    } else if (order > 0 || insertion->file()->type() != 0) {
      ++i;
    } else {
      insertion->setFileRelationLocal(deletion);
      insertion->file()->setUsn(std::min(deletion->file()->usn(), insertion->file()->usn()));
      renames.push_back(insertion);
      paired.insert(deletion.get());
      paired.insert(insertion.get());
      ++d;
      ++i;
    }
  }
  const auto isPaired = [&](const Relation& record) { return paired.count(record.get()) != 0; };
  std::erase_if(deleteArray, isPaired);
  std::erase_if(insertArray, isPaired);
  std::sort(renames.begin(), renames.end(), QoFileAndSyncdirCopyRelation::sortComparator());
  return renames;
}

bool QoWorkerSync::applyRename(const Relation& record) {
  const Relation oldPath = record->getFileRelationLocal();
  // The events give the records local usns: what must be fetched again is the peer's.
  const int64_t peerUsn = record->file() ? record->file()->usn() : 0;
  const int64_t oldPathPeerUsn = oldPath && oldPath->file() ? oldPath->file()->usn() : 0;
  // Both names reach one file (a disk that folds case, "a.txt" renamed "A.txt"): removing the
  // old name once the file has its new one would remove the file itself.
  const bool oneItem =
      oldPath && oldPath->file() && record->file() && isSameFile(oldPath->file()->path(), record->file()->path());
  // The new path and the old one's removal are one change: in one transaction, under the
  // locker every other writer (the monitor) takes, so no one ever finds the file moved while
  // its old path is still recorded present, and takes that for a local removal.
  WriteTransaction transaction(WriteTransaction::beginLater);
  bool moved = false;
  try {
    transaction.begin();
    // Sorted as a rename against what was recorded at both paths then: a path changed here
    // since (an edit recorded, another pull's install) is sorted again, the new path as it is
    // fetched now, the old one by the next pull.
    if (!InstallReclassifier::localAsCompared(*record) ||
        (oldPath && !InstallReclassifier::localAsCompared(*oldPath))) {
      QoLog("Rename({}) not made, a path of it changed here since it was compared", record->file()->path());
      transaction.rollback();
      if (oldPath) setFailedUsn(*oldPath, oldPathPeerUsn);
      return false;
    }
    // Refused records are the database's as a whole: handled below like a refused commit.
    const auto raiseIfRefused = [] {
      if (auto cause = RecordsRefused::takeNoted()) throw DatabaseRefusal(*cause);
    };
    // A failed rename leaves the transaction to roll back.
    if (!record->handleFetchEvent(EventRenameFile)) {
      raiseIfRefused();
      return false;
    }
    moved = true;
    // The old path is gone from disk: it is recorded removed as the peer removed it.
    if (oneItem) {
      oldPath->deleteRelation();
    } else if (oldPath) {
      oldPath->handleFetchEvent(EventDeleteFile);
      raiseIfRefused();
    }
    transaction.commit();
  } catch (const Exception& e) {
    // Moves the file back where it was recorded.
    transaction.rollback();
    QoLog("*** Rename({}) not recorded, {}", record->file() ? record->file()->path() : std::string(), e.what());
    if (dynamic_cast<const DatabaseRefusal*>(&e) != nullptr) {
      setFailedUsn(*record, peerUsn);
      if (oldPath) setFailedUsn(*oldPath, oldPathPeerUsn);
      throw RecordsRefused(e.what());
    }
    if (!moved) return false;
    // Neither path is recorded as moved: both come again with the next pull.
    setFailedUsn(*record, peerUsn);
    if (oldPath) setFailedUsn(*oldPath, oldPathPeerUsn);
  }
  return true;
}

RelationList QoWorkerSync::renameFiles(const RelationList& records) {
  RelationList failed;
  for (const auto& record : records) {
    if (applyRename(record)) continue;
    // Fetched like any other record of its list: against the local record of its own path.
    record->setFileRelationLocal(record->syncdirCopy() && record->file()
                                     ? record->syncdirCopy()->getFileRelationWithFilePath(record->file()->path())
                                     : nullptr);
    failed.push_back(record);
  }
  return failed;
}

void QoWorkerSync::respellFolders(const RelationList& dirs, const RelationList& deletions, const RelationList& renames,
                                  const RelationList& arriving) {
  respellFoldersAbove(arriving, dirs, deletions);
  for (const auto& record : dirs) {
    if (!record || !record->file() || !record->syncdirCopy()) continue;
    const std::string& path = record->file()->path();
    try {
      const CopyItemFolder folder(record->syncdirCopy()->path(), path);
      const auto spelling = folder.otherSpelling(folder.name());
      if (!spelling || spelling->empty()) continue;
      const std::string oldPath = path.substr(0, path.rfind('/') + 1) + *spelling;
      // The peer may still hold the old spelling (made again there for a file arriving in it).
      // A spelling this device recorded removed when it took the one it holds is not taken back
      // so: the peer made it again, and moves a file back into it.
      const auto here = record->syncdirCopy()->getFileRelationWithFilePath(path);
      const bool leftHere = here && here->file() && here->file()->status() == 1;
      const bool movedThere = !leftHere && std::any_of(renames.begin(), renames.end(), [&](const Relation& rename) {
        const auto& from = rename ? rename->getFileRelationLocal() : nullptr;
        if (!from || !from->file() || !rename->file() || !isBelow(rename->file()->path(), path)) return false;
        const std::string& moved = from->file()->path();
        return isBelow(moved, moved.substr(0, oldPath.size())) &&
               moved.compare(path.rfind('/') + 1, spelling->size(), *spelling) == 0 &&
               NameSpelling::sameFolded(moved.substr(0, oldPath.size()), oldPath);
      });
      if (!removedThere(deletions, path, *spelling) && !movedThere && !spellingGone(*record, oldPath)) continue;
      // Under the locker of every writer of records: the monitor never sees the folder moved
      // halfway through the pull's view of it.
      LockerGuard lock(WriteTransaction::locker());
      const auto item = folder.status(*spelling);
      if (!item || !S_ISDIR(item->st_mode)) continue;
      folder.renameInLetterCase(*spelling, folder.name());
      QoLog("Folder({}) takes the spelling ({}) it has on the peer", oldPath, path);
      // Its name is free now: made at once, not after the wait of an earlier refusal.
      InstallReclassifier::clashOver(*record);
    } catch (const std::exception& e) {
      // Its files then come as the old folder's removal and new downloads.
      QoLog("*** Folder({}) not given its new spelling, {}", path, e.what());
    }
  }
}

void QoWorkerSync::respellFoldersAbove(const RelationList& arriving, const RelationList& dirs,
                                       const RelationList& deletions) {
  std::set<std::string> looked;
  // Only a disk that ignores letter case holds a folder in another spelling than the peer's; the
  // copy's mark, always there, tells how it takes case.
  std::map<std::string, bool> ignoresCase;
  for (const auto& record : arriving) {
    if (!record || !record->file() || !record->syncdirCopy()) continue;
    const std::string& root = record->syncdirCopy()->path();
    const auto known = ignoresCase.try_emplace(root, false);
    if (known.second) known.first->second = NameSpelling::ignoresCase(root, std::string(SyncdirMark::kName));
    if (!known.first->second) continue;
    const std::string& path = record->file()->path();
    const size_t slash = path.rfind('/');
    // Each folder once a page; the items of the root have none above them.
    if (slash == std::string::npos || slash <= root.size() || !looked.insert(path.substr(0, slash)).second) continue;
    try {
      const auto clash = SpellingMerge::clashOnTheWay(root, path.substr(0, slash));
      if (!clash || clash->second.empty()) continue;
      const auto& [newPath, spelling] = *clash;
      const std::string oldPath = newPath.substr(0, newPath.rfind('/') + 1) + spelling;
      // Only a removal this page brings counts, or this device's own record of it: the page's
      // removals were found newer than what this device holds, while an earlier word of the
      // peer's may be older than the spelling the user gave the folder here since.
      const auto here = record->syncdirCopy()->getFileRelationWithFilePath(oldPath);
      const bool removedHere = here && here->file() && here->file()->type() == 1 && here->file()->status() == 1;
      if (!removedThere(deletions, newPath, spelling) && !removedHere) continue;
      LockerGuard lock(WriteTransaction::locker());
      const CopyItemFolder folder(root, newPath);
      const auto item = folder.status(spelling);
      if (!item || !S_ISDIR(item->st_mode)) continue;
      folder.renameInLetterCase(spelling, folder.name());
      QoLog("Folder({}) takes the spelling ({}) the peer names its items under", oldPath, newPath);
      for (const auto& below : dirs) {
        if (below && below->file() && isBelow(below->file()->path(), newPath)) InstallReclassifier::clashOver(*below);
      }
    } catch (const std::exception& e) {
      QoLog("*** Folder above ({}) not given its new spelling, {}", path, e.what());
    }
  }
}

bool QoWorkerSync::spellingGone(const QoFileAndSyncdirCopyRelation& record, const std::string& oldPath) {
  const auto& copy = record.syncdirCopy();
  if (!copy || oldPath.compare(0, copy->path().size(), copy->path()) != 0) return false;
  // Kept here, recorded removed, only for entries never synchronised (or removed a moment ago).
  const auto here = copy->getFileRelationWithFilePath(oldPath);
  if (here && here->file() && here->file()->type() == 1 && here->file()->status() == 1) return true;
  return PeerFolderRemovals::shared().removed(copy->uuid(), record.getRemoteSyncdirCopyUuid(),
                                              oldPath.substr(copy->path().size()));
}

std::vector<std::string> QoWorkerSync::folders(const RelationList& records, bool removed) {
  std::vector<std::string> paths;
  for (const auto& record : records) {
    if (record && record->file() && record->file()->type() == 1 && (record->file()->status() == 1) == removed) {
      paths.push_back(record->file()->path());
    }
  }
  return paths;
}

void QoWorkerSync::mergeIntoNewSpelling(const std::string& root, const std::set<std::string>& removed,
                                        const std::set<std::string>& made) {
  // The deepest first: a folder respelled inside one respelled itself is merged into its own
  // new spelling before its parent brings what is left over.
  std::vector<std::string> oldPaths(removed.begin(), removed.end());
  std::sort(oldPaths.begin(), oldPaths.end(), [](const std::string& a, const std::string& b) {
    const auto depth = [](const std::string& path) { return std::count(path.begin(), path.end(), '/'); };
    return depth(a) != depth(b) ? depth(a) > depth(b) : a < b;
  });
  // Spellings of one another share a key: their folded form.
  const auto keyOf = [](const std::string& path) { return NameSpelling::folded(path); };
  std::unordered_multimap<std::string, std::string> madeByKey;
  for (const std::string& path : made) madeByKey.emplace(keyOf(path), path);
  for (const std::string& oldPath : oldPaths) {
    const auto [first, last] = madeByKey.equal_range(keyOf(oldPath));
    const auto found = std::find_if(first, last, [&](const auto& entry) {
      return entry.second != oldPath && NameSpelling::sameFolded(entry.second, oldPath);
    });
    if (found == last) continue;
    const std::string& newPath = found->second;
    try {
      LockerGuard lock(WriteTransaction::locker());
      struct stat status {};
      // Both spellings stand apart only where the disk tells them apart.
      if (NameSpelling::lstatAsSpelled(root, oldPath, status) != 0 || !S_ISDIR(status.st_mode) ||
          NameSpelling::lstatAsSpelled(root, newPath, status) != 0 || !S_ISDIR(status.st_mode)) {
        continue;
      }
      QoLog("Folder({}) respelled ({}) on the peer: what it holds here goes there", oldPath, newPath);
      if (SpellingMerge::merge(root, oldPath, newPath)) SpellingMerge::removeIfEmpty(root, oldPath);
    } catch (const std::exception& e) {
      QoLog("*** Folder({}) not merged into ({}), {}", oldPath, newPath, e.what());
    }
  }
}

std::map<std::string, std::string> QoWorkerSync::respelledHere(const std::string& root, const RelationList& records) {
  std::set<std::string> folders;
  for (const auto& record : records) {
    if (!record || !record->file()) continue;
    const std::string& path = record->file()->path();
    if (!isBelow(path, root)) continue;
    if (record->file()->type() == 1) folders.insert(path);
    for (size_t slash = path.rfind('/'); slash != std::string::npos && slash > root.size();
         slash = path.rfind('/', slash - 1)) {
      if (!folders.insert(path.substr(0, slash)).second) break;
    }
  }
  std::map<std::string, std::string> respelled;
  for (const std::string& folder : folders) {
    struct stat status {};
    // Mostly the folder is there as spelled: one look.
    if (NameSpelling::lstatAsSpelled(root, folder, status) == 0) continue;
    const auto stored = QoFile::getFileWithPath(folder);
    if (!stored || stored->type() != 1) continue;
    // Still recorded present: renamed a moment ago, before the monitor recorded it.
    const auto rename =
        stored->status() == 0 ? SpellingMerge::Rename::kNotYetRecorded : SpellingMerge::Rename::kRecorded;
    if (const auto spelling = SpellingMerge::respellingOf(root, folder, rename)) respelled.emplace(folder, *spelling);
  }
  return respelled;
}

void QoWorkerSync::mergeIntoRespelling(const std::string& root, const std::map<std::string, std::string>& respelled) {
  // The deepest first: what a respelled folder inside holds goes its own way before its parent's.
  for (auto it = respelled.rbegin(); it != respelled.rend(); ++it) {
    const std::string& oldPath = it->first;
    try {
      LockerGuard lock(WriteTransaction::locker());
      struct stat status {};
      if (NameSpelling::lstatAsSpelled(root, oldPath, status) != 0 || !S_ISDIR(status.st_mode)) continue;
      // The spelling found before the pull, while it stands; else the one recorded since.
      std::optional<std::string> respelling = it->second;
      if (NameSpelling::lstatAsSpelled(root, it->second, status) != 0 || !S_ISDIR(status.st_mode)) {
        respelling = SpellingMerge::respellingOf(root, oldPath);
      }
      if (!respelling) continue;
      QoLog("Folder({}) made again for a peer's items, respelled ({}) here: they go there", oldPath, *respelling);
      if (SpellingMerge::merge(root, oldPath, *respelling)) SpellingMerge::removeIfEmpty(root, oldPath);
    } catch (const std::exception& e) {
      QoLog("*** Folder({}) not merged into its spelling here, {}", oldPath, e.what());
    }
  }
}

void QoWorkerSync::restoreMissingFolders(const RelationList& records) {
  for (const auto& record : records) {
    if (!record || !record->file() || record->file()->status() != 0) continue;
    // A folder on the way renamed here in letter case a moment ago, after the pull's start looked
    // (see respelledHere): made again below, it goes back into that spelling when the page ends.
    const std::string& path = record->file()->path();
    struct stat folder {};
    if (record->syncdirCopy() && ::lstat(path.substr(0, path.rfind('/')).c_str(), &folder) != 0) {
      FoldersRespelledHere::shared().note(respelledHere(record->syncdirCopy()->path(), {record}));
    }
    record->restoreMissingFolders();
  }
}

bool QoWorkerSync::createDirectorysRelation(const Pairing& syncdirCopyRelation, const RelationList& dirs) {
  for (const auto& record : dirs) {
    assertComplete(record);
    SyncFileProcessBox::sendSyncFileDownloadCreateDir(syncdirCopyRelation, record->getRelativeFilePath());
    // One at a time, in path order: a folder the peer sends is made by its own record first.
    restoreMissingFolders({record});
    InstallReclassifier::install(record, record->getFileFetchEvent(), false);
  }
  return true;
}

bool QoWorkerSync::deleteRelation(const Pairing& syncdirCopyRelation, const RelationList& files) {
  for (const auto& record : files) {
    QoAssert(syncdirCopyRelation != nullptr, "");
    assertComplete(record);
    SyncFileProcessBox::sendSyncFileDownloadDeleteFile(syncdirCopyRelation, record->getRelativeFilePath());
    applyDeletion(record);
  }
  return true;
}

bool QoWorkerSync::updateFilesWithoutDownload(const RelationList& files) {
  // A file/file conflict of equal content is exactly this update: the local file must still
  // be as recorded, then it takes the record's permissions and time, in one transaction.
  for (const auto& record : files) InstallReclassifier::install(record, EventFFConflict, false);
  return true;
}

bool QoWorkerSync::fetchInBatches(const RelationList& files, const std::function<void()>& connect,
                                  const std::function<void(const RelationList&, const RelationList&)>& fetchBatch,
                                  const std::function<void()>& disconnect) {
  if (files.empty()) return true;
  // Applying a record gives it a local usn: what must be fetched again is the peer's.
  std::vector<int64_t> peerUsns;
  peerUsns.reserve(files.size());
  for (const auto& record : files) peerUsns.push_back(record && record->file() ? record->file()->usn() : 0);
  size_t next = 0;  // the first record not known to be through the fetcher
  const auto markRestFailed = [&] {
    for (size_t index = next; index < files.size(); ++index) {
      if (files[index]) setFailedUsn(*files[index], peerUsns[index]);
    }
  };
  bool fetched = true;
  try {
    connect();
    while (next < files.size()) {
      const size_t end = std::min(files.size(), next + kFetchBatchSize);
      const size_t after = std::min(files.size(), end + kFetchLookaheadBatches * kFetchBatchSize);
      const auto slice = [&](size_t from, size_t to) {
        return RelationList(files.begin() + static_cast<std::ptrdiff_t>(from),
                            files.begin() + static_cast<std::ptrdiff_t>(to));
      };
      fetchBatch(slice(next, end), slice(end, after));
      next = end;
    }
  } catch (const Exception& e) {
    QoLog("{}", e.what());
    markRestFailed();
    fetched = false;
  } catch (...) {
    markRestFailed();
    disconnect();
    throw;
  }
  disconnect();
  return fetched;
}

}  // namespace velbor
