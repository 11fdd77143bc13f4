#include "core/daemon/monitor/RecordedSpellings.h"

#include "core/entity/NameSpelling.h"
#include "core/entity/QoFile.h"
#include "core/entity/SyncdirMark.h"

namespace velbor {

bool RecordedSpellings::ignoreCase() {
  // The copy's mark is always there: how the disk answers for it tells how it takes case.
  if (!ignoresCase_) ignoresCase_ = NameSpelling::ignoresCase(root_, std::string(SyncdirMark::kName));
  return *ignoresCase_;
}

std::vector<std::string> RecordedSpellings::of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (!ignoreCase() || slash == std::string::npos || slash < root_.size()) return {};
  const std::string folder = path.substr(0, slash);
  auto found = folders_.find(folder);
  if (found == folders_.end()) {
    ByFoldedName names;
    for (const QoFile::Ptr& file : QoFile::presentIn(folder)) {
      names[NameSpelling::folded(file->path().substr(slash + 1))].push_back(file->path());
    }
    found = folders_.emplace(folder, std::move(names)).first;
  }
  const auto spellings = found->second.find(NameSpelling::folded(path.substr(slash + 1)));
  if (spellings == found->second.end()) return {};
  std::vector<std::string> others;
  for (const std::string& spelling : spellings->second) {
    if (spelling != path) others.push_back(spelling);
  }
  return others;
}

}  // namespace velbor
