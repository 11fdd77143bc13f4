#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "core/daemon/router/QoWorker.h"
#include "core/entity/QoFile.h"
#include "core/state/QoConfig.h"
#include "core/state/QoPeer.h"
#include "core/utils/QoUtils.h"
#include "framework/errors/QoExceptionProto.h"
#include "platform/QoLog.h"
#include "platform/Utf8.h"
#include "proto/VelborProto.pb.h"

namespace velbor {
namespace {

// One "/" between folder and name, also for the root folder "/".
std::string joinPath(const std::string& folder, const std::string& name) {
  return !folder.empty() && folder.back() == '/' ? folder + name : folder + "/" + name;
}

// The entry names of a folder (hidden ones included), in the order the system lists them.
// Raises QoExceptionZeBadPath with the system's text when the folder cannot be listed.
std::vector<std::string> listFolder(const std::string& root) {
  namespace fs = std::filesystem;
  std::vector<std::string> names;
  std::error_code error;
  fs::directory_iterator entries(root, error);
  for (; !error && entries != fs::directory_iterator(); entries.increment(error)) {
    names.push_back(entries->path().filename().string());
  }
  if (error) {
    QoLog("{}", error.message());
    throw QoExceptionZeBadPath(error.message());
  }
  return names;
}

}  // namespace

QoMessage::Ptr QoWorker::handleListRootRequest(const QoRequest& request) {
  if (request.body) {
    QoLog("Request should be nil");
    throw QoExceptionZeBadFormat::defaultException();
  }
  QoLog("handle ListRoot Request message");
  auto response = std::make_shared<pb::MsgListRootResponse>();
  for (const auto& [path, type] : QoConfig::sharedQoConfig().listRoot()) {
    const auto rootType = static_cast<int16_t>(type);
    if (!isValidUtf8(path) || !pb::RootType_IsValid(rootType)) {
      QoLog("*** List root: skip root({}) type({})", path, type);
      continue;
    }
    pb::Root* root = response->add_roots();
    root->set_target(path);
    root->set_type(static_cast<pb::RootType>(rootType));
  }
  return QoMessage::qoMessageWithMsgCode(pb::MsgCodeListRootResponse, std::move(response));
}

QoMessage::Ptr QoWorker::handleListRequest(const QoRequest& request) {
  const auto body = request.bodyAs<pb::MsgListRequest>();
  if (!body) {
    QoLog("Bad Request");
    throw QoExceptionZeBadFormat::defaultException();
  }
  const std::string& root = body->root();
  QoLog("handle List Request message, {}", root);
  if (!QoUtils::checkPath(root)) {
    QoLog("Bad root({})", root);
    throw QoExceptionZeBadPath::defaultExceptionWithReason("Bad path, {}", root);
  }

  auto response = std::make_shared<pb::MsgListResponse>();
  for (const std::string& name : listFolder(root)) {
    const std::string path = joinPath(root, name);
    if (QoFile::matchIgnoreFilter(path)) continue;
    if (!isValidUtf8(name)) {
      QoLog("*** List Request: skip a name that is not UTF-8 in ({})", root);
      continue;
    }
    // Read without following a link; an entry removed since the listing has no record.
    const auto file = QoFile::initWithPath(path);
    if (!file || file->type() == 3) continue;
    pb::FileStat* stat = response->add_stats();
    stat->set_name(name);
    stat->set_type(static_cast<pb::FileType>(QoPeer::convertFileTypeFromQoToPb(file->type())));
    stat->set_length(file->length());
    stat->set_mtime(file->contentModTime());
    stat->set_attr(file->unixAttr());
  }
  response->set_root(root);
  return QoMessage::qoMessageWithMsgCode(pb::MsgCodeListResponse, std::move(response));
}

}  // namespace velbor
