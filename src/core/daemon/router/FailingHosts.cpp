#include "core/daemon/router/FailingHosts.h"

#include <algorithm>

namespace velbor {

bool FailingHosts::failed(const std::string& host, Clock::time_point now) {
  if (host.empty()) return false;
  if (counts_.size() >= kHostsKept && counts_.count(host) == 0) {
    std::erase_if(counts_, [now](const auto& entry) { return now - entry.second.since >= kCountedFor; });
    if (counts_.size() >= kHostsKept) {
      counts_.erase(std::min_element(counts_.begin(), counts_.end(),
                                     [](const auto& a, const auto& b) { return a.second.since < b.second.since; }));
    }
  }
  Count& count = counts_[host];
  if (count.failures == 0 || now - count.since >= kCountedFor) count = Count{0, now};
  if (++count.failures < kFailuresAllowed) return false;
  counts_.erase(host);
  return true;
}

}  // namespace velbor
