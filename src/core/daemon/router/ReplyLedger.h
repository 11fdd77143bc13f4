#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/EventSignal.h"

namespace velbor {

class ZMQSendAccount;

// The bytes of replies a router has handed to ZeroMQ for each peer connection (by its router
// identity), and for each host those connections come from, that ZeroMQ has not yet written
// to the connection: what a peer that stops reading makes this device hold. ZeroMQ lets go of
// a reply's bytes on its own I/O thread, so every operation is thread-safe.
class ReplyLedger : public std::enable_shared_from_this<ReplyLedger> {
 public:
  using Clock = std::chrono::steady_clock;

  struct Held {
    std::string client;
    size_t bytes = 0;
    // The last time ZeroMQ let go of one of this connection's replies; when none was since
    // bytes were first held, the time they were.
    Clock::time_point lastRelease;
  };

  static std::shared_ptr<ReplyLedger> create();
  ReplyLedger(const ReplyLedger&) = delete;
  ReplyLedger& operator=(const ReplyLedger&) = delete;

  // Counts the frames sent with it as held for `client`, and for `host` unless it is empty.
  // Keeps this ledger alive.
  std::shared_ptr<ZMQSendAccount> accountFor(const std::string& client, const std::string& host = std::string());

  size_t heldFor(const std::string& client) const;
  size_t heldForHost(const std::string& host) const;
  size_t total() const;
  // Bytes let go of since the ledger was made.
  uint64_t releasedSoFar() const;
  // Every connection that has bytes held.
  std::vector<Held> held() const;

  // While watched, every release raises releasedSignal(): whoever waits for room learns of it.
  void setWatched(bool watched) { watched_ = watched; }
  int releasedFd() const { return released_.fd(); }
  void clearReleased() { released_.clear(); }

 private:
  class Account;
  struct Entry {
    size_t bytes = 0;
    Clock::time_point lastRelease;
  };

  ReplyLedger() = default;
  void add(const std::string& client, const std::string& host, size_t bytes) noexcept;
  void release(const std::string& client, const std::string& host, size_t bytes) noexcept;

  mutable std::mutex mutex_;
  std::map<std::string, Entry> entries_;
  std::map<std::string, size_t> hosts_;
  size_t total_ = 0;
  uint64_t releasedSoFar_ = 0;
  std::atomic<bool> watched_{false};
  EventSignal released_;
};

}  // namespace velbor
