#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "EntityTestBase.h"
#include "core/entity/FileFetchEvent.h"
#include "core/entity/SyncdirMark.h"
#include "core/utils/QoUtils.h"
#include "core/utils/Vclock.h"

namespace velbor::test {

// A local copy (slot 0) paired with a peer's copy (slot 1) in a temporary folder, and helpers
// that build incoming records the way the sync engine hands them over.
class FetchTestBase : public EntityTestBase {
 protected:
  static constexpr int64_t kPeerUsn = 7000;
  static constexpr int64_t kPeerTime = 1600000000123;  // ms

  void SetUp() override {
    EntityTestBase::SetUp();
    root_ = (home_.path() / "sync").string();
    std::filesystem::create_directories(root_);
    local_ = copy(root_, device(0, "local"), "S", "aaaaaa-local");
    remote_ = copy("/peer/sync", device(-1, "peer"), "S", "bbbbbb-remote");
    // As the first look of a pull does: the folder is marked as the copy's.
    ASSERT_TRUE(SyncdirMark::inPlace(*local_));
  }

  std::string at(const std::string& relative) const { return root_ + "/" + relative; }
  std::string pairingKey() const { return QoSyncdirCopyRelation::hashWithFirstUuid(local_->uuid(), remote_->uuid()); }
  int64_t failedUsn() { return DataSource::sharedDataSource().getSyncdirCopyRelationFailedUsn(pairingKey()); }

  static std::string sha1Of(const std::string& content) {
    TempDir dir;
    writeFile(dir / "x", content);
    return *QoUtils::getSha1StringWithPath((dir / "x").string());
  }

  // Records what is on disk at `relative` as a local change, as the monitor does.
  QoFileAndSyncdirCopyRelation::Ptr recordLocal(const std::string& relative) {
    inTransaction([&] { QoFile::initWithPath(at(relative))->insertRelation(); });
    return local_->getFileRelationWithFilePath(at(relative));
  }

  // What the peer's record says, and what its temporary file holds (none: no temporary file).
  struct Incoming {
    int32_t type_ = 0;
    int32_t status_ = 0;
    std::string content_;
    std::optional<std::string> download_;
    int32_t permissions_ = 0640;
    int64_t mtime_ = kPeerTime;
    std::vector<uint64_t> clock_{0, 3};

    Incoming& type(int32_t value) {
      type_ = value;
      return *this;
    }
    Incoming& status(int32_t value) {
      status_ = value;
      return *this;
    }
    Incoming& content(std::string value) {
      content_ = std::move(value);
      return *this;
    }
    Incoming& download(std::string value) {
      download_ = std::move(value);
      return *this;
    }
    Incoming& permissions(int32_t value) {
      permissions_ = value;
      return *this;
    }
    Incoming& mtime(int64_t value) {
      mtime_ = value;
      return *this;
    }
    Incoming& clock(std::vector<uint64_t> value) {
      clock_ = std::move(value);
      return *this;
    }
  };

  // The peer's record of `relative` in local slot order, keyed to the local record when there
  // is one, with its downloaded temporary file written and left open like the fetcher does.
  QoFileAndSyncdirCopyRelation::Ptr incoming(const std::string& relative, const Incoming& item) {
    auto file = std::make_shared<QoFile>();
    file->setPath(at(relative));
    file->setType(item.type_);
    file->setStatus(item.status_);
    file->setUnixAttr(item.permissions_);
    file->setContentModTime(item.mtime_);
    file->setUsn(kPeerUsn);
    if (item.type_ == 0) {
      file->setLength(static_cast<int64_t>(item.content_.size()));
      file->setSha1(sha1Of(item.content_));
    }
    auto relation = std::make_shared<QoFileAndSyncdirCopyRelation>();
    relation->setFile(file);
    relation->setSyncdirCopy(local_);
    relation->setVclock(Vclock(item.clock_).encode());
    relation->setRemoteSyncdirCopyUuid(remote_->uuid());
    if (auto local = local_->getFileRelationWithFilePath(at(relative))) {
      relation->setPkPublic(local->pk());
      file->setPkPublic(local->file()->pk());
      relation->setFileRelationLocal(local);
    }
    if (item.download_) {
      auto handle = relation->getTmpFileHandle();
      *handle << *item.download_;
      handle->flush();
    }
    return relation;
  }

  QoFile::Ptr stored(const std::string& relative) { return QoFile::getFileWithPath(at(relative)); }
  std::string storedClock(const std::string& relative) {
    auto relation = local_->getFileRelationWithFilePath(at(relative));
    return relation ? relation->vclock() : std::string();
  }

  static bool exists(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0;
  }
  static int64_t mtimeOf(const std::string& path) { return QoFile::getFileModifyTimeAtPath(path); }

  // Paths in the folder of `relative` whose names begin with its name and ".Conflict(".
  std::vector<std::string> conflictsOf(const std::string& relative) const {
    const std::filesystem::path path(at(relative));
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(path.parent_path())) {
      if (entry.path().filename().string().rfind(path.filename().string() + ".Conflict(", 0) == 0) {
        found.push_back(entry.path().string());
      }
    }
    return found;
  }

  // Every name left in the copy's folder tree that is a temporary download.
  std::vector<std::string> temporaries() const {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root_)) {
      const std::string name = entry.path().filename().string();
      if (name.size() > 15 && name.compare(name.size() - 15, 15, "Velbor.Download") == 0) found.push_back(name);
    }
    return found;
  }

  std::string root_;
  QoSyncdirCopy::Ptr local_;
  QoSyncdirCopy::Ptr remote_;
};

}  // namespace velbor::test
