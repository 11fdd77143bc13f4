#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "logger/Logger.h"

namespace velbor {

// The remote log client's calls. A null logger means the default logger, which the setters
// and LoggerStart create when it does not exist yet. Nothing here throws: failures are
// console lines and a fall-back to console output.

Logger* LoggerInit();
Logger* LoggerGetDefaultLogger();
void LoggerSetDefaultLogger(Logger* logger);
Logger* LoggerCheckDefaultLogger();
void LoggerSetOptions(Logger* logger, uint32_t options);
uint32_t LoggerGetOptions(Logger* logger);
void LoggerSetupBonjour(Logger* logger, std::optional<std::string> serviceType, std::optional<std::string> serviceName);
void LoggerSetViewerHost(Logger* logger, std::optional<std::string> host, uint32_t port);
void LoggerSetBufferFile(Logger* logger, std::optional<std::string> path);
// Largest size the buffer file grows to; later messages are dropped while it is full.
void LoggerSetBufferFileMaxSize(Logger* logger, uint64_t bytes);
Logger* LoggerStart(Logger* logger);
void LoggerStop(Logger* logger);
// Waits, at most a few seconds, until the queue has gone to the viewer or the buffer file.
void LoggerFlush(Logger* logger, bool waitForConnection);
void LoggerFlushAllOnExit();

// Where a logging call was made (the F forms).
struct LoggerCallSite {
  const char* file = nullptr;
  int line = 0;
  const char* function = nullptr;
};

void LoggerLogText(Logger* logger, const LoggerCallSite& site, std::string_view tag, int level,
                   std::optional<std::string_view> text);
void LoggerLogData(Logger* logger, const LoggerCallSite& site, std::string_view tag, int level,
                   std::optional<std::string_view> data);
void LoggerLogImage(Logger* logger, const LoggerCallSite& site, std::string_view tag, int level, int width, int height,
                    std::optional<std::string_view> image);
void LoggerStartBlock(Logger* logger, std::optional<std::string_view> text);
void LoggerEndBlock(Logger* logger);
void LoggerMarker(Logger* logger, std::optional<std::string_view> text);

template <typename... Args>
void LogMessageToF(Logger* logger, const char* file, int line, const char* function, std::string_view tag, int level,
                   fmt::format_string<Args...> format, Args&&... args) {
  LoggerLogText(logger, {file, line, function}, tag, level, fmt::format(format, std::forward<Args>(args)...));
}
template <typename... Args>
void LogMessageTo(Logger* logger, std::string_view tag, int level, fmt::format_string<Args...> format, Args&&... args) {
  LoggerLogText(logger, {}, tag, level, fmt::format(format, std::forward<Args>(args)...));
}
template <typename... Args>
void LogMessageF(const char* file, int line, const char* function, std::string_view tag, int level,
                 fmt::format_string<Args...> format, Args&&... args) {
  LoggerLogText(nullptr, {file, line, function}, tag, level, fmt::format(format, std::forward<Args>(args)...));
}
template <typename... Args>
void LogMessage(std::string_view tag, int level, fmt::format_string<Args...> format, Args&&... args) {
  LoggerLogText(nullptr, {}, tag, level, fmt::format(format, std::forward<Args>(args)...));
}
template <typename... Args>
void LogMessageCompat(fmt::format_string<Args...> format, Args&&... args) {
  LoggerLogText(nullptr, {}, "", 0, fmt::format(format, std::forward<Args>(args)...));
}
inline void LogMessageRawToF(Logger* logger, const char* file, int line, const char* function, std::string_view tag,
                             int level, std::optional<std::string_view> text) {
  LoggerLogText(logger, {file, line, function}, tag, level, text.value_or(std::string_view()));
}
inline void LogMessageRawF(const char* file, int line, const char* function, std::string_view tag, int level,
                           std::optional<std::string_view> text) {
  LogMessageRawToF(nullptr, file, line, function, tag, level, text);
}
inline void LogMessageRaw(std::optional<std::string_view> text) {
  LogMessageRawToF(nullptr, nullptr, 0, nullptr, "", 0, text);
}

inline void LogDataToF(Logger* logger, const char* file, int line, const char* function, std::string_view tag,
                       int level, std::optional<std::string_view> data) {
  LoggerLogData(logger, {file, line, function}, tag, level, data);
}
inline void LogDataTo(Logger* logger, std::string_view tag, int level, std::optional<std::string_view> data) {
  LoggerLogData(logger, {}, tag, level, data);
}
inline void LogDataF(const char* file, int line, const char* function, std::string_view tag, int level,
                     std::optional<std::string_view> data) {
  LoggerLogData(nullptr, {file, line, function}, tag, level, data);
}
inline void LogData(std::string_view tag, int level, std::optional<std::string_view> data) {
  LoggerLogData(nullptr, {}, tag, level, data);
}

inline void LogImageDataToF(Logger* logger, const char* file, int line, const char* function, std::string_view tag,
                            int level, int width, int height, std::optional<std::string_view> image) {
  LoggerLogImage(logger, {file, line, function}, tag, level, width, height, image);
}
inline void LogImageDataTo(Logger* logger, std::string_view tag, int level, int width, int height,
                           std::optional<std::string_view> image) {
  LoggerLogImage(logger, {}, tag, level, width, height, image);
}
inline void LogImageDataF(const char* file, int line, const char* function, std::string_view tag, int level, int width,
                          int height, std::optional<std::string_view> image) {
  LoggerLogImage(nullptr, {file, line, function}, tag, level, width, height, image);
}
inline void LogImageData(std::string_view tag, int level, int width, int height,
                         std::optional<std::string_view> image) {
  LoggerLogImage(nullptr, {}, tag, level, width, height, image);
}

template <typename... Args>
void LogStartBlockTo(Logger* logger, fmt::format_string<Args...> format, Args&&... args) {
  LoggerStartBlock(logger, fmt::format(format, std::forward<Args>(args)...));
}
template <typename... Args>
void LogStartBlock(fmt::format_string<Args...> format, Args&&... args) {
  LoggerStartBlock(nullptr, fmt::format(format, std::forward<Args>(args)...));
}
inline void LogEndBlockTo(Logger* logger) { LoggerEndBlock(logger); }
inline void LogEndBlock() { LoggerEndBlock(nullptr); }
inline void LogMarkerTo(Logger* logger, std::optional<std::string_view> text) { LoggerMarker(logger, text); }
inline void LogMarker(std::optional<std::string_view> text) { LoggerMarker(nullptr, text); }

}  // namespace velbor
