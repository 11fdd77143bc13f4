#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>

#include "core/daemon/router/QoRequestBody.h"
#include "core/daemon/router/QoWorker.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/entity/QoSyncdirCopyRelation.h"
#include "core/entity/SyncdirMark.h"
#include "core/state/DataSource.h"
#include "core/state/Lockers.h"
#include "core/state/QoNotices.h"
#include "core/utils/QoUtils.h"
#include "framework/errors/QoExceptionProto.h"
#include "platform/FileSystemKind.h"
#include "platform/LockerGuard.h"
#include "platform/QoLog.h"
#include "proto/VelborProto.pb.h"

namespace velbor {
namespace {

// The folder a new tree is rooted at, as it is stored: the given root with every link,
// ".", ".." and doubled "/" resolved (realpath), so that one folder has one spelling and
// the look-ups for an existing or nested tree cannot be passed by writing it another way.
// Resolving needs the folder to exist, so a missing root is refused here, before the
// database is looked at. The file-system root, anything that is no folder, a folder of a
// pseudo file system and one this device's user cannot write are refused.
std::string resolveTreeRoot(const std::string& treeRoot) {
  namespace fs = std::filesystem;
  std::string root = treeRoot;
  if (!root.empty() && root.back() == '/') root.pop_back();
  std::error_code error;
  const fs::path resolved = root.empty() ? fs::path() : fs::canonical(root, error);
  if (root.empty() || error) throw QoExceptionZeBadPath::defaultExceptionWithReason("Path({}) is not exist!", root);
  if (resolved == "/") throw QoExceptionZeBadPath::defaultExceptionWithReason("Bad path({}) for tree root", treeRoot);
  if (!fs::is_directory(resolved, error)) {
    throw QoExceptionZeBadPath::defaultExceptionWithReason("Path({}) is not a directory!", root);
  }
  // The kernel's own views hold files that never end (/proc/*/pagemap): a rescan would read them.
  if (const std::string kind = FileSystemKind::pseudoName(resolved.string()); !kind.empty()) {
    throw QoExceptionZeBadPath::defaultExceptionWithReason("Path({}) is on the {} file system, not a place for a tree",
                                                           root, kind);
  }
  // Every file of a tree arrives by a rename into its folder.
  if (!FileSystemKind::isWritableFolder(resolved.string())) {
    throw QoExceptionZePermissionDeny::defaultExceptionWithReason("Path({}) is not writable", root);
  }
  return resolved.string();
}

// The local copy whose folder this one is, seen from another place (a bind mount): two copies
// in one folder would each take the mark from the other, one of them always missing.
QoSyncdirCopy::Ptr copyOfSameFolder(const std::string& root) {
  struct stat rootStatus {};
  if (::stat(root.c_str(), &rootStatus) != 0) return nullptr;
  for (const auto& other : QoSyncdirCopy::getSyncdirCopyInLocalDevice()) {
    struct stat status {};
    if (::stat(other->path().c_str(), &status) == 0 && status.st_dev == rootStatus.st_dev &&
        status.st_ino == rootStatus.st_ino) {
      return other;
    }
  }
  return nullptr;
}

}  // namespace

QoMessage::Ptr QoWorker::handleTreeAddRequest(const QoRequest& request) {
  const auto body = requireBody<pb::MsgTreeAddRequest>(request);
  QoLog("handle TreeAddRequest message {}", body->tree_root());
  if (!QoUtils::checkUuid(body->sync_uuid())) {
    throw QoExceptionZeBadUuid::defaultExceptionWithReason("Bad Uuid for request syncdir uuid");
  }
  if (body->has_tree_uuid() && !QoUtils::checkUuid(body->tree_uuid())) {
    throw QoExceptionZeBadUuid::defaultExceptionWithReason("Bad Uuid for request tree uuid");
  }
  if (!QoUtils::checkPath(body->tree_root())) {
    throw QoExceptionZeBadPath::defaultExceptionWithReason("Bad path({}) for tree root", body->tree_root());
  }
  const std::string root = resolveTreeRoot(body->tree_root());

  auto copy = std::make_shared<QoSyncdirCopy>();
  {
    // Checked and stored under one lock, so two requests cannot both create the tree.
    LockerGuard lock(Lockers::transaction());
    if (const auto existing = QoSyncdirCopy::getSyncdirCopyWithPath(root, 0)) {
      QoLog("Local syncdir copy exist. copy-uuid({}) syncdir-uuid({})", existing->uuid(), existing->syncdirUuid());
      if (existing->syncdirUuid() == body->sync_uuid())
        throw QoExceptionZeExist::defaultExceptionWithReason("Tree exist");
      throw QoExceptionZeExist::defaultExceptionWithReason("SyncdirCopy({}) in syncdir({}) already exist.",
                                                           existing->path(), existing->syncdirUuid());
    }
    if (const auto same = copyOfSameFolder(root)) {
      throw QoExceptionZeExist::defaultExceptionWithReason("SyncdirCopy({}) in syncdir({}) already exist.",
                                                           same->path(), same->syncdirUuid());
    }
    // A uuid names one copy: a second row would share its slot's identity.
    if (body->has_tree_uuid() && QoSyncdirCopy::getSyncdirCopyWithUuid(body->tree_uuid())) {
      throw QoExceptionZeExist::defaultExceptionWithReason("Tree({}) exist", body->tree_uuid());
    }
    if (QoSyncdirCopy::isNestedSyncdirCopyHasSameSyncUuid(body->sync_uuid(), root)) {
      throw QoExceptionZeNestedTree::defaultExceptionWithReason("Nested tree({})", root);
    }
    const auto local = QoDevice::getDeviceLocal();
    QoAssert(local != nullptr, "Local device info can not be nil");
    copy->setSyncdirUuid(body->sync_uuid());
    copy->setDevice(local);
    copy->setPath(root);
    copy->setUuid(body->has_tree_uuid() ? body->tree_uuid() : QoUtils::generateUuid());
    // The folder is this copy's from now on, even where it holds the mark of another copy (a
    // folder copied with its mark, a disk that held another sync folder). Marked before it is
    // stored: stored in a folder that kept the other mark (a full disk, the program killed
    // meanwhile), the copy would be missing from its first look on.
    if (!SyncdirMark::markAs(*copy) && SyncdirMark::stateOf(*copy) == SyncdirMark::State::kOtherMark) {
      throw QoExceptionZeGeneral::defaultExceptionWithReason("Tree({}) can not replace the mark of another copy there",
                                                             root);
    }
    copy->insert();
    // Saving logs its failure instead of raising: never answer a tree that was not stored.
    if (copy->pk() < 0) throw QoExceptionZeGeneral::defaultExceptionWithReason("Tree({}) can not be stored", root);
  }
  auto response = std::make_shared<pb::MsgTreeAddResponse>();
  response->set_tree_uuid(copy->uuid());
  auto reply = QoMessage::qoMessageWithMsgCode(pb::MsgCodeTreeAddResponse, std::move(response));
  QoNotices::post(notice::TreeAddResponse{copy});
  return reply;
}

QoMessage::Ptr QoWorker::handleTreeDeleteRequest(const QoRequest& request) {
  QoLog("handle TreeDeleteRequest message");
  const auto body = requireBody<pb::MsgTreeDeleteRequest>(request);
  if (!QoUtils::checkUuid(body->tree_uuid())) {
    throw QoExceptionZeBadUuid::defaultExceptionWithReason("Bad Uuid for request tree uuid");
  }
  {
    // A pairing made between the check and the removal would be removed with the tree.
    LockerGuard lock(Lockers::transaction());
    const auto copy = QoSyncdirCopy::getSyncdirCopyWithUuid(body->tree_uuid());
    if (!copy) {
      QoLog("Tree({}) is not exist!", body->tree_uuid());
      throw QoExceptionZeNoent::defaultExceptionWithReason("Tree({}) is not exist", body->tree_uuid());
    }
    if (!QoSyncdirCopyRelation::getSyncdirCopyRelationsWithFirstPk(copy->pk()).empty()) {
      QoLog("Sync(first) relation is still exist.");
      throw QoExceptionZeSyncNoempty::defaultExceptionWithReason(
          "Sync relation is still exist. Please delete sync first");
    }
    if (!QoSyncdirCopyRelation::getSyncdirCopyRelationsWithSecondPk(copy->pk()).empty()) {
      QoLog("Sync(second) relation is still exist.");
      throw QoExceptionZeSyncNoempty::defaultExceptionWithReason(
          "Sync relation is still exist. Please delete sync first");
    }
    copy->forceRemove();
  }
  QoNotices::post(notice::TreeDeleteResponse{});
  return QoMessage::qoMessageWithMsgCode(pb::MsgCodeTreeDeleteResponse, nullptr);
}

QoMessage::Ptr QoWorker::handleTreeShowRequest(const QoRequest& request) {
  QoAssert(!request.body, "Tree show request must be nil!!");
  QoLog("handle TreeShowRequest message");
  auto response = std::make_shared<pb::MsgTreeShowResponse>();
  for (const auto& copy : QoSyncdirCopy::getSyncdirCopyInLocalDevice()) {
    pb::TreeInfo* info = response->add_trees();
    info->set_id(copy->pk());
    info->set_sync_uuid(copy->syncdirUuid());
    info->set_tree_uuid(copy->uuid());
    info->set_tree_root(copy->path());
  }
  return QoMessage::qoMessageWithMsgCode(pb::MsgCodeTreeShowResponse, std::move(response));
}

}  // namespace velbor
