#include "core/daemon/sync/FileFetcher.h"

#include <fmt/format.h>
#include <sys/stat.h>
#include <zmq.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "core/daemon/sync/InstallReclassifier.h"
#include "core/daemon/sync/InstallRetry.h"
#include "core/daemon/sync/PartWrite.h"
#include "core/daemon/sync/PullStop.h"
#include "core/daemon/sync/SpellingClashes.h"
#include "core/daemon/sync/SyncEngine.h"
#include "core/daemon/sync/TmpFileOpening.h"
#include "core/daemon/sync/TransferFile.h"
#include "core/entity/DownloadJournal.h"
#include "core/entity/DownloadSync.h"
#include "core/entity/FileFetchEvent.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoFile.h"
#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/entity/QoSyncdirCopyRelation.h"
#include "core/entity/RecordsRefused.h"
#include "core/entity/TmpFileStream.h"
#include "core/envelope/QoMessage.h"
#include "core/proto/QoPbMessageCode.h"
#include "core/state/DataSource.h"
#include "core/state/QoConfig.h"
#include "core/state/QoPeer.h"
#include "core/state/SyncFileProcessBox.h"
#include "core/utils/QoUtils.h"
#include "core/utils/SmartDebugger.h"
#include "framework/errors/QoException.h"
#include "framework/network/ZMQContext.h"
#include "framework/network/ZMQMessage.h"
#include "framework/network/ZMQSocket.h"
#include "platform/QoLog.h"
#include "proto/VelborProto.pb.h"

