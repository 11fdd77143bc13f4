#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "framework/persistence/PersistentEntity.h"

namespace velbor {

class QoDevice;
class QoFile;
class QoFileAndSyncdirCopyRelation;
class QoSyncdirCopyRelation;

// One device's copy of a sync folder (a tree on the wire). Rows are never deleted: a copy
// taken off its device keeps its row with device -1, so its vector-clock slot stays taken.
// Paths compare byte-wise; containment is an exact prefix followed by "/".
class QoSyncdirCopy : public PersistentEntity<QoSyncdirCopy> {
 public:
  using FileList = std::vector<std::shared_ptr<QoFile>>;
  using RelationList = std::vector<std::shared_ptr<QoFileAndSyncdirCopyRelation>>;

  static std::string className() { return "QoSyncdirCopy"; }
  static std::vector<std::pair<std::string, std::string>> getPropertiesList();
  static std::vector<std::string> propertiesOrderedArray();
  static std::vector<std::string> uniques();
  static std::vector<PersistentProperty> propertiesWithEncodedTypes();

  // Reads the copy with its holding device (columns of qo_device may be named in the
  // criteria). An error while reading raises the assertion exception.
  static List findByCriteria(const std::string& criteria, const std::optional<Parameters>& parameters = std::nullopt);
  // Saves the device first; failures are logged, not raised.
  void save() override;

  static Ptr getSyncdirCopyWithUuid(const std::string& uuid);
  // Copies, still on a device, whose root strictly contains the absolute path.
  static List getSyncdirCopysWithFilePath(const std::string& path);
  static Ptr getSyncdirCopyWithFilePath(const std::string& path);
  static Ptr getSyncdirCopyWithPath(const std::string& path, int32_t devicePk);
  static List getSyncdirCopyWithDevicePk(int32_t devicePk);
  static List getSyncdirCopyInLocalDevice();
  // All copies of a sync folder in slot order.
  static List getSyncdirCopysWithSyncdirUuid(const std::string& syncdirUuid);
  // Whether a local copy of the sync folder lies strictly below `path` or strictly contains it.
  static bool isNestedSyncdirCopyHasSameSyncUuid(const std::string& syncdirUuid, const std::string& path);

  // Changed paths gathered by the monitor (it holds the "monitor" locker around these).
  std::set<std::string>& getPathsChangeSet() { return pathsChangeSet_; }
  void deleteAllObjectInPathsChangeSet() { pathsChangeSet_.clear(); }
  void deleteObjectFromPathsChangeSet(const std::string& path) { pathsChangeSet_.erase(path); }
  void setPathsChangeSetWithPath(const std::string& path) { pathsChangeSet_.insert(path); }

  // Files still being written: recorded with their modification time, handed out (and
  // forgotten) once the time stops changing.
  void addBigFileWithPath(const std::string& path);
  void removeBigFileWithPath(const std::string& path) { bigFiles_.erase(path); }
  size_t bigFileCount() const { return bigFiles_.size(); }
  std::vector<std::string> getBigFilesUnchanged();

  std::vector<std::shared_ptr<QoSyncdirCopyRelation>> getAllSyncdirCopyRelations() const;
  List getSyncdirCopysWithSameSyncUuid() const;
  // Copy uuids in slot order: the counter order of the folder's vector clocks.
  std::vector<std::string> getSyncdirCopysUuidList() const;
  std::shared_ptr<QoFileAndSyncdirCopyRelation> getFileRelationWithFilePath(const std::string& path) const;
  RelationList getAllFileRelations() const;
  RelationList getFileRelationsWithUsn(int64_t usn) const;
  // In usn order, at most `limit` (negative: no bound).
  RelationList getFileRelationsWithUsn(int64_t usn, int32_t limit) const;
  // Rows of this sync folder, any device: the next free slot.
  int64_t getMaxIndex() const;
  Ptr getSyncdirCopyByPath() const;
  Ptr getSyncdirCopyByPathInDevicePk(int32_t devicePk) const;
  Ptr getSyncdirCopyByPathInLocalDevice() const;

  // Batch writes of local changes, each in one transaction (nested in the caller's when one is
  // open). A failure is logged, the batch rolled back and the exception raised again.
  void deleteFiles(const FileList& files);
  void insertFiles(const FileList& files);
  void updateFiles(const FileList& files);

  // First six characters of the uuid, "Uninited UUID" without one.
  std::string shortUuid() const;
  // Saves; a new copy first takes the next free slot of its sync folder, and is refused
  // (QoExceptionZeGeneral) when the folder keeps kMaxCopiesPerSyncdir copies already.
  void insert();
  // The most copies one sync folder keeps, far more than one user's devices hold: the copy
  // lists of find replies and get requests are bounded by it, and the copies peers name are
  // stored only up to it, so that a list taken from one device is always accepted by another.
  static constexpr size_t kMaxCopiesPerSyncdir = 1024;
  // Keeps a vector-clock slot of the sync folder `syncdirUuid` for the copy `uuid` that a
  // peer knows of: a row without a device named "reserve-<short uuid>". Nothing when a copy
  // of that uuid is stored already; two callers naming one new copy at once store it once.
  // False when it is not stored: the folder already keeps kMaxCopiesPerSyncdir copies.
  static bool addPlaceholderCopy(const std::string& syncdirUuid, const std::string& uuid);
  void deleteFileRelation();
  // Drops the copy's pairings and file-in-copy records and takes it off its device.
  void forceRemove();
  // Brings the records in line with the copy's folder on disk (one rescan at a time per
  // copy, whichever object runs it); posts the index notices and, when anything changed, "FileChanged".
  // Once `stop` is requested it ends soon, recording nothing it has not read whole: a listing
  // not finished records no removal, a file not hashed to its end is not recorded; the next
  // rescan finds the rest. False when not everything found could be recorded (stopped, or the
  // database refused a write): the copy wants another rescan. `linked` hears of every listed
  // file that has more than one name.
  bool refresh(const std::stop_token& stop = {}, const std::function<void(const std::string&)>& linked = {});

  const std::string& path() const { return path_; }
  void setPath(const std::string& value) { path_ = value; }
  const std::shared_ptr<QoDevice>& device() const { return device_; }
  void setDevice(std::shared_ptr<QoDevice> value) { device_ = std::move(value); }
  const std::string& syncdirUuid() const { return syncdirUuid_; }
  void setSyncdirUuid(const std::string& value) { syncdirUuid_ = value; }
  int64_t vcIndex() const { return vcIndex_; }
  void setVcIndex(int64_t value) { vcIndex_ = value; }
  const std::string& uuid() const { return uuid_; }
  void setUuid(const std::string& value) { uuid_ = value; }

  // Guards against a second rescan through this object.
  bool isRefreshing() const { return refreshing_; }
  void setRefreshing(bool value) { refreshing_ = value; }

 private:
  std::string path_;
  std::shared_ptr<QoDevice> device_;
  std::string syncdirUuid_;
  int64_t vcIndex_ = 0;
  std::string uuid_;

  std::set<std::string> pathsChangeSet_;
  std::map<std::string, int64_t> bigFiles_;
  bool refreshing_ = false;
};

}  // namespace velbor
