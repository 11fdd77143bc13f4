#include "logger/Logger.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include "logger/LoggerWorker.h"

namespace velbor {

Logger::Logger() {
  sendBuffer.reserve(kLoggerSendBufferSize);
  wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

Logger::~Logger() {
  if (wakeFd >= 0) ::close(wakeFd);
}

void LoggerSignalSource(Logger* logger, uint32_t source) {
  if (logger->pendingSources.fetch_or(source) & source) return;
  uint64_t one = 1;
  if (logger->wakeFd >= 0) (void)!::write(logger->wakeFd, &one, sizeof one);
}

}  // namespace velbor
