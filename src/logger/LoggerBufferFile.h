#pragma once

#include <cstdint>
#include <string>

namespace velbor {

// Opening the buffer file safely: it lives in a shared temporary folder, so a link planted
// there is never followed, and a file that belongs to someone else or that others may read
// is refused (the log can hold private data).
class LoggerBufferFile {
 public:
  // For appending, created with mode 0600; -1 on failure. `size` receives its current size.
  static int openForAppending(const std::string& path, uint64_t* size);
  // For reading from its start; -1 on failure.
  static int openForReading(const std::string& path);
  // The per-user buffer file of the program: "/tmp/VelborMac.<uid>.logger".
  static std::string defaultPath();

 private:
  static bool isSafe(int fd);
};

}  // namespace velbor
