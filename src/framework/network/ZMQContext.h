#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include <zmq.h>

namespace velbor {

class ZMQSocket;

// A ZeroMQ context and the sockets made in it. Hold it in a std::shared_ptr: its sockets
// refer back to it without owning it.
class ZMQContext : public std::enable_shared_from_this<ZMQContext> {
 public:
  static void getZMQVersion(int& major, int& minor, int& patch);
  // zmq_poll; the time-out is in milliseconds, -1 waits without limit. Answers the number
  // of items with events, -1 on failure.
  static int pollWithItems(zmq_pollitem_t* items, int count, int64_t timeout);

  // No ZeroMQ context yet.
  ZMQContext() = default;
  // A ZeroMQ context with `ioThreads` I/O threads; raises ZMQException when it cannot be made.
  explicit ZMQContext(int ioThreads);
  // Terminates the context when terminate() has not run yet.
  ~ZMQContext();
  ZMQContext(const ZMQContext&) = delete;
  ZMQContext& operator=(const ZMQContext&) = delete;

  std::shared_ptr<ZMQSocket> socketWithType(int type);
  // Closes every socket of the context, oldest first; the list keeps them.
  void closeSockets();
  // Closes the sockets still open (without lingering) and terminates the ZeroMQ context.
  // Call it from the thread that uses the sockets, or once their threads have stopped.
  void terminate();
  // Wakes every blocking receive and poll on the context's sockets, which then fail with
  // ETERM, and refuses further blocking calls: the way to end threads waiting on them.
  // Callable from any thread, but not while terminate() runs; the sockets stay open until
  // their threads (or terminate()) close them.
  void shutdown();
  bool isTerminated() const;

  void* context() const { return context_; }
  std::vector<std::shared_ptr<ZMQSocket>> sockets() const;

 private:
  void* context_ = nullptr;
  mutable std::mutex socketsLock_;
  std::vector<std::shared_ptr<ZMQSocket>> sockets_;
  std::atomic<bool> terminated_{false};
};

}  // namespace velbor
