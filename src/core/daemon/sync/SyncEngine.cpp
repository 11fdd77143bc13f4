// The pull of one pairing: pages of the peer's changed records, classified and applied in a
// fixed order, then the highest peer usn pulled.

#include "core/daemon/sync/SyncEngine.h"

#include <zmq.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/daemon/sync/FileFetcher.h"
#include "core/daemon/sync/FolderSpellingPairs.h"
#include "core/daemon/sync/FoldersRespelledHere.h"
#include "core/daemon/sync/PeerFolderRemovals.h"
#include "core/daemon/sync/PeerMarkRecord.h"
#include "core/daemon/sync/PeerSilent.h"
#include "core/daemon/sync/PullStop.h"
#include "core/daemon/sync/QoWorkerSync.h"
#include "core/daemon/sync/RecordsBackoff.h"
#include "core/daemon/sync/SpellingClashes.h"
#include "core/entity/NameSpelling.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoFile.h"
#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/entity/QoSyncdirCopyRelation.h"
#include "core/entity/RecordsRefused.h"
#include "core/proto/QoPbMessageCode.h"
#include "core/state/ChallengeAnswerers.h"
#include "core/state/DataSource.h"
#include "core/state/Lockers.h"
#include "core/state/PullsAwaitingPeer.h"
#include "core/state/QoConfig.h"
#include "core/state/QoNotices.h"
#include "core/state/QoPeer.h"
#include "core/state/SyncFileProcessBox.h"
#include "core/state/SyncdirPresence.h"
#include "core/utils/QoUtils.h"
#include "framework/crypto/Cryptor.h"
#include "framework/errors/QoExceptionProto.h"
#include "framework/network/ZMQContext.h"
#include "framework/network/ZMQSocket.h"
#include "platform/Dispatch.h"
#include "platform/LockerGuard.h"
#include "platform/QoLog.h"
#include "proto/VelborProto.pb.h"

namespace velbor {
namespace {

using RelationList = QoWorkerSync::RelationList;
using Pairing = QoWorkerSync::Pairing;

constexpr int32_t kFindLimit = 10000;
constexpr int kFindTimeoutMs = 20000;
constexpr int kRequestLingerMs = 5;
// A find page: kFindLimit records of at most a 4 KiB path and their few numbers each, and the
// envelope around them.
constexpr uint64_t kMaxFindReplyBytes = 44 * 1024 * 1024 + 4 * 1024;
constexpr size_t kMaxFindReplyFrames = 16;
// Random bytes of a find request's challenge: never the same twice.
constexpr size_t kChallengeBytes = 16;

std::shared_ptr<ZMQSocket> requestSocket(ZMQContext& context) {
  auto socket = context.socketWithType(ZMQ_REQ);
  const int linger = kRequestLingerMs;
  socket->setData(std::string_view(reinterpret_cast<const char*>(&linger), sizeof linger), ZMQ_LINGER);
  // One whole reply for each request: what the peer's address sends is held to one page.
  socket->guardConnections("Find", ZMQFrameCounter::Bounds{kMaxFindReplyFrames, kMaxFindReplyBytes}, true);
  return socket;
}

// One run of a pairing's pull, from the setting of its in-progress mark to its clean-up.
class SyncOnceRun {
 public:
  SyncOnceRun(Pairing pairing, std::shared_ptr<ZMQContext> context, std::shared_ptr<ZMQSocket> socket)
      : pairing_(std::move(pairing)),
        local_(pairing_->firstSyncdirCopy()),
        remote_(pairing_->secondSyncdirCopy()),
        peer_(remote_->device()),
        key_(pairing_->relationHash()),
        context_(std::move(context)),
        socket_(std::move(socket)) {}

