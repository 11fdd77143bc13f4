#include "logger/LoggerConsole.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>

#include <fmt/format.h>

namespace velbor {

namespace {

std::atomic<int> gConsoleFd{-1};

std::string trimmed(std::string_view text) {
  const char* blanks = " \t\n\r";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  size_t last = text.find_last_not_of(blanks);
  return std::string(text.substr(first, last - first + 1));
}

std::string hexDump(std::string_view data) {
  std::string out = data.size() == 1 ? "Raw data, 1 byte:\n" : fmt::format("Raw data, {} bytes:\n", data.size());
  for (size_t offset = 0; offset < data.size(); offset += 16) {
    std::string_view row = data.substr(offset, 16);
    out += fmt::format(" {:04x}: ", offset);
    for (size_t i = 0; i < 16; ++i)
      out += i < row.size() ? fmt::format("{:02x} ", static_cast<unsigned char>(row[i])) : "   ";
    out += '\'';
    for (size_t i = 0; i < 16; ++i) {
      char c = i < row.size() ? row[i] : ' ';
      out += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
    }
    out += "'\n";
  }
  return out;
}

}  // namespace

std::optional<std::string> LoggerConsoleLine(const LoggerMessage* message) {
  if (!message) return std::string("LoggerLogToConsole: data is NULL\n");
  const LoggerMessage& m = *message;
  if (m.size() < 6) return std::nullopt;
  size_t end = std::min<size_t>(m.size(), size_t{LoggerReadUInt32(m, 0)} + 4);
  uint16_t parts = LoggerReadUInt16(m, 4);
  int64_t type = 0, seconds = 0, micros = 0, width = 0, height = 0;
  std::optional<std::string> thread;
  std::string text;
  std::string_view image;
  bool isImage = false;
  size_t pos = 6;
  for (uint16_t i = 0; i < parts && pos + 2 <= end; ++i) {
    auto key = static_cast<uint8_t>(m[pos]);
    auto partType = static_cast<uint8_t>(m[pos + 1]);
    pos += 2;
    int64_t number = 0;
    std::string_view bytes;
    switch (partType) {
      case PART_TYPE_STRING:
      case PART_TYPE_BINARY:
      case PART_TYPE_IMAGE: {
        if (pos + 4 > end) return std::nullopt;
        size_t length = LoggerReadUInt32(m, pos);
        pos += 4;
        if (length > end - pos) return std::nullopt;
        bytes = std::string_view(m).substr(pos, length);
        pos += length;
        break;
      }
      case PART_TYPE_INT16:
        if (pos + 2 > end) return std::nullopt;
        number = LoggerReadUInt16(m, pos);
        pos += 2;
        break;
      case PART_TYPE_INT32:
        if (pos + 4 > end) return std::nullopt;
        number = LoggerReadUInt32(m, pos);
        pos += 4;
        break;
      case PART_TYPE_INT64:
        if (pos + 8 > end) return std::nullopt;
        number = static_cast<int64_t>((uint64_t{LoggerReadUInt32(m, pos)} << 32) | LoggerReadUInt32(m, pos + 4));
        pos += 8;
        break;
      default:
        return std::nullopt;
    }
    switch (key) {
      case PART_KEY_MESSAGE_TYPE:
        type = number;
        break;
      case PART_KEY_TIMESTAMP_S:
        seconds = number;
        break;
      case PART_KEY_TIMESTAMP_MS:
        micros = number * 1000;
        break;
      case PART_KEY_TIMESTAMP_US:
        micros = number;
        break;
      case PART_KEY_IMAGE_WIDTH:
        width = number;
        break;
      case PART_KEY_IMAGE_HEIGHT:
        height = number;
        break;
      case PART_KEY_THREAD_ID:
        if (thread) break;
        if (partType == PART_TYPE_STRING)
          thread = std::string(bytes);
        else if (partType == PART_TYPE_INT64)
          thread = fmt::format("thread 0x{:x}", number);
        else
          thread = fmt::format("thread 0x{:08x}", number);
        break;
      case PART_KEY_MESSAGE:
        if (partType == PART_TYPE_STRING)
          text = trimmed(bytes);
        else if (partType == PART_TYPE_BINARY)
          text = hexDump(bytes);
        else if (partType == PART_TYPE_IMAGE)
          isImage = true, image = bytes;
        break;
      default:
        break;
    }
  }
  if (type != LOGMSG_TYPE_LOG && type != LOGMSG_TYPE_MARK) return std::nullopt;
  if (isImage) text = fmt::format("<image width={} height={}>", width, height);
  (void)image;

  time_t when = static_cast<time_t>(seconds);
  struct tm utc {};
  ::gmtime_r(&when, &utc);
  char clock[16] = {};
  std::strftime(clock, sizeof clock, "%T", &utc);
  std::string name = thread.value_or(std::string());
  std::string padding(name.size() < 16 ? 16 - name.size() : 0, ' ');
  return fmt::format("{}.{:04d} {}{} | {}\n", clock, static_cast<int>(micros / 1000), padding, name, text);
}

void LoggerLogToConsole(const LoggerMessage* message) {
  if (auto line = LoggerConsoleLine(message)) LoggerWriteToConsole(*line);
}

void LoggerWriteToConsole(std::string_view text) {
  int fd = gConsoleFd.load();
  if (fd < 0) fd = STDERR_FILENO;
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere left to report a failing console
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
}

void LoggerSetConsoleDescriptor(int fd) { gConsoleFd.store(fd); }

}  // namespace velbor
