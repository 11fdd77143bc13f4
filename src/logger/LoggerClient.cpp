#include "logger/LoggerClient.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "logger/LoggerConsole.h"
#include "logger/LoggerConsoleCapture.h"
#include "logger/LoggerQueue.h"
#include "logger/LoggerSecureStream.h"
#include "logger/LoggerWorker.h"
#include "platform/AppPaths.h"

namespace velbor {

namespace {

// The flush at exit must not hold the exit up when nothing can take the queue.
constexpr auto kFlushTimeLimit = std::chrono::seconds(2);

// Process-wide records; never destroyed, so that threads still logging while the process
// exits find them intact.
struct LoggerProcessState {
  std::mutex defaultLoggerMutex;
  Logger* defaultLogger = nullptr;
  std::mutex loggersMutex;
  std::vector<Logger*> loggers;
  bool exitHandlerInstalled = false;
};

LoggerProcessState& processState() {
  static auto* state = new LoggerProcessState();
  return *state;
}

Logger* resolve(Logger* logger) { return logger ? logger : LoggerGetDefaultLogger(); }

// Ends the worker while the process exits, so it no longer sends, reads or builds messages
// when the libraries and statics it uses are torn down; what is still queued goes to the
// buffer file as at any end of the worker, and later messages are rendered on the console.
void endWorkerAtExit(Logger* logger) {
  std::lock_guard lock(logger->workerMutex);
  if (!logger->workerThread.joinable() || logger->workerThreadId.load() == std::this_thread::get_id()) return;
  logger->quit = true;
  LoggerSignalSource(logger, kLoggerSourceMessagePushed);
  logger->workerThread.join();
}

// Starts the worker and numbers the message; nullptr when the logger cannot be had.
LoggerMessageRef startMessage(Logger*& logger) {
  logger = LoggerStart(resolve(logger));
  uint32_t seq = static_cast<uint32_t>(logger->messageSeq.fetch_add(1, std::memory_order_seq_cst) + 1);
  return LoggerMessageCreate(seq);
}

void addCommonParts(LoggerMessage& message, uint32_t type, std::string_view tag, int level) {
  LoggerMessageAddInt32(message, static_cast<int32_t>(type), PART_KEY_MESSAGE_TYPE);
  if (!tag.empty()) LoggerMessageAddString(message, tag, PART_KEY_TAG);
  if (level != 0) LoggerMessageAddInt32(message, level, PART_KEY_LEVEL);
}

void addCallSite(LoggerMessage& message, const LoggerCallSite& site) {
  LoggerMessageAddCString(message, site.file, PART_KEY_FILENAME);
  if (site.line != 0) LoggerMessageAddInt32(message, site.line, PART_KEY_LINENUMBER);
  LoggerMessageAddCString(message, site.function, PART_KEY_FUNCTIONNAME);
}

void finish(Logger* logger, LoggerMessageRef message) {
  LoggerMessageFinalize(*message);
  LoggerPushMessageToQueue(logger, std::move(message));
}

}  // namespace

Logger* LoggerInit() {
  auto* logger = new Logger();
  auto& state = processState();
  {
    std::lock_guard lock(state.loggersMutex);
    state.loggers.push_back(logger);
    if (!state.exitHandlerInstalled) {
      state.exitHandlerInstalled = true;
      // What the worker uses is made first, so that it is torn down only after the exit
      // handler has ended the worker (exit handlers run in reverse order).
      LoggerSecureStream::prepareLibrary();
      (void)AppPaths::processName();
      std::atexit(LoggerFlushAllOnExit);
    }
  }
  std::lock_guard lock(state.defaultLoggerMutex);
  if (!state.defaultLogger) state.defaultLogger = logger;
  return logger;
}

Logger* LoggerGetDefaultLogger() {
  auto& state = processState();
  {
    std::lock_guard lock(state.defaultLoggerMutex);
    if (state.defaultLogger) return state.defaultLogger;
  }
  return LoggerInit();
}

void LoggerSetDefaultLogger(Logger* logger) {
  std::lock_guard lock(processState().defaultLoggerMutex);
  processState().defaultLogger = logger;
}

Logger* LoggerCheckDefaultLogger() {
  std::lock_guard lock(processState().defaultLoggerMutex);
  return processState().defaultLogger;
}

void LoggerSetOptions(Logger* logger, uint32_t options) {
  if (options & LoggerOptionEchoToConsole) options &= ~LoggerOptionCaptureConsole;
  resolve(logger)->options = options;
}

uint32_t LoggerGetOptions(Logger* logger) { return resolve(logger)->options.load(); }

void LoggerSetupBonjour(Logger* logger, std::optional<std::string> serviceType,
                        std::optional<std::string> serviceName) {
  logger = resolve(logger);
  std::lock_guard lock(logger->settingsMutex);
  logger->bonjourServiceType = std::move(serviceType);
  logger->bonjourServiceName = std::move(serviceName);
}

void LoggerSetViewerHost(Logger* logger, std::optional<std::string> host, uint32_t port) {
  logger = resolve(logger);
  bool changed;
  {
    std::lock_guard lock(logger->settingsMutex);
    changed = logger->host != host || logger->port != port;
    logger->host = std::move(host);
    logger->port = port;
  }
  if (changed && logger->workerRunning) LoggerSignalSource(logger, kLoggerSourceRemoteSettingsChanged);
}

void LoggerSetBufferFile(Logger* logger, std::optional<std::string> path) {
  logger = resolve(logger);
  {
    std::lock_guard lock(logger->settingsMutex);
    if (logger->bufferFile == path) return;
    logger->bufferFile = std::move(path);
  }
  if (logger->workerRunning) LoggerSignalSource(logger, kLoggerSourceBufferFileChanged);
}

void LoggerSetBufferFileMaxSize(Logger* logger, uint64_t bytes) {
  logger = resolve(logger);
  std::lock_guard lock(logger->settingsMutex);
  logger->bufferFileMaxSize = bytes;
}

Logger* LoggerStart(Logger* logger) {
  logger = resolve(logger);
  {
    std::lock_guard lock(logger->workerMutex);
    if (logger->workerStarted) return logger;
    logger->workerStarted = true;
    logger->worker = std::make_unique<LoggerWorker>(logger);
    logger->workerRunning = true;
    logger->workerThread = std::thread([logger] {
      logger->workerThreadId = std::this_thread::get_id();
      logger->worker->run();
    });
  }
  if (logger->options.load() & LoggerOptionCaptureConsole) LoggerConsoleCapture::start(logger);
  return logger;
}

void LoggerStop(Logger* logger) {
  auto& state = processState();
  {
    std::lock_guard lock(state.defaultLoggerMutex);
    if (!logger || logger == state.defaultLogger) {
      logger = state.defaultLogger;
      state.defaultLogger = nullptr;
    }
  }
  if (!logger) return;
  {
    std::lock_guard lock(state.loggersMutex);
    state.loggers.erase(std::remove(state.loggers.begin(), state.loggers.end(), logger), state.loggers.end());
  }
  LoggerConsoleCapture::stop(logger);
  if (logger->workerThread.joinable()) {
    logger->quit = true;
    LoggerSignalSource(logger, kLoggerSourceMessagePushed);
    logger->workerThread.join();
  }
  delete logger;
}

void LoggerFlush(Logger* logger, bool waitForConnection) {
  if (!logger) logger = LoggerCheckDefaultLogger();
  if (!logger) return;
  if (logger->workerThreadId.load() == std::this_thread::get_id()) return;
  bool hasFile;
  {
    std::lock_guard lock(logger->settingsMutex);
    hasFile = logger->bufferFile.has_value();
  }
  if (!logger->connected && !hasFile && !waitForConnection) return;
  std::unique_lock lock(logger->logQueueMutex);
  logger->logQueueEmpty.wait_for(lock, kFlushTimeLimit, [logger] {
    return (logger->logQueue.empty() && logger->sendBuffer.empty()) || !logger->workerRunning;
  });
}

void LoggerFlushAllOnExit() {
  LoggerConsoleCapture::finishAtExit();
  auto& state = processState();
  std::lock_guard lock(state.loggersMutex);
  for (Logger* logger : state.loggers) LoggerFlush(logger, false);
  for (Logger* logger : state.loggers) endWorkerAtExit(logger);
}

void LoggerLogText(Logger* logger, const LoggerCallSite& site, std::string_view tag, int level,
                   std::optional<std::string_view> text) {
  LoggerMessageRef message = startMessage(logger);
  addCommonParts(*message, LOGMSG_TYPE_LOG, tag, level);
  addCallSite(*message, site);
  LoggerMessageAddString(*message, text, PART_KEY_MESSAGE);
  finish(logger, std::move(message));
}

void LoggerLogData(Logger* logger, const LoggerCallSite& site, std::string_view tag, int level,
                   std::optional<std::string_view> data) {
  LoggerMessageRef message = startMessage(logger);
  addCommonParts(*message, LOGMSG_TYPE_LOG, tag, level);
  addCallSite(*message, site);
  LoggerMessageAddData(*message, data, PART_TYPE_BINARY);
  finish(logger, std::move(message));
}

void LoggerLogImage(Logger* logger, const LoggerCallSite& site, std::string_view tag, int level, int width, int height,
                    std::optional<std::string_view> image) {
  LoggerMessageRef message = startMessage(logger);
  addCommonParts(*message, LOGMSG_TYPE_LOG, tag, level);
  if (width != 0 && height != 0) {
    LoggerMessageAddInt32(*message, width, PART_KEY_IMAGE_WIDTH);
    LoggerMessageAddInt32(*message, height, PART_KEY_IMAGE_HEIGHT);
  }
  addCallSite(*message, site);
  LoggerMessageAddData(*message, image, PART_TYPE_IMAGE);
  finish(logger, std::move(message));
}

void LoggerStartBlock(Logger* logger, std::optional<std::string_view> text) {
  LoggerMessageRef message = startMessage(logger);
  LoggerMessageAddInt32(*message, LOGMSG_TYPE_BLOCKSTART, PART_KEY_MESSAGE_TYPE);
  if (text) LoggerMessageAddString(*message, text, PART_KEY_MESSAGE);
  finish(logger, std::move(message));
}

void LoggerEndBlock(Logger* logger) {
  logger = resolve(logger);
  if (logger->options.load() & LoggerOptionEchoToConsole) return;
  LoggerMessageRef message = startMessage(logger);
  LoggerMessageAddInt32(*message, LOGMSG_TYPE_BLOCKEND, PART_KEY_MESSAGE_TYPE);
  finish(logger, std::move(message));
}

void LoggerMarker(Logger* logger, std::optional<std::string_view> text) {
  LoggerMessageRef message = startMessage(logger);
  LoggerMessageAddInt32(*message, LOGMSG_TYPE_MARK, PART_KEY_MESSAGE_TYPE);
  std::string now;
  if (!text) {
    // Short date style and medium time style.
    time_t clock = std::time(nullptr);
    struct tm local {};
    ::localtime_r(&clock, &local);
    char buffer[64] = {};
    std::strftime(buffer, sizeof buffer, "%-m/%-d/%y, %-I:%M:%S %p", &local);
    now = buffer;
  }
  LoggerMessageAddString(*message, text ? *text : std::string_view(now), PART_KEY_MESSAGE);
  finish(logger, std::move(message));
}

}  // namespace velbor
