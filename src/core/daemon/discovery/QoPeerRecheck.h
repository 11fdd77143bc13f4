#pragma once

#include <chrono>
#include <memory>
#include <string>

namespace velbor {

class QoDevice;

// Asks a device itself what a message about it cannot prove, for the notice and trust
// handlers (installed as their QoPeerChecks):
// - an exit notice: whether the device still answers at its stored endpoint. One that does
//   is online (a notice signed by it that took it offline is undone, and its pairings are
//   pulled); one that does not is taken offline, as an exit does.
// - a distrust whose signature was seen before: whether the device still trusts this one.
//   An "Untrusted" or "no such device" answer ends the trust here, as a distrust does; a
//   status answer means the distrust was a replay; no answer changes nothing.
// At most one check per device and kind runs at a time; further requests meanwhile are
// dropped (the running one answers them).
class QoPeerRecheck {
 public:
  // The exit check waits this long first: a device that really quits closes its endpoint
  // right after its notice.
  static constexpr std::chrono::milliseconds kExitCheckDelay{1000};

  QoPeerRecheck() = delete;

  static void install();
  // On the global queue; return at once.
  static void checkExit(const std::string& deviceUuid);
  static void checkDistrust(const std::string& deviceUuid);
  // The checks themselves, synchronous (up to the client's reply wait).
  static void runExitCheck(const std::string& deviceUuid);
  static void runDistrustCheck(const std::string& deviceUuid);
  // Whether the device answers a request at its stored endpoint now (any reply counts).
  static bool answers(const std::shared_ptr<QoDevice>& device);
};

}  // namespace velbor
