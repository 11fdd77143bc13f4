#include "core/daemon/sync/SpellingMerge.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "core/entity/CopyItemFolder.h"
#include "core/entity/FileTimes.h"
#include "core/entity/NameSpelling.h"
#include "core/entity/QoFile.h"
#include "core/entity/TmpFileName.h"
#include "core/utils/QoUtils.h"
#include "platform/QoLog.h"

namespace velbor {
namespace {

// Spellings of one path looked at, at most: two folders that differ in letter case only at
// each level are few.
constexpr size_t kMaxSpellings = 64;

// The names the folder `path` lists; nothing when it cannot be listed.
std::optional<std::vector<std::string>> namesIn(const std::string& path) {
  std::vector<std::string> names;
  std::error_code error;
  std::filesystem::directory_iterator entry(path, error);
  for (; !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) {
    names.push_back(entry->path().filename().string());
  }
  if (error) return std::nullopt;
  return names;
}

// The SHA-1 text of the regular file `name` of `folder`.
std::optional<std::string> sha1Of(const CopyItemFolder& folder, const std::string& name) {
  const int fd = folder.openFileForReading(name);
  auto sha1 = QoUtils::getSha1StringWithInputStream(fd);
  ::close(fd);
  return sha1;
}

// Whether a download under way stands anywhere below the folder `path`.
bool holdsDownload(const std::string& root, const std::string& path) {
  const auto below = CopyItemFolder::listTree(root, path);
  return std::any_of(below.begin(), below.end(), [](const std::string& item) {
    return TmpFileName::isTemporaryName(item.substr(item.rfind('/') + 1));
  });
}

}  // namespace

bool SpellingMerge::merge(const std::string& root, const std::string& from, const std::string& into) {
  const auto names = namesIn(from);
  if (!names) {
    QoLog("*** Folder({}) cannot be listed, not merged into ({})", from, into);
    return false;
  }
  bool emptied = true;
  for (const std::string& name : *names) {
    // A download under way stays, and its folder with it.
    if (TmpFileName::isTemporaryName(name)) {
      emptied = false;
      continue;
    }
    try {
      emptied = mergeItem(root, from, into, name) && emptied;
    } catch (const std::exception& e) {
      QoLog("*** ({}) stays under the old spelling, {}", from + "/" + name, e.what());
      emptied = false;
    }
  }
  return emptied;
}

bool SpellingMerge::mergeItem(const std::string& root, const std::string& from, const std::string& into,
                              const std::string& name) {
  const std::string path = from + "/" + name;
  const std::string target = into + "/" + name;
  const CopyItemFolder source(root, path);
  const auto item = source.status(name);
  if (!item) return true;
  const CopyItemFolder destination(root, target);
  const auto there = destination.status(name);
  if (!there && !(S_ISDIR(item->st_mode) && holdsDownload(root, path))) {
    source.moveNoReplace(name, destination, name);
    QoLog("({}) follows its folder's new spelling ({})", path, into);
    return true;
  }
  if (!there) {
    // A download under way below stays where it was made, for its transfer to find and remove:
    // the folder is made anew there and merged item by item.
    destination.makeDirectory(name, static_cast<int32_t>(item->st_mode & 07777), modificationMilliseconds(*item));
    return merge(root, path, target) && removeIfEmpty(root, path);
  }
  if (S_ISDIR(item->st_mode) && S_ISDIR(there->st_mode)) return merge(root, path, target) && removeIfEmpty(root, path);
  if (S_ISREG(item->st_mode) && S_ISREG(there->st_mode) && item->st_size == there->st_size) {
    const auto sha1 = sha1Of(destination, name);
    // Left only while it still holds what was compared.
    if (const auto checked = sha1 ? source.checkedFile(name, *sha1) : std::nullopt) {
      const CopyItemFolder::Judged judged{{path, *checked}};
      source.removeItemKeeping(name, nullptr, &judged);
      QoLog("({}) left, its content stands in its folder's new spelling ({})", path, into);
      return true;
    }
  }
  // The name is taken there by another content or another kind of item: it comes in beside.
  const std::string copy = QoFile::conflictPathOf(target);
  const CopyItemFolder conflict(root, copy);
  source.moveNoReplace(name, conflict, conflict.name());
  QoLog("({}) follows its folder's new spelling as ({})", path, copy);
  return true;
}

std::optional<std::pair<std::string, std::string>> SpellingMerge::clashOnTheWay(const std::string& root,
                                                                                std::string path) {
  while (path.size() > root.size()) {
    try {
      const CopyItemFolder folder(root, path);
      const auto other = folder.otherSpelling(folder.name());
      if (!other) return std::nullopt;
      return std::make_pair(path, *other);
    } catch (const std::exception&) {
      // Its folder is not there as spelled: the clash, if any, is above.
    }
    path.erase(path.rfind('/'));
  }
  return std::nullopt;
}

bool SpellingMerge::removeIfEmpty(const std::string& root, const std::string& path) {
  const CopyItemFolder folder(root, path);
  // Whatever came in meanwhile stays, and so does the folder.
  return folder.removeItemKeeping(folder.name(), [](const std::string&, const std::string&) { return true; });
}

std::optional<std::string> SpellingMerge::respellingOf(const std::string& root, const std::string& path,
                                                       Rename rename) {
  if (path.size() <= root.size() + 1 || path.compare(0, root.size(), root) != 0 || path[root.size()] != '/') {
    return std::nullopt;
  }
  std::vector<std::string> spellings{root};
  for (size_t start = root.size() + 1; start <= path.size() && !spellings.empty();) {
    const size_t end = std::min(path.find('/', start), path.size());
    const std::string name = path.substr(start, end - start);
    std::vector<std::string> next;
    for (const std::string& folder : spellings) {
      for (const std::string& other : namesIn(folder).value_or(std::vector<std::string>())) {
        struct stat status {};
        const std::string item = folder + "/" + other;
        if (next.size() < kMaxSpellings && NameSpelling::sameFolded(other, name) && lstat(item.c_str(), &status) == 0 &&
            S_ISDIR(status.st_mode)) {
          next.push_back(item);
        }
      }
    }
    spellings = std::move(next);
    start = end + 1;
  }
  for (const std::string& spelling : spellings) {
    if (spelling == path) continue;
    const auto stored = QoFile::getFileWithPath(spelling);
    const bool recordedPresent = stored && stored->status() == 0;
    if (rename == Rename::kRecorded ? !recordedPresent || stored->type() != 1 : recordedPresent) continue;
    struct stat status {};
    if (NameSpelling::lstatAsSpelled(root, spelling, status) == 0 && S_ISDIR(status.st_mode)) {
      return spelling;
    }
  }
  return std::nullopt;
}

}  // namespace velbor
