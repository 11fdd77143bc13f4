#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

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

// The most entries one listing holds: as many as a find page, so a reply stays a few MiB
// whatever the names. A folder holding more is refused as a whole rather than listed in
// part, which would show it as if that were all it held.
constexpr int kMaxListedEntries = 10000;

QoExceptionZeGeneral tooManyEntries(const std::string& folder) {
  QoLog("*** List: ({}) holds more than {} entries", folder, kMaxListedEntries);
  return QoExceptionZeGeneral::defaultExceptionWithReason("Folder({}) holds more than {} entries", folder,
                                                          kMaxListedEntries);
}

// Calls `visit` with each entry name of a folder (hidden ones included), in the order the
// system lists them, without holding them all. Raises QoExceptionZeBadPath with the system's
// text when the folder cannot be listed.
template <class Visit>
void listFolder(const std::string& root, Visit visit) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::directory_iterator entries(root, error);
  for (; !error && entries != fs::directory_iterator(); entries.increment(error)) {
    visit(entries->path().filename().string());
  }
  if (error) {
    QoLog("{}", error.message());
    throw QoExceptionZeBadPath(error.message());
  }
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
    if (response->roots_size() >= kMaxListedEntries) throw tooManyEntries("the root list");
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
  listFolder(root, [&](const std::string& name) {
    const std::string path = joinPath(root, name);
    if (QoFile::matchIgnoreFilter(path)) return;
    if (!isValidUtf8(name)) {
      QoLog("*** List Request: skip a name that is not UTF-8 in ({})", root);
      return;
    }
    // Read without following a link; an entry removed since the listing has no record. A
    // look on another device's behalf writes nothing, so no file system is probed for it.
    const auto file = QoFile::initWithPath(path, false);
    if (!file || file->type() == 3) return;
    if (response->stats_size() >= kMaxListedEntries) throw tooManyEntries(root);
    pb::FileStat* stat = response->add_stats();
    stat->set_name(name);
    stat->set_type(static_cast<pb::FileType>(QoPeer::convertFileTypeFromQoToPb(file->type())));
    stat->set_length(file->length());
    stat->set_mtime(file->contentModTime());
    stat->set_attr(file->unixAttr());
  });
  response->set_root(root);
  return QoMessage::qoMessageWithMsgCode(pb::MsgCodeListResponse, std::move(response));
}

}  // namespace velbor
