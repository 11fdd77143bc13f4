#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <string>

namespace velbor {

// Counts, per far host, the requests that failed to open (refused at their header, or whose
// envelope could not be verified or decrypted): each costs this device a key's work, and any
// host may send them without end. A host with too many of them in a while is to be refused
// for a while. Used by one thread.
class FailingHosts {
 public:
  using Clock = std::chrono::steady_clock;

  // A peer whose trust ended here fails a status check or two a minute: far fewer.
  static constexpr size_t kFailuresAllowed = 16;
  static constexpr std::chrono::seconds kCountedFor{60};
  static constexpr std::chrono::seconds kRefusedFor{60};
  // Hosts counted at once; beyond, the one counted longest is forgotten.
  static constexpr size_t kHostsKept = 1024;

  // Counts a failed request of `host`; true when the host is now to be refused (its count
  // starts again).
  bool failed(const std::string& host, Clock::time_point now = Clock::now());

 private:
  struct Count {
    size_t failures = 0;
    Clock::time_point since;
  };

  std::map<std::string, Count> counts_;
};

}  // namespace velbor
