#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace velbor {

// The temporary downloads in progress, kept in a small file beside the database, so that a
// run that was killed leaves none of them behind: at the next start each one still standing
// is removed. A file is taken as ours only by its device and inode, so a file the user has
// made under that name since is never touched.
//
// The file holds one line per download begun ("+ id device inode length", then the path on
// a line of its own) and per download over ("- id"); it is emptied whenever no download is
// in progress, and written anew from what is when it grows large. A kill in the middle of a
// line leaves a last line that is not read. Without open() nothing is kept.
class DownloadJournal {
 public:
  static DownloadJournal& shared();

  void open(const std::string& path) { open(path, {}); }
  // Stops keeping (the journal's file stays as it is).
  void close();

  // Removes the downloads a run before left in the journal at `path`, also those whose
  // folder was moved within one of the sync folders `roots` meanwhile, then keeps this run's
  // there. Failures are logged: the journal then keeps nothing.
  void open(const std::string& path, const std::vector<std::string>& roots);

  // A temporary download was made at `path`: its entry; 0 when the journal file could not
  // take it (the download must not go on: a kill would leave it behind unknown).
  uint64_t begun(const std::string& path, dev_t device, ino_t inode);
  // The download is over (installed or removed).
  void ended(uint64_t entry);
  // Whether the file at `path` is a download of this run still under way (or left by it).
  bool madeHere(const std::string& path);
  // Whether the last write of the journal file failed.
  bool failing();

  // Removes every temporary download that the journal file at `path` names and that still
  // stands there, or below one of `roots` (its folder moved), as the file it names; answers
  // how many went. A root is walked only for downloads not found at their path, at most once.
  static size_t removeLeftovers(const std::string& path, const std::vector<std::string>& roots = {});

  // Beyond this many bytes the file is written anew from the downloads in progress.
  static constexpr size_t kRewriteBytes = size_t{1} << 20;

 private:
  struct Entry {
    std::string path;
    dev_t device;
    ino_t inode;
  };
  static std::string beginLine(uint64_t id, const Entry& entry);
  // Removes the regular file at `path` when it is the file `device` and `inode` name.
  static bool removeIfStill(const std::string& path, dev_t device, ino_t inode);
  // Removes the downloads of `wanted` (identity, name) found below `root` under their own
  // names, taking them out of it.
  static size_t removeMoved(const std::string& root, std::map<std::pair<dev_t, ino_t>, std::string>& wanted);
  bool append(const std::string& line);
  void rewrite();
  void closeFile();

  std::mutex lock_;
  std::string path_;
  int fd_ = -1;
  size_t written_ = 0;
  size_t rewriteAt_ = kRewriteBytes;
  uint64_t next_ = 1;
  bool failing_ = false;
  std::map<uint64_t, Entry> inProgress_;
};

}  // namespace velbor
