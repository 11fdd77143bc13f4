#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/daemon/sync/QoWorkerSync.h"
#include "core/entity/FetchTestBase.h"

namespace velbor::test {

// A pairing of the local copy with the peer's copy, and a page of the peer's records to sort
// and apply. A third copy known only by its uuid takes slot 2. Clocks are written in local
// slot order (local, peer, third); the page carries them in the peer's order (peer, third,
// local), as a peer sends them.
class SyncTestBase : public FetchTestBase {
 public:
  using RelationList = QoWorkerSync::RelationList;

  // Against a local record just recorded (clock "1").
  static inline const std::vector<uint64_t> kNewer{1, 1};
  static inline const std::vector<uint64_t> kSame{1, 0};
  static inline const std::vector<uint64_t> kLocalNewer{0, 0};
  static inline const std::vector<uint64_t> kConcurrent{0, 1};

  // The seven lists of one page and its totals.
  struct Page {
    RelationList dirCreate, fileCreate, update, updateDir, deletions, conflicts, metadataOnly;
    int64_t maxUsn = 0;
    int64_t count = 0;
    int64_t bytes = 0;

    size_t listed() const {
      return dirCreate.size() + fileCreate.size() + update.size() + updateDir.size() + deletions.size() +
             conflicts.size() + metadataOnly.size();
    }
  };

 protected:
  void SetUp() override {
    FetchTestBase::SetUp();
    pairing_ = pair(local_, remote_);
    third_ = copy("reserve-THIRD0", nullptr, "S", "cccccc-third");
  }

  std::vector<std::string> localUuids() const { return local_->getSyncdirCopysUuidList(); }
  std::vector<std::string> remoteUuids() const { return {remote_->uuid(), third_->uuid(), local_->uuid()}; }

  // The peer's record of `relative` ("/" + relative on the wire).
  static pb::Stat stat(const std::string& relative, const Incoming& item, int64_t usn = kPeerUsn) {
    pb::Stat stat;
    stat.set_path(relative.starts_with('/') ? relative : "/" + relative);
    stat.set_type(item.type_ == 1 ? pb::FileTypeDirectory : pb::FileTypeFile);
    stat.set_status(item.status_ == 1 ? pb::FileStatusRemoved : pb::FileStatusPresent);
    const auto slot = [&](size_t index) {
      return static_cast<int32_t>(index < item.clock_.size() ? item.clock_[index] : 0);
    };
    for (const size_t index : {1, 2, 0}) stat.add_vclock(slot(index));
    stat.set_length(item.type_ == 0 ? static_cast<int64_t>(item.content_.size()) : 0);
    stat.set_mtime(item.mtime_);
    stat.set_sha1(item.type_ == 0 ? sha1Of(item.content_) : std::string());
    stat.set_usn(usn);
    stat.set_unix_attr(item.permissions_);
    return stat;
  }

  Page classify(const std::vector<pb::Stat>& stats) { return classify(stats, pairing_, remoteUuids(), localUuids()); }
  static Page classify(const std::vector<pb::Stat>& stats, const std::shared_ptr<QoSyncdirCopyRelation>& pairing,
                       const std::vector<std::string>& remote, const std::vector<std::string>& local) {
    QoWorkerSync::StatList list;
    for (const auto& one : stats) *list.Add() = one;
    Page page;
    page.bytes = QoWorkerSync::getCompareResultWithStatList(list, pairing, page.dirCreate, page.fileCreate, page.update,
                                                            page.updateDir, page.deletions, page.conflicts,
                                                            page.metadataOnly, page.maxUsn, page.count, remote, local);
    return page;
  }

  // Records what is on disk below `relative`, as the monitor's rescan would.
  void recordTree(const std::string& relative) {
    recordLocal(relative);
    for (const auto& path : QoFile::getDirectorySubFilePathsAtPath(at(relative), true, false)) {
      inTransaction([&] { QoFile::initWithPath(path)->insertRelation(); });
    }
  }

  // The temporary download the fetcher would have left for `record`.
  static void downloaded(const QoFileAndSyncdirCopyRelation::Ptr& record, const std::string& content) {
    auto handle = record->getTmpFileHandle();
    *handle << content;
    handle->flush();
  }

  std::shared_ptr<QoSyncdirCopyRelation> pairing_;
  QoSyncdirCopy::Ptr third_;
};

}  // namespace velbor::test
