#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "logger/LoggerMessage.h"

namespace velbor {

// The console line of a message (ending in a line feed), or nothing for message types that
// are not shown (only log and marker messages are).
std::optional<std::string> LoggerConsoleLine(const LoggerMessage* message);

// Renders a message on the console.
void LoggerLogToConsole(const LoggerMessage* message);

// Writes text whole to the console: the standard error the process had before its output
// was captured, so rendered lines never flow back into the capture.
void LoggerWriteToConsole(std::string_view text);

// The descriptor the console writes go to; -1 means standard error.
void LoggerSetConsoleDescriptor(int fd);

}  // namespace velbor
