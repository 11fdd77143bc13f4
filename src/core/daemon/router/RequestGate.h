#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "framework/network/ZMQMessage.h"

namespace velbor {

class ReplyLedger;
class ZMQSendAccount;

// Decides, for a router's broker, which requests from the network go to a worker now. A
// peer connection for which too many reply bytes wait in ZeroMQ (it does not read them), one
// whose host's connections together hold too many, or any request while all connections
// together hold too many, waits instead, in the order it came; beyond a bound of waiting
// bytes (per connection, per host and in all) requests are dropped (the peer's own time-out
// tells it). The bounds per host keep a share for every other host: one host may open any
// number of connections, and replay one captured request on each. A connection that holds
// replies and reads nothing for long, or for a short while when others wait for room that
// only the total holds back, is cut off, so that ZeroMQ drops what it queued for it. After
// a large part of the replies held was let go of, the freed heap goes back to the system.
//
// Used by the broker thread only, except stats().
class RequestGate {
 public:
  using Clock = std::chrono::steady_clock;

  struct Limits {
    // A fetcher that reads keeps at most 16 MiB of parts (and the envelopes of at most 128
    // of them) asked for at once: its replies never wait for more than that.
    size_t peerReplyBytes = 24 * 1024 * 1024;
    // Room for several fetchers at full speed.
    size_t totalReplyBytes = 128 * 1024 * 1024;
    // All connections of one host: the fetchers of many pairings with one device share it,
    // and half of the total stays for other hosts.
    size_t hostReplyBytes = 64 * 1024 * 1024;
    // Requests are a few hundred bytes; a fetcher asks for at most 128 parts at once.
    size_t peerWaitingBytes = 1024 * 1024;
    size_t hostWaitingBytes = 8 * 1024 * 1024;
    size_t totalWaitingBytes = 16 * 1024 * 1024;
    // A fetcher gives up after 7 s without an answer: a connection that took none of its
    // replies for this long is no fetcher at work.
    std::chrono::milliseconds stallLimit{20000};
    // The same while other connections wait for room.
    std::chrono::milliseconds stallLimitUnderPressure{2000};
    // Freed reply bytes after which the heap is handed back.
    size_t trimAfterBytes = 32 * 1024 * 1024;
  };

  struct Stats {
    size_t waitingRequests = 0;
    uint64_t droppedRequests = 0;
    uint64_t cutConnections = 0;
    uint64_t heapTrims = 0;
  };

  // The far side ("192.168.1.7:40312") of a connection seen at "address:port" when it comes
  // through a relay; nothing when it is that far side itself.
  using FarSideOf = std::function<std::optional<std::string>(const std::string&)>;

  RequestGate(Limits limits, std::shared_ptr<ReplyLedger> ledger, FarSideOf farSideOf = nullptr);
  RequestGate(const RequestGate&) = delete;
  RequestGate& operator=(const RequestGate&) = delete;

  // A request as received from the frontend ([client] [empty] [envelope]), with the
  // descriptor and address of the connection it came by (-1 and empty when unknown). True
  // when it may go to a worker now (it is left in `request`); otherwise it was taken to
  // wait, or dropped.
  bool admit(ZMQMessage& request, int sourceFd, const std::string& sourceAddress);
  // The oldest waiting request of the next connection in turn that may be served now.
  std::optional<ZMQMessage> nextWaiting();
  bool hasWaiting() const { return waitingBytes_ > 0 || waitingCount_ > 0; }

  // The far host ("192.168.1.7") of the connection `client` sent its requests by, when it
  // came through a relay; empty when not known.
  std::string farHostOf(const std::string& client) const;
  // The host ZeroMQ named for `client` ("127.1.0.3" behind a relay); empty when not known.
  std::string sourceHostOf(const std::string& client) const;
  // Counts the replies sent with it for `client`.
  std::shared_ptr<ZMQSendAccount> accountFor(const std::string& client);

  // Cuts off stalled connections and hands freed heap back. Due every sweepInterval()
  // while sweepWanted().
  void sweep(Clock::time_point now);
  bool sweepWanted() const;
  std::chrono::milliseconds sweepInterval() const;

  const Limits& limits() const { return limits_; }
  ReplyLedger& ledger() { return *ledger_; }
  // Thread-safe.
  Stats stats() const;

 private:
  struct Peer {
    std::deque<ZMQMessage> waiting;
    size_t waitingBytes = 0;
    // The connection, as first seen: its descriptor and "address:port"; -1 when unknown.
    int fd = -1;
    std::string address;
    // The far side as the log names it.
    std::string shown;
    // Its host, when the far side is known.
    std::string farHost;
    // The host ZeroMQ names for it; empty when unknown (then no host bound applies).
    std::string host;
    // When it last sent a request: its replies are counted for its host while one may come.
    Clock::time_point lastRequest;
    // Bytes the system had not yet delivered at the last sweep, and when that last changed
    // or a reply was let go of.
    std::optional<size_t> lastUnsent;
    Clock::time_point lastProgress;
    bool heldAtLastSweep = false;
    bool cut = false;
  };

  bool mayServe(const std::string& client, const Peer& peer) const;
  // Whether only the bound of all connections together holds the peer back.
  bool heldBackByTotalOnly(const std::string& client, const Peer& peer) const;
  void addWaiting(Peer& peer, size_t bytes);
  void removeWaiting(Peer& peer, size_t bytes);
  Peer& peerFor(const std::string& client, int sourceFd, const std::string& sourceAddress);
  // Whether the peer's connection is still the one first seen.
  static bool stillConnected(const Peer& peer);
  void dropWaiting(Peer& peer);
  void cutOff(const std::string& client, Peer& peer);

  const Limits limits_;
  const std::shared_ptr<ReplyLedger> ledger_;
  const FarSideOf farSideOf_;
  std::map<std::string, Peer> peers_;
  // Waiting bytes by host.
  std::map<std::string, size_t> hostWaiting_;
  // The connection served last from the waiting requests; the next turn starts after it.
  std::string lastTurn_;
  size_t waitingBytes_ = 0;
  size_t waitingCount_ = 0;
  // The most held since the heap was last handed back.
  size_t peakSinceTrim_ = 0;

  std::atomic<size_t> statWaiting_{0};
  std::atomic<uint64_t> statDropped_{0};
  std::atomic<uint64_t> statCut_{0};
  std::atomic<uint64_t> statTrims_{0};
};

}  // namespace velbor
