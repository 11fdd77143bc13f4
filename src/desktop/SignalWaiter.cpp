#include "desktop/SignalWaiter.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <cerrno>

namespace velbor {

namespace {

sigset_t terminationSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

void SignalWaiter::blockTerminationSignals() {
  const sigset_t set = terminationSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int SignalWaiter::waitForTerminationSignal() {
  const sigset_t set = terminationSignals();
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) == 0) return signal;
  }
}

std::optional<int> SignalWaiter::pendingTerminationSignal(std::chrono::milliseconds timeout) {
  const sigset_t set = terminationSignals();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
  timespec wait{};
  wait.tv_sec = seconds.count();
  wait.tv_nsec = std::chrono::duration_cast<std::chrono::nanoseconds>(timeout - seconds).count();
  for (;;) {
    const int signal = sigtimedwait(&set, nullptr, &wait);
    if (signal > 0) return signal;
    if (errno != EINTR) return std::nullopt;
  }
}

}  // namespace velbor
