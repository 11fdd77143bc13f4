#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include <fmt/format.h>

#include "core/daemon/router/EndpointChallengeAnswer.h"
#include "core/daemon/router/QoRequestBody.h"
#include "core/daemon/router/QoWorker.h"
#include "core/entity/CopyItemFolder.h"
#include "core/entity/LocalLooks.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoFile.h"
#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/state/QoPeer.h"
#include "core/utils/QoUtils.h"
#include "core/utils/Vclock.h"
#include "framework/errors/QoException.h"
#include "framework/errors/QoExceptionProto.h"
#include "platform/QoLog.h"
#include "proto/VelborProto.pb.h"

namespace velbor {
namespace {

// The largest part served in one reply.
constexpr int64_t kMaxPartLength = 0x100000;

// A read-only descriptor closed on every road out of the request.
class ReadOnlyFile {
 public:
  ReadOnlyFile() = default;
  ~ReadOnlyFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

  // Opens the copy's file below its root one folder at a time, following no link on the
  // way nor at the end; false when that cannot be done.
  bool open(const std::string& root, const std::string& absolutePath) {
    try {
      const CopyItemFolder folder(root, absolutePath);
      fd_ = folder.openFileForReading(folder.name());
      return true;
    } catch (const std::exception&) {
      return false;
    }
  }

