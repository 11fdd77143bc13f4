#include "core/entity/RescanWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>

#include "core/entity/CopyEvents.h"
#include "core/entity/FileTimes.h"
#include "core/entity/NameSpelling.h"
#include "core/entity/QoFile.h"
#include "core/utils/QoUtils.h"
#include "framework/persistence/WriteTransaction.h"
#include "platform/QoLog.h"

namespace velbor {
namespace {

// A chunk holds the locker for at most this many records or this long, whichever ends first.
constexpr size_t kChunkRecords = 200;
constexpr std::chrono::milliseconds kChunkBudget{100};

bool isFileOrFolder(const struct stat& status) { return S_ISREG(status.st_mode) || S_ISDIR(status.st_mode); }

// The record's fields as initWithPath reads them.
void fill(QoFile& file, const struct stat& status) {
  const bool folder = S_ISDIR(status.st_mode);
  file.setType(folder ? 1 : 0);
  file.setLength(folder ? 0 : static_cast<int64_t>(status.st_size));
  file.setContentModTime(modificationMilliseconds(status));
  // Where the disk keeps no permission bits, the record keeps the ones it was given.
  if (const auto mode = QoFile::modeOnDisk(file.path(), status)) file.setUnixAttr(*mode);
}

}  // namespace

bool RescanWriter::deleteFiles(const FileList& files) { return write(Kind::Delete, files); }
bool RescanWriter::insertFiles(const FileList& files) { return write(Kind::Insert, files); }
bool RescanWriter::updateFiles(const FileList& files) { return write(Kind::Update, files); }

bool RescanWriter::write(Kind kind, const FileList& files) {
  bool written = false;
  FileList pending = files;
  // A second round hashes again what changed during the first.
  for (int round = 0; round < 2 && !pending.empty(); ++round) {
    FileList changed;
    for (size_t begin = 0; begin < pending.size() && !stop_.stop_requested(); begin += kChunkRecords) {
      std::vector<Prepared> items;
      for (size_t i = begin; i < std::min(begin + kChunkRecords, pending.size()) && !stop_.stop_requested(); ++i) {
        Prepared item{pending[i]};
        bool changing = false;
        if (prepare(kind, item, changing)) {
          items.push_back(std::move(item));
        } else if (changing) {
          changed.push_back(pending[i]);
        }
      }
      for (size_t next = 0; next < items.size();) next = commitChunk(kind, items, next, changed, written);
    }
    pending.swap(changed);
  }
  if (stop_.stop_requested()) {
    QoLog("Syncdir Copy({}) rescan stopped, the rest is compared at its next rescan", copy_->path());
    return written;
  }
  for (const auto& file : pending) {
    QoLog("* File({}) changed while it was read, left for its next change.", file->path());
  }
  return written;
}

bool RescanWriter::prepare(Kind kind, Prepared& item, bool& changing) {
  changing = false;
  if (kind == Kind::Delete) return true;
  QoFile& file = *item.file;
  const int fd = ::open(file.path().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    // Present but unreadable: recorded without a digest, as long as it stays as it is now.
    if (::lstat(file.path().c_str(), &item.status) != 0 || !isFileOrFolder(item.status)) return false;
    fill(file, item.status);
    if (S_ISREG(item.status.st_mode)) file.setSha1("");
    return true;
  }
  struct stat before {};
  bool usable = ::fstat(fd, &before) == 0 && isFileOrFolder(before);
  if (usable && S_ISREG(before.st_mode)) {
    const std::optional<std::string> sha1 = QoUtils::getSha1StringWithInputStream(fd, stop_);
    struct stat after {};
    if (stop_.stop_requested()) {
      // Not read to its end: nothing is recorded of it.
      usable = false;
    } else if (::fstat(fd, &after) != 0 || !unchangedSince(before, after)) {
      changing = true;
      usable = false;
    }
    file.setSha1(sha1.value_or(""));
  }
  ::close(fd);
  if (!usable) return false;
  item.status = before;
  fill(file, before);
  return true;
}

size_t RescanWriter::commitChunk(Kind kind, std::vector<Prepared>& items, size_t next, FileList& changed,
                                 bool& written) {
  size_t current = next;
  try {
    FileList changedHere;
    bool recorded = false;
    WriteTransaction transaction;
    const auto began = std::chrono::steady_clock::now();
    while (current < items.size() && current - next < kChunkRecords &&
           (current == next || std::chrono::steady_clock::now() - began < kChunkBudget)) {
      const Outcome outcome = record(kind, items[current]);
      recorded = recorded || outcome == Outcome::Recorded;
      if (outcome == Outcome::Changed) changedHere.push_back(items[current].file);
      ++current;
    }
    transaction.commit();
    written = written || recorded;
    changed.insert(changed.end(), changedHere.begin(), changedHere.end());
    return current;
  } catch (const std::exception& e) {
    // Rolled back; the records of this chunk are found again by the next rescan.
    failed_ = true;
    switch (kind) {
      case Kind::Delete:
        QoLog("*** delete files part failed, {}", e.what());
        break;
      case Kind::Insert:
        QoLog("*** insert files part failed, {}", e.what());
        break;
      case Kind::Update:
        QoLog("{}", e.what());
        break;
    }
    return std::min(current + 1, items.size());
  }
}

bool RescanWriter::mayStandOnDisk(const std::string& root, const std::string& path) {
  struct stat status {};
  for (size_t slash = path.find('/', root.size() + 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    if (::lstat(path.substr(0, slash).c_str(), &status) != 0) return errno != ENOENT && errno != ENOTDIR;
    if (!S_ISDIR(status.st_mode)) return false;
  }
  // A name listed only in another spelling (a disk that ignores letter case) is not there.
  if (NameSpelling::lstatAsSpelled(root, path, status) != 0) return errno != ENOENT && errno != ENOTDIR;
  return S_ISREG(status.st_mode) || S_ISDIR(status.st_mode);
}

RescanWriter::Outcome RescanWriter::record(Kind kind, Prepared& item) {
  QoFile& file = *item.file;
  if (kind == Kind::Delete) {
    // An item installed again since the listing (a fetched change) is not removed.
    if (mayStandOnDisk(copy_->path(), file.path())) return Outcome::Skipped;
    QoLog("toDelete {}", file.path());
    file.deleteRelation();
  } else {
    struct stat now {};
    if (::lstat(file.path().c_str(), &now) != 0) return Outcome::Skipped;
    if (S_ISDIR(now.st_mode) && S_ISDIR(item.status.st_mode)) {
      fill(file, now);
    } else if (!unchangedSince(item.status, now)) {
      return Outcome::Changed;
    }
    if (kind == Kind::Insert) {
      QoLog("toInsert {}", file.path());
      file.insertRelationUpdateSha1(false);
    } else {
      QoLog("toUpdate {}", file.path());
      file.updateRelationUpdateSha1(false);
    }
  }
  CopyEvents::installed()->indexing(copy_, file.path());
  return Outcome::Recorded;
}

}  // namespace velbor