namespace velbor {
namespace {

// Paces the "Download" debug line over all fetchers.
std::atomic<uint64_t> arrivals{0};

// Answers taken off the socket in one go before the ready ones are handled.
constexpr int kMaxDrain = 64;
// Bytes of received answers being opened or written at once: a whole part for each crypto
// thread, so that a window of large parts is opened and written in parallel without holding
// every part twice.
constexpr size_t kMaxOpeningBytes = 8 * 0x100000;
// Parts from this size on are written on the crypto pool; smaller ones cost less to write
// than to hand over.
constexpr size_t kPoolWriteBytes = 0x10000;

// An install try as InstallRetry knows it: the version of the file (copy, path, SHA-1), how
// it is to be applied, and the local state it meets (the local record, the copy's folder, the
// folder the file goes into and the item at the path). A change to any of them (the local file
// recorded or moved away, a file in its folder's place replaced by the folder, the copy's disk
// mounted again) is worth a download at once.
std::string retryKeyOf(const QoFileAndSyncdirCopyRelation& record) {
  const QoFile& file = *record.file();
  const auto& copy = record.syncdirCopy();
  const auto& local = record.getFileRelationLocal();
  const auto stateOf = [](const std::string& path, bool times) {
    struct stat status {};
    // The root may be a link, chosen by the user; nothing below it is followed.
    if ((times ? ::lstat(path.c_str(), &status) : ::stat(path.c_str(), &status)) != 0) return std::string("-");
    if (!times) return fmt::format("{}:{}", status.st_dev, status.st_ino);
    return fmt::format("{}:{}:{}:{}:{}.{}:{}.{}", status.st_dev, status.st_ino, status.st_mode, status.st_size,
                       status.st_mtim.tv_sec, status.st_mtim.tv_nsec, status.st_ctim.tv_sec, status.st_ctim.tv_nsec);
  };
  // What stands nearest above the file below the copy's folder, by what it is only (the
  // temporary download is made beside the file and moves its times): a file or nothing in
  // the place of its folder fails every install until that changes.
  const auto aboveOf = [](const std::string& root, std::string path) {
    for (size_t slash = path.rfind('/'); slash != std::string::npos && slash > root.size(); slash = path.rfind('/')) {
      path.resize(slash);
      struct stat status {};
      if (::lstat(path.c_str(), &status) == 0) {
        return fmt::format("{}:{}:{}:{}", path.size(), status.st_dev, status.st_ino, status.st_mode);
      }
    }
    return std::string("-");
  };
  // The folder by what it is only: its times move with every temporary download in it.
  return fmt::format("{}\n{}\n{}\n{}\n{}\n{}\n{}\n{}", copy ? copy->uuid() : std::string(), file.path(), file.sha1(),
                     record.getFileFetchEvent(), local && local->file() ? local->file()->usn() : -1,
                     copy ? stateOf(copy->path(), false) : std::string(),
                     copy ? aboveOf(copy->path(), file.path()) : std::string(), stateOf(file.path(), true));
}

// A failed install waits (InstallRetry), and its pairing is pulled again once the wait is
// over: else the record would wait for the next change notice, or the monitor's timer.
void installFailed(const QoFileAndSyncdirCopyRelation& record, const std::string& retryKey) {
  const auto wait = InstallRetry::shared().failed(retryKey);
  const auto& copy = record.syncdirCopy();
  if (wait > InstallRetry::Clock::duration::zero() && copy) {
    SyncEngine::pullAfter(copy->uuid(), record.getRemoteSyncdirCopyUuid(), wait);
  }
}

// Installs the record (`retryKey`: its try). One refused because the disk lists its name under
// another spelling is noted, and comes in beside that spelling under a conflict name once the
// clash outlasted a whole pass (SpellingClashes): a case-only rename on its way is not taken
// for such a clash.
bool installNotingClash(const std::shared_ptr<QoFileAndSyncdirCopyRelation>& record, bool downloaded,
                        const std::string& retryKey) {
  SpellingClashes& clashes = SpellingClashes::shared();
  record->setCopyOnSpellingClash(clashes.persisted(retryKey));
  const bool installed = InstallReclassifier::install(record, record->getFileFetchEvent(), downloaded);
  const auto& copy = record->syncdirCopy();
  if (installed) {
    clashes.installed(retryKey);
  } else if (record->refusedForSpellingClash() && copy) {
    clashes.refused(copy->uuid() + "/" + record->getRemoteSyncdirCopyUuid(), retryKey);
    // The pass after this one decides: made when it is due, not whenever the peer next changes.
    SyncEngine::pullAfter(copy->uuid(), record->getRemoteSyncdirCopyUuid(), SpellingClashes::kNextPassAfter);
  }
  return installed;
}

bool needsNoDownload(const QoFileAndSyncdirCopyRelation& record) {
  const QoFile& file = *record.file();
  return file.length() == 0 || file.type() == 1 || file.status() == 1 || record.getFileFetchEvent() == EventFailed;
}

}  // namespace

FileFetcher::FileFetcher(std::string treeUuid, std::shared_ptr<ZMQContext> context)
    : _treeUuid(std::move(treeUuid)), _context(std::move(context)) {}

FileFetcher::~FileFetcher() {
  try {
    disconncet();
  } catch (const std::exception& e) {
    QoLog("*** FetchFile failed, {}", e.what());
  }
}

void FileFetcher::connectToDevice(const std::shared_ptr<QoDevice>& device) {
  QoAssert(device != nullptr && _context != nullptr, "fetcher needs a device and a context");
  QoAssert(QoDevice::isPeerEndpoint(device->routeUri()), "Remote router uri({}) is not tcp", device->routeUri());
  _device = device;
  _deviceUuid = device->uuid();
  closeSocket();
  _socket = _context->socketWithType(ZMQ_DEALER);
  // Nothing queued for a peer that is gone may hold up the end of the pull, and a send to a
  // peer that stopped reading gives up after the answer time-out rather than blocking.
  const int linger = 0;
  _socket->setData(std::string_view(reinterpret_cast<const char*>(&linger), sizeof linger), ZMQ_LINGER);
  setSendTimeout();
  // An answer for each part asked for, none larger than one part and its envelope: what the
  // peer's address sends is held to the window.
  _socket->guardConnections("Fetch", ZMQFrameCounter::Bounds{kMaxAnswerFrames, kMaxAnswerBytes}, true);
  _socket->connectToEndpoint(device->routeUri());
}

void FileFetcher::setSendTimeout() {
  const int sendTimeout = _answerTimeoutMs;
  _socket->setData(std::string_view(reinterpret_cast<const char*>(&sendTimeout), sizeof sendTimeout), ZMQ_SNDTIMEO);
}

void FileFetcher::setAnswerTimeoutMs(int timeoutMs) {
  _answerTimeoutMs = timeoutMs;
  if (_socket) setSendTimeout();
}

void FileFetcher::disconncet() {
  closeSocket();
  // A next batch announced and then not asked for is given up.
  abandonAll();
}

void FileFetcher::closeSocket() {
  if (_socket && _context) _socket->close();
  _socket.reset();
}

int32_t FileFetcher::transferIdOf(uint64_t index) const {
  return static_cast<int32_t>(_batchBase + static_cast<uint32_t>(index));
}

std::optional<uint64_t> FileFetcher::indexOfTransfer(int32_t transferId) const {
  const uint32_t index = static_cast<uint32_t>(transferId) - _batchBase;
  if (index >= _fileRelations.size()) return std::nullopt;
  return index;
}

std::shared_ptr<TransferFile> FileFetcher::transferOf(int32_t transferId, const char* what) const {
  auto found = _transfers.find(transferId);
  if (found != _transfers.end()) return found->second;
  if (!indexOfTransfer(transferId)) {
    // The answer to a part of an earlier batch that ended by time-out: its grant went back
    // to the pool when that batch ended, and its file was given up then.
    QoLog("Drop late {} of transfer({})", what, transferId);
    return nullptr;
  }
  QoLog("recieve unexpected part!!");
  QoAssert(false, "");
  return nullptr;
}

void FileFetcher::nextFile() {
  ++_curIndex;
  _curFileOffset = 0;
}

void FileFetcher::setFailedUsn(uint64_t index) const {
  const Relation& record = _fileRelations[index];
  if (!record) return;
  const std::string copyUuid = record->syncdirCopy() ? record->syncdirCopy()->uuid() : std::string();
  DataSource::sharedDataSource().setSyncdirCopyRelationFailedUsn(
      QoSyncdirCopyRelation::hashWithFirstUuid(copyUuid, record->getRemoteSyncdirCopyUuid()), _peerUsns[index]);
}

std::shared_ptr<pb::MsgGetRequest> FileFetcher::getNextPart() {
  for (;;) {
    if (_curIndex >= _fileRelations.size()) return nullptr;
    // Answers to more could be dropped by the peer's router while this side stops reading
    // for its flushes; a window of small files is full long before its bytes are.
    if (_totalOutstandingPart >= kMaxOutstandingParts) return nullptr;
    const Relation& record = _fileRelations[_curIndex];
    QoAssert(record && record->file() && record->syncdirCopy(), "");
    if (!_localUuidList) _localUuidList = record->syncdirCopy()->getSyncdirCopysUuidList();
    const int32_t transferId = transferIdOf(_curIndex);
    const QoFile& file = *record->file();

    if (needsNoDownload(*record)) {
      _transfers[transferId] = std::make_shared<TransferFile>(transferId, record, nullptr);
      nextFile();
      continue;
    }
    if (_curFileOffset == 0 && !InstallRetry::shared().mayFetch(retryKeyOf(*record))) {
      // Its install failed again and again: it is fetched again after a while, not each pass.
      QoLog("* ({}) could not be installed lately, it is downloaded again later", record->getRelativeFilePath());
      setFailedUsn(_curIndex);
      nextFile();
      continue;
    }
    if (_curFileOffset >= file.length()) {
      nextFile();
      continue;
    }
    const int32_t wanted = static_cast<int32_t>(std::min<int64_t>(TokenPool::kMaxSize, file.length() - _curFileOffset));
    const int32_t grant = _tokenPool.allocToken(wanted);
    if (grant == 0) return nullptr;

    auto request = std::make_shared<pb::MsgGetRequest>();
    request->set_transfer(transferId);
    request->set_tree_uuid(_treeUuid);
    request->set_path(record->getRelativeFilePath());
    for (const auto& uuid : *_localUuidList) request->add_uuids(uuid);
    for (const int32_t counter : QoPeer::convertVclockFromQoToPb(record->getVclockObject())) {
      request->add_vclock(counter);
    }
    request->mutable_part()->set_offset(_curFileOffset);
    request->mutable_part()->set_length(grant);

    // The temporary download is created with the first part's request, on the pool.
    if (_curFileOffset == 0) {
      auto transfer = std::make_shared<TransferFile>(transferId, record, nullptr);
      transfer->setOpening();
      _transfers[transferId] = std::move(transfer);
    }
    QoAssert(_transfers.at(transferId)->addOutStandingPart(_curFileOffset, grant), "part requested twice");
    _curFileOffset += grant;
    ++_totalOutstandingPart;
    return request;
  }
}

void FileFetcher::requestParts() {
  const int level = QoConfig::sharedQoConfig().encryptLevel();
  while (auto request = getNextPart()) {
    std::shared_ptr<QoDevice> source;
    std::shared_ptr<QoDevice> destination;
    if (level > QoMessage::kLevelNone) {
      if (!_localDevice) _localDevice = QoDevice::getDeviceLocal();
      source = _localDevice;
      destination = _device;
    }
    std::shared_ptr<TmpFileOpening> opening;
    if (request->part().offset() == 0) {
      const Relation& record = _transfers.at(request->transfer())->fileRelation();
      opening = std::make_shared<TmpFileOpening>(request->transfer(), record->syncdirCopy()->path(),
                                                 record->getTempFileName());
    }
    _crypto.submit(
        [request, level, source, destination, opening] {
          Crypted result;
          if (opening) opening->run();
          auto message = QoMessage::qoMessageWithMsgCode(pb::MsgCodeGetRequest, request);
          message->setLevel(level);
          message->setSrcDevice(source);
          message->setDestDevice(destination);
          result.sealed = std::make_shared<ZMQMessage>();
          result.sealed->addEmptyFrame();
          ZMQMessage sealed = message->getSendZMQMessage();
          result.sealed->addZmqMessage(sealed);
          result.request = request;
          result.opening = opening;
          return result;
        },
        kSealLane);
  }
}

void FileFetcher::receiveAnswers() {
  zmq_pollitem_t item{};
  _socket->getPollItem(item, ZMQ_POLLIN);
  // A bounded drain, so that opened answers are handled (and the window refilled) between.
  for (int taken = 0; taken < kMaxDrain && _openingBytes < kMaxOpeningBytes && _syncing < kMaxSyncing; ++taken) {
    if (taken > 0 && ZMQContext::pollWithItems(&item, 1, 0) <= 0) return;
    auto frames = std::make_shared<ZMQMessage>(ZMQMessage::recvFromSocket(*_socket));
    const size_t bytes = frames->byteSize();
    _openingBytes += bytes;
    _crypto.submit(
        [frames, bytes, peerUuid = _deviceUuid] {
          frames->getNextFrame();
          Crypted result;
          // An answer the peer did not sign fails the batch: its bytes are nobody's word.
          result.opened = QoMessage::initWithReplyZMQMessage(*frames, peerUuid);
          result.receivedBytes = bytes;
          return result;
        },
        kAnswerLane);
  }
}

void FileFetcher::discardCryptoWork() {
  _crypto.discardPending();
  _flushes.discardPending();
  _syncing = 0;
  // Complete files whose check and flush will not come back, and files with parts whose
  // writes will not: fetched again next time.
  for (const auto& [transferId, transfer] : _transfers) {
    const bool writing = transfer->pendingWrites() > 0;
    transfer->clearPendingWrites();
    if (transfer->isSyncing() || writing) failTransfer(*transfer);
  }
  _openingBytes = 0;
}

void FileFetcher::takeFlushResults() {
  _flushes.clearReady();
  while (std::optional<Crypted> result = _flushes.takeNext()) onSynced(*result->syncedTransfer);
}

bool FileFetcher::takeCryptoResults() {
  _crypto.clearReady();
  while (std::optional<Crypted> result = _crypto.takeNext()) {
    _openingBytes -= result->receivedBytes;
    if (result->written) {
      onWriteDone(result->writtenTransfer, *result->written);
    } else if (result->sealed) {
      QoAssert(_socket != nullptr, "fetcher is not connected");
      if (result->opening ? !adoptOpening(*result->opening) : !stillAsked(*result->request)) {
        // Its grant is free again: the records behind a full window are reached all the same.
        requestParts();
        continue;
      }
      if (!result->sealed->sendToSocket(*_socket)) return false;
    } else {
      handleAnswer(result->opened);
    }
  }
  return true;
}

bool FileFetcher::adoptOpening(TmpFileOpening& opening) {
  const auto found = _transfers.find(opening.transferId());
  // Its batch is over, and its grants went back then: the opening removes its file.
  if (found == _transfers.end()) return false;
  const std::shared_ptr<TransferFile> transfer = found->second;
  std::shared_ptr<TmpFileStream> handle = transfer->isFailed() ? nullptr : opening.take();
  if (handle) {
    transfer->fileRelation()->adoptTmpFileHandle(handle);
    transfer->setHandle(std::move(handle));
    return true;
  }
  if (transfer->hasOutStandingPart(0)) {
    _tokenPool.relaseToken(transfer->removeOutStandingPart(0));
    --_totalOutstandingPart;
  }
  // Its disk takes no more (the database's, mostly): no other download can be noted either, and
  // the pull waits for the records as a whole, not this file for itself.
  const bool journalFailing = DownloadJournal::shared().failing();
  if (!transfer->isFailed()) {
    // No temporary download (its folder not there as spelled, on a disk that ignores case): the
    // record is fetched again as an install that failed is, after a growing wait. Keyed before
    // the record is marked failed, as the try that asked for it was.
    if (!journalFailing) installFailed(*transfer->fileRelation(), retryKeyOf(*transfer->fileRelation()));
    transfer->fileRelation()->setFileFetchEvent(EventFailed);
    failTransfer(*transfer);
  }
  if (journalFailing) throw RecordsRefused("the download journal cannot be written");
  return false;
}

bool FileFetcher::stillAsked(const pb::MsgGetRequest& request) {
  const auto found = _transfers.find(request.transfer());
  // Its batch is over, and its grants went back then.
  if (found == _transfers.end()) return false;
  TransferFile& transfer = *found->second;
  // Its file could not be created, so nothing of it is asked for.
  if (!transfer.isFailed() || transfer.handle()) return true;
  const int64_t offset = request.part().offset();
  if (transfer.hasOutStandingPart(offset)) {
    _tokenPool.relaseToken(transfer.removeOutStandingPart(offset));
    --_totalOutstandingPart;
  }
  return false;
}

void FileFetcher::handleAnswer(const QoMessage::Ptr& opened) {
  const QoMessage& answer = *opened;
  if (answer.code() == pb::MsgCodeGetError) {
    const auto error = answer.pbBodyAs<pb::MsgGetError>();
    QoAssert(error != nullptr, "GetError without body");
    const auto transfer = _transfers.find(error->transfer());
    QoLog("*** Fetch data error, {}: {}",
          transfer != _transfers.end() ? transfer->second->fileRelation()->getRelativeFilePath() : "[Bad path]",
          static_cast<int>(error->errcode()));
    onPartError(error->transfer(), error->part().offset(), error->part().length());
  } else if (answer.code() == pb::MsgCodeError) {
    const auto error = answer.pbBodyAs<pb::MsgError>();
    const std::string text = error ? getErrorString(*error).value_or("") : std::string();
    QoLog("*** Fetch data error, {}", text);
    QoAssert(false, "*** Fetch data error, {}", text);
  } else {
    QoAssert(answer.code() == pb::MsgCodeGetResponse, "unexpected answer code({})", answer.code());
    const auto response = answer.pbBodyAs<pb::MsgGetResponse>();
    QoAssert(response != nullptr, "GetResponse without body");
    onPartArrived(*response, opened);
  }
  // The window is refilled after an error too, so the batch's later files are asked.
  requestParts();
}

void FileFetcher::failTransfer(TransferFile& transfer) {
  if (transfer.isFailed()) return;
  transfer.setFailed();
  // Parts waiting for their turn to be written are dropped; one under way comes back.
  if (transfer.pendingWrites() > 0) {
    const size_t dropped = transfer.clearPendingWrites();
    _openingBytes -= std::min(_openingBytes, dropped);
  }
  const auto index = indexOfTransfer(transfer.transferId());
  // Closes and removes the temporary file; records nothing.
  transfer.fileRelation()->handleFetchEvent(EventFailed);
  if (index) {
    setFailedUsn(*index);
    if (*index == _curIndex) nextFile();
  }
}

void FileFetcher::onPartArrived(const pb::MsgGetResponse& response, std::shared_ptr<const void> keep) {
  const auto transfer = transferOf(response.transfer(), "part");
  if (!transfer) return;
  const int64_t offset = response.part().offset();
  const int32_t length = transfer->removeOutStandingPart(offset);
  --_totalOutstandingPart;
  _tokenPool.relaseToken(length);
  if (transfer->isFailed()) return;

  const Relation& record = transfer->fileRelation();
  const std::string& data = response.part_data();
  // Only a part whose request went out, after its file was created, can be answered.
  if (!transfer->handle()) {
    QoLog("*** Fetch data error, {}: part({}, {}) answered before it was asked for", record->getRelativeFilePath(),
          offset, length);
    failTransfer(*transfer);
    return;
  }
  if (data.size() != static_cast<size_t>(length)) {
    QoLog("*** Fetch data error, {}: part({}, {}) came with {} bytes", record->getRelativeFilePath(), offset, length,
          data.size());
    failTransfer(*transfer);
    return;
  }
  const int fd = keep && data.size() >= kPoolWriteBytes ? transfer->handle()->duplicateDescriptor() : -1;
  if (fd < 0) {
    if (!transfer->writePart(offset, data)) {
      failTransfer(*transfer);
      return;
    }
    onPartWritten(transfer, offset, data.size());
    return;
  }
  // Large parts are written on the pool, so that this thread goes on taking answers and
  // asking for parts; the bytes held meanwhile count with those being opened.
  auto write = std::make_shared<PartWrite>(fd, offset, std::move(keep), data);
  _openingBytes += data.size();
  if (auto now = transfer->queueWrite(std::move(write))) startWrite(transfer->transferId(), std::move(now));
}

void FileFetcher::startWrite(int32_t transferId, std::shared_ptr<PartWrite> write) {
  _crypto.submit(
      [write, transferId] {
        write->run();
        Crypted result;
        result.receivedBytes = write->size();
        result.written = write;
        result.writtenTransfer = transferId;
        return result;
      },
      kWriteLane);
}

void FileFetcher::onWriteDone(int32_t transferId, const PartWrite& write) {
  const auto found = _transfers.find(transferId);
  // Given up meanwhile, or its batch ended: its temporary file is gone already.
  if (found == _transfers.end()) return;
  const std::shared_ptr<TransferFile> transfer = found->second;
  if (auto next = transfer->writeDone()) startWrite(transferId, std::move(next));
  if (transfer->isFailed()) return;
  if (write.error() != 0) {
    transfer->logWriteError(write.error());
    failTransfer(*transfer);
    return;
  }
  onPartWritten(transfer, write.offset(), write.size());
}

void FileFetcher::onPartWritten(const std::shared_ptr<TransferFile>& transfer, int64_t offset, size_t size) {
  const Relation& record = transfer->fileRelation();
  const QoFile& file = *record->file();
  if (arrivals.fetch_add(1, std::memory_order_relaxed) % 5 == 0) {
    SmartDebugger::sharedSmartDebugger().debug(
        "Download", "[{:2d}%] {}",
        file.length() > 0 ? (offset + static_cast<int64_t>(size)) * 100 / file.length() : 100, file.path());
  }
  SyncFileProcessBox::sendSyncFileDownloading(_treeRelation, record->getRelativeFilePath(), static_cast<int64_t>(size));

  const uint64_t index = *indexOfTransfer(transfer->transferId());
  const bool allRequested = index < _curIndex || (index == _curIndex && _curFileOffset >= file.length());
  if (allRequested && transfer->parts().empty() && transfer->pendingWrites() == 0) completeTransfer(transfer);
}

void FileFetcher::completeTransfer(const std::shared_ptr<TransferFile>& transfer) {
  const Relation& record = transfer->fileRelation();
  const QoFile& file = *record->file();
  // Its own descriptor: the temporary file's stream is closed here, on this thread.
  const int fd = transfer->handle() ? transfer->handle()->duplicateDescriptor() : -1;
  if (fd < 0) {
    // No descriptor to spare: applied at once, with its own check and flush.
    applyTransfer(transfer);
    return;
  }
  auto sync = std::make_shared<DownloadSync>(fd, file.sha1(), file.unixAttr(), file.contentModTime());
  record->closeTmpFileHandle();
  transfer->setSync(sync);
  ++_syncing;
  const int32_t transferId = transfer->transferId();
  _flushes.submit([sync, transferId] {
    sync->run();
    Crypted result;
    result.syncedTransfer = transferId;
    return result;
  });
}

void FileFetcher::onSynced(int32_t transferId) {
  --_syncing;
  const auto found = _transfers.find(transferId);
  // Given up meanwhile: its temporary file is gone and its record failed already.
  if (found == _transfers.end() || !found->second->isSyncing()) return;
  const std::shared_ptr<TransferFile> transfer = found->second;
  const Relation& record = transfer->fileRelation();
  if (const int error = transfer->sync()->error()) {
    // Never installed unflushed: fetched again next time.
    QoLog("*** Flush of downloaded ({}) failed, {}", record->getRelativeFilePath(), std::strerror(error));
    failTransfer(*transfer);
    return;
  }
  record->setDownloadSync(transfer->sync());
  applyTransfer(transfer);
}

void FileFetcher::applyTransfer(const std::shared_ptr<TransferFile>& transfer) {
  const Relation& record = transfer->fileRelation();
  const std::string path = record->file()->path();
  const std::string retryKey = retryKeyOf(*record);
  const bool installed = installNotingClash(record, true, retryKey);
  if (installed) {
    InstallRetry::shared().installed(retryKey);
  } else if (!record->refusedForSpellingClash()) {
    // A clash of spelling is tried again by the next pass, which the failed usn asks for.
    installFailed(*record, retryKey);
  }
  _transfers.erase(transfer->transferId());
  // Only a file in place is done: a refused install is fetched again, and not announced.
  if (installed) SyncFileProcessBox::sendSyncFileDownloadFileDown(_treeRelation, path);
}

void FileFetcher::onPartError(int32_t transferId, int64_t offset, int32_t length) {
  (void)length;
  const auto transfer = transferOf(transferId, "part error");
  if (!transfer) return;
  const int32_t granted = transfer->removeOutStandingPart(offset);
  QoLog("Failed to get file!!");
  --_totalOutstandingPart;
  _tokenPool.relaseToken(granted);
  // The file cannot be completed in this pull: nothing more is asked for it.
  failTransfer(*transfer);
}

void FileFetcher::handleLeftovers() {
  for (const auto& [transferId, transfer] : _transfers) {
    if (!isInBatch(transferId)) continue;
    const Relation& record = transfer->fileRelation();
    if (transfer->isFailed()) continue;
    const QoFile& file = *record->file();
    if (record->getFileFetchEvent() != EventFailed && (file.length() == 0 || file.type() == 1 || file.status() == 1)) {
      SyncFileProcessBox::sendSyncFileDownloading(_treeRelation, file.path(), 0);
      installNotingClash(record, false, retryKeyOf(*record));
      continue;
    }
    // Incomplete, or failed before: discarded, and fetched again next time.
    failTransfer(*transfer);
  }
  // Records the batch never reached.
  for (uint64_t index = _curIndex; index < _batchEnd; ++index) {
    if (!_transfers.contains(transferIdOf(index))) setFailedUsn(index);
  }
}

bool FileFetcher::isInBatch(int32_t transferId) const {
  const auto index = indexOfTransfer(transferId);
  return index && *index < _batchEnd;
}

bool FileFetcher::batchHasOutstandingWork() const {
  for (const auto& [transferId, transfer] : _transfers) {
    const bool busy = !transfer->parts().empty() || transfer->pendingWrites() > 0 || transfer->isSyncing();
    if (busy && isInBatch(transferId)) return true;
  }
  return false;
}

void FileFetcher::abandonBatch() {
  for (const auto& [transferId, transfer] : _transfers) {
    if (transfer->handle() || transfer->isOpening()) failTransfer(*transfer);
  }
}

void FileFetcher::abandonAll() {
  if (_fileRelations.empty()) return;
  abandonBatch();
  // Records of the next batch not yet asked for are fetched again by the next pull too.
  for (uint64_t index = std::max(_curIndex, _batchEnd); index < _fileRelations.size(); ++index) {
    if (!_transfers.contains(transferIdOf(index))) setFailedUsn(index);
  }
  // And those with nothing to download, reached but applied only with their own batch.
  for (const auto& [transferId, transfer] : _transfers) {
    const auto index = indexOfTransfer(transferId);
    if (!transfer->isFailed() && index && *index >= _batchEnd) setFailedUsn(*index);
  }
  resetBatch();
}

void FileFetcher::failNextBatchInFlight() {
  for (const auto& [transferId, transfer] : _transfers) {
    if (isInBatch(transferId) || transfer->parts().empty()) continue;
    for (const auto& [offset, length] : transfer->parts()) {
      _tokenPool.relaseToken(length);
      --_totalOutstandingPart;
    }
    transfer->setParts({});
    failTransfer(*transfer);
  }
}

void FileFetcher::endBatch() {
  // Answers still to come are dropped by their ids; their grants are free again now.
  for (auto entry = _transfers.begin(); entry != _transfers.end();) {
    if (!isInBatch(entry->first)) {
      ++entry;
      continue;
    }
    for (const auto& [offset, length] : entry->second->parts()) {
      _tokenPool.relaseToken(length);
      --_totalOutstandingPart;
    }
    entry = _transfers.erase(entry);
  }
  const auto ended = static_cast<std::ptrdiff_t>(_batchEnd);
  _fileRelations.erase(_fileRelations.begin(), _fileRelations.begin() + ended);
  _peerUsns.erase(_peerUsns.begin(), _peerUsns.begin() + ended);
  _batchBase += static_cast<uint32_t>(_batchEnd);
  // Not past the ended batch only when it ended early: the next one starts at its beginning.
  if (_curIndex >= _batchEnd) {
    _curIndex -= _batchEnd;
  } else {
    _curIndex = 0;
    _curFileOffset = 0;
  }
  _batchEnd = 0;
}

void FileFetcher::resetBatch() {
  const bool answersToCome = _totalOutstandingPart > 0;
  // Answers still to come are dropped by their ids; their grants are free again now.
  for (const auto& [transferId, transfer] : _transfers) {
    for (const auto& [offset, length] : transfer->parts()) _tokenPool.relaseToken(length);
  }
  _transfers.clear();
  // Requests not yet sent belong to the ended batch, answers not yet opened are late.
  discardCryptoWork();
  _batchBase += static_cast<uint32_t>(_fileRelations.size());
  _fileRelations.clear();
  _peerUsns.clear();
  _totalOutstandingPart = 0;
  _curIndex = 0;
  _curFileOffset = 0;
  _batchEnd = 0;
  // Those answers would share the peer's queue for this connection with a whole window of
  // new requests, and what does not fit is dropped: what follows goes out on a new one.
  if (answersToCome && _socket && !PullStop::isStopping()) connectToDevice(_device);
}

bool FileFetcher::continuesWith(const RelationList& batch, const RelationList& nextBatch) const {
  // What the last call held beyond its batch must be this batch, then the start of what follows it.
  if (_fileRelations.size() < batch.size() || _fileRelations.size() > batch.size() + nextBatch.size()) return false;
  for (size_t index = 0; index < _fileRelations.size(); ++index) {
    const Relation& expected = index < batch.size() ? batch[index] : nextBatch[index - batch.size()];
    if (_fileRelations[index] != expected) return false;
  }
  return true;
}

void FileFetcher::fetchData(const RelationList& batch, const std::shared_ptr<QoSyncdirCopyRelation>& treeRelation,
                            const RelationList& nextBatch) {
  // The batch was announced by the last call, and may be under way already.
  if (batch.empty() || !continuesWith(batch, nextBatch)) {
    abandonAll();
    _fileRelations = batch;
    for (const auto& record : batch) _peerUsns.push_back(record && record->file() ? record->file()->usn() : 0);
  }
  _batchEnd = batch.size();
  // Only what was not announced before joins.
  for (size_t index = _fileRelations.size() - _batchEnd; index < nextBatch.size(); ++index) {
    const Relation& record = nextBatch[index];
    _fileRelations.push_back(record);
    _peerUsns.push_back(record && record->file() ? record->file()->usn() : 0);
  }
  _treeRelation = treeRelation;
  _peerSilent = false;
  try {
    requestParts();
    bool sent = true;
    bool silent = false;
    bool cut = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(_answerTimeoutMs);
    while (sent && batchHasOutstandingWork()) {
      // Answers are taken off the socket only while those being opened stay within their
      // bytes, and complete files being flushed within their count; the rest wait in the
      // socket, and a finished opening or flush makes room.
      const bool takesAnswers = _openingBytes < kMaxOpeningBytes && _syncing < kMaxSyncing;
      zmq_pollitem_t items[5]{};
      items[0].fd = _crypto.readyFd();
      items[0].events = ZMQ_POLLIN;
      items[1].fd = _flushes.readyFd();
      items[1].events = ZMQ_POLLIN;
      // The daemon's stop ends the batch at once, whatever is still to come.
      items[2].fd = PullStop::stopFd();
      items[2].events = ZMQ_POLLIN;
      // A connection cut for an answer beyond a part took the requests on it along.
      items[3].fd = _socket->guardCutFd();
      items[3].events = ZMQ_POLLIN;
      if (takesAnswers) _socket->getPollItem(items[4], ZMQ_POLLIN);
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      const int ready = ZMQContext::pollWithItems(items, takesAnswers ? 5 : 4, std::max<int64_t>(0, left.count()));
      if (ready < 0) {
        const int error = zmq_errno();
        if (error == EINTR) continue;
        if (error != ETERM) QoLog("Fetch data poll error!! epoll items count, {} {}", error, zmq_strerror(error));
        break;
      }
      if (items[2].revents & ZMQ_POLLIN) throw PullStop::Stopped();
      if (ready == 0) {
        QoLog("*** Download timeout, terminate this downloading task!!!!");
        silent = true;
        break;
      }
      if (items[3].revents & ZMQ_POLLIN) {
        QoLog("*** Download answer beyond a part, terminate this downloading task");
        silent = cut = true;
        break;
      }
      // Anything that moves, an answer or a finished seal or opening, starts the wait anew.
      deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(_answerTimeoutMs);
      if (takesAnswers && (items[4].revents & ZMQ_POLLIN)) receiveAnswers();
      if (items[1].revents & ZMQ_POLLIN) takeFlushResults();
      if (items[0].revents & ZMQ_POLLIN) sent = takeCryptoResults();
    }
    // Answers the peer may still send to this batch's parts would share its queue for this
    // connection with a whole window of new requests, and what does not fit is dropped.
    const bool answersToCome = silent && std::any_of(_transfers.begin(), _transfers.end(), [this](const auto& entry) {
                                 return isInBatch(entry.first) && !entry.second->parts().empty();
                               });
    _peerSilent = !sent || answersToCome;
    if (!sent || answersToCome || cut) {
      // Or the peer stopped reading, and half a message may be queued on the socket: the
      // next batch starts on a new one.
      if (!sent) QoLog("*** Send get request failed, terminate this downloading task");
      // The new socket will not see the answers to what the old one sent, and requests
      // sealed for the old one are not sent on it.
      discardCryptoWork();
      failNextBatchInFlight();
      connectToDevice(_device);
    }
    handleLeftovers();
  } catch (const std::exception& e) {
    QoLog("*** FetchFile failed, {}", e.what());
    abandonBatch();
    resetBatch();
    throw;
  }
  endBatch();
}

}  // namespace velbor
