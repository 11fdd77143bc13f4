#include "ui/TerminationNotifier.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "platform/QoLog.h"

namespace velbor {

TerminationNotifier::TerminationNotifier(QObject* parent) : QObject(parent) {
  sigset_t wanted;
  sigemptyset(&wanted);
  sigaddset(&wanted, SIGINT);
  sigaddset(&wanted, SIGTERM);
  fd_ = ::signalfd(-1, &wanted, SFD_CLOEXEC | SFD_NONBLOCK);
  if (fd_ < 0) {
    QoLog("*** signalfd failed, {}", strerror(errno));
    return;
  }
  notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
    signalfd_siginfo info{};
    while (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      emit terminationRequested(static_cast<int>(info.ssi_signo));
    }
  });
}

TerminationNotifier::~TerminationNotifier() {
  notifier_.reset();
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace velbor
