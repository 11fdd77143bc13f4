#pragma once

#include <functional>

namespace velbor {

// The one place a downloaded file's content is flushed to the disk (fsync), so that tests can
// count the flushes or make them fail.
class FileFlush {
 public:
  // fsync; answers 0, or -1 with errno set.
  static int flush(int fd);

  // Tests: every flush goes to `replacement` while this lives (same contract as flush).
  class ScopedOverride {
   public:
    explicit ScopedOverride(std::function<int(int fd)> replacement);
    ~ScopedOverride();
    ScopedOverride(const ScopedOverride&) = delete;
    ScopedOverride& operator=(const ScopedOverride&) = delete;
  };
};

}  // namespace velbor
