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
// Learned per device number: by a probe (a temporary file of our own in a folder of that
// device, given two modes in turn) and by every install that finds its chmod ignored. A
// probe leaves the folder as it found it: no entry of its own stays, and the folder gets its
// times back. Knowledge goes stale, so that another disk mounted later under the same device
// number is probed again; until a new probe tells, the last answer stands. A device never
// told is taken to keep modes, as nearly every Linux file system does.
class ModeKeeping {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr std::chrono::minutes kLifetime{10};

  static ModeKeeping& shared();

  // Whether a probe of `device` was made lately (whether it could tell or not): none is due.
  bool probedLately(dev_t device, Clock::time_point now = Clock::now());
  // Probes the file system of the folder `folder` unless it was probed lately.
  void learnAt(const std::string& folder, Clock::time_point now = Clock::now());
  // Probes the file system of `device` in the open folder `folderFd` (named `folder`), unless
  // it was probed lately. A folder of another device tells of that device only.
  void learnIn(int folderFd, const std::string& folder, dev_t device, Clock::time_point now = Clock::now());
  // An install gave a file `mode` and the file system shows `shown`.
  void noteInstalled(dev_t device, mode_t mode, mode_t shown, Clock::time_point now = Clock::now());
  bool keepsModes(dev_t device);
  void clear();

  // The mode recorded for an item whose file system keeps none: what a peer takes when a
  // record names none (0644 for a file, 0755 for a folder).
  static int32_t defaultMode(bool folder) { return folder ? 0755 : 0644; }

 private:
  struct Known {
    std::optional<bool> keeps;  // nothing while no probe could tell
    Clock::time_point probed;
  };

  // Whether the folder's file system kept two modes given in turn to a file of ours; nothing
  // known when no such file can be made there (a folder not writable, a disk full).
  static std::optional<bool> probe(int folderFd, const std::string& folder, dev_t& device);

  // One probe at a time: two in one folder would each give it back the times the other had
  // changed.
  std::mutex probing_;
  std::mutex mutex_;
  std::map<dev_t, Known> known_;
};

}  // namespace velbor
