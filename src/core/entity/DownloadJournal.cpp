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

void DownloadJournal::open(const std::string& path) {
  std::lock_guard lock(lock_);
  closeFile();
  inProgress_.clear();
  const size_t removed = removeLeftovers(path);
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
  if (fd_ < 0) return 0;
  const uint64_t id = next_++;
  const Entry& entry = inProgress_.emplace(id, Entry{path, device, inode}).first->second;
  append(beginLine(id, entry));
  return id;
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

void DownloadJournal::append(const std::string& line) {
  if (writeWhole(fd_, line) != 0) {
    QoLog("*** Download journal({}) write failed, {}", path_, std::strerror(errno));
    // Part of the line (a full disk) would run into the next one, which then could not be read.
    if (::ftruncate(fd_, static_cast<off_t>(written_)) != 0) {
      QoLog("*** Download journal({}) not cut back, {}", path_, std::strerror(errno));
    }
    return;
  }
  written_ += line.size();
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

size_t DownloadJournal::removeLeftovers(const std::string& path) {
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
  for (const auto& [id, entry] : left) {
    struct stat status {};
    if (!TmpFileName::isTemporaryName(std::filesystem::path(entry.path).filename().string())) continue;
    if (::lstat(entry.path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
    // Another file under the name since (the user's own): not ours.
    if (status.st_dev != entry.device || status.st_ino != entry.inode) continue;
    if (::unlink(entry.path.c_str()) == 0) {
      ++removed;
    } else {
      QoLog("Delete tmp({}) failed, {}", entry.path, std::strerror(errno));
    }
  }
  return removed;
}

}  // namespace velbor
