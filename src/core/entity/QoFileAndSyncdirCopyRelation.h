#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/entity/LocalVersion.h"
#include "core/entity/TmpFileName.h"
#include "core/entity/TmpFileStream.h"
#include "core/utils/Vclock.h"
#include "framework/persistence/PersistentEntity.h"

namespace velbor {

class DownloadSync;
class QoFile;
class QoSyncdirCopy;

// One file within one copy, with the file's vector clock in that copy. Also carries an
// incoming change from a peer while it is applied (the in-memory fields).
class QoFileAndSyncdirCopyRelation : public PersistentEntity<QoFileAndSyncdirCopyRelation> {
 public:
  using Comparator = std::function<bool(const Ptr&, const Ptr&)>;

  static std::string className() { return "QoFileAndSyncdirCopyRelation"; }
  // By the file's path, case-insensitive, ascending / descending.
  static Comparator sortComparator();
  static Comparator sortComparatorDesc();
  static Ptr getRelationWithPath(const std::string& path);
  // Records are looked up by their file on every change: that must not scan the table.
  static std::vector<std::vector<std::string>> indices();
  static std::vector<std::string> propertiesOrderedArray();
  static std::vector<PersistentProperty> propertiesWithEncodedTypes();

  // Reads with the copy, its device and the file joined (criteria may name columns of
  // qo_syncdir_copy, qo_device and qo_file); rows naming the same copy, device or file share
  // one object.
  static List findByCriteria(const std::string& criteria, const std::optional<Parameters>& parameters = std::nullopt);
  // The copy's records whose file usn is above `usn`, in usn order, at most `limit` (negative:
  // no bound), read as findByCriteria reads them.
  static List findInUsnOrder(int32_t syncdirCopyPk, int64_t usn, int32_t limit);
  // Saves the copy, the file and then this record.
  void save() override;

  Vclock getVclockObject() const { return Vclock(vclockData()); }
  // Adds 1 at the copy's slot.
  void setVclockWithSyncdirCopy(const QoSyncdirCopy& syncdirCopy);
  void setVclockInc();
  void setVclock(const std::string& data);
  const std::string& vclock() const { return vclock_; }
  const Vclock& vclockObject() const { return vclockObject_; }

  // Makes the file's path (relative to the copy root) absolute, remembering the relative one.
  // A relative path that could leave the root (QoUtils::checkPeerPath), or a record without a
  // copy, raises QoExceptionZeBadPath and changes nothing.
  void converFileRelativePathToAbsolutePath();
  // Stores an incoming change; the caller holds a transaction. Without `updateSha1` the file
  // keeps the SHA-1 it carries: its content was just installed from a checked download.
  void insertRelationUpdateSha1(bool updateSha1);
  void insertRelation() { insertRelationUpdateSha1(true); }
  void updateRelation();
  void deleteRelation();

  // The temporary download beside the file, a name no other transfer of this process holds
  // (TmpFileName); fixed until the record's fetch event has been handled.
  std::string getTempFilePath();
  // Gives the name up once the temporary file is gone; a later download takes a new one.
  void releaseTempFilePath();
  void setRelativeFilePath(const std::string& value) { relativeFilePath_ = value; }
  // The file's path below the copy root, with its leading "/".
  std::string getRelativeFilePath();
  int32_t getFileFetchEvent() const { return currentFetchEvent_; }
  void setFileFetchEvent(int32_t event) { currentFetchEvent_ = event; }
  const std::string& getRemoteSyncdirCopyUuid() const { return remoteSyncdirCopyUuid_; }
  void setRemoteSyncdirCopyUuid(const std::string& value) { remoteSyncdirCopyUuid_ = value; }
  const Ptr& getFileRelationLocal() const { return fileRelationLocal_; }
  void setFileRelationLocal(Ptr value) { fileRelationLocal_ = std::move(value); }
  // The local record this arriving record was compared with; none when it was not compared.
  const std::optional<LocalVersion>& getLocalVersion() const { return localVersion_; }
  void setLocalVersion(std::optional<LocalVersion> value) { localVersion_ = std::move(value); }
  bool isRenameLocalWhenConflict() const { return isRenameLocalWhenConflict_; }
  void setIsRenameLocalWHenConflict(bool value) { isRenameLocalWhenConflict_ = value; }
  // A present file whose name the disk lists under another spelling, held by another item (a
  // disk that ignores letter case), goes in under a conflict name, and the peer's spelling is
  // recorded removed here; without this, its install is refused. Set for a clash that outlasted
  // a case-only rename that may still be on its way.
  void setCopyOnSpellingClash(bool value) { copyOnSpellingClash_ = value; }
  // The last event applied was refused so.
  bool refusedForSpellingClash() const { return refusedForSpellingClash_; }
  // The temporary download file open for writing, emptied when this call opens it (a handle
  // already open is returned as it is); null when it cannot be opened. It is opened inside the
  // copy's folder, never through a link.
  std::shared_ptr<TmpFileStream> getTmpFileHandle();
  // Creates the empty temporary download at `tmpPath` inside the copy at `copyRoot`, never
  // through a link; nothing (logged) when that cannot be done. Touches no record.
  static std::shared_ptr<TmpFileStream> openTmpFile(const std::string& copyRoot, const std::string& tmpPath);
  // The temporary name of this transfer (getTempFilePath() is its path); nothing without a file.
  std::shared_ptr<const TmpFileName> getTempFileName();
  // Removes what stands at the temporary download's path `tmpPath` inside the copy at
  // `copyRoot`, unless it is a folder, never through a link; logs a failure. Touches no record.
  // With the `place` the file was created in, it is removed from there first, wherever that
  // folder now stands.
  static void removeTmpFile(const std::string& copyRoot, const std::string& tmpPath,
                            const std::shared_ptr<const TmpFilePlace>& place = nullptr);
  // The temporary download, opened by openTmpFile at getTempFilePath(), becomes this record's;
  // its place is kept until the record's fetch event has been handled.
  void adoptTmpFileHandle(std::shared_ptr<TmpFileStream> handle) {
    // A file opened without its folder at hand is removed by its path, not by an earlier place.
    if (handle) tmpFilePlace_ = handle->place();
    fileHandle_ = std::move(handle);
  }
  void closeTmpFileHandle();
  // The temporary file as it was when its content was found to match the record's SHA-1,
  // before the event took the "transaction" locker; nothing when it was not checked or did not match.
  const std::optional<struct stat>& getCheckedDownload() const { return checkedDownload_; }
  // The complete download as checked and flushed on a worker thread (DownloadSync), for the
  // next fetch event: its check and flush stand while the file stays as they left it.
  void setDownloadSync(std::shared_ptr<const DownloadSync> value) { downloadSync_ = std::move(value); }
  const std::shared_ptr<const DownloadSync>& getDownloadSync() const { return downloadSync_; }
  // A file the event being applied installed, with its status right after: the system's own
  // write, told to the monitor (OwnInstalls) once the event's transaction is committed.
  // `stampedInPlace`: a file of the user's given its attributes where it stands; a write in the
  // moment between its last look and the stamp is hidden under the time set, so its next event
  // reads it again (RecordedStates) instead of taking it for the install.
  void addInstalledFile(const std::string& path, const struct stat& status, bool stampedInPlace = false) {
    installedFiles_.push_back(Installed{path, status, stampedInPlace});
  }

