// Applying one fetched change to the disk and the database (the fetch event handlers of
// QoFileAndSyncdirCopyRelation). Every disk step works through CopyItemFolder, so it stays
// inside the copy and follows no link, and raises when it fails: the event then rolls back
// and answers false. Each handler checks what it installs, and what it would overwrite,
// before the first thing on disk moves.

#include <sys/stat.h>

#include <array>
#include <chrono>
#include <mutex>

#include "core/entity/CopyItemFolder.h"
#include "core/entity/DiskSteps.h"
#include "core/entity/DiskUndo.h"
#include "core/entity/DownloadJournal.h"
#include "core/entity/DownloadSync.h"
#include "core/entity/FileFetchEvent.h"
#include "core/entity/FileTimes.h"
#include "core/entity/LocalLooks.h"
#include "core/entity/OwnInstalls.h"
#include "core/entity/QoFile.h"
#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/entity/QoSyncdirCopyRelation.h"
#include "core/entity/RecordedStates.h"
#include "core/entity/RecordsRefused.h"
#include "core/entity/StampClock.h"
#include "core/entity/SyncdirMark.h"
#include "core/entity/TmpFileName.h"
#include "core/entity/UsnSource.h"
#include "framework/errors/QoException.h"
#include "framework/persistence/DatabaseRefusal.h"
#include "framework/persistence/WriteTransaction.h"
#include "platform/QoLog.h"
#include "platform/Utf8.h"