  // Passes until no request is pending; false when a pass stopped early (no reply then).
  bool run() {
    DataSource& dataSource = DataSource::sharedDataSource();
    socket_->connectToEndpoint(peer_->routeUri());
    int retries = 0;
    int askedAgain = 0;
    for (;;) {
      if (!pass()) {
        // A pull asked for while this pass waited in vain was left to this run; it may be the
        // only word of what the peer (back again) changed, so it gets its pass here.
        if (askedAgain >= kRetryPasses || !askedWhileRunning()) return false;
        ++askedAgain;
        renewSocket();
        continue;
      }
      // A record that failed (a part that timed out, a file whose folder the peer had not
      // recorded yet) is asked for again soon, not only at the next change or timer.
      if (lastPassFailed_ && retries < kRetryPasses) {
        ++retries;
        // What this pass gave up is not coming now: its transfer is not shown as running
        // while the retry waits (a peer gone answers nothing for the whole find time-out).
        endDownloadDisplay(false);
        PullStop::sleepFor(kRetryDelay);
        continue;
      }
      // The check and the clearing of the mark are one step: a request that finds the mark
      // set has had its pending mark seen here, so it always gets a pass.
      LockerGuard lock(Lockers::syncOnce(pairing_->pk()));
      if (!dataSource.hasAnySyncOnceRequest(pairing_->pk())) {
        dataSource.setStopSyncOnce(pairing_->pk());
        markCleared_ = true;
        return true;
      }
    }
  }

  // Whether a pull of this pairing was asked for since the last pass began, the daemon going on.
  bool askedWhileRunning() {
    if (PullStop::isStopping()) return false;
    LockerGuard lock(Lockers::syncOnce(pairing_->pk()));
    return DataSource::sharedDataSource().hasAnySyncOnceRequest(pairing_->pk());
  }

  // A request socket left waiting for a reply takes no other request: a fresh one.
  void renewSocket() {
    socket_->closeWithoutLinger();
    socket_ = requestSocket(*context_);
    socket_->connectToEndpoint(peer_->routeUri());
  }

  // The peer stopped answering: pulled again as soon as it is heard again.
  void awaitPeer() { PullsAwaitingPeer::shared().add(peer_->uuid()); }

  // Always, whatever ended the run; `completed` when run() went through.
  void cleanUp(bool completed) {
    context_->closeSockets();
    context_->terminate();
    if (!markCleared_) {
      LockerGuard lock(Lockers::syncOnce(pairing_->pk()));
      DataSource::sharedDataSource().setStopSyncOnce(pairing_->pk());
      markCleared_ = true;
    }
    // A pull that stopped, or gave up a record, must not be announced as done.
    endDownloadDisplay(completed && !lastPassFailed_);
  }

 private:
  static constexpr int kRetryPasses = 2;
  static constexpr std::chrono::seconds kRetryDelay{2};
  bool lastPassFailed_ = false;

  void endDownloadDisplay(bool complete) {
    if (!downloading_) {
      // A pass gave files up and said so; a retry that then had nothing left to download
      // still ends the run done, or the row would go on saying that files are to come.
      if (complete && endedUnfinished_) {
        SyncFileProcessBox::sendSyncFileDownloadBegin(pairing_, 0, 0);
        SyncFileProcessBox::sendSyncFileDownloadEnd(pairing_, true);
      }
      return;
    }
    downloading_ = false;
    endedUnfinished_ = !complete;
    SyncFileProcessBox::sendSyncFileDownloadEnd(pairing_, complete);
  }
  // The last end posted said that files were given up.
  bool endedUnfinished_ = false;

