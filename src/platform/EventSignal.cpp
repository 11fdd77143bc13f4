#include "platform/EventSignal.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

namespace velbor {

EventSignal::EventSignal() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (fd_ < 0) throw std::runtime_error(std::string("eventfd failed, ") + std::strerror(errno));
}

EventSignal::~EventSignal() { ::close(fd_); }

void EventSignal::raise() {
  const uint64_t one = 1;
  // A full counter (never reached) or EAGAIN still leaves the descriptor readable.
  while (::write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void EventSignal::clear() {
  uint64_t count = 0;
  while (::read(fd_, &count, sizeof count) < 0 && errno == EINTR) {
  }
}

}  // namespace velbor
