#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace velbor {

// Which file systems keep the permission bits given to their files. exFAT and NTFS through
// FUSE (and FAT, and SMB shares without their Unix extensions) show every item with one fixed
// mode, 0777 mostly, and ignore chmod: bits read there say nothing of the file, and recorded
// as a change they would reach, and be applied on, devices whose file systems keep them.
//
// Learned per device number: by a probe (a temporary file of our own in a copy's root, given
// two modes in turn) and by every install that finds its chmod ignored. Knowledge expires, so
// that another disk mounted later under the same device number is probed again. A device not
// known is taken to keep modes, as nearly every Linux file system does.
class ModeKeeping {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr std::chrono::minutes kLifetime{10};

  static ModeKeeping& shared();

  // Probes the file system of the folder `root` unless its answer is known and fresh.
  void learnAt(const std::string& root, Clock::time_point now = Clock::now());
  // An install gave a file `mode` and the file system shows `shown`.
  void noteInstalled(dev_t device, mode_t mode, mode_t shown, Clock::time_point now = Clock::now());
  bool keepsModes(dev_t device, Clock::time_point now = Clock::now());
  void clear();

  // The mode recorded for an item whose file system keeps none: what a peer takes when a
  // record names none (0644 for a file, 0755 for a folder).
  static int32_t defaultMode(bool folder) { return folder ? 0755 : 0644; }

 private:
  struct Known {
    bool keeps = true;
    Clock::time_point learned;
  };

  // Whether the folder's file system kept two modes given in turn to a file of ours; nothing
  // known when no such file can be made there (a folder not writable, a disk full).
  static std::optional<bool> probe(const std::string& root, dev_t& device);

  std::mutex mutex_;
  std::map<dev_t, Known> known_;
};

}  // namespace velbor
