#pragma once

#include <string_view>
#include <utility>

#include <fmt/format.h>

namespace velbor {

// Writes one log line to standard error: a time stamp, the process name with its process
// and thread ids, then the text. The line is written with a single write, so lines of
// different threads never interleave.
void QoLogLine(std::string_view text);

template <typename... Args>
void QoLog(fmt::format_string<Args...> format, Args&&... args) {
  QoLogLine(fmt::format(format, std::forward<Args>(args)...));
}

}  // namespace velbor
