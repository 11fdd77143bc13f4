#include "core/daemon/router/ReplySealer.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "core/daemon/router/QoWorker.h"
#include "platform/QoLog.h"

namespace velbor {

namespace {
// Beyond this a part's seal no longer waits for a core, and each one held costs memory.
constexpr size_t kMaxDefaultThreads = 4;
}  // namespace

ReplySealer::ReplySealer(size_t threadCount, size_t capacity)
    : capacity_(std::max({capacity, threadCount, size_t{1}})) {
  threadCount = std::max<size_t>(1, threadCount);
  threads_.reserve(threadCount);
  try {
    for (size_t i = 0; i < threadCount; ++i) threads_.emplace_back([this] { work(); });
  } catch (...) {
    stop();
    throw;
  }
}

ReplySealer::~ReplySealer() { stop(); }

size_t ReplySealer::defaultThreadCount() {
  return std::clamp<size_t>(std::thread::hardware_concurrency(), 2, kMaxDefaultThreads);
}

bool ReplySealer::submit(std::string client, std::string name, QoMessage::Ptr reply) {
  auto job = std::make_shared<Job>();
  job->client = std::move(client);
  job->name = std::move(name);
  job->reply = std::move(reply);
  {
    std::unique_lock lock(mutex_);
    roomChanged_.wait(lock, [this] { return stopping_ || held_.size() < capacity_; });
    if (stopping_) return false;
    held_.push_back(job);
    queued_.push_back(std::move(job));
  }
  jobsChanged_.notify_one();
  return true;
}

std::vector<ReplySealer::Sealed> ReplySealer::takeSealed() {
  std::vector<Sealed> taken;
  std::vector<std::shared_ptr<Job>> finished;
  {
    std::lock_guard lock(mutex_);
    while (!held_.empty() && held_.front()->done) {
      finished.push_back(std::move(held_.front()));
      held_.pop_front();
    }
  }
  if (finished.empty()) return taken;
  roomChanged_.notify_all();
  for (auto& job : finished) {
    if (job->frames) taken.push_back({std::move(*job->frames)});
  }
  return taken;
}

void ReplySealer::stop() {
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    queued_.clear();
    held_.clear();
    threads.swap(threads_);
  }
  jobsChanged_.notify_all();
  roomChanged_.notify_all();
  for (auto& thread : threads) thread.join();
}

void ReplySealer::work() {
  for (;;) {
    std::shared_ptr<Job> job;
    {
      std::unique_lock lock(mutex_);
      jobsChanged_.wait(lock, [this] { return stopping_ || !queued_.empty(); });
      if (stopping_) return;
      job = std::move(queued_.front());
      queued_.pop_front();
    }
    std::optional<ZMQMessage> frames;
    try {
      frames = QoWorker::sealReply(job->name, *job->reply);
      if (frames) {
        frames->insertEmptyFrameAtHead();
        frames->insertFrameAtHead(std::move(job->client));
      }
    } catch (...) {
      // Short even of the memory for an error reply or a log line: this client times out,
      // but the thread lives on and the replies after this one still leave.
      frames.reset();
      try {
        QoLog("*** {}, reply dropped, out of memory", job->name);
      } catch (...) {
      }
    }
    // The reply's body goes before the lock is taken: it can be a file part.
    job->reply.reset();
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      job->frames = std::move(frames);
      job->done = true;
    }
    ready_.raise();
  }
}

}  // namespace velbor
