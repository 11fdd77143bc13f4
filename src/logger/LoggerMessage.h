#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace velbor {

// An encoded log message as the network log viewers read it: a 4-byte big-endian length of
// what follows, a 2-byte part count, then the parts (key, type, payload).
using LoggerMessage = std::string;
using LoggerMessageRef = std::shared_ptr<LoggerMessage>;

enum LoggerPartKey : uint8_t {
  PART_KEY_MESSAGE_TYPE = 0,
  PART_KEY_TIMESTAMP_S = 1,
  PART_KEY_TIMESTAMP_MS = 2,
  PART_KEY_TIMESTAMP_US = 3,
  PART_KEY_THREAD_ID = 4,
  PART_KEY_TAG = 5,
  PART_KEY_LEVEL = 6,
  PART_KEY_MESSAGE = 7,
  PART_KEY_IMAGE_WIDTH = 8,
  PART_KEY_IMAGE_HEIGHT = 9,
  PART_KEY_MESSAGE_SEQ = 10,
  PART_KEY_FILENAME = 11,
  PART_KEY_LINENUMBER = 12,
  PART_KEY_FUNCTIONNAME = 13,
  PART_KEY_CLIENT_NAME = 20,
  PART_KEY_CLIENT_VERSION = 21,
  PART_KEY_OS_NAME = 22,
  PART_KEY_OS_VERSION = 23,
  PART_KEY_CLIENT_MODEL = 24,
};

enum LoggerPartType : uint8_t {
  PART_TYPE_STRING = 0,
  PART_TYPE_BINARY = 1,
  PART_TYPE_INT16 = 2,
  PART_TYPE_INT32 = 3,
  PART_TYPE_INT64 = 4,
  PART_TYPE_IMAGE = 5,
};

enum LoggerMessageType : uint32_t {
  LOGMSG_TYPE_LOG = 0,
  LOGMSG_TYPE_BLOCKSTART = 1,
  LOGMSG_TYPE_BLOCKEND = 2,
  LOGMSG_TYPE_CLIENTINFO = 3,
  LOGMSG_TYPE_MARK = 5,
};

// A new message with its header, the sequence part (when `seq` is not 0), the time stamp
// and the thread; not yet finalized.
LoggerMessageRef LoggerMessageCreate(uint32_t seq);
// Makes room for a part of `partSize` bytes and counts it; returns where to write it.
size_t LoggerMessagePrepareForPart(LoggerMessage& message, uint32_t partSize);
void LoggerMessageAddInt32(LoggerMessage& message, int32_t value, uint8_t key);
void LoggerMessageAddInt64(LoggerMessage& message, int64_t value, uint8_t key);
// Text as UTF-8; each byte that is not part of a well-formed sequence becomes "?".
void LoggerMessageAddString(LoggerMessage& message, std::optional<std::string_view> text, uint8_t key);
// ISO-8859-1 bytes up to a NUL; nothing for a missing or empty text.
void LoggerMessageAddCString(LoggerMessage& message, const char* text, uint8_t key);
// Binary data or an image under the message key; nothing for missing data.
void LoggerMessageAddData(LoggerMessage& message, std::optional<std::string_view> data, uint8_t partType);
void LoggerMessageFinalize(LoggerMessage& message);
uint32_t LoggerMessageGetSeq(const LoggerMessage& message);

// Big-endian field access shared by the builders and the readers.
uint32_t LoggerReadUInt32(const LoggerMessage& message, size_t pos);
uint16_t LoggerReadUInt16(const LoggerMessage& message, size_t pos);

}  // namespace velbor
