#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace velbor {

// Stand-in for serial and global dispatch queues.
// - A serial queue runs its jobs one at a time, in FIFO order, on a thread of its own.
// - The global queue runs jobs concurrently on a pool that grows when every worker is
//   busy (its jobs may block for seconds on the network).
// Every job runs inside a boundary that catches and logs exceptions.
class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
 public:
  using Job = std::function<void()>;

  static std::shared_ptr<DispatchQueue> createSerial(const std::string& label);
  static std::shared_ptr<DispatchQueue> globalQueue();
  // The queue whose job the calling thread is running, or nullptr.
  static std::shared_ptr<DispatchQueue> current();

  virtual ~DispatchQueue() = default;

  virtual const std::string& label() const = 0;
  virtual bool isSerial() const = 0;
  // True when the calling thread is running a job of this queue.
  virtual bool isCurrent() const = 0;

  virtual void async(Job job) = 0;
  // Runs the job and waits for it; on a serial queue a call from inside that queue runs
  // the job inline instead of deadlocking.
  virtual void sync(const Job& job) = 0;
  // Hands the job to async() once `delay` has passed; the queue stays alive until then.
  void after(std::chrono::nanoseconds delay, Job job);
};

// Readiness of a file descriptor, or a timer, delivering its handler on a queue.
// Sources start suspended; resume() starts delivery. cancel() stops delivery for good,
// then runs the cancel handler once on the queue (the owner closes the descriptor there).
class DispatchSource : public std::enable_shared_from_this<DispatchSource> {
 public:
  using Handler = std::function<void()>;

  static std::shared_ptr<DispatchSource> makeReadSource(int fd, std::shared_ptr<DispatchQueue> queue);
  static std::shared_ptr<DispatchSource> makeWriteSource(int fd, std::shared_ptr<DispatchQueue> queue);
  // Fires once after `delay`, or every `interval` after that when the interval is non-zero.
  static std::shared_ptr<DispatchSource> makeTimer(std::chrono::nanoseconds delay, std::chrono::nanoseconds interval,
                                                   std::shared_ptr<DispatchQueue> queue);

  virtual ~DispatchSource() = default;

  virtual void setEventHandler(Handler handler) = 0;
  virtual void setCancelHandler(Handler handler) = 0;
  virtual void resume() = 0;
  virtual void suspend() = 0;
  virtual void cancel() = 0;
  virtual bool isCancelled() const = 0;
};

}  // namespace velbor
