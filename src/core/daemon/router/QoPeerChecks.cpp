#include "core/daemon/router/QoPeerChecks.h"

#include <map>
#include <mutex>

namespace velbor {
namespace {

struct Installed {
  std::mutex lock;
  QoPeerChecks::ExitCheck exitCheck;
  QoPeerChecks::DistrustCheck distrustCheck;
  QoPeerChecks::OfferAnswer offerAnswer;
  // When a check last found each device answering.
  std::map<std::string, std::chrono::steady_clock::time_point> answered;
};

Installed& installed() {
  // Never destroyed: jobs still running at exit use it.
  static Installed& checks = *new Installed();
  return checks;
}

}  // namespace

void QoPeerChecks::install(ExitCheck exitCheck, DistrustCheck distrustCheck) {
  Installed& checks = installed();
  std::lock_guard guard(checks.lock);
  checks.exitCheck = std::move(exitCheck);
  checks.distrustCheck = std::move(distrustCheck);
}

void QoPeerChecks::installOfferAnswer(OfferAnswer offerAnswer) {
  Installed& checks = installed();
  std::lock_guard guard(checks.lock);
  checks.offerAnswer = std::move(offerAnswer);
}

void QoPeerChecks::uninstall() {
  install(nullptr, nullptr);
  installOfferAnswer(nullptr);
  forgetAnswered();
}

void QoPeerChecks::exitNoticeHeard(const std::string& deviceUuid) {
  ExitCheck check;
  {
    Installed& checks = installed();
    std::lock_guard guard(checks.lock);
    check = checks.exitCheck;
  }
  if (check) check(deviceUuid);
}

void QoPeerChecks::distrustHeard(const std::string& deviceUuid) {
  DistrustCheck check;
  {
    Installed& checks = installed();
    std::lock_guard guard(checks.lock);
    check = checks.distrustCheck;
  }
  if (check) check(deviceUuid);
}

void QoPeerChecks::trustedDeviceOffered(const std::string& deviceUuid, const std::string& token) {
  OfferAnswer answer;
  {
    Installed& checks = installed();
    std::lock_guard guard(checks.lock);
    answer = checks.offerAnswer;
  }
  if (answer) answer(deviceUuid, token);
}

void QoPeerChecks::deviceAnswered(const std::string& deviceUuid) {
  Installed& checks = installed();
  std::lock_guard guard(checks.lock);
  const auto now = std::chrono::steady_clock::now();
  // Bounded by the devices answering within the grace: older entries go first.
  std::erase_if(checks.answered, [now](const auto& entry) { return now - entry.second >= kAnsweredGrace; });
  checks.answered[deviceUuid] = now;
}

bool QoPeerChecks::answeredRecently(const std::string& deviceUuid) {
  Installed& checks = installed();
  std::lock_guard guard(checks.lock);
  const auto found = checks.answered.find(deviceUuid);
  return found != checks.answered.end() && std::chrono::steady_clock::now() - found->second < kAnsweredGrace;
}

void QoPeerChecks::forgetAnswered() {
  Installed& checks = installed();
  std::lock_guard guard(checks.lock);
  checks.answered.clear();
}

}  // namespace velbor
