#include "core/entity/RenameWithFlags.h"

#include <fcntl.h>
#include <stdio.h>

#include <cerrno>
#include <mutex>
#include <utility>

namespace velbor {
namespace {

std::mutex overrideLock;
RenameWithFlags::Rename& replacementRename() {
  // Never destroyed: jobs still running at exit use it.
  static auto& replacement = *new RenameWithFlags::Rename();
  return replacement;
}

}  // namespace

int RenameWithFlags::rename(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags) {
  Rename replacement;
  {
    std::lock_guard lock(overrideLock);
    replacement = replacementRename();
  }
  if (replacement) return replacement(fromFolder, from, toFolder, to, flags);
  return ::renameat2(fromFolder, from, toFolder, to, flags);
}

bool RenameWithFlags::flagsRefused(int error) { return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP; }

RenameWithFlags::ScopedOverride::ScopedOverride(Rename replacement) {
  std::lock_guard lock(overrideLock);
  replacementRename() = std::move(replacement);
}

RenameWithFlags::ScopedOverride::~ScopedOverride() {
  std::lock_guard lock(overrideLock);
  replacementRename() = nullptr;
}

}  // namespace velbor
