#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "framework/persistence/PersistentEntity.h"

namespace velbor {

class CopyItemFolder;
class QoFileAndSyncdirCopyRelation;

// The record of one local path, shared by its file-in-copy records. A removed path keeps
// its row (status 1) with a new usn, so the removal travels to peers by usn.
class QoFile : public PersistentEntity<QoFile> {
 public:
  using RelationList = std::vector<std::shared_ptr<QoFileAndSyncdirCopyRelation>>;
  using Comparator = std::function<bool(const Ptr&, const Ptr&)>;

  // `type`: 0 regular file, 1 directory, 3 anything else (never synchronised).
  // `status`: 0 present, 1 removed.
  // `winAttr` and `androidAttr` hold this (0xFFFFFFFF) when the attribute is absent.
  static constexpr int32_t kAbsentAttribute = -1;
  static std::string className() { return "QoFile"; }
  static std::string getTypeString(int32_t type);
  static std::string getStatusString(int32_t status);
  // By path, case-insensitive, ascending / descending.
  static Comparator sortComparator();
  static Comparator sortComparatorDesc();
  static std::vector<std::string> uniques();
  // Peers pull changes by usn.
  static std::vector<std::vector<std::string>> indices();
  static std::vector<std::string> propertiesOrderedArray();
  static std::vector<PersistentProperty> propertiesWithEncodedTypes();

  void setUsnAuto();
  static List findByCriteria(const std::string& criteria, const std::optional<Parameters>& parameters = std::nullopt);
  void save() override;

  static Ptr getFileWithPath(const std::string& path);
  // Bits: 1 only on disk, 128 only stored; else 8 type, 32 stored removed, 16 permissions,
  // 4 modification second differ.
  static int compareFileBetweenFileSystem(const Ptr& fileSystem, const Ptr& database);
  // The helpers that change the disk work only inside a local copy, reaching the item from
  // the copy's root without following any link (CopyItemFolder); a path in no local copy is
  // refused.
  // Renames source onto destination in one step, replacing a file there; raises QoException
  // when the rename fails (the destination is then untouched).
  static void moveItemAtPath(const std::string& source, const std::string& destination);
  // They log and otherwise ignore errors.
  static void setFilePosixPermissions(int32_t permissions, const std::string& path);
  static void setFileAttributeAtPath(const std::string& path, int32_t permissions, int64_t mtime);
  // NO also when a file standing at the path holds a change not yet recorded: it is kept.
  static bool createDirectoryAtPath(const std::string& path, int32_t permissions, int64_t mtime);
  // Whether the item `folder.name()` is what the record of `path` says, so that replacing it
  // loses nothing: a regular file or folder must match its present record (a file by size,
  // time to the millisecond, permission bits where the disk keeps them and, when
  // RecordedStates knows of a change since, content; it may
  // instead hold `incomingSha1`, the content about to be installed); links and other special
  // items, never synchronised, always may go.
  static bool isRecordedAsOnDisk(const CopyItemFolder& folder, const std::string& path,
                                 const std::string& incomingSha1 = std::string());
  // The same for the item `name` of `folder`, standing elsewhere than at `path` (just moved
  // aside from it).
  static bool isRecordedAsOnDisk(const CopyItemFolder& folder, const std::string& name, const std::string& path,
                                 const std::string& incomingSha1);
  // Milliseconds since 1970; 0 when unreadable.
  static int64_t getFileModifyTimeAtPath(const std::string& path);
  static int32_t unixFileType(const std::string& path);
  static std::string addEscapeChar(const std::string& text);
  // Rebuilds the ignore pattern from the syncHiddenFile setting.
  static void generateRegexExpress();
  static bool matchIgnoreFilter(const std::string& path);
  // Never enters a link, also not one on the way inside a local copy; names that are not
  // UTF-8 are left out.
  static std::vector<std::string> getDirectorySubFilePathsAtPath(const std::string& path, bool sorted, bool isRelative);

