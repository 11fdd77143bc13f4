#include "core/entity/TmpFileName.h"

#include <filesystem>
#include <mutex>
#include <set>

#include <fmt/format.h>

namespace velbor {
namespace {

std::mutex& namesLock() {
  static std::mutex lock;
  return lock;
}

std::set<std::string>& namesInUse() {
  static std::set<std::string> names;
  return names;
}

}  // namespace

TmpFileName::TmpFileName(const std::string& filePath) {
  const std::filesystem::path path(filePath);
  const std::string folder = path.parent_path().string();
  const std::string name = path.filename().string();
  std::lock_guard lock(namesLock());
  std::string candidate = fmt::format("{}/.{}.{}", folder, name, "Velbor.Download");
  for (int n = 2; namesInUse().contains(candidate); ++n) {
    candidate = fmt::format("{}/.{}.{}.{}", folder, name, n, "Velbor.Download");
  }
  namesInUse().insert(candidate);
  path_ = std::move(candidate);
}

TmpFileName::~TmpFileName() {
  std::lock_guard lock(namesLock());
  namesInUse().erase(path_);
}

}  // namespace velbor