  // One pass over every page from the stored mark; false when it stopped early.
  bool pass() {
    DataSource& dataSource = DataSource::sharedDataSource();
    dataSource.cleanSyncOnceQueue(pairing_->pk());
    dataSource.resetSyncdirCopyRelationFailedUsn(key_);
    const int64_t storedMark = dataSource.getSyncdirCopyMaxUsnWithRelaionKey(key_);
    int64_t since = storedMark;
    const std::string atMark = dataSource.getSyncdirCopyMarkRecordWithRelationKey(key_);
    // What stands at the mark: the record stored with it or, when none was (a mark stored by
    // an older version, or below a record that failed), the one the first page shows there.
    std::string standingAtMark = atMark;
    bool restarted = false;
    // What stands at the highest usn pulled in this pass; empty while none was.
    std::string lastRecord;
    bool firstPage = true;
    for (;;) {
      // The first page is asked from just below the mark, so that it shows what stands at the
      // mark now: the record pulled there, or one that moved above it since.
      const bool fromBelowMark = firstPage && since > 0;
      const int64_t asked = fromBelowMark ? since - 1 : since;
      QoLog("Send find request to tree({}) with usn({})", remote_->path(), asked);
      const auto response = find(asked, kFindLimit);
      if (!response) return false;
      firstPage = false;
      if (fromBelowMark && numbersWentBack(*response, since, atMark)) {
        QoLog(
            "*** Tree({}) no longer holds at usn({}) the record pulled there, its numbers went back: ask again "
            "from usn(0)",
            remote_->path(), since);
        since = 0;
        restarted = true;
        lastRecord.clear();
        continue;
      }
      // Pulled already.
      if (fromBelowMark && response->stats(0).usn() == since) {
        if (standingAtMark.empty()) standingAtMark = PeerMarkRecord::identify(response->stats(0));
        response->mutable_stats()->DeleteSubrange(0, 1);
      }
      if (response->stats_size() == 0) break;
      const int64_t pageEnd = applyPage(*response, since);
      if (pageEnd < 0) return false;
      for (const pb::Stat& stat : response->stats()) {
        if (stat.usn() == pageEnd) lastRecord = PeerMarkRecord::identify(stat);
      }
      since = pageEnd;
    }
    QoAssert(since != -1, "");
    const int64_t failed = dataSource.getSyncdirCopyRelationFailedUsn(key_);
    // A peer's usns are only its word: one at or below 0 asks again from the start.
    const int64_t mark = failed != 0 ? std::max<int64_t>(failed, 1) - 1 : since;
    lastPassFailed_ = failed != 0;
    // Below a failed record nothing tells what stands at the mark, unless the mark stayed
    // where it was: a record failing just above it leaves what stands there known.
    std::string markRecord;
    if (failed == 0 && !lastRecord.empty()) {
      markRecord = lastRecord;
    } else if (!restarted && mark == storedMark) {
      markRecord = standingAtMark;
    }
    QoLog("Update syncdir max usn to ({})", mark);
    dataSource.setSyncdirCopyMaxUsnWithRelationKey(key_, mark, markRecord);
    // Every page is applied: a case-only rename's removal of the old spelling came with them.
    SpellingClashes::shared().passCompleted(local_->uuid() + "/" + remote_->uuid());
    return true;
  }

  // Whether the page asked from just below the mark `since` shows that the peer hands out
  // its numbers again: it holds nothing at or above the mark (a record's usn only grows), or
  // another record than `atMark` (when known) at the mark itself. A record pulled at the mark
  // that changed since stands above it; then the peer's numbers cannot be told to have held.
  static bool numbersWentBack(const pb::MsgFindResponse& response, int64_t since, const std::string& atMark) {
    if (response.stats_size() == 0) return true;
    const pb::Stat& first = response.stats(0);
    return first.usn() == since && !atMark.empty() && PeerMarkRecord::identify(first) != atMark;
  }

