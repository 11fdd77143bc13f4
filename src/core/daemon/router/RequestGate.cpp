#include "core/daemon/router/RequestGate.h"

#include <algorithm>

#include <fmt/format.h>

#include "core/daemon/router/ReplyLedger.h"
#include "platform/ForeignTcpSocket.h"
#include "platform/LogRateLimiter.h"
#include "platform/MallocArenas.h"
#include "platform/QoLog.h"

namespace velbor {

namespace {

// Peers decide how many requests get dropped: their log lines are bounded. Never destroyed:
// a broker may still log during exit.
LogRateLimiter& droppedRequestLog() {
  static auto* limiter = new LogRateLimiter("Router: dropped requests", 10, std::chrono::minutes(1));
  return *limiter;
}

constexpr std::chrono::milliseconds kMaxSweepInterval{1000};
// A connection that holds and waits for nothing is forgotten this long after its last
// request: a reply to it may still come from a worker, and is counted for its host.
constexpr std::chrono::seconds kForgetIdleAfter{10};

}  // namespace

RequestGate::RequestGate(Limits limits, std::shared_ptr<ReplyLedger> ledger, FarSideOf farSideOf)
    : limits_(limits), ledger_(std::move(ledger)), farSideOf_(std::move(farSideOf)) {}

std::string RequestGate::farHostOf(const std::string& client) const {
  auto entry = peers_.find(client);
  return entry == peers_.end() ? std::string() : entry->second.farHost;
}

std::string RequestGate::sourceHostOf(const std::string& client) const {
  auto entry = peers_.find(client);
  return entry == peers_.end() ? std::string() : entry->second.host;
}

std::shared_ptr<ZMQSendAccount> RequestGate::accountFor(const std::string& client) {
  auto entry = peers_.find(client);
  return ledger_->accountFor(client, entry == peers_.end() ? std::string() : entry->second.host);
}

bool RequestGate::heldBackByTotalOnly(const std::string& client, const Peer& peer) const {
  return ledger_->heldFor(client) < limits_.peerReplyBytes &&
         (peer.host.empty() || ledger_->heldForHost(peer.host) < limits_.hostReplyBytes);
}

bool RequestGate::mayServe(const std::string& client, const Peer& peer) const {
  return heldBackByTotalOnly(client, peer) && ledger_->total() < limits_.totalReplyBytes;
}

void RequestGate::addWaiting(Peer& peer, size_t bytes) {
  peer.waitingBytes += bytes;
  waitingBytes_ += bytes;
  if (!peer.host.empty()) hostWaiting_[peer.host] += bytes;
}

void RequestGate::removeWaiting(Peer& peer, size_t bytes) {
  bytes = std::min(peer.waitingBytes, bytes);
  peer.waitingBytes -= bytes;
  waitingBytes_ -= std::min(waitingBytes_, bytes);
  auto host = peer.host.empty() ? hostWaiting_.end() : hostWaiting_.find(peer.host);
  if (host == hostWaiting_.end()) return;
  host->second -= std::min(host->second, bytes);
  if (host->second == 0) hostWaiting_.erase(host);
}

RequestGate::Peer& RequestGate::peerFor(const std::string& client, int sourceFd, const std::string& sourceAddress) {
  auto [entry, added] = peers_.try_emplace(client);
  Peer& peer = entry->second;
  // Set once: the bytes waiting and held for the connection are counted for that host.
  if (peer.host.empty() && peer.waitingBytes == 0) peer.host = sourceAddress;
  if (added && sourceFd >= 0 && !sourceAddress.empty()) {
    // The descriptor counts only when it still leads to the host ZeroMQ names: it may have
    // been closed and its number given to another connection since the request came.
    std::optional<std::string> address = ForeignTcpSocket::peerAddress(sourceFd);
    const std::string host = address ? address->substr(0, address->rfind(':')) : std::string();
    if (address && (host == sourceAddress || host == fmt::format("[{}]", sourceAddress))) {
      peer.fd = sourceFd;
      peer.address = std::move(*address);
      std::optional<std::string> far = farSideOf_ ? farSideOf_(peer.address) : std::nullopt;
      peer.shown = far.value_or(peer.address);
      if (far) {
        std::string host = far->substr(0, far->rfind(':'));
        if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
        peer.farHost = std::move(host);
      }
    }
  }
  return peer;
}

bool RequestGate::stillConnected(const Peer& peer) {
  return peer.fd < 0 || ForeignTcpSocket::peerAddress(peer.fd) == peer.address;
}

bool RequestGate::admit(ZMQMessage& request, int sourceFd, const std::string& sourceAddress) {
  std::optional<std::string> head = request.getNextFrame();
  if (!head) return false;
  const std::string client = std::move(*head);
  request.insertFrameAtHead(client);

  Peer& peer = peerFor(client, sourceFd, sourceAddress);
  peer.lastRequest = Clock::now();
  // A connection's requests keep their order: none passes those already waiting.
  if (!peer.cut && peer.waiting.empty() && mayServe(client, peer)) return true;

  const size_t bytes = request.byteSize();
  auto hostWaiting = peer.host.empty() ? hostWaiting_.end() : hostWaiting_.find(peer.host);
  const size_t waitingOfHost = hostWaiting == hostWaiting_.end() ? 0 : hostWaiting->second;
  if (peer.cut || peer.waitingBytes + bytes > limits_.peerWaitingBytes ||
      (!peer.host.empty() && waitingOfHost + bytes > limits_.hostWaitingBytes) ||
      waitingBytes_ + bytes > limits_.totalWaitingBytes) {
    statDropped_.fetch_add(1);
    droppedRequestLog().log("*** Router dropped a request of {} bytes from ({}): {} bytes of its replies wait", bytes,
                            peer.shown, ledger_->heldFor(client));
    if (peer.waiting.empty() && !peer.cut && ledger_->heldFor(client) == 0) peers_.erase(client);
    return false;
  }
  peer.waiting.push_back(std::move(request));
  addWaiting(peer, bytes);
  ++waitingCount_;
  statWaiting_ = waitingCount_;
  ledger_->setWatched(true);
  return false;
}

std::optional<ZMQMessage> RequestGate::nextWaiting() {
  if (!hasWaiting() || peers_.empty()) return std::nullopt;
  // One turn over the connections, starting after the one served last.
  auto start = peers_.upper_bound(lastTurn_);
  for (size_t visited = 0, count = peers_.size(); visited < count; ++visited) {
    if (start == peers_.end()) start = peers_.begin();
    auto entry = start++;
    Peer& peer = entry->second;
    if (peer.waiting.empty() || !mayServe(entry->first, peer)) continue;
    if (!stillConnected(peer)) {
      // The peer is gone: nobody would read the replies.
      dropWaiting(peer);
      continue;
    }
    ZMQMessage request = std::move(peer.waiting.front());
    peer.waiting.pop_front();
    removeWaiting(peer, request.byteSize());
    --waitingCount_;
    statWaiting_ = waitingCount_;
    lastTurn_ = entry->first;
    ledger_->setWatched(hasWaiting());
    return request;
  }
  return std::nullopt;
}

void RequestGate::dropWaiting(Peer& peer) {
  statDropped_.fetch_add(peer.waiting.size());
  waitingCount_ -= std::min(waitingCount_, peer.waiting.size());
  removeWaiting(peer, peer.waitingBytes);
  peer.waiting.clear();
  statWaiting_ = waitingCount_;
  ledger_->setWatched(hasWaiting());
}

void RequestGate::cutOff(const std::string& client, Peer& peer) {
  dropWaiting(peer);
  peer.cut = true;
  // Only the connection first seen: a descriptor that leads elsewhere now was closed, and
  // ZeroMQ has dropped, or is dropping, what it held.
  if (!stillConnected(peer) || peer.fd < 0) return;
  const size_t held = ledger_->heldFor(client);
  if (!ForeignTcpSocket::cutIfConnectedTo(peer.fd, peer.address)) return;
  statCut_.fetch_add(1);
  QoLog("*** Router cut off ({}): it read none of {} bytes of replies", peer.shown, held);
}

bool RequestGate::sweepWanted() const {
  return hasWaiting() || !peers_.empty() || peakSinceTrim_ > 0 || ledger_->total() > 0;
}

std::chrono::milliseconds RequestGate::sweepInterval() const {
  return std::clamp(limits_.stallLimitUnderPressure / 2, std::chrono::milliseconds(1), kMaxSweepInterval);
}

void RequestGate::sweep(Clock::time_point now) {
  // Room is short when a connection waits that only the total holds back: one held back by
  // its own or its host's bound puts no one else in a hurry, and one merely not served yet
  // while the total has room is no shortage either.
  bool pressure = false;
  if (ledger_->total() >= limits_.totalReplyBytes) {
    for (const auto& [client, peer] : peers_) {
      if (!peer.waiting.empty() && !peer.cut && heldBackByTotalOnly(client, peer)) pressure = true;
    }
  }
  const auto limit = pressure ? limits_.stallLimitUnderPressure : limits_.stallLimit;

  for (const ReplyLedger::Held& held : ledger_->held()) {
    auto entry = peers_.find(held.client);
    if (entry == peers_.end()) continue;
    Peer& peer = entry->second;
    if (!peer.heldAtLastSweep) {
      peer.heldAtLastSweep = true;
      peer.lastProgress = now;
      peer.lastUnsent.reset();
    }
    // The system's queue shrinks while the peer reads, even when no whole reply left ZeroMQ.
    std::optional<size_t> unsent = ForeignTcpSocket::unsentBytes(peer.fd);
    if (unsent != peer.lastUnsent) {
      peer.lastUnsent = unsent;
      peer.lastProgress = now;
    }
    const Clock::time_point progress = std::max(peer.lastProgress, held.lastRelease);
    if (!peer.cut && now - progress >= limit) cutOff(held.client, peer);
  }

  // Forget connections that hold nothing and wait for nothing, once no reply is likely to
  // come; one that comes back is met anew.
  for (auto entry = peers_.begin(); entry != peers_.end();) {
    Peer& peer = entry->second;
    const bool holds = ledger_->heldFor(entry->first) > 0;
    if (!holds) peer.heldAtLastSweep = false;
    if (!holds && peer.waiting.empty() && (peer.cut || now - peer.lastRequest >= kForgetIdleAfter)) {
      entry = peers_.erase(entry);
    } else {
      ++entry;
    }
  }

  const size_t total = ledger_->total();
  peakSinceTrim_ = std::max(peakSinceTrim_, total);
  if (peakSinceTrim_ - total >= limits_.trimAfterBytes) {
    releaseFreeHeapMemory();
    statTrims_.fetch_add(1);
    peakSinceTrim_ = total;
  } else if (total == 0) {
    peakSinceTrim_ = 0;
  }
}

RequestGate::Stats RequestGate::stats() const {
  Stats stats;
  stats.waitingRequests = statWaiting_.load();
  stats.droppedRequests = statDropped_.load();
  stats.cutConnections = statCut_.load();
  stats.heapTrims = statTrims_.load();
  return stats;
}

}  // namespace velbor
