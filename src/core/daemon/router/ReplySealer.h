#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/envelope/QoMessage.h"
#include "framework/network/ZMQMessage.h"
#include "platform/OrderedWorkPool.h"

namespace velbor {

// Seals a router's replies on threads of its own and hands them to the broker thread, so
// that a worker takes its next request while its last reply is still being signed and
// encrypted: a file part's digest and signature cost more than finding and reading it.
// Handlers still run on the workers, at most one request each.
//
// Replies leave in the order they were submitted, as they did when each worker sealed its
// own: a peer served by one worker gets its answers in the order it asked. At most
// `capacity` replies are held between submit() and takeSealed(): a worker that would pass
// it waits, so a slow network never makes replies pile up in memory.
class ReplySealer {
 public:
  struct Sealed {
    std::string client;
    // [client identity] [empty] [reply envelope], ready for the router's frontend.
    ZMQMessage frames;
    // The reply refuses a request that failed to open (see QoWorker::answerRequest).
    bool notOpened = false;
  };

  // Never fewer than one thread nor a capacity below the thread count. Raises
  // std::system_error when the system refuses a thread, with those already started ended.
  ReplySealer(size_t threadCount, size_t capacity);
  ReplySealer(const ReplySealer&) = delete;
  ReplySealer& operator=(const ReplySealer&) = delete;

  // The sealing threads a router starts on this machine.
  static size_t defaultThreadCount();

  // Waits for room, then queues `reply` (of the request named `name`, for log lines) for
  // `client`, `notOpened` going along with it. False once stopped: the reply is dropped.
  bool submit(std::string client, std::string name, QoMessage::Ptr reply, bool notOpened = false);
  // Readable while sealed replies wait; the broker clears it before taking them, so that
  // none sealed meanwhile goes unannounced.
  int readyFd() const { return pool_.readyFd(); }
  void clearReady() { pool_.clearReady(); }
  // The sealed replies whose elders have all been taken, oldest first; each frees room for
  // a submit. A reply whose seal gave nothing to send, or failed short of memory, is skipped.
  std::vector<Sealed> takeSealed();
  // Queued and sealed replies not taken are dropped, those being sealed when they are done,
  // and a worker waiting for room returns false. The threads end with the sealer.
  void stop();

 private:
  const size_t capacity_;
  std::mutex mutex_;
  std::condition_variable roomChanged_;
  bool stopping_ = false;
  // Submitted and taken under mutex_, so that submissions keep the workers' order.
  OrderedWorkPool<std::optional<Sealed>> pool_;
};

}  // namespace velbor
