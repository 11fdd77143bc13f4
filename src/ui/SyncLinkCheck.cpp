#include "ui/SyncLinkCheck.h"

#include <utility>

#include "core/entity/QoDevice.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/entity/QoSyncdirCopyRelation.h"
#include "proto/VelborProto.pb.h"

namespace velbor {

SyncLinkCheck::SyncLinkCheck(Result result, std::shared_ptr<QoSyncdirCopy> localCopy)
    : result_(result), localCopy_(std::move(localCopy)) {}

SyncLinkCheck SyncLinkCheck::check(const std::optional<std::string>& localPath,
                                   const std::shared_ptr<QoDevice>& remoteDevice,
                                   const std::shared_ptr<pb::TreeInfo>& remoteTree) {
  std::shared_ptr<QoSyncdirCopy> copy;
  if (localPath) copy = QoSyncdirCopy::getSyncdirCopyWithPath(*localPath, 0);
  if (!localPath || !remoteTree || !remoteDevice) return {Result::Incomplete, copy};
  if (!copy) return {Result::NewTree, nullptr};
  if (copy->device() && copy->device()->pk() == remoteDevice->pk() && remoteTree->tree_root() == copy->path()) {
    return {Result::SameFolder, copy};
  }
  if (copy->syncdirUuid() != remoteTree->sync_uuid()) {
    if (!copy->getAllSyncdirCopyRelations().empty()) return {Result::PairedElsewhere, copy};
    return {Result::JoinSyncdir, copy};
  }
  if (QoSyncdirCopyRelation::getSyncdirCopyRelationsWithFirstUuid(copy->uuid(), remoteTree->tree_uuid())) {
    return {Result::PairExists, copy};
  }
  return {Result::Link, copy};
}

bool SyncLinkCheck::canLink() const {
  return result_ == Result::NewTree || result_ == Result::JoinSyncdir || result_ == Result::Link;
}

QString SyncLinkCheck::alertText() const {
  switch (result_) {
    case Result::SameFolder:
      return QStringLiteral("相同目录之间不能建立同步");
    case Result::PairedElsewhere:
      return QStringLiteral("该目录已经和别的目录建立同步");
    case Result::PairExists:
      return QStringLiteral("当前同步关系已存在");
    default:
      return {};
  }
}

}  // namespace velbor
