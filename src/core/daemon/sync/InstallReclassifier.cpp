#include "core/daemon/sync/InstallReclassifier.h"

#include <fmt/format.h>

#include <chrono>
#include <optional>
#include <utility>

#include "core/daemon/sync/EqualContentAttributes.h"
#include "core/daemon/sync/FolderClashWait.h"
#include "core/daemon/sync/PeerRecordOrder.h"
#include "core/daemon/sync/SpellingMerge.h"
#include "core/daemon/sync/SyncEngine.h"
#include "core/entity/CopyItemFolder.h"
#include "core/entity/FileFetchEvent.h"
#include "core/entity/LocalVersion.h"
#include "core/entity/QoFile.h"
#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/entity/QoSyncdirCopyRelation.h"
#include "core/entity/RecordsRefused.h"
#include "core/state/DataSource.h"
#include "framework/persistence/WriteTransaction.h"
#include "platform/LockerGuard.h"
#include "platform/QoLog.h"

namespace velbor {
namespace {

using Sorted = InstallReclassifier::Sorted;
using Action = Sorted::Action;

bool sameContent(const QoFile& remote, const QoFile& local) {
  return remote.type() == 0 && local.type() == 0 && local.status() != 1 && !remote.sha1().empty() &&
         remote.sha1() == local.sha1();
}

// Whether applying `event` installs the arriving file's content, which only a download brings
// (an empty file is made here).
bool needsDownload(int32_t event, const QoFile& remote, const QoFile* local) {
  if (remote.type() != 0 || remote.status() != 0 || remote.length() == 0) return false;
  switch (event) {
    case EventSuccessful:
    case EventCreateFile:
    case EventUpdateFile:
    case EventDFConflict:
      return true;
    case EventFFConflict:
      // Equal content only takes the times and permissions.
      return !(local && sameContent(remote, *local));
    default:
      return false;
  }
}

// The event of an arriving record that descends from the local one (`local`: null or removed
// when nothing is here).
Sorted descendantEvent(QoFile& remote, const QoFile* local) {
  if (remote.status() == 1) {
    // What goes is the local item, whatever the peer's record was.
    if (local && local->type() != remote.type()) remote.setType(local->type());
    return {Action::kApply, EventDeleteFile};
  }
  const bool present = local && local->status() != 1;
  // Another kind of item took the path: its removal is the pull's to sort out, from the start.
  if (present && local->type() != remote.type()) return {Action::kFetchAgain, EventFailed};
  if (!present) {
    if (remote.type() == 1) return {Action::kApply, EventCreateDirectory};
    return {Action::kApply, remote.length() == 0 ? EventCreateEmptyFile : EventCreateFile};
  }
  if (remote.type() == 1) return {Action::kApply, EventUpdateDirectory};
  // The content is here already: only the times and permissions are taken.
  if (sameContent(remote, *local)) return {Action::kApply, EventFFConflict};
  return {Action::kApply, EventUpdateFile};
}

Sorted concurrentEvent(QoFile& remote, const QoFile& local, bool remoteSortsLast) {
  if (sameContent(remote, local)) {
    // The same content on both sides: both devices settle on one set of attributes.
    EqualContentAttributes::settle(remote, local, remoteSortsLast);
    return {Action::kApply, EventFFConflict};
  }
  return {Action::kApply, conflictEventOf(remote.type(), local.type())};
}

void setFailedUsn(const QoFileAndSyncdirCopyRelation& record, int64_t usn) {
  const std::string copyUuid = record.syncdirCopy() ? record.syncdirCopy()->uuid() : std::string();
  DataSource::sharedDataSource().setSyncdirCopyRelationFailedUsn(
      QoSyncdirCopyRelation::hashWithFirstUuid(copyUuid, record.getRemoteSyncdirCopyUuid()), usn);
}

// The key FolderClashWait knows the install of an arriving folder by; nothing for any other
// install.
std::optional<std::string> folderKeyOf(const QoFileAndSyncdirCopyRelation& record, int64_t peerUsn) {
  const auto& file = record.file();
  const auto& copy = record.syncdirCopy();
  if (!file || !copy || file->type() != 1 || file->status() != 0) return std::nullopt;
  return fmt::format("{}\n{}\n{}\n{}", copy->uuid(), record.getRemoteSyncdirCopyUuid(), file->path(), peerUsn);
}

// A folder not made because the disk holds its name, or the name of a folder on its way, in
// another spelling waits (see FolderClashWait), says so once, and its pairing is pulled again
// when the wait is over.
void waitIfClash(const QoFileAndSyncdirCopyRelation& record, const std::string& key) {
  const std::string& path = record.file()->path();
  const auto clash = SpellingMerge::clashOnTheWay(record.syncdirCopy()->path(), path);
  if (!clash) return;
  const auto wait = FolderClashWait::shared().refused(key);
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait).count();
  QoLog("*** Folder({}) not made, the disk holds ({}) of ({}) and ignores letter case: tried again in {} s", path,
        clash->second.empty() ? "another spelling" : clash->second, clash->first, seconds);
  SyncEngine::pullAfter(record.syncdirCopy()->uuid(), record.getRemoteSyncdirCopyUuid(), wait);
}

}  // namespace

