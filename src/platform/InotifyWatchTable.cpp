#include "platform/InotifyWatchTable.h"

#include <utility>

namespace velbor {
namespace {

// The first key at or below `path` in byte order is `path` itself; the rest follow it
// directly, between "path/" and "path0" ('0' comes right after '/').
template <class Map>
auto rangeAtOrBelow(Map& map, const std::string& path) {
  return std::make_pair(map.lower_bound(path), map.lower_bound(path + "0"));
}

bool isAtOrBelow(const std::string& path, const std::string& folder) {
  return path == folder ||
         (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/');
}

}  // namespace

void InotifyWatchTable::add(int wd, const std::string& path) {
  if (const auto known = byWd_.find(wd); known != byWd_.end()) {
    if (known->second == path) return;
    byPath_.erase(known->second);
  }
  if (const auto taken = byPath_.find(path); taken != byPath_.end()) byWd_.erase(taken->second);
  byWd_[wd] = path;
  byPath_[path] = wd;
}

std::optional<std::string> InotifyWatchTable::pathOf(int wd) const {
  const auto found = byWd_.find(wd);
  if (found == byWd_.end()) return std::nullopt;
  return found->second;
}

void InotifyWatchTable::erase(int wd) {
  const auto found = byWd_.find(wd);
  if (found == byWd_.end()) return;
  if (const auto path = byPath_.find(found->second); path != byPath_.end() && path->second == wd) byPath_.erase(path);
  byWd_.erase(found);
}

void InotifyWatchTable::rename(const std::string& from, const std::string& to) {
  std::vector<std::pair<int, std::string>> moved;
  auto [first, last] = rangeAtOrBelow(byPath_, from);
  for (auto entry = first; entry != last; ++entry) {
    if (isAtOrBelow(entry->first, from)) moved.emplace_back(entry->second, to + entry->first.substr(from.size()));
  }
  for (const auto& [wd, path] : moved) add(wd, path);
}

std::vector<int> InotifyWatchTable::takeAtOrBelow(const std::string& path) {
  std::vector<int> taken;
  auto [first, last] = rangeAtOrBelow(byPath_, path);
  for (auto entry = first; entry != last; ++entry) {
    if (isAtOrBelow(entry->first, path)) taken.push_back(entry->second);
  }
  for (const int wd : taken) erase(wd);
  return taken;
}

}  // namespace velbor
