#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "logger/Logger.h"

namespace velbor {

// Turns every line the process writes to standard output and standard error into a log
// message of each capturing logger, while the output still reaches where it went before.
class LoggerConsoleCapture {
 public:
  static void start(Logger* logger);
  // Frees the logger's place; the last capturer gives descriptors 1 and 2 back.
  static void stop(Logger* logger);
  // At exit: flushes the stdio buffers, gives descriptors 1 and 2 back (so output written
  // later still reaches its destination) and logs what the pipes still hold, so the last
  // lines written are neither lost nor left unlogged.
  static void finishAtExit();

  // The lines of one chunk read from a pipe. `carry` holds the start of a UTF-8 sequence
  // cut off at the end of the previous chunk and receives the one cut off now. A chunk that
  // is not UTF-8 gives no line.
  static std::vector<std::string> linesOfChunk(std::string& carry, std::string_view chunk);
};

}  // namespace velbor
