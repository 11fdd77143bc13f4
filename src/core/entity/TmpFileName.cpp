#include "core/entity/TmpFileName.h"

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <set>

#include <fmt/format.h>

namespace velbor {
namespace {

// Never destroyed: a transfer on a worker still running at exit gives its name back later.
std::mutex& namesLock() {
  static auto* lock = new std::mutex();
  return *lock;
}

std::set<std::string>& namesInUse() {
  static auto* names = new std::set<std::string>();
  return *names;
}

// Names longer than this are shortened, so that the dot, the counter and the suffix still fit
// in the 255 bytes a name can have.
constexpr size_t kLongestKeptName = 200;

// The name the temporary name is made from: the file's own, or for a long one its first
// bytes (whole UTF-8 characters) and a digest of the rest, the same for the same name.
std::string baseName(const std::string& name) {
  if (name.size() <= kLongestKeptName) return name;
  uint64_t digest = 14695981039346656037ULL;  // FNV-1a
  for (const unsigned char c : name) digest = (digest ^ c) * 1099511628211ULL;
  size_t cut = kLongestKeptName;
  while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
  return fmt::format("{}~{:016x}", name.substr(0, cut), digest);
}

// Something stands at the name: the user's own file, or a download no journal knows of.
bool takenOnDisk(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

}  // namespace

bool TmpFileName::isTemporaryName(std::string_view name) {
  constexpr std::string_view kSuffix = ".Velbor.Download";
  return name.size() > kSuffix.size() + 1 && name.front() == '.' && name.ends_with(kSuffix);
}

TmpFileName::TmpFileName(const std::string& filePath, bool ownName) {
  const std::filesystem::path path(filePath);
  const std::string folder = path.parent_path().string();
  const std::string name = baseName(path.filename().string());
  std::lock_guard lock(namesLock());
  std::string candidate = fmt::format("{}/.{}.{}", folder, name, "Velbor.Download");
  for (int n = 2; namesInUse().contains(candidate) || (!ownName && takenOnDisk(candidate)); ++n) {
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
