#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "logger/LoggerMessage.h"
#include "logger/LoggerMessageQueue.h"

namespace velbor {

class LoggerWorker;

// Option bits of a logger.
constexpr uint32_t LoggerOptionEchoToConsole = 0x01;
constexpr uint32_t LoggerOptionBufferUntilConnected = 0x02;
constexpr uint32_t LoggerOptionBrowseServices = 0x04;
constexpr uint32_t LoggerOptionLocalDomainOnly = 0x08;
constexpr uint32_t LoggerOptionSecureStream = 0x10;
constexpr uint32_t LoggerOptionCaptureConsole = 0x20;
constexpr uint32_t kLoggerDefaultOptions = 0x3E;

constexpr const char* kLoggerServiceType = "_velborlog._tcp";
constexpr const char* kLoggerServiceTypeSSL = "_velborlog-ssl._tcp";
constexpr size_t kLoggerSendBufferSize = 4096;
// The buffer file stops growing here; later messages are dropped until a viewer takes it.
constexpr uint64_t kLoggerBufferFileMaxSize = 32u << 20;
// Messages kept in memory stop growing here (a viewer that stops reading, no buffer file);
// later messages are dropped until the queue has room again.
constexpr size_t kLoggerQueueMaxBytes = 16u << 20;

// Sources of the worker's loop.
constexpr uint32_t kLoggerSourceMessagePushed = 0x01;
constexpr uint32_t kLoggerSourceBufferFileChanged = 0x02;
constexpr uint32_t kLoggerSourceRemoteSettingsChanged = 0x04;

// The record of one logger. Settings are guarded by settingsMutex, the queue, its
// partly-sent state and the send buffer by logQueueMutex; the worker thread owns the rest.
struct Logger {
  Logger();
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  std::mutex settingsMutex;
  std::optional<std::string> bufferFile;
  std::optional<std::string> host;
  uint32_t port = 0;
  std::optional<std::string> bonjourServiceType;
  std::optional<std::string> bonjourServiceName;
  uint64_t bufferFileMaxSize = kLoggerBufferFileMaxSize;

  std::mutex logQueueMutex;
  std::condition_variable logQueueEmpty;
  LoggerMessageQueue logQueue;
  size_t queueMaxBytes = kLoggerQueueMaxBytes;
  // Messages were dropped because the queue was full; reported once until it empties.
  bool queueFullReported = false;
  // The first queued message is being written straight from its own bytes; this many of
  // them have gone out. The message itself stays whole until it has gone out completely.
  bool incompleteSendOfFirstItem = false;
  size_t firstItemSentBytes = 0;
  // Whole messages (or a chunk of the buffer file) waiting to be written, the messages in
  // it so that unsent ones can go back whole, and how much of it has been written.
  std::string sendBuffer;
  std::deque<LoggerMessageRef> sendBufferMessages;
  size_t sendBufferOffset = 0;

  std::mutex workerMutex;
  bool workerStarted = false;
  std::thread workerThread;
  std::atomic<bool> workerRunning{false};
  std::atomic<std::thread::id> workerThreadId{};
  std::unique_ptr<LoggerWorker> worker;

  std::atomic<int32_t> messageSeq{0};
  std::atomic<uint32_t> options{kLoggerDefaultOptions};

  // Sources of the worker: bits set by any thread, an eventfd that wakes its loop.
  std::atomic<uint32_t> pendingSources{0};
  int wakeFd = -1;

  std::atomic<bool> connected{false};
  std::atomic<bool> quit{false};
};

// Marks a source of the worker ready; the loop is woken only when it was not ready yet, so a
// burst of messages costs one wake-up.
void LoggerSignalSource(Logger* logger, uint32_t source);

}  // namespace velbor
