#include "core/daemon/router/ReplySealer.h"

#include <algorithm>
#include <thread>
#include <utility>

#include "core/daemon/router/QoWorker.h"
#include "platform/QoLog.h"

namespace velbor {

namespace {
// Beyond this a part's seal no longer waits for a core, and each one held costs memory.
constexpr size_t kMaxDefaultThreads = 4;
}  // namespace

ReplySealer::ReplySealer(size_t threadCount, size_t capacity)
    : capacity_(std::max({capacity, threadCount, size_t{1}})), pool_(threadCount) {}

size_t ReplySealer::defaultThreadCount() {
  return std::clamp<size_t>(std::thread::hardware_concurrency(), 2, kMaxDefaultThreads);
}

bool ReplySealer::submit(std::string client, std::string name, QoMessage::Ptr reply, bool notOpened) {
  std::unique_lock lock(mutex_);
  roomChanged_.wait(lock, [this] { return stopping_ || pool_.pending() < capacity_; });
  if (stopping_) return false;
  pool_.submit([client = std::move(client), name = std::move(name), reply = std::move(reply), notOpened]() mutable {
    std::optional<ZMQMessage> frames = QoWorker::sealReply(name, *reply);
    // The reply's body goes now: it can be a file part.
    reply.reset();
    if (!frames) return std::optional<Sealed>();
    frames->insertEmptyFrameAtHead();
    frames->insertFrameAtHead(client);
    return std::optional<Sealed>(Sealed{std::move(client), std::move(*frames), notOpened});
  });
  return true;
}

std::vector<ReplySealer::Sealed> ReplySealer::takeSealed() {
  std::vector<Sealed> taken;
  {
    std::lock_guard lock(mutex_);
    for (;;) {
      std::optional<std::optional<Sealed>> result;
      try {
        result = pool_.takeNext();
      } catch (...) {
        // Short even of the memory for an error reply or a log line: this client times
        // out, and the replies after it still leave.
        try {
          QoLog("*** Router reply dropped, out of memory");
        } catch (...) {
        }
        continue;
      }
      if (!result) break;
      if (*result) taken.push_back(std::move(**result));
    }
  }
  roomChanged_.notify_all();
  return taken;
}

void ReplySealer::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    pool_.discardPending();
  }
  roomChanged_.notify_all();
}

}  // namespace velbor