  // A record of the item on disk (not stored); null when it cannot be read or its path is not
  // UTF-8. On a file system that keeps no permission bits (ModeKeeping) the record holds the
  // default mode instead of what the disk shows, until keepModeOf gives it the stored one.
  // With `learnModes` an item of a local copy on a file system not probed lately has it
  // probed first, in a folder of the copy; without it nothing is ever written (a look on
  // behalf of another device), and what the disk shows stands unless it is known to keep none.
  static Ptr initWithPath(const std::string& path, bool learnModes = true);
  // The permission bits to record for the item `path` in `status`: its own, or none (nothing)
  // where its file system keeps none; `learnModes` as for initWithPath.
  static std::optional<int32_t> modeOnDisk(const std::string& path, const struct stat& status, bool learnModes = true);
  // Where the disk keeps no permission bits, the record of the item keeps those of `stored`,
  // the record of the same path, when that is of the same type.
  void keepModeOf(const QoFile& stored);
  // How many names the item had on disk when it was read (not stored; 0 for a record not read
  // from the disk).
  uint64_t linkCount() const { return linkCount_; }

  std::shared_ptr<QoFileAndSyncdirCopyRelation> getRelationWithSyncdirCopyId(int32_t syncdirCopyPk) const;
  int64_t getFileRelationsCount() const;
  RelationList getFileRelations() const;
  // This path and every stored path below it.
  List getSubFiles() const;
  // The highest usn recorded of any file; 0 when none is.
  static int64_t highestUsn();
  // The records present right in the folder `folder` (not below its entries).
  static List presentIn(const std::string& folder);

  // Local changes; the caller holds a transaction.
  void updateRelationUpdateSha1(bool updateSha1);
  void updateRelation() { updateRelationUpdateSha1(true); }
  void deleteRelation();
  // Marks this path and every stored path below it removed; rows already removed stay as they are.
  void deleteRelationRecursion();
  // Without `updateSha1` the record keeps the SHA-1 it carries (hashed by the caller).
  void insertRelationUpdateSha1(bool updateSha1);
  void insertRelation() { insertRelationUpdateSha1(true); }

  // "<path>.Conflict(<short uuid>)"; a name too long to take the suffix within 255 bytes is
  // cut at a character boundary first.
  std::string generateConflictPath() const { return conflictPathOf(path_); }
  static std::string conflictPathOf(const std::string& path);
  bool isModifyAgain() const;
  std::string getTypeString() const { return getTypeString(type_); }
  std::string getStatusString() const { return getStatusString(status_); }

  int32_t status() const { return status_; }
  void setStatus(int32_t value) { status_ = value; }
  int64_t length() const { return length_; }
  void setLength(int64_t value) { length_ = value; }
  int64_t usn() const { return usn_; }
  void setUsn(int64_t value) { usn_ = value; }
  int32_t androidAttr() const { return androidAttr_; }
  void setAndroidAttr(int32_t value) { androidAttr_ = value; }
  // Milliseconds since 1970.
  int64_t contentModTime() const { return contentModTime_; }
  void setContentModTime(int64_t value) { contentModTime_ = value; }
  int32_t winAttr() const { return winAttr_; }
  void setWinAttr(int32_t value) { winAttr_ = value; }
  const std::string& path() const { return path_; }
  void setPath(const std::string& value) { path_ = value; }
  const std::string& sha1() const { return sha1_; }
  void setSha1(const std::string& value) { sha1_ = value; }
  int32_t type() const { return type_; }
  void setType(int32_t value) { type_ = value; }
  int32_t unixAttr() const { return unixAttr_; }
  void setUnixAttr(int32_t value) { unixAttr_ = value; }

 private:
  void computeSha1IfRegular();

  int32_t status_ = 0;
  int64_t length_ = 0;
  int64_t usn_ = 0;
  int32_t androidAttr_ = kAbsentAttribute;
  int64_t contentModTime_ = 0;
  int32_t winAttr_ = kAbsentAttribute;
  std::string path_;
  std::string sha1_;
  int32_t type_ = 0;
  int32_t unixAttr_ = 0;
  // Not stored: unixAttr_ was not read from the disk, which keeps no permission bits.
  bool modeNotKept_ = false;
  uint64_t linkCount_ = 0;
};

}  // namespace velbor