  // The peer's next page after `since`; nothing when the run stops (poll error, time-out).
  std::shared_ptr<pb::MsgFindResponse> find(int64_t since, int32_t limit) {
    auto body = std::make_shared<pb::MsgFindRequest>();
    body->set_sync_uuid(local_->syncdirUuid());
    body->set_tree_uuid(remote_->uuid());
    body->set_since(since);
    body->set_limit(limit);
    const std::string challenge = Cryptor::getKeyDataWithLength(kChallengeBytes);
    body->set_challenge(challenge);
    auto request = QoMessage::qoMessageWithMsgCode(pb::MsgCodeFindRequest, std::move(body));
    request->setLevel(QoConfig::sharedQoConfig().encryptLevel());
    if (request->level() > QoMessage::kLevelNone) {
      request->setSrcDevice(QoDevice::getDeviceLocal());
      request->setDestDevice(peer_);
    }
    if (!request->sendToSocket(*socket_)) throw QoException::defaultExceptionWithReason("send find request failed");

    // The stop ends the wait for the page at once, and so does a connection cut with the request
    // on it.
    const uint64_t lostBefore = socket_->guardCutOwingAnswers();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFindTimeoutMs);
    bool watchesCuts = true;
    zmq_pollitem_t items[3]{};
    int ready;
    for (;;) {
      socket_->getPollItem(items[0], ZMQ_POLLIN);
      items[1].fd = PullStop::stopFd();
      items[1].events = ZMQ_POLLIN;
      items[2].fd = socket_->guardCutFd();
      items[2].events = ZMQ_POLLIN;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      ready = ZMQContext::pollWithItems(items, watchesCuts ? 3 : 2, std::max<int64_t>(left, 0));
      if (ready < 0 && zmq_errno() == EINTR) continue;
      if (ready <= 0 || (items[0].revents & ZMQ_POLLIN) || (items[1].revents & ZMQ_POLLIN)) break;
      if (socket_->guardCutOwingAnswers() > lostBefore) {
        QoLog("*** Find reply from device({}) went beyond a page, dropped", peer_->routeUri());
        return nullptr;
      }
      // An earlier cut: the page still comes.
      watchesCuts = false;
    }
    if (ready > 0 && (items[1].revents & ZMQ_POLLIN)) throw PullStop::Stopped();
    if (ready < 0) {
      QoLog("SyncOnce poll error!!");
      return nullptr;
    }
    if (ready == 0) {
      QoLog("Receive message from device({}) timeout", peer_->routeUri());
      awaitPeer();
      return nullptr;
    }
    // Only the peer's own word is taken: a page signed by anyone else, or by no one, fails the
    // pull before anything of it is applied.
    const QoMessage::Ptr reply = QoMessage::recvReplyFromSocket(*socket_, peer_->uuid());
    QoAssert(reply != nullptr, "");
    if (reply->code() == pb::MsgCodeError) {
      const auto error = reply->pbBodyAs<pb::MsgError>();
      const int32_t errcode = error ? error->errcode() : pb::ErrorCodeGeneral;
      const std::string errstr = error ? error->errstr() : std::string();
      QoLog("*** Sync once get error when find response from({}), {}: {}", peer_->routeUri(),
            getErrorString(errcode).value_or(""), errstr);
      throw QoException::exceptionWithCode(errcode, "Sync once get error find response from({}); {}", peer_->routeUri(),
                                           errstr);
    }
    auto response = reply->pbBodyAs<pb::MsgFindResponse>();
    QoAssert(reply->code() == pb::MsgCodeFindResponse && response != nullptr, "");
    // A signed page is the same bytes whenever it is sent: one carrying another request's
    // challenge was recorded earlier (a device of an earlier version carries none back, but
    // one without from a device that has carried ours back was recorded earlier too).
    ChallengeAnswerers& answerers = ChallengeAnswerers::shared();
    if (response->has_challenge() && response->challenge() == challenge) answerers.add(peer_->uuid());
    if (response->has_challenge() ? response->challenge() != challenge : answerers.contains(peer_->uuid())) {
      throw QoExceptionZeBadFormat::defaultExceptionWithReason("Sync once page from({}) answers another request",
                                                               peer_->routeUri());
    }
    // A page names every copy of its folder, the one asked among them: a page the peer signed
    // for another of its folders, sent again, is not this one's.
    if (std::find(response->uuids().begin(), response->uuids().end(), remote_->uuid()) == response->uuids().end()) {
      throw QoExceptionZeBadFormat::defaultExceptionWithReason("Sync once page from({}) is not of tree({})",
                                                               peer_->routeUri(), remote_->uuid());
    }
    return response;
  }

  // The local copy's uuid list with a slot for every copy the page names and counts: a copy
  // no clock counts carries nothing to keep (its counters read 0 here without a slot).
  std::vector<std::string> uuidListWithPlaceholders(const pb::MsgFindResponse& response) {
    const size_t bound = QoSyncdirCopy::kMaxCopiesPerSyncdir;
    if (static_cast<size_t>(response.uuids_size()) > bound) {
      throw QoExceptionZeBadFormat::defaultExceptionWithReason("Sync once page from({}) names {} copies, at most {}",
                                                               peer_->routeUri(), response.uuids_size(), bound);
    }
    std::vector<bool> counted(static_cast<size_t>(response.uuids_size()), false);
    for (const pb::Stat& stat : response.stats()) {
      const int slots = std::min(stat.vclock_size(), response.uuids_size());
      for (int k = 0; k < slots; ++k) {
        if (stat.vclock(k) != 0) counted[static_cast<size_t>(k)] = true;
      }
    }
    const std::vector<std::string> knownList = local_->getSyncdirCopysUuidList();
    const std::set<std::string> known(knownList.begin(), knownList.end());
    std::set<std::string> named;
    std::vector<std::string> unknown;
    for (int k = 0; k < response.uuids_size(); ++k) {
      const std::string& uuid = response.uuids(k);
      if (!QoUtils::checkUuid(uuid)) throw QoExceptionZeBadUuid::defaultException();
      // Each position is one clock slot: a copy named twice leaves the slots ambiguous.
      if (!named.insert(uuid).second) throw QoExceptionZeBadUuid::defaultExceptionWithReason("({}) named twice", uuid);
      if (counted[static_cast<size_t>(k)] && known.count(uuid) == 0) unknown.push_back(uuid);
    }
    // Every copy is a stored row and a counter in each clock of the folder for good: checked
    // before the first one is added.
    if (known.size() + unknown.size() > bound) {
      throw QoExceptionZeBadFormat::defaultExceptionWithReason(
          "Sync once page from({}) counts {} new copies, this folder has {} of at most {}", peer_->routeUri(),
          unknown.size(), known.size(), bound);
    }
    for (const std::string& uuid : unknown) {
      if (!QoSyncdirCopy::addPlaceholderCopy(local_->syncdirUuid(), uuid)) {
        throw QoExceptionZeBadFormat::defaultExceptionWithReason("Sync once page from({}): copy({}) not kept",
                                                                 peer_->routeUri(), uuid);
      }
    }
    // Read again: the slots the placeholders took, whatever else took one meanwhile.
    return local_->getSyncdirCopysUuidList();
  }

