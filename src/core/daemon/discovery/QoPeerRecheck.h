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
//   pulled; unsigned notices for it are only checked for a while, QoPeerChecks); one that
//   does not is taken offline, as an exit does.
// - a distrust whose signature was seen before, or a status check answered "Untrusted":
//   whether the device still trusts this one. A status answer signed by the device refuses
//   the distrust; an "Untrusted" or "no such device" answer is unsigned, as every error
//   reply, so it ends the trust here only when the device is asked again and again over
//   time (kDistrustConfirmations answers, kDistrustRecheckDelay apart) and refuses each time;
//   no answer, or an unsigned status answer, changes nothing.
// At most one check per device and kind runs at a time; one asked for meanwhile runs after
// it. Checks run on the global queue, a few at a time (a check may wait seconds for a
// device that never answers).
class QoPeerRecheck {
 public:
  // The exit check waits this long first: a device that really quits closes its endpoint
  // right after its notice.
  static constexpr std::chrono::milliseconds kExitCheckDelay{1000};
  // Refusals of trust that end it, and the wait before the device is asked again.
  static constexpr int kDistrustConfirmations = 4;
  static constexpr std::chrono::milliseconds kDistrustRecheckDelay{40000};

  QoPeerRecheck() = delete;

  static void install();
  // On the global queue; return at once.
  static void checkExit(const std::string& deviceUuid);
  static void checkDistrust(const std::string& deviceUuid);
  // The wait between the askings of a distrust check (tests shorten it).
  static void setDistrustRecheckDelay(std::chrono::milliseconds delay);
  // The checks themselves, synchronous (up to the client's reply wait).
  static void runExitCheck(const std::string& deviceUuid);
  static void runDistrustCheck(const std::string& deviceUuid);
  // Whether the device answers a request at its stored endpoint now (any reply counts).
  static bool answers(const std::shared_ptr<QoDevice>& device);
};

}  // namespace velbor
