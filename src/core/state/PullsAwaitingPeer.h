#pragma once

#include <mutex>
#include <set>
#include <string>

namespace velbor {

// The peers whose pull stopped because they did not answer (gone without an exit notice,
// killed mid-pull, or their link down). Their pairings are pulled again as soon as the peer
// is heard again, not only at the next change or timer; discovery asks for them meanwhile.
class PullsAwaitingPeer {
 public:
  // Never destroyed: pulls may stop until the process ends.
  static PullsAwaitingPeer& shared();

  void add(const std::string& deviceUuid);
  // Whether a pull waited for the device; it no longer does.
  bool take(const std::string& deviceUuid);
  // The devices pulls wait for.
  std::set<std::string> devices() const;
  // Tests: a fresh start.
  void clear();

 private:
  PullsAwaitingPeer() = default;

  mutable std::mutex mutex_;
  // At most one entry per paired device.
  std::set<std::string> devices_;
};

}  // namespace velbor
