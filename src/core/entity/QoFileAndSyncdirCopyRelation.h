#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/entity/TmpFileName.h"
#include "core/entity/TmpFileStream.h"
#include "core/utils/Vclock.h"
#include "framework/persistence/PersistentEntity.h"

namespace velbor {

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
  // Stores an incoming change; the caller holds a transaction.
  void insertRelation();
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
  bool isRenameLocalWhenConflict() const { return isRenameLocalWhenConflict_; }
  void setIsRenameLocalWHenConflict(bool value) { isRenameLocalWhenConflict_ = value; }
  // The temporary download file open for writing, emptied when this call opens it (a handle
  // already open is returned as it is); null when it cannot be opened. It is opened inside the
  // copy's folder, never through a link.
  std::shared_ptr<TmpFileStream> getTmpFileHandle();
  void closeTmpFileHandle();

  // Applying a fetched change: this record as it came from the peer, applied to the disk and
  // the database as one unit (FileFetchEvent.h). Answers false when it failed: nothing is
  // recorded, the temporary file is gone and the pairing's failed usn is set.
  static const char* fetchEventString(int32_t event);
  bool handleFetchEvent(int32_t event);
  bool handleFetchEventDefault() { return handleFetchEvent(currentFetchEvent_); }
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

  const std::shared_ptr<QoSyncdirCopy>& syncdirCopy() const { return syncdirCopy_; }
  void setSyncdirCopy(std::shared_ptr<QoSyncdirCopy> value) { syncdirCopy_ = std::move(value); }
  const std::shared_ptr<QoFile>& file() const { return file_; }
  void setFile(std::shared_ptr<QoFile> value) { file_ = std::move(value); }

 private:
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
  bool isRenameLocalWhenConflict_ = false;
  std::shared_ptr<TmpFileStream> fileHandle_;
};

}  // namespace velbor
