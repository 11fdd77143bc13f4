#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace velbor {

class QoDevice;

// What the notice and trust handlers ask the device itself when a message alone cannot be
// taken at its word: a notice of its exit (anyone may send or replay one) and a distrust
// (every one a device sends, to anyone, is the same signed bytes: one it sent to another
// device long ago, forwarded or replayed, looks exactly like a fresh one); and how an offer
// of trust from a device already trusted is answered (an agreement carrying its token,
// which only a device that really has that offer open takes). These talk to the device,
// which sits above the handlers, so the daemon start installs them; with none installed
// nothing is checked or answered, and such messages change nothing.
class QoPeerChecks {
 public:
  using ExitCheck = std::function<void(const std::string& deviceUuid)>;
  using DistrustCheck = std::function<void(const std::string& deviceUuid)>;
  using OfferAnswer = std::function<void(const std::string& deviceUuid, const std::string& token)>;

  QoPeerChecks() = delete;

  static void install(ExitCheck exitCheck, DistrustCheck distrustCheck);
  static void installOfferAnswer(OfferAnswer offerAnswer);
  // Takes every check and the offer answer away.
  static void uninstall();

  // Each hands the device to the installed check or answer and returns at once.
  static void exitNoticeHeard(const std::string& deviceUuid);
  static void distrustHeard(const std::string& deviceUuid);
  static void trustedDeviceOffered(const std::string& deviceUuid, const std::string& token);

  // After a check has found a device answering, unsigned exit notices naming it within this
  // time are only checked: anyone can send them, and each one taken at its word would take
  // the device offline until the check brings it back, and pull its pairings again.
  static constexpr std::chrono::seconds kAnsweredGrace{60};
  // The check found the device answering now.
  static void deviceAnswered(const std::string& deviceUuid);
  // Whether a check found the device answering within kAnsweredGrace.
  static bool answeredRecently(const std::string& deviceUuid);
  // Forgets every device found answering (tests, and a new start).
  static void forgetAnswered();
};

}  // namespace velbor
