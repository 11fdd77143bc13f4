#include "core/daemon/router/TrustedHosts.h"

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

bool TrustedHosts::contains(const std::string& host) {
  std::lock_guard lock(mutex_);
  if (!read_ || Clock::now() - readAt_ >= kFreshFor) refresh();
  return hosts_.count(host) != 0;
}

void TrustedHosts::refresh() {
  read_ = true;
  readAt_ = Clock::now();
  // This device's own connections (its subscriber, its request client) come from loopback.
  std::set<std::string> hosts = {"127.0.0.1", "::1"};
  try {
    for (const auto& device : QoDevice::findByCriteria("WHERE status = 1")) {
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
  hosts_ = std::move(hosts);
}

}  // namespace velbor
