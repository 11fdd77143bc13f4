#pragma once

#include <functional>

namespace velbor {

// The one place items of a copy are renamed with flags (renameat2), so that tests can play a
// file system that refuses them: exFAT and NTFS through FUSE, SMB shares and others answer
// RENAME_NOREPLACE onto an existing name with EEXIST before they refuse the flag itself
// (EINVAL), and refuse RENAME_EXCHANGE.
class RenameWithFlags {
 public:
  using Rename = std::function<int(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags)>;

  // renameat2; answers 0, or -1 with errno set.
  static int rename(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags);

  // Whether a failure of a rename with flags means that the file system does not do them.
  static bool flagsRefused(int error);

  // Tests: every rename with flags goes to `replacement` while this lives (same contract).
  class ScopedOverride {
   public:
    explicit ScopedOverride(Rename replacement);
    ~ScopedOverride();
    ScopedOverride(const ScopedOverride&) = delete;
    ScopedOverride& operator=(const ScopedOverride&) = delete;
  };
};

}  // namespace velbor
