#include "ui/SyncdirLinker.h"

#include <exception>
#include <optional>
#include <utility>

#include "core/daemon/client/QoClient.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoSyncdirCopy.h"
#include "platform/QoLog.h"
#include "proto/VelborProto.pb.h"

namespace velbor {
namespace {

std::string errstrOf(const QoMessage::Ptr& reply) {
  if (!reply) return {};
  const auto error = reply->pbBodyAs<pb::MsgError>();
  return error ? error->errstr() : std::string();
}

bool isErrorWithCode(const QoMessage::Ptr& reply, int32_t errcode) {
  if (!reply || reply->code() != pb::MsgCodeError) return false;
  const auto error = reply->pbBodyAs<pb::MsgError>();
  return error && error->errcode() == errcode;
}

}  // namespace

SyncdirLinker::SyncdirLinker(Choice choice, StatusHandler status)
    : choice_(std::move(choice)), status_(std::move(status)) {}

bool SyncdirLinker::doLinkSyncdir() {
  const pb::TreeInfo& remoteTree = *choice_.remoteTree;
  const std::shared_ptr<QoSyncdirCopy> local = localTreeInSyncdir();
  if (!local) return false;

  status_(true, true, QStringLiteral("正在创建同步关系..."));
  const QoDevice::Ptr localDevice = QoDevice::getDeviceLocal();
  const QoMessage::Ptr localReply =
      QoClient::sendSyncAddRequestTo(localDevice, QoClient::kOptionSync, local->uuid(), local->syncdirUuid(),
                                     remoteTree.tree_uuid(), remoteTree.tree_root(), choice_.remoteDevice->uuid());
  if (!localReply || localReply->code() != pb::MsgCodeSyncAddResponse) {
    QoLog("*** create local syncdir copy, {}", errstrOf(localReply));
    status_(true, true, QStringLiteral("创建同步关系出错！！"));
    return false;
  }

  // The mirror pairing, seen from the other device.
  const std::string localDeviceUuid = local->device() ? local->device()->uuid() : localDevice->uuid();
  const QoMessage::Ptr remoteReply =
      QoClient::sendSyncAddRequestTo(choice_.remoteDevice, QoClient::kOptionSync, remoteTree.tree_uuid(),
                                     remoteTree.sync_uuid(), local->uuid(), choice_.localPath, localDeviceUuid);
  if ((remoteReply && remoteReply->code() == pb::MsgCodeSyncAddResponse) ||
      isErrorWithCode(remoteReply, pb::ErrorCodeExist)) {
    return true;
  }
  status_(true, false, failureText(QStringLiteral("创建同步目录失败"), remoteReply, *choice_.remoteDevice));
  QoLog("*** notifaction sync add failed, {}: {}", errstrOf(remoteReply), errstrOf(remoteReply));
  return false;
}

std::shared_ptr<QoSyncdirCopy> SyncdirLinker::localTreeInSyncdir() {
  const pb::TreeInfo& remoteTree = *choice_.remoteTree;
  if (choice_.localCopy && choice_.localCopy->syncdirUuid() == remoteTree.sync_uuid()) return choice_.localCopy;

  status_(true, true, QStringLiteral("正在创建本地同步目录..."));
  // An unpaired tree of another sync folder makes way for a new tree: its row keeps its slot
  // in the old folder's clocks, and the new tree takes the next free slot of the new one.
  if (choice_.localCopy && !removeUnpairedTree(*choice_.localCopy)) return nullptr;

  QoMessage::Ptr reply;
  try {
    reply = QoClient::localTreeAddSyncUuid(remoteTree.sync_uuid(), choice_.localPath, std::nullopt);
  } catch (const std::exception& e) {
    QoLog("*** create local syncdir copy, {}", e.what());
    status_(true, true, QStringLiteral("创建同步目录出错！!"));
    return nullptr;
  }
  if (!reply || reply->code() != pb::MsgCodeTreeAddResponse) {
    QoLog("*** create local syncdir copy, {}", errstrOf(reply));
    status_(true, true, QStringLiteral("创建同步目录出错！!"));
    return nullptr;
  }
  const auto added = reply->pbBodyAs<pb::MsgTreeAddResponse>();
  std::shared_ptr<QoSyncdirCopy> copy = added ? QoSyncdirCopy::getSyncdirCopyWithUuid(added->tree_uuid()) : nullptr;
  if (!copy) status_(true, true, QStringLiteral("创建同步目录出错！！同步目录不存在"));
  return copy;
}

bool SyncdirLinker::removeUnpairedTree(const QoSyncdirCopy& copy) {
  try {
    // The handler refuses a tree that was paired since the check.
    QoClient::localTreeDelete(copy.uuid());
    return true;
  } catch (const std::exception& e) {
    QoLog("*** create local syncdir copy, {}", e.what());
    status_(true, false, QStringLiteral("该目录已经和别的目录建立同步"));
    return false;
  }
}

QString SyncdirLinker::failureText(const QString& text, const std::shared_ptr<QoMessage>& reply,
                                   const QoDevice& device) const {
  if (reply || device.isLocalDevice()) return text;
  return text + QStringLiteral("（设备没有应答）");
}

}  // namespace velbor
