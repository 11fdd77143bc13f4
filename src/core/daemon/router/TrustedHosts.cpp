#include "core/daemon/router/TrustedHosts.h"

#include <algorithm>
#include <exception>

#include "core/entity/QoDevice.h"
#include "platform/QoLog.h"

namespace velbor {

namespace {

// The host of "tcp://192.168.1.7:9527" ("[::1]" without its brackets); empty for none.
std::string hostOf(const std::string& uri) {
  const size_t begin = uri.find("://");
  const size_t end = uri.rfind(':');
  if (begin == std::string::npos || end == std::string::npos || end <= begin + 3) return {};
  std::string host = uri.substr(begin + 3, end - begin - 3);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  return host;
}

}  // namespace

std::shared_ptr<TrustedHosts> TrustedHosts::create() {
  std::shared_ptr<TrustedHosts> hosts(new TrustedHosts());
  std::weak_ptr<TrustedHosts> weak = hosts;
  // Heard before the first read: a record written between the two would be missed until the
  // next write.
  hosts->token_ =
      NotificationCenter::defaultCenter().addObserver(QoDevice::kRowsWrittenNotice, [weak](const Notification&) {
        if (auto alive = weak.lock()) alive->refresh();
      });
  hosts->refresh();
  return hosts;
}

TrustedHosts::~TrustedHosts() { NotificationCenter::defaultCenter().removeObserver(token_); }

bool TrustedHosts::contains(const std::string& host) const {
  std::lock_guard lock(mutex_);
  return hosts_.count(host) != 0;
}

void TrustedHosts::refresh() {
  uint64_t serial;
  {
    std::lock_guard lock(mutex_);
    serial = ++readsBegun_;
  }
  std::map<std::string, std::set<std::string>> read;
  try {
    for (const auto& device : QoDevice::findByCriteria("WHERE status = 1")) {
      auto& hosts = read[device->uuid()];
      for (const std::string& uri : {device->routeUri(), device->pubUri()}) {
        const std::string found = hostOf(uri);
        if (!found.empty()) hosts.insert(found);
      }
    }
  } catch (const std::exception& e) {
    // The hosts read last stay trusted.
    QoLog("*** Trusted hosts not read, {}", e.what());
    return;
  }
  std::lock_guard lock(mutex_);
  if (serial < readTaken_) return;
  readTaken_ = serial;
  // A device no longer trusted goes with all its addresses; one still trusted keeps those
  // it was recorded at before.
  std::erase_if(byDevice_, [&read](const auto& entry) { return read.count(entry.first) == 0; });
  for (const auto& [uuid, now] : read) {
    auto& kept = byDevice_[uuid];
    for (const std::string& host : now) {
      std::erase(kept, host);
      kept.push_back(host);
    }
    while (kept.size() > kHostsPerDevice) kept.pop_front();
  }
  // This device's own connections (its subscriber, its request client) come from loopback.
  hosts_ = {"127.0.0.1", "::1"};
  for (const auto& [uuid, kept] : byDevice_) hosts_.insert(kept.begin(), kept.end());
}

}  // namespace velbor
