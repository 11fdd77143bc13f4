#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "logger/Logger.h"
#include "logger/LoggerSecureStream.h"
#include "platform/DnsService.h"
#include "platform/NetworkReachability.h"

namespace velbor {

// The worker thread of a logger: finds the viewer, keeps the connection, sends the queue,
// keeps messages in the buffer file while no viewer is connected and replays the file to
// the next viewer. Everything here runs on the worker thread.
class LoggerWorker {
 public:
  explicit LoggerWorker(Logger* logger) : logger_(logger) {}
  ~LoggerWorker();
  LoggerWorker(const LoggerWorker&) = delete;
  LoggerWorker& operator=(const LoggerWorker&) = delete;

  void run();

 private:
  using Clock = std::chrono::steady_clock;

  // The connection to a viewer, from the first lookup until it ends.
  struct Stream {
    enum class Stage { resolving, querying, connecting, handshaking, open } stage = Stage::resolving;
    int fd = -1;
    // The TLS session over fd, with the secure-stream option; what the handshake waits for.
    std::unique_ptr<LoggerSecureStream> secure;
    bool handshakeWantsWrite = false;
    std::unique_ptr<DnsService> lookup;
    std::optional<DnsService::Found> service;
    std::optional<DnsService::Resolved> resolved;
    std::optional<std::string> address;
    bool failed = false;
    Clock::time_point deadline;
  };

  void handleSources(uint32_t sources);
  void pollOnce(int timeoutMs);
  int nextTimeoutMs(int idleMs) const;
  void runDeferred();

  void startReachability();
  void stopReachability();
  void reachabilityChanged(uint32_t flags);

  void startBonjour();
  void stopBonjour();
  void browseDomain(const std::string& domain);
  void serviceFound(const DnsService::Found& found);

  void tryConnect();
  bool openStreamToService(const DnsService::Found& service);
  bool openStreamToHost(const std::string& host, uint32_t port);
  bool connectTo(const std::string& address, uint16_t port);
  void advanceLookup();
  void streamWritable();
  void continueHandshake();
  void streamReadable();
  void openCompleted();
  void endConnection();

  void send();
  bool sendStep();
  std::optional<size_t> sendSome(std::unique_lock<std::mutex>& lock, const char* bytes, size_t size);
  void returnUnsentLocked();

  void openBufferWrite();
  void closeBufferWrite();
  void writeQueueToFileLocked();
  void writeQueueToFile();

  bool hasHost();
  std::optional<std::string> bufferFilePath();

  Logger* logger_;
  std::unique_ptr<NetworkReachability> reachability_;
  uint32_t reachabilityFlags_ = 0;
  bool targetReachable_ = false;

  std::unique_ptr<DnsService> domainBrowser_;
  std::vector<std::unique_ptr<DnsService>> serviceBrowsers_;
  std::vector<DnsService::Found> services_;
  // DNS-SD callbacks only record what to do: the operation that calls back must not be
  // dropped inside its own callback.
  std::vector<std::function<void()>> deferred_;

  std::unique_ptr<Stream> stream_;
  std::optional<Clock::time_point> reconnectAt_;

  int bufferWriteFd_ = -1;
  uint64_t bufferWriteSize_ = 0;
  bool bufferFullReported_ = false;
  int bufferReadFd_ = -1;
  // Bytes of whole messages still to be replayed from the buffer file.
  uint64_t bufferReadLeft_ = 0;
  std::string bufferReadPath_;
};

}  // namespace velbor
