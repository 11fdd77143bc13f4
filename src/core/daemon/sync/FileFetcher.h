#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/daemon/sync/TokenPool.h"
#include "core/envelope/QoMessage.h"
#include "framework/network/ZMQSocket.h"
#include "platform/OrderedWorkPool.h"

namespace velbor {

class QoDevice;
class QoFileAndSyncdirCopyRelation;
class PartWrite;
class QoSyncdirCopyRelation;
class TmpFileOpening;
class TransferFile;
class ZMQContext;
class ZMQMessage;
class ZMQSocket;
namespace pb {
class MsgGetRequest;
class MsgGetResponse;
}  // namespace pb

// Downloads the contents of one remote copy's files from the peer, part by part, over one
// DEALER socket of the pull's context, with at most 16 MiB of requested parts in flight.
// Parts are written into each file's temporary download at their offsets; a complete file
// is applied through its fetched-change record (SHA-1 check, move into place, record).
//
// Every record of a batch is either applied or leaves its peer usn as the pairing's failed
// usn, so that the next pull fetches it again. Transfer ids run on across the batches of a
// fetcher: an answer that comes after its batch has ended is recognised by its id and
// dropped, never written into a file of a later batch. The grants of parts still
// outstanding when a batch ends go back to the pool then, so the window stays whole.
//
// Used by one thread, the pull's. Requests are sealed and answers opened (the RSA work of
// each message) on a pool of crypto threads, in parallel; their results come back to the
// pull's thread in order, and every decision and socket call stays there; the pool also
// creates each temporary download and writes the large parts. A complete file is checked
// and flushed to the disk (DownloadSync) on threads of their own, so that the flushes of
// many files overlap; it is applied when that comes back, and fails when the flush failed.
class FileFetcher {
 public:
  using Relation = std::shared_ptr<QoFileAndSyncdirCopyRelation>;
  using RelationList = std::vector<Relation>;

  // Longest wait for the next answer to any outstanding part.
  static constexpr int kAnswerTimeoutMs = 7000;
  // Parts asked for and not yet answered, at most: every answer must fit in the peer's
  // router queue for this connection while nothing is read. ZeroMQ learns of room freed in
  // that queue in steps of half its size, so only half of it is sure to be free.
  static constexpr int kMaxOutstandingParts = ZMQSocket::kRouterReplyHighWaterMark / 2;
  // One answer: a part and its envelope (header, signature, the response's other fields).
  static constexpr uint64_t kMaxAnswerBytes = TokenPool::kMaxSize + 64 * 1024;
  static constexpr size_t kMaxAnswerFrames = 16;

  FileFetcher(std::string treeUuid, std::shared_ptr<ZMQContext> context);
  ~FileFetcher();
  FileFetcher(const FileFetcher&) = delete;
  FileFetcher& operator=(const FileFetcher&) = delete;

  // Opens the DEALER socket on the context and connects it to the peer's routeUri.
  void connectToDevice(const std::shared_ptr<QoDevice>& device);
  // Closes the socket; harmless when not connected. Gives up an announced next batch.
  void disconncet();

  bool hasOutstandingPart() const { return _totalOutstandingPart > 0; }
  // The next part to request, or nothing (batch exhausted, or the window is full).
  std::shared_ptr<pb::MsgGetRequest> getNextPart();
  // `keep`, when given, holds the response's bytes alive: a large part is then written on
  // the crypto pool rather than on this thread.
  void onPartArrived(const pb::MsgGetResponse& response, std::shared_ptr<const void> keep = nullptr);
  void onPartError(int32_t transferId, int64_t offset, int32_t length);
  // Downloads one batch and returns when every part of it is answered, or when the peer
  // stays silent for the answer time-out. Raises (after closing the temporary files of the
  // batch and of the next one) on an error reply or a malformed answer.
  //
  // `nextBatch`, when given, is what the next calls will fetch, in order: once every part of
  // this batch is asked for, its parts are asked for too, so that the peer is never idle
  // between two batches; its files may even be complete and applied before this call
  // returns. The next call's batch and what follows it go on from there; a next call that
  // does not, or disconncet(), gives up what was announced (its records are then fetched
  // again by the next pull).
  void fetchData(const RelationList& batch, const std::shared_ptr<QoSyncdirCopyRelation>& treeRelation,
                 const RelationList& nextBatch = {});

  // Whether the last batch ended because the peer stopped answering: parts it owed came not
  // within the answer time-out, or it took no request for that long.
  bool peerSilent() const { return _peerSilent; }

  // Tests: a shorter wait than kAnswerTimeoutMs.
  void setAnswerTimeoutMs(int timeoutMs);
  const TokenPool& tokenPool() const { return _tokenPool; }