namespace velbor {
namespace {

using Relation = QoFileAndSyncdirCopyRelation;

constexpr const char* kEmptySha1 = "da39a3ee5e6b4b0d3255bfef95601890afd80709";

constexpr std::array<const char*, 13> kFetchEventString = {
    "EventSuccessful",      "EventFailed",          "EventCreateDirectory", "EventCreateFile", "EventUpdateFile",
    "EventUpdateDirectory", "EventDeleteFile",      "EventFFConflict",      "EventDFConflict", "EventFDConflict",
    "EventDDConflict",      "EventCreateEmptyFile", "EventRenameFile"};

QoFile& fileOf(const Relation& relation) {
  if (!relation.file()) throw QoException::defaultExceptionWithReason("fetched record has no file");
  return *relation.file();
}

const std::string& rootOf(const Relation& relation) {
  if (!relation.syncdirCopy()) throw QoException::defaultExceptionWithReason("fetched record has no copy");
  return relation.syncdirCopy()->path();
}

Relation& localOf(const Relation& relation) {
  const Relation::Ptr& local = relation.getFileRelationLocal();
  if (!local || !local->file()) throw QoException::defaultExceptionWithReason("fetched record has no local record");
  return *local;
}

std::string lastComponent(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// A local file or folder that differs from its record holds a change no peer has seen yet:
// replacing, removing or re-stamping it would lose that change. The event fails instead and
// comes again once the local change is recorded, then as a conflict that keeps both sides.
// Links and other special items are never synchronised and do not count, and neither does a
// file that already holds the content about to be installed (`incomingSha1`).
// Answers the state the item was judged in (nothing when absent): what is stamped, replaced or
// removed next must still be in it.
std::optional<struct stat> ensureRecordedAsOnDisk(const CopyItemFolder& folder, const std::string& path,
                                                  const std::string& incomingSha1 = std::string()) {
  const auto judged = folder.status(folder.name());
  const bool recorded = QoFile::isRecordedAsOnDisk(folder, path, incomingSha1);
  const auto after = folder.status(folder.name());
  // A folder's times move with every entry made in it (a download beside); only what is
  // below it counts, and that is judged item by item.
  const auto moved = [](const struct stat& before, const struct stat& now) {
    return S_ISDIR(before.st_mode) && S_ISDIR(now.st_mode) ? before.st_dev != now.st_dev || before.st_ino != now.st_ino
                                                           : !unchangedSince(before, now);
  };
  if (!recorded || judged.has_value() != after.has_value() || (judged && moved(*judged, *after))) {
    // Recorded once the monitor has looked, whether or not an event told it of the change.
    LocalLooks::shared().ask(path);
    throw QoException::defaultExceptionWithReason("({}) changed on disk since it was recorded", path);
  }
  DiskSteps::passed(DiskStep::Read, path);
  return judged;
}

// The same for an item that was there a moment ago: gone meanwhile, it changed.
struct stat ensurePresentAsRecorded(const CopyItemFolder& folder, const std::string& path) {
  const auto judged = ensureRecordedAsOnDisk(folder, path);
  if (!judged) {
    LocalLooks::shared().ask(path);
    throw QoException::defaultExceptionWithReason("({}) changed on disk since it was recorded", path);
  }
  return *judged;
}

// What an install may replace at `path`: checked again once the flush is done, on the item
// moved aside, since a save made during the flush must not be lost.
CopyItemFolder::ReplaceCheck replacing(const std::string& path, const std::string& incomingSha1) {
  return [path, incomingSha1](const CopyItemFolder& folder, const std::string& name) {
    return QoFile::isRecordedAsOnDisk(folder, name, path, incomingSha1);
  };
}

// The record describes the file as the disk keeps it: a file system that rounds the time
// given, or keeps none of it, would otherwise make the install look like a local change that
// travels back to where it came from. The record keeps its permission bits where the disk
// shows others: such a disk keeps none (ModeKeeping), and what it shows is never recorded.
// A time later than the one given by more than the grain the disk stamps in is no rounding of
// it but a write's, made right after the stamp: the record keeps the time given, so that the
// monitor finds the file changed.
bool keepsGivenTime(const struct stat& status, int64_t given) {
  const timespec time = timespecOfMilliseconds(given);
  const auto nanoseconds = [](const timespec& at) { return static_cast<int64_t>(at.tv_sec) * 1000000000 + at.tv_nsec; };
  return nanoseconds(status.st_mtim) <= nanoseconds(time) + StampClock::granularity(status.st_ctim).count();
}

void recordKeptTime(QoFile& file, const struct stat& status) {
  if (!isRecordedModificationTime(status.st_mtim, file.contentModTime()) &&
      keepsGivenTime(status, file.contentModTime())) {
    file.setContentModTime(modificationMilliseconds(status));
  }
}

// The file installed at `path` is recorded as it stands (`installed`, nothing when it changed
// already), and noted so that the monitor knows the install for its own.
void noteInstalled(Relation& relation, const std::string& path, const std::optional<struct stat>& installed,
                   bool stampedInPlace = false) {
  QoFile& file = fileOf(relation);
  // Just as installed (a write since would have moved the time or the size).
  if (!installed || installed->st_size != file.length() || !keepsGivenTime(*installed, file.contentModTime())) return;
  recordKeptTime(file, *installed);
  relation.addInstalledFile(path, *installed, stampedInPlace);
}

// The time kept of the one just given to the user's file `file` at `path` (`stamped`: its
// state right after), which is read again at its next event.
void recordStampedTime(Relation& relation, QoFile& file, const std::string& path, const struct stat& stamped) {
  if (!S_ISREG(stamped.st_mode)) return;
  recordKeptTime(file, stamped);
  relation.addInstalledFile(path, stamped, true);
}

// Gives `name` of `folder` these permissions and time, taken back when the records are not
// committed.
// Answers the item's state right after, as setAttributes does (`judged`: see there).
struct stat setAttributesUndoably(const CopyItemFolder& folder, const std::string& name, int32_t permissions,
                                  int64_t mtime, const std::optional<struct stat>& judged, const std::string& content) {
  const auto before = folder.status(name);
  const struct stat stamped = folder.setAttributes(name, permissions, mtime, judged);
  if (before) DiskUndo::attributesSet(folder, name, *before, stamped, content);
  return stamped;
}

// Tells the open transaction how installFile placed a file, so that it can be put back.
// With `attributesBefore` (a local file renamed, given the record's attributes on its way),
// it has those again once back at its name.
CopyItemFolder::Placed undoably(const CopyItemFolder& source, const CopyItemFolder& target, bool backToSource,
                                const std::optional<struct stat>& attributesBefore = std::nullopt,
                                const std::string& content = std::string()) {
  return [&source, &target, backToSource, attributesBefore, content](CopyItemFolder::Placement placement,
                                                                     const struct stat& placed) {
    DiskUndo::installed(placement, source, source.name(), target, target.name(), placed, backToSource, attributesBefore,
                        content);
  };
}

// Installs the record's downloaded temporary file at `path`; `replace` allows an item there.
void installDownload(Relation& relation, const std::string& path, bool replace) {
  const QoFile& file = fileOf(relation);
  const CopyItemFolder temporary(rootOf(relation), relation.getTempFilePath());
  const CopyItemFolder target(rootOf(relation), path);
  if (replace) ensureRecordedAsOnDisk(target, path, file.sha1());
  const auto& sync = relation.getDownloadSync();
  const auto installed = target.installFile(temporary, temporary.name(), target.name(), file.sha1(), file.unixAttr(),
                                            file.contentModTime(), replace, relation.getCheckedDownload(),
                                            sync ? sync->synced() : std::nullopt, replacing(path, file.sha1()),
                                            undoably(temporary, target, false));
  noteInstalled(relation, path, installed);
}

// Installs the record's download under a fresh conflict name beside its path, recorded there
// as a new file of this device's; answers that name.
std::string installUnderConflictName(Relation& relation) {
  QoFile& file = fileOf(relation);
  const std::string conflictPath = file.generateConflictPath();
  installDownload(relation, conflictPath, false);
  file.setPath(conflictPath);
  file.setPk(-1);
  relation.setPk(-1);
  relation.setVclockInc();
  relation.insertRelationUpdateSha1(false);
  return conflictPath;
}

// Whether applying `event` installs the temporary file of a present incoming file (conflicts
// do when the incoming file is present).
bool installsFile(int32_t event, const QoFile& file) {
  if (file.type() != 0 || file.status() != 0) return false;
  return event == EventSuccessful || event == EventCreateFile || event == EventUpdateFile || event == EventFFConflict ||
         event == EventDFConflict;
}

// Whether applying `event` for `file` installs the downloaded temporary file.
bool installsDownload(int32_t event, const QoFile& file) { return installsFile(event, file) && !file.sha1().empty(); }

// Whether it installs an empty file, which is never downloaded.
bool installsEmptyDownload(int32_t event, const QoFile& file) {
  return installsFile(event, file) && file.length() == 0;
}

// A file emptied on the peer has nothing to download, and the fetcher opens no temporary file
// for it: an empty one is made here, to be installed like any other download.
void makeEmptyDownload(Relation& relation) {
  QoFile& file = fileOf(relation);
  if (file.sha1().empty()) file.setSha1(kEmptySha1);
  const CopyItemFolder temporary(rootOf(relation), relation.getTempFilePath());
  temporary.writeEmptyFile(temporary.name());
}

// A folder at `path` with these attributes; a file standing there must be recorded as it is.
void makeDirectoryAt(const Relation& relation, const std::string& path, int32_t permissions, int64_t mtime) {
  const CopyItemFolder folder(rootOf(relation), path);
  const auto item = folder.status(folder.name());
  if (item && !S_ISDIR(item->st_mode)) {
    const CopyItemFolder::Judged judged{{path, ensurePresentAsRecorded(folder, path)}};
    folder.removeItemKeeping(folder.name(), nullptr, &judged);
  }
  folder.makeDirectory(folder.name(), permissions, mtime);
  if (item && S_ISDIR(item->st_mode)) {
    if (const auto set = folder.status(folder.name())) DiskUndo::attributesSet(folder, folder.name(), *item, *set);
  } else {
    DiskUndo::madeFolder(folder, folder.name());
  }
}

// Moves the local file to a fresh conflict name beside it, with its recorded attributes. It
// must be as recorded, before and after the move: its record goes with it.
std::string moveLocalToConflictName(Relation& relation, QoFile& localFile) {
  const CopyItemFolder local(rootOf(relation), localFile.path());
  const auto judged = ensureRecordedAsOnDisk(local, localFile.path());
  const std::string conflictPath = localFile.generateConflictPath();
  const std::string conflictName = lastComponent(conflictPath);
  local.moveNoReplace(local.name(), conflictName);
  DiskUndo::moved(local, local.name(), conflictName);
  // The move itself sets the change time: the content is told by the rest.
  const auto moved = local.status(conflictName);
  if (!judged || !moved || moved->st_ino != judged->st_ino || moved->st_dev != judged->st_dev ||
      moved->st_size != judged->st_size || moved->st_mtim.tv_sec != judged->st_mtim.tv_sec ||
      moved->st_mtim.tv_nsec != judged->st_mtim.tv_nsec) {
    throw QoException::defaultExceptionWithReason("({}) changed on disk while it was moved", conflictPath);
  }
  recordStampedTime(relation, localFile, conflictPath,
                    setAttributesUndoably(local, conflictName, localFile.unixAttr(), localFile.contentModTime(), moved,
                                          localFile.sha1()));
  return conflictPath;
}

// The local record takes its new conflict name as a new file in every copy holding it.
void insertLocalUnderConflictName(Relation& local, const std::string& conflictPath) {
  local.file()->setPath(conflictPath);
  local.setVclockInc();
  local.setPk(-1);
  local.file()->setPk(-1);
  local.insertRelation();
}

// `checked`: the file's content was just installed from a checked download, no need to hash it.
void store(Relation& relation, bool checked = false) {
  if (relation.pk() < 0) {
    relation.insertRelationUpdateSha1(!checked);
  } else {
    relation.updateRelation();
  }
}

// The local record wins: it takes the incoming clock and is announced again.
void keepLocal(const Relation& relation) {
  Relation& local = localOf(relation);
  local.setVclock(relation.vclock());
  local.updateRelation();
}

using Handler = void (Relation::*)();

void dispatchConflict(Relation& relation, const char* types, const std::array<Handler, 4>& handlers) {
  static constexpr std::array<const char*, 4> kStatuses = {"OO", "DO", "OD", "DD"};
  const int index = (fileOf(relation).status() != 0 ? 2 : 0) + (localOf(relation).file()->status() != 0 ? 1 : 0);
  QoLog("handle {}{} conflict", types, kStatuses[index]);
  (relation.*handlers[index])();
}

// Entries of a folder that are never synchronised (ignored or non-UTF-8 names): the peer
// never saw them, so its delete of the folder does not reach them. A temporary download of
// this run is ours, not the user's, and goes with the folder; a file that only has the name
// of one is the user's.
bool isNeverSynchronised(const std::string& path, const std::string& name) {
  if (TmpFileName::isTemporaryName(name) && DownloadJournal::shared().madeHere(path)) return false;
  return !isValidUtf8(name) || QoFile::matchIgnoreFilter(path);
}

// Removing a folder removes everything synchronised below it: each such item must be
// recorded as it is, or a file added or edited there since the last scan would be lost. A
// folder recorded removed was kept by an earlier deletion for entries never synchronised.
// `judged` gains the state each item was judged in.
void ensureTreeRecordedAsOnDisk(const std::string& root, const std::string& folder, CopyItemFolder::Judged& judged) {
  for (const std::string& path : CopyItemFolder::listTree(root, folder)) {
    const CopyItemFolder item(root, path);
    const auto status = item.status(item.name());
    if (QoFile::matchIgnoreFilter(path)) {
      // Never synchronised, or a download of ours: goes or stays by its name alone.
      if (status) judged.emplace(path, *status);
      continue;
    }
    if (status && S_ISDIR(status->st_mode)) {
      const auto stored = QoFile::getFileWithPath(path);
      if (stored && stored->status() == 1 && stored->type() == 1) {
        judged.emplace(path, *status);
        continue;
      }
    }
    if (const auto state = ensureRecordedAsOnDisk(item, path)) judged.emplace(path, *state);
  }
}

// `path` with each folder on the way spelled as the disk lists it, where every folder spelled
// otherwise is recorded under that spelling: given it by a peer, not renamed here unseen yet.
// Nothing when a folder is absent or not so recorded.
std::optional<std::string> pathAsRespelledByPeer(const std::string& root, const std::string& path) {
  std::string listed = !root.empty() && root.back() == '/' ? root.substr(0, root.size() - 1) : root;
  size_t start = listed.size() + 1;
  for (size_t end = path.find('/', start); end != std::string::npos; end = path.find('/', start)) {
    const std::string name = path.substr(start, end - start);
    const CopyItemFolder parent(root, listed + "/" + name);
    if (parent.status(name)) {
      listed += "/" + name;
    } else if (const auto other = parent.otherSpelling(name); other && !other->empty()) {
      listed += "/" + *other;
      const auto recorded = QoFile::getFileWithPath(listed);
      if (!recorded || recorded->status() != 0 || recorded->type() != 1) return std::nullopt;
    } else {
      return std::nullopt;
    }
    start = end + 1;
  }
  return listed + path.substr(start - 1);
}

// A folder given the peer's letter case in this pull (on a disk that ignores case) took along
// the files the peer removed from under its old spelling and made anew under the new one (an
// edit right after the rename). Unchanged since recorded and recorded nowhere else, such a file
// goes, for the peer's file to be downloaded there.
void removeFileTakenAlongInLetterCase(const Relation& relation) {
  const QoFile& file = fileOf(relation);
  const auto listed = pathAsRespelledByPeer(rootOf(relation), file.path());
  if (!listed || *listed == file.path()) return;
  const auto own = QoFile::getFileWithPath(*listed);
  if (own && own->status() == 0) return;
  const CopyItemFolder folder(rootOf(relation), *listed);
  const auto item = folder.status(folder.name());
  if (!item || !S_ISREG(item->st_mode) ||
      !QoFile::isRecordedAsOnDisk(folder, folder.name(), file.path(), std::string())) {
    return;
  }
  const CopyItemFolder::Judged judged{{*listed, *item}};
  folder.removeItemKeeping(folder.name(), nullptr, &judged);
}

void applyDelete(Relation& relation) {
  QoFile& file = fileOf(relation);
  // A folder on the way is gone here (removed or renamed on either side): nothing stands at
  // the path, and the removal is only recorded, but for a file a folder's new letter case took along.
  const bool onDisk = file.type() == 0 || file.type() == 1;
  if (onDisk && CopyItemFolder::folderOnTheWayMissing(rootOf(relation), file.path())) {
    try {
      if (file.type() == 0) removeFileTakenAlongInLetterCase(relation);
    } catch (const std::exception& e) {
      QoLog("*** File({}) left where its folder's new spelling took it, {}", file.path(), e.what());
    }
  } else if (onDisk) {
    const CopyItemFolder folder(rootOf(relation), file.path());
    if (const auto item = folder.status(folder.name())) {
      if ((S_ISDIR(item->st_mode) && file.type() != 1) || (S_ISREG(item->st_mode) && file.type() != 0)) {
        throw QoException::defaultExceptionWithReason("({}) is no longer a {} on disk", file.path(),
                                                      file.getTypeString());
      }
      CopyItemFolder::Judged judged{{file.path(), ensurePresentAsRecorded(folder, file.path())}};
      if (S_ISDIR(item->st_mode)) ensureTreeRecordedAsOnDisk(rootOf(relation), file.path(), judged);
      try {
        // The folder stays when it holds entries never synchronised; the delete is still done
        // for everything the peer knew of. Whatever changed since it was judged stays too, and
        // the delete fails: that change is recorded first.
        if (!folder.removeItemKeeping(folder.name(), isNeverSynchronised, &judged)) {
          QoLog("Delete folder ({}) kept, it holds files that are not synchronised", file.path());
        }
      } catch (const std::exception& e) {
        QoLog("Delete file ({}) error, {}", file.path(), e.what());
        throw;
      }
    }
  }
  relation.deleteRelation();
}

}  // namespace

const char* QoFileAndSyncdirCopyRelation::fetchEventString(int32_t event) {
  if (event < 0 || event >= static_cast<int32_t>(kFetchEventString.size())) return "EventUnknown";
  return kFetchEventString[static_cast<size_t>(event)];
}

bool QoFileAndSyncdirCopyRelation::handleFetchEvent(int32_t event) {
  // Fixed to the incoming path before a conflict renames the file.
  const std::string tmpFilePath = file_ ? getTempFilePath() : std::string();
  closeTmpFileHandle();
  // The download is hashed before the locker is taken, here or by checkDownload, and not
  // again when installed.
  if (downloadSync_ && downloadSync_->checked()) {
    checkedDownload_ = downloadSync_->checked();
  } else if (!checkedDownload_ && file_ && syncdirCopy_ && installsDownload(event, *file_)) {
    try {
      const CopyItemFolder temporary(syncdirCopy_->path(), tmpFilePath);
      checkedDownload_ = temporary.checkedFile(temporary.name(), file_->sha1());
    } catch (const std::exception&) {
      // Checked again, and reported, when the event is applied.
    }
  }
  WriteTransaction transaction(WriteTransaction::beginLater);
  installedFiles_.clear();
  // The peer's usn marks where the next pull looks again; the handlers change the record's.
  const int64_t peerUsn = file_ ? file_->usn() : 0;
  const std::string path = file_ ? file_->path() : std::string();
  bool succeeded = true;
  refusedForSpellingClash_ = false;
  RecordsRefused::takeNoted();
  try {
    transaction.begin();
    // Checked at the pull's start, yet the disk may have gone since. A removal is refused as
    // well: it would find nothing at its path and be recorded, and the file still on the disk
    // would come back as a new one once the disk is mounted again.
    if (syncdirCopy_ && SyncdirMark::looksMissing(*syncdirCopy_)) {
      throw QoException::defaultExceptionWithReason("({}) is not the folder recorded", syncdirCopy_->path());
    }
    if (event == EventRenameFile) {
      QoLog("{}({} => {}) ", fetchEventString(event),
            fileRelationLocal_ && fileRelationLocal_->file() ? fileRelationLocal_->file()->path() : std::string(),
            path);
    } else {
      QoLog("{}({}) ", fetchEventString(event), path);
    }
    if (file_ && installsEmptyDownload(event, *file_)) makeEmptyDownload(*this);
    switch (event) {
      case EventSuccessful:
      case EventCreateFile:
      case EventUpdateFile:
        handleFetchEventSuccessful();
        break;
      case EventCreateDirectory:
      case EventUpdateDirectory: {
        const QoFile& file = fileOf(*this);
        makeDirectoryAt(*this, file.path(), file.unixAttr(), file.contentModTime());
        store(*this);
        break;
      }
      case EventDeleteFile:
        applyDelete(*this);
        break;
      case EventFFConflict:
        handleFetchEventFFConflict();
        break;
      case EventDFConflict:
        handleFetchEventDFConflict();
        break;
      case EventFDConflict:
        handleFetchEventFDConflict();
        break;
      case EventDDConflict:
        handleFetchEventDDConflict();
        break;
      case EventCreateEmptyFile:
        handleFetchEventCreateEmptyFile();
        break;
      case EventRenameFile:
        handleFetchEventRenameFile();
        break;
      default:  // EventFailed and unknown values change nothing
        break;
    }
    DiskSteps::passed(DiskStep::Record, path);
    // Disk and records agree on what was installed once nothing can roll it back any more: once
    // the outermost transaction (a rename's holds the old path's removal too) is committed.
    PersistentObject::onCommit([installed = std::move(installedFiles_)] {
      const auto now = std::chrono::system_clock::now();
      for (const Installed& file : installed) {
        // A time the disk may stamp again, as a file that arrived with a time of this second
        // has on a disk that keeps whole seconds: a save of the same size within that grain
        // leaves the very same state, so the file is read again at its next event instead of
        // being taken for the install.
        const auto state = OwnInstalls::State::of(file.status);
        const bool racy =
            file.stampedInPlace || StampClock::mayStampAgain(file.status.st_mtim, file.status.st_ctim, now);
        if (!racy) OwnInstalls::shared().note(file.path, state);
        RecordedStates::shared().note(file.path, state, racy);
      }
    });
    transaction.commit();
  } catch (const std::exception& e) {
    transaction.rollback();
    succeeded = false;
    QoLog("*** handle file fetch event failed! usn({}), ({}), {}", peerUsn, path, e.what());
    UsnSource::installed().setSyncdirCopyRelationFailedUsn(
        QoSyncdirCopyRelation::hashWithFirstUuid(syncdirCopy_ ? syncdirCopy_->uuid() : std::string(),
                                                 remoteSyncdirCopyUuid_),
        peerUsn);
    // The database takes no records now: every further record would fail the same way.
    if (dynamic_cast<const DatabaseRefusal*>(&e) != nullptr) RecordsRefused::note(e.what());
  }
  installedFiles_.clear();
  dropFetch();
  return succeeded;
}

void QoFileAndSyncdirCopyRelation::checkDownload() {
  if (downloadSync_ && downloadSync_->checked()) return;
  if (!file_ || !syncdirCopy_ || !installsDownload(EventSuccessful, *file_)) return;
  closeTmpFileHandle();
  try {
    const CopyItemFolder temporary(syncdirCopy_->path(), getTempFilePath());
    checkedDownload_ = temporary.checkedFile(temporary.name(), file_->sha1());
  } catch (const std::exception&) {
    // Checked again, and reported, when the event is applied.
  }
}

void QoFileAndSyncdirCopyRelation::dropFetch() {
  checkedDownload_.reset();
  closeTmpFileHandle();
  deleteTmpFile();
  tmpFilePlace_.reset();
  releaseTempFilePath();
  downloadSync_.reset();
}

bool QoFileAndSyncdirCopyRelation::restoreMissingFolders() {
  if (!file_ || !syncdirCopy_) return false;
  const std::string& root = syncdirCopy_->path();
  const std::string& path = file_->path();
  if (path.size() <= root.size() + 1 || path.compare(0, root.size(), root) != 0 || path[root.size()] != '/') {
    return false;
  }
  const size_t parentEnd = path.rfind('/');
  struct stat parent {};
  // Mostly the folder is there: one look, no transaction.
  if (parentEnd <= root.size() || (lstat(path.substr(0, parentEnd).c_str(), &parent) == 0 && S_ISDIR(parent.st_mode))) {
    return true;
  }
  // Checked at the pull's start, yet the disk may have gone since.
  if (SyncdirMark::looksMissing(*syncdirCopy_)) {
    QoLog("*** Folders of ({}) not made again, ({}) is not the folder recorded", path, root);
    return false;
  }
  WriteTransaction transaction(WriteTransaction::beginLater);
  try {
    transaction.begin();
    for (size_t slash = path.find('/', root.size() + 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
      const std::string folderPath = path.substr(0, slash);
      const CopyItemFolder folder(root, folderPath);
      if (const auto item = folder.status(folder.name())) {
        if (S_ISDIR(item->st_mode)) continue;
        throw QoException::defaultExceptionWithReason("({}) is no folder", folderPath);
      }
      const auto now =
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch());
      folder.makeDirectory(folder.name(), std::nullopt, now.count());
      DiskUndo::madeFolder(folder, folder.name());
      const auto made = QoFile::initWithPath(folderPath);
      if (!made) throw QoException::defaultExceptionWithReason("({}) cannot be read", folderPath);
      made->insertRelationUpdateSha1(false);
      QoLog("Folder({}) made again for ({})", folderPath, path);
    }
    transaction.commit();
    return true;
  } catch (const std::exception& e) {
    transaction.rollback();
    QoLog("*** Folders of ({}) not made again, {}", path, e.what());
    return false;
  }
}

void QoFileAndSyncdirCopyRelation::handleFetchEventSuccessful() {
  if (installedBesideOtherSpelling()) return;
  installDownload(*this, fileOf(*this).path(), true);
  store(*this, true);
}

// Two names that differ only in letter case, both kept on the peer, cannot both stand on a
// disk that ignores case. When the disk lists this file's name under another spelling held by
// another item, and nothing present is recorded here under the peer's spelling, the peer's
// content comes in under a conflict name as a new file (setCopyOnSpellingClash), and the peer's
// spelling is recorded removed with a clock that descends from its version: every device then
// keeps the spelling that stands here and the conflict copy. The item listed is not touched.
// Answers false when there is no such clash, or the install is to be refused for it (raised by
// the install that follows).
bool QoFileAndSyncdirCopyRelation::installedBesideOtherSpelling() {
  QoFile& file = fileOf(*this);
  if (file.type() != 0 || file.status() != 0) return false;
  const auto& local = fileRelationLocal_;
  if (local && local->file() && local->file()->status() == 0) return false;
  const CopyItemFolder target(rootOf(*this), file.path());
  if (target.status(target.name())) return false;
  const auto other = target.otherSpelling(target.name());
  if (!other) return false;
  if (!copyOnSpellingClash_) {
    refusedForSpellingClash_ = true;
    return false;
  }
  // The peer's record at its own spelling, as it came, before this one turns into the copy.
  auto removed = std::make_shared<QoFile>(file);
  const int32_t localPk = pk();
  const std::string conflictPath = installUnderConflictName(*this);

  auto removal = std::make_shared<Relation>();
  removal->setPkPublic(localPk);
  removal->setSyncdirCopy(syncdirCopy_);
  removal->setFile(removed);
  removal->setVclock(vclock_);
  removal->deleteRelation();
  QoLog("File({}) installed as ({}), the disk holds ({}) there and ignores letter case: its spelling recorded removed",
        removed->path(), conflictPath, other->empty() ? "another spelling" : *other);
  return true;
}

void QoFileAndSyncdirCopyRelation::deleteTmpFile() {
  if (!file_ || !syncdirCopy_) return;
  removeTmpFile(syncdirCopy_->path(), getTempFilePath(), tmpFilePlace_);
}

void QoFileAndSyncdirCopyRelation::removeTmpFile(const std::string& copyRoot, const std::string& path,
                                                 const std::shared_ptr<const TmpFilePlace>& place) {
  if (place) {
    // The file is ours only where it was made: gone from there, whatever its path now leads
    // to was made by someone else.
    place->remove();
    return;
  }
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) return;
  try {
    const CopyItemFolder folder(copyRoot, path);
    const auto item = folder.status(folder.name());
    if (item && !S_ISDIR(item->st_mode)) folder.removeItem(folder.name());
  } catch (const std::exception& e) {
    QoLog("Delete tmp({}) failed, {}", path, e.what());
  }
}

void QoFileAndSyncdirCopyRelation::fileRename() {
  QoFile& file = fileOf(*this);
  Relation& local = localOf(*this);
  QoFile& localFile = *local.file();
  const std::string& root = rootOf(*this);
  const CopyItemFolder temporary(root, getTempFilePath());
  if (isRenameLocalWhenConflict_) {
    temporary.verifyFile(temporary.name(), file.sha1(), checkedDownload_);
    const std::string conflictPath = moveLocalToConflictName(*this, localFile);
    insertLocalUnderConflictName(local, conflictPath);
    // The local file has just left this name: anything there now is not ours to replace.
    installDownload(*this, file.path(), false);
    updateRelation();
  } else {
    const CopyItemFolder localItem(root, localFile.path());
    const auto judged = ensureRecordedAsOnDisk(localItem, localFile.path());
    installUnderConflictName(*this);
    recordStampedTime(*this, localFile, localFile.path(),
                      setAttributesUndoably(localItem, localItem.name(), localFile.unixAttr(),
                                            localFile.contentModTime(), judged, localFile.sha1()));
    local.setVclock(vclock_);
    local.updateRelation();
  }
}

void QoFileAndSyncdirCopyRelation::handleFFOOConflict() {
  QoFile& file = fileOf(*this);
  const QoFile& localFile = *localOf(*this).file();
  if (file.sha1().empty() || file.sha1() != localFile.sha1()) {
    fileRename();
    return;
  }
  const CopyItemFolder target(rootOf(*this), file.path());
  const auto judged = ensureRecordedAsOnDisk(target, file.path());
  deleteTmpFile();
  recordStampedTime(
      *this, file, file.path(),
      setAttributesUndoably(target, target.name(), file.unixAttr(), file.contentModTime(), judged, file.sha1()));
  updateRelation();
}

void QoFileAndSyncdirCopyRelation::handleFFDOConflict() {
  if (installedBesideOtherSpelling()) return;
  installDownload(*this, fileOf(*this).path(), true);
  setVclockInc();
  updateRelation();
}

void QoFileAndSyncdirCopyRelation::handleFFODConflict() { keepLocal(*this); }
void QoFileAndSyncdirCopyRelation::handleFFDDConflict() { keepLocal(*this); }

void QoFileAndSyncdirCopyRelation::handleFDOOConflict() {
  QoFile& file = fileOf(*this);
  Relation& local = localOf(*this);
  const std::string conflictPath = moveLocalToConflictName(*this, *local.file());
  insertLocalUnderConflictName(local, conflictPath);
  makeDirectoryAt(*this, file.path(), file.unixAttr(), file.contentModTime());
  updateRelation();
}

void QoFileAndSyncdirCopyRelation::handleFDDOConflict() {
  const QoFile& file = fileOf(*this);
  makeDirectoryAt(*this, file.path(), file.unixAttr(), file.contentModTime());
  updateRelation();
}

void QoFileAndSyncdirCopyRelation::handleFDODConflict() { keepLocal(*this); }
void QoFileAndSyncdirCopyRelation::handleFDDDConflict() { keepLocal(*this); }

void QoFileAndSyncdirCopyRelation::handleDFOOConflict() {
  Relation& local = localOf(*this);
  const QoFile& localFile = *local.file();
  // The local folder stays; a file that took its place meanwhile must not be replaced.
  const CopyItemFolder localItem(rootOf(*this), localFile.path());
  ensureRecordedAsOnDisk(localItem, localFile.path());
  installUnderConflictName(*this);
  // The folder keeps its own recorded attributes: the record stored for it is the local one.
  makeDirectoryAt(*this, localFile.path(), localFile.unixAttr(), localFile.contentModTime());
  local.setVclock(vclock_);
  local.updateRelation();
}

void QoFileAndSyncdirCopyRelation::handleDFDOConflict() { handleFFDOConflict(); }
void QoFileAndSyncdirCopyRelation::handleDFODConflict() { keepLocal(*this); }
void QoFileAndSyncdirCopyRelation::handleDFDDConflict() { keepLocal(*this); }

void QoFileAndSyncdirCopyRelation::handleDDOOConflict() { keepLocal(*this); }
void QoFileAndSyncdirCopyRelation::handleDDDOConflict() { handleFDDOConflict(); }
void QoFileAndSyncdirCopyRelation::handleDDODConflict() { keepLocal(*this); }
void QoFileAndSyncdirCopyRelation::handleDDDDConflict() { keepLocal(*this); }

void QoFileAndSyncdirCopyRelation::handleFetchEventFFConflict() {
  dispatchConflict(*this, "FF",
                   {&Relation::handleFFOOConflict, &Relation::handleFFDOConflict, &Relation::handleFFODConflict,
                    &Relation::handleFFDDConflict});
}

void QoFileAndSyncdirCopyRelation::handleFetchEventFDConflict() {
  dispatchConflict(*this, "FD",
                   {&Relation::handleFDOOConflict, &Relation::handleFDDOConflict, &Relation::handleFDODConflict,
                    &Relation::handleFDDDConflict});
}

void QoFileAndSyncdirCopyRelation::handleFetchEventDFConflict() {
  dispatchConflict(*this, "DF",
                   {&Relation::handleDFOOConflict, &Relation::handleDFDOConflict, &Relation::handleDFODConflict,
                    &Relation::handleDFDDConflict});
}

void QoFileAndSyncdirCopyRelation::handleFetchEventDDConflict() {
  dispatchConflict(*this, "DD",
                   {&Relation::handleDDOOConflict, &Relation::handleDDDOConflict, &Relation::handleDDODConflict,
                    &Relation::handleDDDDConflict});
}

void QoFileAndSyncdirCopyRelation::handleFetchEventCreateEmptyFile() {
  QoFile& file = fileOf(*this);
  const CopyItemFolder target(rootOf(*this), file.path());
  if (target.status(target.name())) QoLog("*** File({}) already exist", file.path());
  // Made as a temporary file and renamed into place like any download.
  const CopyItemFolder temporary(rootOf(*this), getTempFilePath());
  temporary.writeEmptyFile(temporary.name());
  file.setSha1(kEmptySha1);
  if (installedBesideOtherSpelling()) return;
  installDownload(*this, file.path(), true);
  store(*this, true);
}

void QoFileAndSyncdirCopyRelation::handleFetchEventRenameFile() {
  QoFile& file = fileOf(*this);
  const QoFile& localFile = *localOf(*this).file();
  const CopyItemFolder target(rootOf(*this), file.path());
  ensureRecordedAsOnDisk(target, file.path(), file.sha1());
  std::string sourcePath = localFile.path();
  const std::string oldName = sourcePath.substr(sourcePath.rfind('/') + 1);
  if (CopyItemFolder::folderOnTheWayMissing(rootOf(*this), sourcePath) && !target.status(target.name()) &&
      target.otherSpelling(target.name()) == oldName) {
    // Its folder renamed in letter case already, and its own name too: it stands in the
    // renamed folder under its old spelling, and is respelled there.
    sourcePath = file.path().substr(0, file.path().rfind('/') + 1) + oldName;
  } else if (CopyItemFolder::folderOnTheWayMissing(rootOf(*this), sourcePath)) {
    // Moved already with its folder (renamed in letter case only): the file that stands at the
    // new path must hold the content, and is recorded there.
    const auto checked = target.checkedFile(target.name(), file.sha1());
    if (!checked) {
      target.verifyFile(target.name(), file.sha1());  // raises when it is not the content
      throw QoException::defaultExceptionWithReason("({}) changed while it was read", file.path());
    }
    recordStampedTime(
        *this, file, file.path(),
        setAttributesUndoably(target, target.name(), file.unixAttr(), file.contentModTime(), checked, file.sha1()));
    store(*this, true);
    return;
  }
  const CopyItemFolder source(rootOf(*this), sourcePath);
  // The local file must still hold the content the record names.
  const auto installed =
      target.installFile(source, source.name(), target.name(), file.sha1(), file.unixAttr(), file.contentModTime(),
                         true, std::nullopt, std::nullopt, replacing(file.path(), file.sha1()),
                         undoably(source, target, true, source.status(source.name()), file.sha1()));
  noteInstalled(*this, file.path(), installed, true);
  store(*this, true);
}

}  // namespace velbor
