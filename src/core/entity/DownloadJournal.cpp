#include "core/entity/DownloadJournal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <utility>

#include <fmt/format.h>

#include "core/entity/TmpFileName.h"
#include "platform/QoLog.h"
#include "platform/WholeWrite.h"

namespace velbor {
namespace {

// Where the journal at `path` is written anew before it is moved into place.
std::string asideOf(const std::string& path) { return path + ".new"; }

int openForAppending(const std::string& path, bool empty) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (empty ? O_TRUNC : 0), 0600);
}

}  // namespace

DownloadJournal& DownloadJournal::shared() {
  // Never destroyed: a transfer on a worker still running at exit ends its entry later.
  static auto* journal = new DownloadJournal();
  return *journal;
}

void DownloadJournal::open(const std::string& path, const std::vector<std::string>& roots) {
  std::lock_guard lock(lock_);
  closeFile();
  inProgress_.clear();
  failing_ = false;
  const size_t removed = removeLeftovers(path, roots);
  // Written anew aside by a run killed before it moved it into place: the journal stands whole.
  ::unlink(asideOf(path).c_str());
  if (removed > 0) QoLog("Removed {} temporary downloads an earlier run left", removed);
  fd_ = openForAppending(path, true);
  if (fd_ < 0) {
    QoLog("*** Download journal({}) not kept, {}", path, std::strerror(errno));
    return;
  }
  path_ = path;
  written_ = 0;
  rewriteAt_ = kRewriteBytes;
}

void DownloadJournal::close() {
  std::lock_guard lock(lock_);
  closeFile();
  inProgress_.clear();
}

void DownloadJournal::closeFile() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  path_.clear();
}

uint64_t DownloadJournal::begun(const std::string& path, dev_t device, ino_t inode) {
  std::lock_guard lock(lock_);
  const uint64_t id = next_++;
  const Entry& entry = inProgress_.emplace(id, Entry{path, device, inode}).first->second;
  if (fd_ >= 0 && !append(beginLine(id, entry))) {
    inProgress_.erase(id);
    return 0;
  }
  return id;
}

bool DownloadJournal::madeHere(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
  std::lock_guard lock(lock_);
  return std::any_of(inProgress_.begin(), inProgress_.end(), [&status](const auto& entry) {
    return entry.second.device == status.st_dev && entry.second.inode == status.st_ino;
  });
}

bool DownloadJournal::failing() {
  std::lock_guard lock(lock_);
  return failing_;
}

void DownloadJournal::ended(uint64_t entry) {
  if (entry == 0) return;
  std::lock_guard lock(lock_);
  if (inProgress_.erase(entry) == 0 || fd_ < 0) return;
  if (inProgress_.empty()) {
    // Nothing in progress: nothing to remove after a kill.
    if (::ftruncate(fd_, 0) == 0) {
      written_ = 0;
      return;
    }
  }
  append(fmt::format("- {}\n", entry));
  if (written_ > rewriteAt_) rewrite();
}

std::string DownloadJournal::beginLine(uint64_t id, const Entry& entry) {
  return fmt::format("+ {} {} {} {}\n{}\n", id, static_cast<unsigned long long>(entry.device),
                     static_cast<unsigned long long>(entry.inode), entry.path.size(), entry.path);
}

bool DownloadJournal::append(const std::string& line) {
  if (writeWhole(fd_, line) != 0) {
    // Said once while it keeps failing (a full disk fails every write until there is room).
    if (!failing_) QoLog("*** Download journal({}) write failed, {}", path_, std::strerror(errno));
    failing_ = true;
    // Part of the line (a full disk) would run into the next one, which then could not be read.
    if (::ftruncate(fd_, static_cast<off_t>(written_)) != 0) {
      QoLog("*** Download journal({}) not cut back, {}", path_, std::strerror(errno));
    }
    return false;
  }
  if (failing_) QoLog("Download journal({}) written again", path_);
  failing_ = false;
  written_ += line.size();
  return true;
}

