#pragma once

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

#include <cerrno>

#include "core/entity/RenameWithFlags.h"

namespace velbor::test {

// Renames with flags as exFAT and NTFS through FUSE answer them: "exists" for a name taken,
// before the flag itself is refused.
inline RenameWithFlags::Rename withoutRenameFlags() {
  return [](int, const char*, int toFolder, const char* to, unsigned flags) {
    struct stat there {};
    errno =
        (flags & RENAME_NOREPLACE) != 0 && ::fstatat(toFolder, to, &there, AT_SYMLINK_NOFOLLOW) == 0 ? EEXIST : EINVAL;
    return -1;
  };
}

}  // namespace velbor::test
