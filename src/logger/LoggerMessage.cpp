#include "logger/LoggerMessage.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <ctime>

#include "platform/AppPaths.h"
#include "platform/Utf8.h"

namespace velbor {

namespace {

void putUInt32(LoggerMessage& message, size_t pos, uint32_t value) {
  message[pos] = static_cast<char>(value >> 24);
  message[pos + 1] = static_cast<char>(value >> 16);
  message[pos + 2] = static_cast<char>(value >> 8);
  message[pos + 3] = static_cast<char>(value);
}

void putUInt16(LoggerMessage& message, size_t pos, uint16_t value) {
  message[pos] = static_cast<char>(value >> 8);
  message[pos + 1] = static_cast<char>(value);
}

// Key, type, 4-byte length and the bytes.
void addBytesPart(LoggerMessage& message, uint8_t key, uint8_t type, std::string_view bytes) {
  size_t pos = LoggerMessagePrepareForPart(message, static_cast<uint32_t>(6 + bytes.size()));
  message[pos] = static_cast<char>(key);
  message[pos + 1] = static_cast<char>(type);
  putUInt32(message, pos + 2, static_cast<uint32_t>(bytes.size()));
  message.replace(pos + 6, bytes.size(), bytes);
}

bool onMainThread() { return ::syscall(SYS_gettid) == ::getpid(); }

// The name of the calling thread when it was given one of its own (on Linux an unnamed
// thread carries the process's name).
std::string ownThreadName() {
  char name[32] = {};
  if (::pthread_getname_np(::pthread_self(), name, sizeof name) != 0) return {};
  std::string text(name);
  return text == AppPaths::processName().substr(0, 15) ? std::string() : text;
}

void addThreadPart(LoggerMessage& message) {
  if (onMainThread()) {
    LoggerMessageAddString(message, "Main thread", PART_KEY_THREAD_ID);
    return;
  }
  std::string name = ownThreadName();
  if (name.empty()) {
    // Made once per thread, as a description would be, and kept for its next messages.
    thread_local std::string cached = "Thread " + std::to_string(::syscall(SYS_gettid));
    name = cached;
  }
  LoggerMessageAddString(message, name, PART_KEY_THREAD_ID);
}

}  // namespace

uint32_t LoggerReadUInt32(const LoggerMessage& message, size_t pos) {
  const auto* p = reinterpret_cast<const unsigned char*>(message.data()) + pos;
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

uint16_t LoggerReadUInt16(const LoggerMessage& message, size_t pos) {
  const auto* p = reinterpret_cast<const unsigned char*>(message.data()) + pos;
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

LoggerMessageRef LoggerMessageCreate(uint32_t seq) {
  auto message = std::make_shared<LoggerMessage>(64, '\0');
  if (seq != 0) {
    putUInt32(*message, 0, 8);
    putUInt16(*message, 4, 1);
    (*message)[6] = PART_KEY_MESSAGE_SEQ;
    (*message)[7] = PART_TYPE_INT32;
    putUInt32(*message, 8, seq);
  } else {
    putUInt32(*message, 0, 2);
  }
  struct timeval now {};
  if (::gettimeofday(&now, nullptr) == 0) {
    LoggerMessageAddInt64(*message, now.tv_sec, PART_KEY_TIMESTAMP_S);
    LoggerMessageAddInt64(*message, now.tv_usec, PART_KEY_TIMESTAMP_US);
  } else {
    LoggerMessageAddInt64(*message, std::time(nullptr), PART_KEY_TIMESTAMP_S);
  }
  addThreadPart(*message);
  return message;
}

size_t LoggerMessagePrepareForPart(LoggerMessage& message, uint32_t partSize) {
  uint32_t oldLength = LoggerReadUInt32(message, 0);
  uint32_t newLength = oldLength + partSize;
  if (size_t{newLength} + 4 > message.size()) message.resize((size_t{newLength} + 68) & ~size_t{63}, '\0');
  putUInt32(message, 0, newLength);
  putUInt16(message, 4, static_cast<uint16_t>(LoggerReadUInt16(message, 4) + 1));
  return 4 + size_t{oldLength};
}

void LoggerMessageAddInt32(LoggerMessage& message, int32_t value, uint8_t key) {
  size_t pos = LoggerMessagePrepareForPart(message, 6);
  message[pos] = static_cast<char>(key);
  message[pos + 1] = PART_TYPE_INT32;
  putUInt32(message, pos + 2, static_cast<uint32_t>(value));
}

void LoggerMessageAddInt64(LoggerMessage& message, int64_t value, uint8_t key) {
  size_t pos = LoggerMessagePrepareForPart(message, 10);
  message[pos] = static_cast<char>(key);
  message[pos + 1] = PART_TYPE_INT64;
  auto bits = static_cast<uint64_t>(value);
  putUInt32(message, pos + 2, static_cast<uint32_t>(bits >> 32));
  putUInt32(message, pos + 6, static_cast<uint32_t>(bits));
}

void LoggerMessageAddString(LoggerMessage& message, std::optional<std::string_view> text, uint8_t key) {
  std::string_view source = text.value_or(std::string_view());
  std::string utf8;
  utf8.reserve(source.size());
  for (size_t pos = 0; pos < source.size();) {
    size_t length = utf8SequenceLength(source, pos);
    if (length == 0) {
      utf8.push_back('?');
      ++pos;
    } else {
      utf8.append(source.substr(pos, length));
      pos += length;
    }
  }
  addBytesPart(message, key, PART_TYPE_STRING, utf8);
}

void LoggerMessageAddCString(LoggerMessage& message, const char* text, uint8_t key) {
  if (!text || !*text) return;
  std::string utf8;
  for (const char* p = text; *p; ++p) {
    auto c = static_cast<unsigned char>(*p);
    if (c < 0x80) {
      utf8.push_back(static_cast<char>(c));
    } else {
      utf8.push_back(static_cast<char>(0xC0 | (c >> 6)));
      utf8.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  addBytesPart(message, key, PART_TYPE_STRING, utf8);
}

void LoggerMessageAddData(LoggerMessage& message, std::optional<std::string_view> data, uint8_t partType) {
  if (!data) return;
  addBytesPart(message, PART_KEY_MESSAGE, partType, *data);
}

void LoggerMessageFinalize(LoggerMessage& message) { message.resize(size_t{LoggerReadUInt32(message, 0)} + 4); }

uint32_t LoggerMessageGetSeq(const LoggerMessage& message) {
  if (message.size() < 12 || LoggerReadUInt16(message, 4) == 0) return 0;
  if (static_cast<uint8_t>(message[6]) != PART_KEY_MESSAGE_SEQ) return 0;
  return LoggerReadUInt32(message, 8);
}

}  // namespace velbor