  // Classifies and applies one page; answers its highest usn, or -1 when the run stops.
  int64_t applyPage(const pb::MsgFindResponse& response, int64_t since) {
    const std::vector<std::string> remoteList(response.uuids().begin(), response.uuids().end());
    const std::vector<std::string> localList = uuidListWithPlaceholders(response);

    // Only a page that recorded something is news to the peers: one whose records all failed
    // would have two devices failing each other's records pull each other again and again.
    // Read before the page is sorted: sorting it may remove local items a peer replaced.
    const int64_t highestBefore = QoFile::highestUsn();
    const auto announceIfRecorded = [&] {
      if (QoFile::highestUsn() != highestBefore) QoNotices::post(notice::FileChanged{local_});
    };
    RelationList dirCreate, fileCreate, update, updateDir, deletions, conflicts, metadataOnly;
    int64_t maxUsn = -1;
    int64_t count = 0;
    const int64_t total = QoWorkerSync::getCompareResultWithStatList(
        response.stats(), pairing_, dirCreate, fileCreate, update, updateDir, deletions, conflicts, metadataOnly,
        maxUsn, count, remoteList, localList);
    // The next page is asked from this page's end: one that does not move on would be
    // asked for again and again.
    if (maxUsn <= since) {
      throw QoExceptionZeGeneral::defaultExceptionWithReason(
          "Sync once page from({}) ends at usn({}), not after usn({})", peer_->routeUri(), maxUsn, since);
    }

    const auto available = static_cast<int64_t>(QoUtils::getDiskAvailableSpace(local_->path()));
    if (total > available) {
      QoLog("*** {} disk available space is {}, we will download {}", local_->path(), available, total);
      QoNotices::post(notice::NotEnoughDeviceSpace{static_cast<uint64_t>(std::max<int64_t>(available, 0)),
                                                   static_cast<uint64_t>(total)});
      announceIfRecorded();
      return -1;
    }
    QoNotices::post(notice::EnoughDeviceSpace{});

    std::sort(conflicts.begin(), conflicts.end(), QoFileAndSyncdirCopyRelation::sortComparator());
    std::sort(dirCreate.begin(), dirCreate.end(), QoFileAndSyncdirCopyRelation::sortComparator());
    RelationList renamesOfCreated = QoWorkerSync::computeToRenameFilesByDeleteArray(deletions, fileCreate);
    RelationList renamesOfUpdated = QoWorkerSync::computeToRenameFilesByDeleteArray(deletions, update);
    RelationList renamesOfMetadata = QoWorkerSync::computeToRenameFilesByDeleteArray(deletions, metadataOnly);
    std::sort(deletions.begin(), deletions.end(), QoFileAndSyncdirCopyRelation::sortComparatorDesc());

    // What the peer holds of each folder now, for a later page or pass on a disk that ignores
    // letter case (QoWorkerSync::respellFolders).
    for (const pb::Stat& stat : response.stats()) {
      if (stat.IsInitialized() && QoPeer::convertFileTypeFromPbToQo(stat.type()) == 1) {
        PeerFolderRemovals::shared().saw(local_->uuid(), remote_->uuid(), stat.path(),
                                         QoPeer::convertFileStatusFromPbToQo(stat.status()) == 1);
      }
    }

    PullStop::raiseIfStopped();
    const bool nothing = conflicts.empty() && deletions.empty() && dirCreate.empty() && fileCreate.empty() &&
                         update.empty() && updateDir.empty() && metadataOnly.empty() && renamesOfCreated.empty() &&
                         renamesOfUpdated.empty() && renamesOfMetadata.empty();
    if (nothing) {
      announceIfRecorded();
      return maxUsn;
    }
    downloading_ = true;
    RelationList removals = deletions;
    removals.insert(removals.end(), conflicts.begin(), conflicts.end());
    // Kept over the pages and passes of the run: a folder's removal and its new spelling may
    // come in different pages.
    for (const std::string& path : QoWorkerSync::folders(removals, true)) respelledThere_.removed(path);
    for (const std::string& path : QoWorkerSync::folders(dirCreate, false)) respelledThere_.made(path);
    for (const RelationList* records : {&dirCreate, &fileCreate, &update, &updateDir, &conflicts, &metadataOnly,
                                        &renamesOfCreated, &renamesOfUpdated, &renamesOfMetadata}) {
      respelledHere_.merge(QoWorkerSync::respelledHere(local_->path(), *records));
    }
    // Names are taken as the folders list them from here on, not as listed before.
    NameSpelling::forget();
    SyncFileProcessBox::sendSyncFileDownloadBegin(pairing_, total, count);
    QoWorkerSync::handleConflictTreeRelation<FileFetcher>(pairing_, conflicts, peer_, remote_->uuid(), context_);
    PullStop::raiseIfStopped();
    RelationList renames = renamesOfCreated;
    renames.insert(renames.end(), renamesOfUpdated.begin(), renamesOfUpdated.end());
    renames.insert(renames.end(), renamesOfMetadata.begin(), renamesOfMetadata.end());
    RelationList arriving = renames;
    for (const RelationList* records : {&dirCreate, &fileCreate, &update, &updateDir, &metadataOnly}) {
      arriving.insert(arriving.end(), records->begin(), records->end());
    }
    QoWorkerSync::respellFolders(dirCreate, deletions, renames, arriving);
    QoWorkerSync::createDirectorysRelation(pairing_, dirCreate);
    QoWorkerSync::createDirectorysRelation(pairing_, updateDir);
    PullStop::raiseIfStopped();
    const RelationList failedOfCreated = QoWorkerSync::renameFiles(renamesOfCreated);
    const RelationList failedOfUpdated = QoWorkerSync::renameFiles(renamesOfUpdated);
    const RelationList failedOfMetadata = QoWorkerSync::renameFiles(renamesOfMetadata);
    PullStop::raiseIfStopped();
    QoWorkerSync::deleteRelation(pairing_, deletions);
    PullStop::raiseIfStopped();
    fileCreate.insert(fileCreate.end(), failedOfCreated.begin(), failedOfCreated.end());
    QoWorkerSync::createTreeRelation<FileFetcher>(pairing_, fileCreate, peer_, remote_->uuid(), context_);
    update.insert(update.end(), failedOfUpdated.begin(), failedOfUpdated.end());
    PullStop::raiseIfStopped();
    QoWorkerSync::updateTreeRelation<FileFetcher>(pairing_, update, peer_, remote_->uuid(), context_);
    PullStop::raiseIfStopped();
    metadataOnly.insert(metadataOnly.end(), failedOfMetadata.begin(), failedOfMetadata.end());
    QoWorkerSync::updateFilesWithoutDownload(metadataOnly);
    // Once the new spelling holds what the peer sent into it: a file both spellings hold then
    // stays once, or comes in beside as a conflict copy.
    QoWorkerSync::mergeIntoNewSpelling(local_->path(), respelledThere_.oldSpellings(), respelledThere_.newSpellings());
    // And what the peer sent into a spelling this device had given up goes into the one it holds.
    respelledHere_.merge(FoldersRespelledHere::shared().takeBelow(local_->path()));
    QoWorkerSync::mergeIntoRespelling(local_->path(), respelledHere_);
    announceIfRecorded();
    return maxUsn;
  }

