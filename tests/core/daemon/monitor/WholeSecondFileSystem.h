#pragma once

#include <sys/mount.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "support/TempDir.h"

namespace velbor::test {

// A small ext4 with 128-byte inodes, which keep no fraction of a second, loop-mounted over
// `folder` while in scope (root, with loop devices and mkfs.ext4). `reason()` tells why not.
class WholeSecondFileSystem {
 public:
  explicit WholeSecondFileSystem(std::string folder) : folder_(std::move(folder)) {
    const std::string image = (images_.path() / "image").string();
    const std::string make =
        "truncate -s 16M '" + image + "' && mkfs.ext4 -q -F -I 128 '" + image + "' >/dev/null 2>&1";
    if (std::system(make.c_str()) != 0) {
      reason_ = "mkfs.ext4 is missing or failed";
      return;
    }
    if (std::system(("mount -o loop '" + image + "' '" + folder_ + "' >/dev/null 2>&1").c_str()) != 0) {
      reason_ = "no loop device can be mounted here (needs root and /dev/loop*)";
      return;
    }
    mounted_ = true;
    std::filesystem::remove_all(folder_ + "/lost+found");
  }
  ~WholeSecondFileSystem() {
    if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
  }
  WholeSecondFileSystem(const WholeSecondFileSystem&) = delete;
  WholeSecondFileSystem& operator=(const WholeSecondFileSystem&) = delete;

  // Sleeps until a tenth of a second into the next second of the wall clock.
  static void waitForTheStartOfASecond() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto intoSecond = now - std::chrono::duration_cast<std::chrono::seconds>(now);
    std::this_thread::sleep_for(std::chrono::seconds(1) - intoSecond + std::chrono::milliseconds(100));
  }

  bool mounted() const { return mounted_; }
  const std::string& reason() const { return reason_; }

 private:
  std::string folder_;
  TempDir images_;
  bool mounted_ = false;
  std::string reason_;
};

}  // namespace velbor::test
