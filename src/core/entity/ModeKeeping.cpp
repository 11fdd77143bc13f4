#include "core/entity/ModeKeeping.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "core/entity/TmpFileName.h"
#include "platform/QoLog.h"

namespace velbor {

ModeKeeping& ModeKeeping::shared() {
  // Never destroyed: pulls and the monitor still running at exit ask it.
  static auto* instance = new ModeKeeping();
  return *instance;
}

bool ModeKeeping::probedLately(dev_t device, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  const auto found = known_.find(device);
  return found != known_.end() && now - found->second.probed < kLifetime;
}

void ModeKeeping::learnAt(const std::string& folder, Clock::time_point now) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  struct stat status {};
  if (::fstat(fd, &status) == 0) learnIn(fd, folder, status.st_dev, now);
  ::close(fd);
}

void ModeKeeping::learnIn(int folderFd, const std::string& folder, dev_t device, Clock::time_point now) {
  if (probedLately(device, now)) return;
  std::lock_guard probing(probing_);
  // Probed by another thread meanwhile.
  if (probedLately(device, now)) return;
  dev_t probed = device;
  const std::optional<bool> keeps = probe(folderFd, folder, probed);
  std::lock_guard lock(mutex_);
  if (keeps) {
    const auto found = known_.find(probed);
    if (found != known_.end() && found->second.keeps && *found->second.keeps != *keeps) {
      QoLog("File system of ({}) {} permissions now", folder, *keeps ? "keeps" : "does not keep");
    } else if ((found == known_.end() || !found->second.keeps) && !*keeps) {
      QoLog("File system of ({}) does not keep permissions, they are not read from it", folder);
    }
    known_[probed] = Known{keeps, now};
  }
  // Not told (or told of another device): not probed again before its time, the last answer
  // standing meanwhile.
  if (!keeps || probed != device) known_[device].probed = now;
}

void ModeKeeping::noteInstalled(dev_t device, mode_t mode, mode_t shown, Clock::time_point now) {
  // Bits shown as given prove nothing: 0777 given on a disk that shows 0777 for every file.
  if ((mode & 07777) == (shown & 07777)) return;
  std::lock_guard lock(mutex_);
  known_[device] = Known{false, now};
}

bool ModeKeeping::keepsModes(dev_t device) {
  std::lock_guard lock(mutex_);
  const auto found = known_.find(device);
  return found == known_.end() || found->second.keeps.value_or(true);
}

void ModeKeeping::clear() {
  std::lock_guard lock(mutex_);
  known_.clear();
}

std::optional<bool> ModeKeeping::probe(int folderFd, const std::string& folder, dev_t& device) {
  struct stat before {};
  if (::fstat(folderFd, &before) != 0) return std::nullopt;
  // A temporary download's name: never recorded, and removed with its folder as ours.
  const TmpFileName held(folder + "/.permissions", true);
  const std::string name = std::filesystem::path(held.path()).filename().string();
  // One left by a run killed while it probed, or whose removal failed; no one else holds it.
  bool changed = ::unlinkat(folderFd, name.c_str(), 0) == 0;
  // A file with no name, where the file system can make one, leaves the folder untouched.
  int fd = ::openat(folderFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  const bool named = fd < 0;
  if (named) fd = ::openat(folderFd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  std::optional<bool> keeps;
  if (fd >= 0) {
    changed = changed || named;
    keeps = true;
    for (const mode_t mode : {0600, 0640}) {
      struct stat status {};
      if (::fchmod(fd, mode) != 0 || ::fstat(fd, &status) != 0) {
        keeps.reset();
        break;
      }
      device = status.st_dev;
      if ((status.st_mode & 07777) != mode) keeps = false;
    }
    ::close(fd);
    if (named && ::unlinkat(folderFd, name.c_str(), 0) != 0) {
      QoLog("*** Remove file({}) failed, {}", held.path(), std::strerror(errno));
    }
  }
  if (changed) {
    // The probe is no change of the folder: it gets back the times it had.
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ::futimens(folderFd, times);
  }
  return keeps;
}

}  // namespace velbor
