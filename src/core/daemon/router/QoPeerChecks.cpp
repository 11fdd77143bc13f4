#include "core/daemon/router/QoPeerChecks.h"

#include <mutex>

namespace velbor {
namespace {

struct Installed {
  std::mutex lock;
  QoPeerChecks::ExitCheck exitCheck;
  QoPeerChecks::DistrustCheck distrustCheck;
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

void QoPeerChecks::uninstall() { install(nullptr, nullptr); }

void QoPeerChecks::exitNoticeHeard(const std::string& deviceUuid) {
  ExitCheck check;
  {
    Installed& checks = installed();
    std::lock_guard guard(checks.lock);
    check = checks.exitCheck;
  }
  if (check) check(deviceUuid);
}

void QoPeerChecks::distrustRepeated(const std::string& deviceUuid) {
  DistrustCheck check;
  {
    Installed& checks = installed();
    std::lock_guard guard(checks.lock);
    check = checks.distrustCheck;
  }
  if (check) check(deviceUuid);
}

}  // namespace velbor
