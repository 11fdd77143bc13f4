#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "platform/Exception.h"

namespace velbor {

// Stateless helpers shared across the program. Failures answer with a value (nullopt,
// false, -1) and a log line; only QoAssert throws.
class QoUtils {
 public:
  using Comparator = std::function<bool(const std::string&, const std::string&)>;
  using Clock = std::chrono::system_clock;

  QoUtils() = delete;

  // A random version-4 uuid, lower case with hyphens (36 characters).
  static std::string generateUuid();
  // Six upper-case hex digits taken from a new uuid.
  static std::string generateShortUuid();
  // 8-4-4-4-12 hex digits, either case.
  static bool checkUuid(const std::string& uuid);
  // Begins with "/".
  static bool checkPath(const std::string& path);
  // A path from a peer that may be used below a local root: begins with "/" and has no
  // empty, "." or ".." component and no NUL.
  static bool checkPeerPath(const std::string& path);

  // SHA-1 (20 bytes) of everything left to read from an open file descriptor, read in
  // 8192-byte blocks. The descriptor is neither opened nor closed here. nullopt, too, once
  // `stop` is requested: a large file does not hold up the quitting of its reader.
  static std::optional<std::string> getSha1WithInputStream(int fd, const std::stop_token& stop = {});
  // The same as 40 lower-case hex digits.
  static std::optional<std::string> getSha1StringWithInputStream(int fd, const std::stop_token& stop = {});
  // The SHA-1 text of a file's content; nullopt when it cannot be opened or read.
  static std::optional<std::string> getSha1StringWithPath(const std::string& path, const std::stop_token& stop = {});

  // Whole seconds since 1970 (fraction cut off).
  static int64_t timestampNow();

  // POSIX basic regular expression match of `pattern` anywhere in `string`.
  static bool regexMatch(const char* string, const char* pattern);

  // Case-insensitive "less than" orderings, ascending and descending.
  static Comparator NSStringSortComparator();
  static Comparator NSStringSortComparatorDesc();
  // Case-insensitive three-way comparison (<0, 0, >0), ASCII letters folded.
  static int caseInsensitiveCompare(const std::string& a, const std::string& b);

  // Formats a time in local time as "M月d日 HH:mm".
  using DateFormatter = std::function<std::string(Clock::time_point)>;
  static const DateFormatter& getDateFormatter();

  // "刚刚", "5分钟前", "2小时前", ... for a date relative to now.
  static std::string compareCurrentTime(Clock::time_point date);
  // The same relative to a given `now`.
  static std::string compareTime(Clock::time_point date, Clock::time_point now);

  // Free bytes on the file system holding `path`; -1 when it cannot be read.
  static double getDiskAvailableSpace(const std::string& path);
  // Bytes of the whole file system holding `path`, used or not; -1 when it cannot be read.
  static double getDiskTotalSpace(const std::string& path);

  // Standard Base64 of the text's bytes, padded, no line breaks.
  static std::string stringToBase64(const std::string& text);
};

}  // namespace velbor

// Throws Exception("", reason) when `condition` is false. The format is only evaluated then.
#define QoAssert(condition, ...)                                 \
  do {                                                           \
    if (!(condition)) {                                          \
      throw ::velbor::Exception("", ::fmt::format(__VA_ARGS__)); \
    }                                                            \
  } while (0)