  Pairing pairing_;
  std::shared_ptr<QoSyncdirCopy> local_;
  std::shared_ptr<QoSyncdirCopy> remote_;
  std::shared_ptr<QoDevice> peer_;
  std::string key_;
  std::shared_ptr<ZMQContext> context_;
  std::shared_ptr<ZMQSocket> socket_;
  // A download-begin was posted and its end not yet: the end is posted when a pass gives
  // records up and at the clean-up, whatever the later pages hold, or the pairing would show
  // a transfer that never ends.
  bool downloading_ = false;
  bool markCleared_ = false;
  // The folders the peer removed and made in the pages of this run, paired by spelling.
  FolderSpellingPairs respelledThere_;
  // The folders respelled here that the pages of this run may make again (see
  // QoWorkerSync::respelledHere).
  std::map<std::string, std::string> respelledHere_;
};

// The tests' stand-in for every pull; empty outside tests.
std::shared_mutex& overrideLock() {
  static std::shared_mutex lock;
  return lock;
}

SyncEngine::PullFunction& overridePull() {
  // Never destroyed: jobs still running at exit use it.
  static auto& pull = *new SyncEngine::PullFunction();
  return pull;
}

std::optional<SyncEngine::PullFunction> overridingPull() {
  std::shared_lock lock(overrideLock());
  if (!overridePull()) return std::nullopt;
  return overridePull();
}

// Makes the pull of the pairing once the database's wait is over (RecordsBackoff), once for
// any number of pulls asked for meanwhile.
void pullAfterWait(const std::string& localTreeUuid, const std::string& remoteTreeUuid,
                   std::chrono::steady_clock::duration wait) {
  const std::string key = localTreeUuid + "/" + remoteTreeUuid;
  if (!RecordsBackoff::shared().keep(key)) return;
  DispatchQueue::globalQueue()->after(wait, [localTreeUuid, remoteTreeUuid, key] {
    if (!RecordsBackoff::shared().taken(key)) return;
    try {
      SyncEngine::pullOnce(localTreeUuid, remoteTreeUuid);
    } catch (const std::exception& e) {
      QoLog("*** Sync once({}) failed, {}", localTreeUuid, e.what());
    }
  });
}

}  // namespace