 private:
  // The transfer id of the batch's record at `index`.
  int32_t transferIdOf(uint64_t index) const;
  // The batch index of a transfer id of the current batch; nothing for any other id.
  std::optional<uint64_t> indexOfTransfer(int32_t transferId) const;
  std::shared_ptr<TransferFile> transferOf(int32_t transferId, const char* what) const;
  void nextFile();
  // False when the request could not go out within the answer time-out.
  // Hands every part getNextPart gives to the crypto pool for sealing.
  void requestParts();
  // Takes what the socket holds to the crypto pool for opening.
  void receiveAnswers();
  // Sends the sealed requests and handles the opened answers that are ready, in order;
  // false when a request could not go out within the answer time-out.
  bool takeCryptoResults();
  // Handles the checks and flushes of complete files that came back, in order.
  void takeFlushResults();
  void handleAnswer(const QoMessage::Ptr& answer);
  // The part is in the temporary file: progress told, the file completed when it was the last.
  void onPartWritten(const std::shared_ptr<TransferFile>& transfer, int64_t offset, size_t size);
  // A part's write on the pool came back.
  void onWriteDone(int32_t transferId, const PartWrite& write);
  void startWrite(int32_t transferId, std::shared_ptr<PartWrite> write);
  // The temporary download of a first part's request was created: its transfer takes it.
  // False when the request is not to go out (the file could not be created, or its
  // transfer is over); the part is then no longer outstanding.
  bool adoptOpening(TmpFileOpening& opening);
  // Whether a later part's sealed request is still to go out: not when its file could not
  // be created, or its batch is over; the part is then no longer outstanding.
  bool stillAsked(const pb::MsgGetRequest& request);
  // Forgets every seal and opening not yet taken back.
  void discardCryptoWork();
  void setSendTimeout();
  // The record at `index` is fetched again by the next pull.
  void setFailedUsn(uint64_t index) const;
  // Gives up the file: its temporary file goes, no further part is asked for it.
  void failTransfer(TransferFile& transfer);
  void closeSocket();
  // Whether a transfer id is one of the current batch (not of the next one, nor earlier).
  bool isInBatch(int32_t transferId) const;
  // Parts not yet answered or still being written, or complete files still being flushed.
  bool batchHasOutstandingWork() const;
  // The file is complete: checked and flushed on the pool, applied when that comes back.
  void completeTransfer(const std::shared_ptr<TransferFile>& transfer);
  // The check and flush of a complete file came back.
  void onSynced(int32_t transferId);
  // Applies the complete file through its record and forgets the transfer.
  void applyTransfer(const std::shared_ptr<TransferFile>& transfer);
  bool continuesWith(const RelationList& batch, const RelationList& nextBatch) const;
  void handleLeftovers();
  // Closes the temporary files of the batch and of the next one, when that ends by an exception.
  void abandonBatch();
  // Gives up the current and the announced batch: temporary files closed, records failed.
  void abandonAll();
  // Fails the files of the next batch that wait for answers that cannot come any more.
  void failNextBatchInFlight();
  // Drops the finished current batch; the next one, if any, becomes the current one.
  void endBatch();
  // Drops both batches.
  void resetBatch();

  std::string _treeUuid;
  std::shared_ptr<ZMQContext> _context;
  std::shared_ptr<QoDevice> _device;
  // The peer's uuid, for the crypto pool: only answers it signed are taken.
  std::string _deviceUuid;
  std::shared_ptr<ZMQSocket> _socket;

  // The current batch, then the next one.
  RelationList _fileRelations;
  // The current batch's end in _fileRelations.
  uint64_t _batchEnd = 0;
  std::shared_ptr<QoSyncdirCopyRelation> _treeRelation;
  // The peer usns of the batch, read before anything is applied.
  std::vector<int64_t> _peerUsns;
  uint64_t _curIndex = 0;
  int64_t _curFileOffset = 0;

  TokenPool _tokenPool;
  std::map<int32_t, std::shared_ptr<TransferFile>> _transfers;
  int32_t _totalOutstandingPart = 0;
  // The transfer id of the current batch's first record.
  uint32_t _batchBase = 0;
  std::optional<std::vector<std::string>> _localUuidList;
  int _answerTimeoutMs = kAnswerTimeoutMs;
  bool _peerSilent = false;

  // A sealed request ready to send, or an opened answer.
  struct Crypted {
    std::shared_ptr<ZMQMessage> sealed;
    QoMessage::Ptr opened;
    // The received bytes of an opened answer.
    size_t receivedBytes = 0;
    // The transfer whose complete file was checked and flushed.
    std::optional<int32_t> syncedTransfer;
    // A part written into the temporary file of `writtenTransfer`.
    std::shared_ptr<PartWrite> written;
    int32_t writtenTransfer = 0;
    // The request that `sealed` carries.
    std::shared_ptr<pb::MsgGetRequest> request;
    // The temporary download created for the sealed request of a file's first part.
    std::shared_ptr<TmpFileOpening> opening;
  };
  // Complete files being checked and flushed on the pool, each holding a descriptor: no more
  // answers are taken while this many are.
  static constexpr int kMaxSyncing = 64;
  int _syncing = 0;
  // Received bytes handed to the pool for opening or writing and not yet taken back.
  size_t _openingBytes = 0;
  std::shared_ptr<QoDevice> _localDevice;
  // One thread a core, but not so many that their memory arenas weigh on a small daemon.
  static constexpr size_t kMaxCryptoThreads = 8;
  // Lanes of the pool, each in order of its own: requests being sealed go first and never
  // wait behind part writes or answers.
  enum CryptoLane : size_t { kSealLane, kWriteLane, kAnswerLane, kLaneCount };
  OrderedWorkPool<Crypted> _crypto{std::min(kMaxCryptoThreads, OrderedWorkPool<Crypted>::hardwareThreads()),
                                   kLaneCount};
  // Complete files are checked and flushed on threads of their own: a flush waits for the
  // disk, and must not hold a thread that seals or opens meanwhile.
  static constexpr size_t kFlushThreads = 8;
  OrderedWorkPool<Crypted> _flushes{kFlushThreads};
};

}  // namespace velbor
