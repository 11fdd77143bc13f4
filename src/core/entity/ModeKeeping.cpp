#include "core/entity/ModeKeeping.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/entity/TmpFileName.h"
#include "platform/QoLog.h"

namespace velbor {

ModeKeeping& ModeKeeping::shared() {
  // Never destroyed: pulls and the monitor still running at exit ask it.
  static auto* instance = new ModeKeeping();
  return *instance;
}

void ModeKeeping::learnAt(const std::string& root, Clock::time_point now) {
  struct stat folder {};
  if (::stat(root.c_str(), &folder) != 0) return;
  {
    std::lock_guard lock(mutex_);
    const auto found = known_.find(folder.st_dev);
    if (found != known_.end() && now - found->second.learned < kLifetime) return;
  }
  dev_t device = folder.st_dev;
  const std::optional<bool> keeps = probe(root, device);
  if (!keeps) return;
  std::lock_guard lock(mutex_);
  const auto found = known_.find(device);
  if (found != known_.end() && found->second.keeps != *keeps) {
    QoLog("File system of ({}) {} permissions now", root, *keeps ? "keeps" : "does not keep");
  } else if (found == known_.end() && !*keeps) {
    QoLog("File system of ({}) does not keep permissions, they are not read from it", root);
  }
  known_[device] = Known{*keeps, now};
}

void ModeKeeping::noteInstalled(dev_t device, mode_t mode, mode_t shown, Clock::time_point now) {
  // Bits shown as given prove nothing: 0777 given on a disk that shows 0777 for every file.
  if ((mode & 07777) == (shown & 07777)) return;
  std::lock_guard lock(mutex_);
  known_[device] = Known{false, now};
}

bool ModeKeeping::keepsModes(dev_t device, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  const auto found = known_.find(device);
  if (found == known_.end()) return true;
  if (now - found->second.learned >= kLifetime) {
    known_.erase(found);
    return true;
  }
  return found->second.keeps;
}

void ModeKeeping::clear() {
  std::lock_guard lock(mutex_);
  known_.clear();
}

std::optional<bool> ModeKeeping::probe(const std::string& root, dev_t& device) {
  // A temporary download's name: never recorded, and removed with its folder as ours.
  const TmpFileName name(root + "/.permissions");
  const int fd = ::open(name.path().c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return std::nullopt;
  std::optional<bool> keeps = true;
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
  ::unlink(name.path().c_str());
  return keeps;
}

}  // namespace velbor
