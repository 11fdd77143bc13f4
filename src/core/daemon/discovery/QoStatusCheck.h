#pragma once

#include <memory>

namespace velbor {

class QoDevice;

// The checking side of the peer status check, run when a trusted device comes online and
// before its pairings are pulled: asks the peer which pairings it holds with this device,
// removes the local pairings with it that the peer no longer reports, and hands the peer to
// the distrust check (QoPeerRecheck) when it answers that it no longer trusts this device.
//
// Pairings are removed only on a StatusResponse signed by that very peer (level 1 or more)
// and carrying its list: an unsigned, foreign or body-less reply removes nothing.
class QoStatusCheck {
 public:
  QoStatusCheck() = delete;

  // Synchronous (up to the client's reply wait); never raises: failures are logged.
  static void handleSendStatusRequest(const std::shared_ptr<QoDevice>& device);
};

}  // namespace velbor