SyncEngine::Pull SyncEngine::pullOnce(const std::string& localTreeUuid, const std::string& remoteTreeUuid) {
  if (const auto pull = overridingPull()) return (*pull)(localTreeUuid, remoteTreeUuid);
  const Pairing pairing = QoSyncdirCopyRelation::getSyncdirCopyRelationsWithFirstUuid(localTreeUuid, remoteTreeUuid);
  if (!pairing) {
    QoLog("No syncdirCopyRelation here!");
    return Pull::kNoPairing;
  }

  // Counted before the stop is looked at: a stop that comes later waits for this pull.
  PullStop::Running running;
  if (PullStop::isStopping()) {
    QoLog("Sync once({}) not started: the daemon stops", localTreeUuid);
    return Pull::kStopped;
  }
  // The database took no records a moment ago: the pull is made once the wait is over.
  if (const auto wait = RecordsBackoff::shared().waitLeft(); wait > std::chrono::steady_clock::duration::zero()) {
    pullAfterWait(localTreeUuid, remoteTreeUuid, wait);
    return Pull::kStopped;
  }
  DataSource& dataSource = DataSource::sharedDataSource();
  std::unique_ptr<SyncOnceRun> run;
  {
    // At most one run per pairing: the test of the mark and its setting are one step.
    LockerGuard lock(Lockers::syncOnce(pairing->pk()));
    dataSource.appendSyncOnceQueue(pairing->pk());
    const auto& local = pairing->firstSyncdirCopy();
    if (dataSource.isDoingSyncOnce(pairing->pk())) {
      QoLog("Sync once({}) is running!!!", local ? local->path() : std::string());
      return Pull::kAlreadyRunning;
    }
    QoAssert(local != nullptr, "first syncdir copy relation != nil");
    // A pull writes into its first copy: one held by another device is not ours to write.
    if (!local->device() || local->device()->pk() != 0) {
      throw QoExceptionZeBadTree::defaultExceptionWithReason("Syncdir copy({}) is not a local copy", local->uuid());
    }
    // A folder that is not the one recorded (a disk not mounted) takes nothing in, no removal
    // above all; the monitor pulls again once it is back.
    if (!SyncdirPresence::shared().check(local)) return Pull::kStopped;
    QoAssert(pairing->secondSyncdirCopy() != nullptr, "second syncdir copy relation != nil");
    const auto& peer = pairing->secondSyncdirCopy()->device();
    QoAssert(peer != nullptr, "Remote device is not exist!!! Failed");
    QoAssert(!peer->routeUri().empty(), "Remote router uri is nil!");
    QoAssert(QoDevice::isPeerEndpoint(peer->routeUri()), "Remote router uri({}) is not tcp", peer->routeUri());

    auto context = std::make_shared<ZMQContext>(1);
    auto socket = requestSocket(*context);
    QoLog("Sync once({}) tree({})", local->path(), local->uuid());
    run = std::make_unique<SyncOnceRun>(pairing, std::move(context), std::move(socket));
    dataSource.setDoingSyncOnce(pairing->pk());
  }

  bool completed = false;
  try {
    completed = run->run();
  } catch (const PullStop::Stopped& e) {
    // Like a time-out: no mark stored, no reply; what was not installed comes next time.
    QoLog("*** {}", e.what());
    run->cleanUp(false);
    return Pull::kStopped;
  } catch (const PeerSilent& e) {
    // The transfer ended with the peer's silence, and so does the row's display of it: the
    // pass does not ask the peer for a next page, nor does the run make another pass.
    QoLog("*** {}, pulled again when device({}) is heard", e.what(), pairing->secondSyncdirCopy()->device()->name());
    run->cleanUp(false);
    run->awaitPeer();
    return Pull::kStopped;
  } catch (const RecordsRefused& e) {
    // Nothing installed stays unrecorded (the event put it back); every other record would
    // fail the same way, so the pull stops here, says why once, and waits.
    const auto wait = RecordsBackoff::shared().refused();
    QoLog("*** Sync once({}) stopped, the records cannot be written ({}); pulls wait {} s", localTreeUuid, e.what(),
          std::chrono::duration_cast<std::chrono::seconds>(wait).count());
    run->cleanUp(false);
    pullAfterWait(localTreeUuid, remoteTreeUuid, wait);
    return Pull::kStopped;
  } catch (const std::exception& e) {
    QoLog("*** {}", e.what());
    run->cleanUp(false);
    throw;
  }
  run->cleanUp(completed);
  if (completed) RecordsBackoff::shared().recorded();
  return completed ? Pull::kDone : Pull::kStopped;
}

