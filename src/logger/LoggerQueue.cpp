#include "logger/LoggerQueue.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <fstream>

#include <fmt/format.h>

#include "logger/LoggerConsole.h"
#include "platform/AppPaths.h"

#ifndef VELBOR_VERSION
#define VELBOR_VERSION ""
#endif

namespace velbor {

namespace {

// The hardware model where the firmware tells it.
std::string hardwareModel() {
  std::ifstream in("/sys/class/dmi/id/product_name");
  std::string model;
  std::getline(in, model);
  while (!model.empty() && (model.back() == ' ' || model.back() == '\n')) model.pop_back();
  return model.empty() ? std::string("unknown") : model;
}

}  // namespace

LoggerMessageRef LoggerClientInfoMessage() {
  LoggerMessageRef message = LoggerMessageCreate(0);
  LoggerMessageAddInt32(*message, LOGMSG_TYPE_CLIENTINFO, PART_KEY_MESSAGE_TYPE);
  LoggerMessageAddString(*message, VELBOR_VERSION, PART_KEY_CLIENT_VERSION);
  LoggerMessageAddString(*message, AppPaths::processName(), PART_KEY_CLIENT_NAME);

  struct utsname system {};
  std::string osName = "Linux", osVersion, machine;
  if (::uname(&system) == 0) {
    osName = system.sysname;
    osVersion = system.release;
    machine = system.machine;
  }
  LoggerMessageAddString(*message, osVersion, PART_KEY_OS_VERSION);
  LoggerMessageAddString(*message, osName, PART_KEY_OS_NAME);
  long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
  std::string model = fmt::format("{} - {} * {}", hardwareModel(), cpus, machine).substr(0, 63);
  LoggerMessageAddString(*message, model, PART_KEY_CLIENT_MODEL);
  LoggerMessageFinalize(*message);
  return message;
}

void LoggerPushClientInfoToFrontOfQueue(Logger* logger) {
  LoggerMessageRef message = LoggerClientInfoMessage();
  std::lock_guard lock(logger->logQueueMutex);
  size_t index = logger->incompleteSendOfFirstItem && !logger->logQueue.empty() ? 1 : 0;
  logger->logQueue.insert(index, std::move(message));
}

void LoggerPushMessageToQueue(Logger* logger, LoggerMessageRef message) {
  {
    std::unique_lock lock(logger->logQueueMutex);
    if (logger->logQueue.empty()) logger->queueFullReported = false;
    if (logger->logQueue.bytes() + message->size() > logger->queueMaxBytes) {
      // Nothing takes the messages fast enough (a viewer that stopped reading, no buffer
      // file): dropping them keeps the process from growing without bound.
      bool report = !logger->queueFullReported;
      logger->queueFullReported = true;
      lock.unlock();
      if (report) LoggerWriteToConsole("Logger Warning: message queue full, dropping messages\n");
      return;
    }
    uint32_t seq = LoggerMessageGetSeq(*message);
    size_t i = logger->logQueue.size();
    // A message partly sent keeps its place at the front.
    size_t first = logger->incompleteSendOfFirstItem && i > 0 ? 1 : 0;
    while (i > first && LoggerMessageGetSeq(*logger->logQueue[i - 1]) > seq) --i;
    logger->logQueue.insert(i, std::move(message));
  }
  if (logger->workerRunning.load()) {
    LoggerSignalSource(logger, kLoggerSourceMessagePushed);
  } else if (logger->options.load() & LoggerOptionEchoToConsole) {
    std::lock_guard lock(logger->logQueueMutex);
    for (const auto& queued : logger->logQueue) LoggerLogToConsole(queued.get());
    logger->logQueue.clear();
    logger->logQueueEmpty.notify_all();
  }
}

}  // namespace velbor
