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
// - a distrust (any: each is the same signed bytes as every other the device sent, to anyone),
//   or a status check answered "Untrusted", of a device trusted here or holding copies paired
//   here: whether the device still trusts this one. A
//   status answer signed by the device refuses the distrust; an "Untrusted" or "no such
//   device" answer is unsigned, as every error reply, so it ends the trust here only when the
//   device is asked again and again over time and refuses each time: kDistrustConfirmations
//   refusals, each at least kDistrustRecheckDelay after the one before and none more than
//   twice that after it. No answer, or an unsigned status answer, changes nothing; nor does
//   a signed one carrying another request's challenge (recorded and sent again).
// - a signed status answer without its request's challenge that leaves pairings out: they go
//   only when the device leaves them out as often and over as long as a refusal of trust.
// And answers an offer of trust from a device this one trusts with an agreement carrying its
// token, sent to the device's stored endpoint: a device that lost its trust in this one
// takes it and trusts again at once; a replayed offer matches no offer open there.
// At most one check per device and kind runs at a time; one asked for meanwhile runs after
// it. Checks run on the global queue, a few at a time (a check may wait seconds for a
// device that never answers).
class QoPeerRecheck {
 public:
  // The exit check waits this long first: a device that really quits closes its endpoint
  // right after its notice.
  static constexpr std::chrono::milliseconds kExitCheckDelay{1000};
  // Refusals of trust that end it, and the wait before the device is asked again (the least
  // time between two refusals that both count).
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
  // Queues the agreement to an offer of a trusted device; returns at once. Offers that come
  // while one waits replace its token.
  static void agreeToOffer(const std::string& deviceUuid, const std::string& token);
  // Sends the agreement waiting for the device, synchronously (up to the client's reply wait).
  static void runOfferAgreement(const std::string& deviceUuid);
  // Whether the device answers a request at its stored endpoint now (any reply counts).
  static bool answers(const std::shared_ptr<QoDevice>& device);
  // A signed status answer without its request's challenge (a device of an earlier version,
  // or an answer recorded and sent again) left pairings out: counted as a refusal of trust
  // is, answers whether such answers now suffice to remove them; otherwise the device is
  // asked again after the recheck delay.
  static bool pairingsLeftOut(const std::string& deviceUuid);
  // An answer named every pairing, or carried its request's challenge: the count starts afresh.
  static void pairingsSettled(const std::string& deviceUuid);
  // The status check asked again (synchronous).
  static void runPairingCheck(const std::string& deviceUuid);
};

}  // namespace velbor
