#pragma once

#include <cstdint>
#include <string>

namespace velbor {

// Opening the buffer file safely: it lives in a shared temporary folder, so a link planted
// there is never followed, and a file that belongs to someone else or that others may read
// is refused (the log can hold private data). Only whole messages count: a tail cut by a
// process killed in the middle of a write, or any damage after which the message lengths no
// longer fit the file, would make a viewer misread everything behind it.
class LoggerBufferFile {
 public:
  // For appending, created with mode 0600; -1 on failure. A damaged tail is cut away first;
  // `size` receives the size then.
  static int openForAppending(const std::string& path, uint64_t* size);
  // For reading from its start; -1 on failure. `wholeSize` receives how many bytes from the
  // start are whole messages: only these are to be read.
  static int openForReading(const std::string& path, uint64_t* wholeSize = nullptr);
  // The per-user buffer file of the program: "/tmp/VelborMac.<uid>.logger".
  static std::string defaultPath();

 private:
  static int openRegular(const std::string& path, int flags);
  static bool isSafe(int fd);
  // Bytes from the start of the file that form whole messages.
  static uint64_t wholeMessagesLength(int fd, uint64_t size);
};

}  // namespace velbor
