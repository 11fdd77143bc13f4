#pragma once

#include <chrono>
#include <mutex>
#include <set>
#include <string>

namespace velbor {

// Pulls wait while the database takes no records (its disk is full): nothing they install
// could be recorded, and each try would download and put back files for nothing. After a
// pull met the refusal no pull starts for kFirstWait, then for twice as long after each
// further refusal, up to kLongestWait; a pull that goes through ends the waiting. A pull
// asked for meanwhile is made once the wait is over.
class RecordsBackoff {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr std::chrono::seconds kFirstWait{10};
  static constexpr std::chrono::seconds kLongestWait{300};

  static RecordsBackoff& shared();

  // How long pulls must still wait; zero when they may start.
  Clock::duration waitLeft(Clock::time_point now = Clock::now());
  // A pull met a refusal; answers how long pulls wait from now.
  Clock::duration refused(Clock::time_point now = Clock::now());
  // A pull went through.
  void recorded();
  // Whether the pull of the pairing `key` is to be made once the wait is over: true once
  // for each key until taken() is called for it, which answers whether it still is (clear()
  // forgets every such pull).
  bool keep(const std::string& key);
  bool taken(const std::string& key);
  void clear();

 private:
  std::mutex mutex_;
  int refusals_ = 0;
  Clock::time_point until_{};
  std::set<std::string> kept_;
};

}  // namespace velbor