void SyncEngine::pullOnceInBackground(const std::string& localTreeUuid, const std::string& remoteTreeUuid,
                                      std::function<void(const std::exception&)> failed) {
  DispatchQueue::globalQueue()->async([localTreeUuid, remoteTreeUuid, failed = std::move(failed)] {
    try {
      pullOnce(localTreeUuid, remoteTreeUuid);
    } catch (const std::exception& e) {
      if (failed) failed(e);
    }
  });
}

void SyncEngine::pullAfter(const std::string& localTreeUuid, const std::string& remoteTreeUuid,
                           std::chrono::steady_clock::duration wait) {
  using Clock = std::chrono::steady_clock;
  // Never destroyed: jobs still waiting at exit look at them.
  static auto& mutex = *new std::mutex();
  static auto& pending = *new std::map<std::string, Clock::time_point>();
  const std::string key = localTreeUuid + "/" + remoteTreeUuid;
  const auto due = Clock::now() + wait;
  {
    std::lock_guard lock(mutex);
    const auto found = pending.find(key);
    if (found != pending.end() && found->second <= due) return;
    pending[key] = due;
  }
  DispatchQueue::globalQueue()->after(wait, [localTreeUuid, remoteTreeUuid, key, due] {
    {
      std::lock_guard lock(mutex);
      const auto found = pending.find(key);
      if (found != pending.end() && found->second == due) pending.erase(found);
    }
    try {
      pullOnce(localTreeUuid, remoteTreeUuid);
    } catch (const std::exception& e) {
      QoLog("*** Sync once({}) failed, {}", localTreeUuid, e.what());
    }
  });
}

SyncEngine::ScopedOverride::ScopedOverride(PullFunction pull) {
  std::unique_lock lock(overrideLock());
  previous_ = std::exchange(overridePull(), std::move(pull));
}

SyncEngine::ScopedOverride::~ScopedOverride() {
  std::unique_lock lock(overrideLock());
  overridePull() = std::move(previous_);
}

}  // namespace velbor
