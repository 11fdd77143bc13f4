#include "platform/Dispatch.h"

#include <utility>

#include "platform/DispatchReactor.h"
#include "platform/FdSource.h"
#include "platform/GlobalQueue.h"
#include "platform/QueueContext.h"
#include "platform/SerialQueue.h"
#include "platform/TimerSource.h"

namespace velbor {

std::shared_ptr<DispatchQueue> DispatchQueue::createSerial(const std::string& label) {
  return SerialQueue::create(label);
}

std::shared_ptr<DispatchQueue> DispatchQueue::globalQueue() { return GlobalQueue::shared(); }

std::shared_ptr<DispatchQueue> DispatchQueue::current() { return QueueContext::current(); }

void DispatchQueue::after(std::chrono::nanoseconds delay, Job job) {
  if (delay <= std::chrono::nanoseconds::zero()) {
    async(std::move(job));
    return;
  }
  DispatchReactor::shared().after(
      delay, [queue = shared_from_this(), job = std::move(job)]() mutable { queue->async(std::move(job)); });
}

std::shared_ptr<DispatchSource> DispatchSource::makeReadSource(int fd, std::shared_ptr<DispatchQueue> queue) {
  return FdSource::create(fd, FdSource::Kind::read, std::move(queue));
}

std::shared_ptr<DispatchSource> DispatchSource::makeWriteSource(int fd, std::shared_ptr<DispatchQueue> queue) {
  return FdSource::create(fd, FdSource::Kind::write, std::move(queue));
}

std::shared_ptr<DispatchSource> DispatchSource::makeTimer(std::chrono::nanoseconds delay,
                                                          std::chrono::nanoseconds interval,
                                                          std::shared_ptr<DispatchQueue> queue) {
  return TimerSource::create(delay, interval, std::move(queue));
}

}  // namespace velbor