  // Applying a fetched change: this record as it came from the peer, applied to the disk and
  // the database as one unit (FileFetchEvent.h). Answers false when it failed: nothing is
  // recorded, the temporary file is gone and the pairing's failed usn is set.
  static const char* fetchEventString(int32_t event);
  // The folders on the way to this incoming item that are missing here (removed while the
  // peer added something below them) are made again and recorded present as local changes,
  // so that the peer hears of them again, in one transaction. The copy's root itself is never
  // made. Answers false (logged) when that cannot be done, say a file stands on the way; the
  // item then fails as it would have.
  bool restoreMissingFolders();
  bool handleFetchEvent(int32_t event);
  // Reads and hashes the complete download for the install to come, unless its flush did:
  // called before the "transaction" locker is taken, so no other writer waits on the read.
  // The install reads the file again only when it changed since.
  void checkDownload();
  bool handleFetchEventDefault() { return handleFetchEvent(currentFetchEvent_); }
  // Gives up this record's fetch without applying anything: its temporary file goes.
  void dropFetch();
  void handleFetchEventSuccessful();
  void deleteTmpFile();
  void fileRename();
  void handleFFOOConflict();
  void handleFFDOConflict();
  void handleFFODConflict();
  void handleFFDDConflict();
  void handleFDOOConflict();
  void handleFDDOConflict();
  void handleFDODConflict();
  void handleFDDDConflict();
  void handleDFOOConflict();
  void handleDFDOConflict();
  void handleDFODConflict();
  void handleDFDDConflict();
  void handleDDOOConflict();
  void handleDDDOConflict();
  void handleDDODConflict();
  void handleDDDDConflict();
  void handleFetchEventFFConflict();
  void handleFetchEventFDConflict();
  void handleFetchEventDFConflict();
  void handleFetchEventDDConflict();
  void handleFetchEventCreateEmptyFile();
  void handleFetchEventRenameFile();
  bool installedBesideOtherSpelling();

  const std::shared_ptr<QoSyncdirCopy>& syncdirCopy() const { return syncdirCopy_; }
  void setSyncdirCopy(std::shared_ptr<QoSyncdirCopy> value) { syncdirCopy_ = std::move(value); }
  const std::shared_ptr<QoFile>& file() const { return file_; }
  void setFile(std::shared_ptr<QoFile> value) { file_ = std::move(value); }

 private:
  // Reads the rows of a query that selects the record, copy, device and file columns in turn.
  static List findWithQuery(const std::string& sql, const std::optional<Parameters>& parameters);
  std::optional<std::string> vclockData() const;
  // Stores merge(stored clock, incoming clock) in this record.
  void mergeVclockFrom(const Vclock& incoming);

  std::shared_ptr<QoSyncdirCopy> syncdirCopy_;
  std::shared_ptr<QoFile> file_;
  std::string vclock_;

  Vclock vclockObject_;
  std::string relativeFilePath_;
  std::shared_ptr<const TmpFileName> tmpFileName_;
  int32_t currentFetchEvent_ = 0;
  std::string remoteSyncdirCopyUuid_;
  Ptr fileRelationLocal_;
  std::optional<LocalVersion> localVersion_;
  bool isRenameLocalWhenConflict_ = false;
  bool copyOnSpellingClash_ = false;
  bool refusedForSpellingClash_ = false;
  std::shared_ptr<TmpFileStream> fileHandle_;
  std::shared_ptr<const TmpFilePlace> tmpFilePlace_;
  std::optional<struct stat> checkedDownload_;
  std::shared_ptr<const DownloadSync> downloadSync_;
  struct Installed {
    std::string path;
    struct stat status;
    bool stampedInPlace;
  };
  std::vector<Installed> installedFiles_;
};

}  // namespace velbor