void DownloadJournal::rewrite() {
  // Written aside and moved into place: a kill meanwhile leaves the old journal whole.
  const std::string fresh = asideOf(path_);
  const int fd = openForAppending(fresh, true);
  std::string lines;
  for (const auto& [id, entry] : inProgress_) lines += beginLine(id, entry);
  if (fd < 0 || writeWhole(fd, lines) != 0 || ::rename(fresh.c_str(), path_.c_str()) != 0) {
    QoLog("*** Download journal({}) not written anew, {}", path_, std::strerror(errno));
    if (fd >= 0) ::close(fd);
    ::unlink(fresh.c_str());
    return;
  }
  ::close(fd_);
  fd_ = fd;
  written_ = lines.size();
  // Many downloads in progress at once: the next rewrite waits until the file doubled.
  rewriteAt_ = std::max(kRewriteBytes, 2 * written_);
}

size_t DownloadJournal::removeLeftovers(const std::string& path, const std::vector<std::string>& roots) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return 0;
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::map<uint64_t, Entry> left;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    if (end == std::string::npos) break;  // cut off by a kill
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    unsigned long long id = 0;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    unsigned long long length = 0;
    if (std::sscanf(line.c_str(), "- %llu", &id) == 1) {
      left.erase(id);
      continue;
    }
    if (std::sscanf(line.c_str(), "+ %llu %llu %llu %llu", &id, &device, &inode, &length) != 4) break;
    if (length > text.size() - at || text.size() - at - length < 1 || text[at + length] != '\n') break;
    left[id] = Entry{text.substr(at, length), static_cast<dev_t>(device), static_cast<ino_t>(inode)};
    at += length + 1;
  }
  size_t removed = 0;
  std::map<std::pair<dev_t, ino_t>, std::string> moved;
  std::set<std::string> rootsToWalk;
  for (const auto& [id, entry] : left) {
    if (!TmpFileName::isTemporaryName(std::filesystem::path(entry.path).filename().string())) continue;
    if (removeIfStill(entry.path, entry.device, entry.inode)) {
      ++removed;
      continue;
    }
    struct stat status {};
    // Another file under the name since (the user's own): not ours, and ours is not there.
    if (::lstat(entry.path.c_str(), &status) == 0 && status.st_dev == entry.device && status.st_ino == entry.inode) {
      continue;
    }
    // Its folder may have been moved while the device was down: looked for in its sync folder.
    for (const std::string& root : roots) {
      if (entry.path.size() > root.size() + 1 && entry.path.compare(0, root.size(), root) == 0 &&
          entry.path[root.size()] == '/') {
        moved.emplace(std::make_pair(entry.device, entry.inode), std::filesystem::path(entry.path).filename().string());
        rootsToWalk.insert(root);
      }
    }
  }
  for (const std::string& root : rootsToWalk) {
    if (moved.empty()) break;
    removed += removeMoved(root, moved);
  }
  return removed;
}

bool DownloadJournal::removeIfStill(const std::string& path, dev_t device, ino_t inode) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
  if (status.st_dev != device || status.st_ino != inode) return false;
  if (::unlink(path.c_str()) == 0) return true;
  QoLog("Delete tmp({}) failed, {}", path, std::strerror(errno));
  return false;
}

size_t DownloadJournal::removeMoved(const std::string& root, std::map<std::pair<dev_t, ino_t>, std::string>& wanted) {
  namespace fs = std::filesystem;
  std::set<dev_t> devices;
  for (const auto& [identity, name] : wanted) devices.insert(identity.first);
  size_t removed = 0;
  std::error_code error;
  // Links are never followed; a folder on another disk cannot hold what is looked for.
  fs::recursive_directory_iterator entry(root, fs::directory_options::skip_permission_denied, error);
  for (; !error && entry != fs::recursive_directory_iterator() && !wanted.empty(); entry.increment(error)) {
    struct stat status {};
    if (::lstat(entry->path().c_str(), &status) != 0) continue;
    if (S_ISDIR(status.st_mode)) {
      if (devices.count(status.st_dev) == 0) entry.disable_recursion_pending();
      continue;
    }
    if (!S_ISREG(status.st_mode)) continue;
    // A moved folder keeps the names in it: a file of another name that has the number of
    // one of ours got it when ours was gone (numbers are used again).
    const auto found = wanted.find({status.st_dev, status.st_ino});
    if (found == wanted.end() || found->second != entry->path().filename().string()) continue;
    wanted.erase(found);
    if (removeIfStill(entry->path().string(), status.st_dev, status.st_ino)) ++removed;
  }
  return removed;
}

}  // namespace velbor