bool InstallReclassifier::localAsCompared(const QoFileAndSyncdirCopyRelation& record) {
  const auto& copy = record.syncdirCopy();
  if (!record.getLocalVersion() || !record.file() || !copy) return true;
  return LocalVersion::of(copy->getFileRelationWithFilePath(record.file()->path()).get()) == *record.getLocalVersion();
}

Sorted InstallReclassifier::eventAgainstLocalNow(QoFileAndSyncdirCopyRelation& record, int32_t event, bool downloaded) {
  const auto& copy = record.syncdirCopy();
  if (!record.getLocalVersion() || !record.file() || !copy) return {Action::kApply, event};
  QoFile& remote = *record.file();
  const Relation now = copy->getFileRelationWithFilePath(remote.path());
  const LocalVersion version = LocalVersion::of(now.get());
  if (version == *record.getLocalVersion()) return {Action::kApply, event};

  record.setLocalVersion(version);
  record.setFileRelationLocal(now);
  record.setPkPublic(now ? now->pk() : -1);
  remote.setPkPublic(now && now->file() ? now->file()->pk() : -1);
  const QoFile* local = now ? now->file().get() : nullptr;
  // The clock slots of the folder's copies only grow: the record's clock, given in them when
  // it was compared, reads the same against the list of now.
  const PeerRecordOrder order(copy->getSyncdirCopysUuidList(), copy->uuid(), record.getRemoteSyncdirCopyUuid());
  const int comparison = local ? order.compare(*now, record) : VclockCompareBefore;
  Sorted sorted;
  switch (comparison) {
    case VclockCompareEqual:
    case VclockCompareAfter:
      sorted = {Action::kSkip, EventFailed};
      break;
    case VclockCompareConcurrent:
      sorted = concurrentEvent(remote, *local, record.isRenameLocalWhenConflict());
      break;
    default:
      sorted = descendantEvent(remote, local);
      break;
  }
  if (sorted.action == Action::kApply && !downloaded && needsDownload(sorted.event, remote, local)) {
    sorted = {Action::kFetchAgain, EventFailed};
  }
  record.setFileFetchEvent(sorted.event);
  static constexpr const char* kActions[] = {"applied as", "skipped", "fetched again"};
  QoLog("({}) changed here since it was compared with the peer's record: {} {}", remote.path(),
        kActions[static_cast<int>(sorted.action)],
        sorted.action == Action::kApply ? QoFileAndSyncdirCopyRelation::fetchEventString(sorted.event) : "");
  return sorted;
}

bool InstallReclassifier::install(const Relation& record, int32_t event, bool downloaded) {
  if (!record) return false;
  // Read before the locker is taken: a large download does not hold up every other writer.
  if (downloaded) record->checkDownload();
  // Held from the comparison until the record is applied: no other record of the path is
  // written in between.
  LockerGuard lock(WriteTransaction::locker());
  const int64_t peerUsn = record->file() ? record->file()->usn() : 0;
  const Sorted sorted = eventAgainstLocalNow(*record, event, downloaded);
  switch (sorted.action) {
    case Action::kApply: {
      const auto clashKey = folderKeyOf(*record, peerUsn);
      if (clashKey && FolderClashWait::shared().waiting(*clashKey)) {
        record->dropFetch();
        setFailedUsn(*record, peerUsn);
        return false;
      }
      const bool applied = record->handleFetchEvent(sorted.event);
      RecordsRefused::raiseIfNoted();
      if (clashKey && applied) FolderClashWait::shared().made(*clashKey);
      if (clashKey && !applied) waitIfClash(*record, *clashKey);
      return applied;
    }
    case Action::kSkip:
      record->dropFetch();
      return true;
    case Action::kFetchAgain:
      record->dropFetch();
      setFailedUsn(*record, peerUsn);
      return false;
  }
  return false;
}

void InstallReclassifier::clashOver(const QoFileAndSyncdirCopyRelation& record) {
  if (const auto key = folderKeyOf(record, record.file() ? record.file()->usn() : 0)) {
    FolderClashWait::shared().made(*key);
  }
}

}  // namespace velbor
