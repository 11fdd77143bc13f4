#pragma once

#include <chrono>
#include <mutex>
#include <set>
#include <string>

namespace velbor {

// The hosts of the trusted devices' endpoints ("192.168.1.7"), and this device's own
// loopback, for the frame guards of the router and publisher ports: their connections are
// never the ones ended to make room. Read again from the device records at most every few
// seconds, so that a full table does not make every connection a database read.
// Thread-safe.
class TrustedHosts {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kFreshFor{5};

  bool contains(const std::string& host);

 private:
  void refresh();

  std::mutex mutex_;
  std::set<std::string> hosts_;
  Clock::time_point readAt_;
  bool read_ = false;
};

}  // namespace velbor
