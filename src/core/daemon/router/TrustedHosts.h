#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "platform/NotificationCenter.h"

namespace velbor {

// The hosts of the trusted devices' endpoints ("192.168.1.7"), and this device's own
// loopback, for the frame guards of the router and publisher ports: their connections are
// never the ones ended to make room, nor refused. Every address a trusted device was
// recorded at since it was read first stays among them while it is trusted (a device that
// moved, or that announces itself at several addresses). Read when made and again after
// each write of a device record, on the writing thread: whoever asks never waits for the
// database. Thread-safe.
class TrustedHosts {
 public:
  // Addresses kept for one device, the latest.
  static constexpr size_t kHostsPerDevice = 16;

  static std::shared_ptr<TrustedHosts> create();
  ~TrustedHosts();
  TrustedHosts(const TrustedHosts&) = delete;
  TrustedHosts& operator=(const TrustedHosts&) = delete;

  bool contains(const std::string& host) const;
  // Reads the trusted devices again; those read last stay when the database cannot be read.
  void refresh();

 private:
  TrustedHosts() = default;

  mutable std::mutex mutex_;
  // By device uuid, oldest first.
  std::map<std::string, std::deque<std::string>> byDevice_;
  std::set<std::string> hosts_;
  // Reads begun and the last one taken up: one that ends after a later one is dropped.
  uint64_t readsBegun_ = 0;
  uint64_t readTaken_ = 0;
  NotificationCenter::Token token_ = 0;
};

}  // namespace velbor
