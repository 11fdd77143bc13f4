#include "core/entity/FileFlush.h"

#include <unistd.h>

#include <mutex>
#include <utility>

namespace velbor {
namespace {

std::mutex overrideLock;
std::function<int(int)>& replacementFlush() {
  static std::function<int(int)> replacement;
  return replacement;
}

}  // namespace

int FileFlush::flush(int fd) {
  std::function<int(int)> replacement;
  {
    std::lock_guard lock(overrideLock);
    replacement = replacementFlush();
  }
  if (replacement) return replacement(fd);
  return ::fsync(fd);
}

FileFlush::ScopedOverride::ScopedOverride(std::function<int(int)> replacement) {
  std::lock_guard lock(overrideLock);
  replacementFlush() = std::move(replacement);
}

FileFlush::ScopedOverride::~ScopedOverride() {
  std::lock_guard lock(overrideLock);
  replacementFlush() = nullptr;
}

}  // namespace velbor
