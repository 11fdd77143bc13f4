#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>

namespace velbor {

// Makes a complete temporary download durable away from the pull's thread: run() gives the
// file the record's permissions and modification time, checks its SHA-1 and flushes it, all
// on a descriptor of its own. The install can then skip its own flush, but only while the
// file is provably the same and unchanged (synced(): same inode, mode, size and times; the
// descriptor, held open until this goes, keeps the inode from being reused meanwhile).
class DownloadSync {
 public:
  // Takes `fd`, a descriptor of the complete temporary file; the record's SHA-1 text,
  // permissions and modification time (ms).
  DownloadSync(int fd, std::string sha1, int32_t permissions, int64_t mtime);
  ~DownloadSync();
  DownloadSync(const DownloadSync&) = delete;
  DownloadSync& operator=(const DownloadSync&) = delete;

  // On a worker thread, once; touches nothing but its descriptor.
  void run();

  // The errno of a failed step (the file must then not be installed); 0 when none failed.
  int error() const { return error_; }
  // The file's status when its content was found to match the SHA-1, as a CopyItemFolder
  // `checked` status; nothing when it did not match or changed while read.
  const std::optional<struct stat>& checked() const { return checked_; }
  // The file's status once flushed with its permissions and time; nothing when not flushed
  // or when it changed meanwhile.
  const std::optional<struct stat>& synced() const { return synced_; }

 private:
  int fd_;
  std::string sha1_;
  int32_t permissions_;
  int64_t mtime_;
  int error_ = 0;
  std::optional<struct stat> checked_;
  std::optional<struct stat> synced_;
};

}  // namespace velbor
