#include "core/entity/FileFlush.h"

#include <unistd.h>

#include <mutex>
#include <utility>

namespace velbor {
namespace {

std::mutex overrideLock;
std::function<int(int)>& replacementFlush() {
  // Never destroyed: jobs still running at exit use it.
  static auto& replacement = *new std::function<int(int)>();
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