  // Up to `length` bytes at `offset`; fewer only at the end of the file.
  std::string read(int64_t offset, int64_t length) const {
    std::string data(static_cast<size_t>(length), '\0');
    size_t done = 0;
    while (done < data.size()) {
      const ssize_t count = ::pread(fd_, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
      if (count < 0 && errno == EINTR) continue;
      if (count < 0) throw QoException::defaultExceptionWithReason("read failed, {}", std::strerror(errno));
      if (count == 0) break;
      done += static_cast<size_t>(count);
    }
    data.resize(done);
    return data;
  }

 private:
  int fd_ = -1;
};

QoMessage::Ptr getError(const pb::MsgGetRequest& request, pb::ErrorCode errcode) {
  auto error = std::make_shared<pb::MsgGetError>();
  error->set_transfer(request.transfer());
  error->set_errcode(errcode);
  *error->mutable_part() = request.part();
  return QoMessage::qoMessageWithMsgCode(pb::MsgCodeGetError, std::move(error));
}

std::string exceptionName(const std::exception& e) {
  const auto* named = dynamic_cast<const Exception*>(&e);
  return named != nullptr ? named->name() : "std::exception";
}

QoMessage::Ptr serveGetRequest(const pb::MsgGetRequest& body) {
  if (!QoUtils::checkUuid(body.tree_uuid())) {
    QoLog("*** Get request, bad uuid({}) format", body.tree_uuid());
    return getError(body, pb::ErrorCodeBadUuid);
  }
  if (!QoUtils::checkPath(body.path())) {
    QoLog("*** Get request, invalid path({})", body.path());
    return getError(body, pb::ErrorCodeBadPath);
  }
  std::string relativePath = body.path();
  if (relativePath.back() == '/') relativePath.pop_back();
  // The peer's path is joined to the tree's root below: nothing in it may lead elsewhere.
  if (!QoUtils::checkPeerPath(relativePath)) {
    QoLog("*** Get request, invalid path({})", body.path());
    return getError(body, pb::ErrorCodeBadPath);
  }

  const auto tree = QoSyncdirCopy::getSyncdirCopyWithUuid(body.tree_uuid());
  if (!tree) {
    QoLog("*** Bad tree({})", body.tree_uuid());
    return getError(body, pb::ErrorCodeBadTree);
  }
  const std::string absolutePath = fmt::format("{}{}", tree->path(), relativePath);
  const auto record = tree->getFileRelationWithFilePath(absolutePath);
  if (!record || !record->file() || !record->syncdirCopy() || record->syncdirCopy()->uuid() != tree->uuid()) {
    QoLog("*** File({}) is not exist in tree({})", relativePath, body.tree_uuid());
    return getError(body, pb::ErrorCodeBadPath);
  }
  if (!tree->device() || tree->device()->pk() != 0) {
    QoLog("*** Bad local device");
    return getError(body, pb::ErrorCodeBadDevice);
  }

  ReadOnlyFile file;
  const bool opened = file.open(tree->path(), absolutePath);

  const bool hasVclock = body.vclock_size() > 0;
  std::vector<std::string> localUuids;
  Vclock expected;
  if (hasVclock) {
    std::vector<uint64_t> counters;
    try {
      counters = QoPeer::convertVclockFromPbToQo(body.vclock());
    } catch (const QoException& e) {
      QoLog("*** Get Request: File({}) {}", absolutePath, e.description());
      return getError(body, pb::ErrorCodeBadFormat);
    }
    localUuids = tree->getSyncdirCopysUuidList();
    const std::vector<std::string> requestUuids(body.uuids().begin(), body.uuids().end());
    expected = Vclock(counters, requestUuids, localUuids);
  }
  // As many as a sync folder keeps: a requester names its own list, never longer.
  if (static_cast<size_t>(body.uuids_size()) > QoSyncdirCopy::kMaxCopiesPerSyncdir) {
    QoLog("*** Get Request: File({}) names {} copies", absolutePath, body.uuids_size());
    return getError(body, pb::ErrorCodeBadFormat);
  }
  for (int k = 0; k < body.uuids_size(); ++k) {
    const std::string& uuid = body.uuids(k);
    if (!QoUtils::checkUuid(uuid)) {
      QoLog("Bad uuid({})", uuid);
      return getError(body, pb::ErrorCodeBadUuid);
    }
    // Only a copy the clock counts keeps a slot, and only up to the folder's bound (a full
    // list leaves it out: its count already makes the clocks differ).
    const bool counted = k < body.vclock_size() && body.vclock(k) != 0;
    if (counted && std::find(localUuids.begin(), localUuids.end(), uuid) == localUuids.end()) {
      QoSyncdirCopy::addPlaceholderCopy(tree->syncdirUuid(), uuid);
    }
  }
  if (hasVclock && expected.compareToVclock(record->getVclockObject()) != VclockCompareEqual) {
    QoLog("*** Get Request: File({}) diffirent vclock", absolutePath);
    return getError(body, pb::ErrorCodeVclockMismatch);
  }
  if (!opened) {
    QoLog("*** Get Request: File({}) open error", absolutePath);
    // Recorded, yet not there: gone with no event heard of it (removed through another spelling
    // of its folder on a FUSE disk that ignores case). Looked at, it is recorded removed, and
    // the peer stops asking.
    LocalLooks::shared().ask(absolutePath);
    return getError(body, pb::ErrorCodeBadPath);
  }

  // Checked against the recorded length: the version the clock names, not the disk's.
  const int64_t offset = body.part().offset();
  const int64_t length = body.part().length();
  const int64_t recorded = record->file()->length();
  if (length < 0 || length > kMaxPartLength || offset < 0 || offset > recorded || length > recorded - offset) {
    QoLog("*** Get Request: File({}) invalid part", absolutePath);
    return getError(body, pb::ErrorCodeBadPart);
  }

  auto response = std::make_shared<pb::MsgGetResponse>();
  response->set_transfer(body.transfer());
  response->set_tree_uuid(body.tree_uuid());
  response->set_path(relativePath);
  *response->mutable_part() = body.part();
  response->set_part_data(file.read(offset, length));
  return QoMessage::qoMessageWithMsgCode(pb::MsgCodeGetResponse, std::move(response));
}

// The signed proof that this device answers at `endpoint` (and publishes at the publisher
// endpoint named); refused for an endpoint of another host, which only a relay passing the
// challenge on would bring here.
QoMessage::Ptr answerEndpointChallenge(const pb::MsgGetRequest& body, const std::string& endpoint) {
  if (!EndpointChallengeAnswer::namesEndpointsOfThisDevice(body)) {
    QoLog("*** endpoint challenge for {} refused, not an endpoint of this device", endpoint);
    throw QoExceptionZePermissionDeny::defaultExceptionWithReason("Endpoint({}) is not this device's", endpoint);
  }
  return QoMessage::qoMessageWithMsgCode(
      pb::MsgCodeGetError, std::make_shared<pb::MsgGetError>(EndpointChallengeAnswer::answerFor(body, endpoint)));
}

}  // namespace

// Refusals come back as GetError carrying the request's transfer and part, so the fetcher
// can match them; a failure while serving gives no reply, and the fetcher's wait runs out.
QoMessage::Ptr QoWorker::handleGetRequest(const QoRequest& request) {
  const auto body = requireBody<pb::MsgGetRequest>(request);
  if (const auto endpoint = EndpointChallengeAnswer::endpointNamedBy(*body)) {
    return answerEndpointChallenge(*body, *endpoint);
  }
  try {
    return serveGetRequest(*body);
  } catch (const std::exception& e) {
    QoLog("{}, {}", exceptionName(e), e.what());
    return nullptr;
  }
}

}  // namespace velbor
