#pragma once

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/TempDir.h"

namespace velbor::test {

// A small exFAT or NTFS image as on a USB stick, mounted over `folder` through the FUSE
// driver Debian ships (exfat-fuse, ntfs-3g) while in scope: every item shows mode 0777 and
// chmod is ignored, names cannot be exchanged, and exFAT keeps whole seconds only. Needs root,
// /dev/fuse, a loop device and the drivers; `reason()` tells why it is not mounted.
class FuseDisk {
 public:
  enum class Kind { Exfat, Ntfs };

  FuseDisk(Kind kind, std::string folder) : folder_(std::move(folder)) {
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
      reason_ = "no /dev/fuse here";
      return;
    }
    const std::string image = (images_.path() / "image").string();
    const std::string make = kind == Kind::Exfat ? "mkfs.exfat '" + image + "'" : "mkfs.ntfs -F -Q '" + image + "'";
    if (!run("truncate -s 32M '" + image + "' && " + make + " >/dev/null 2>&1")) {
      reason_ = kind == Kind::Exfat ? "mkfs.exfat is missing (exfatprogs)" : "mkfs.ntfs is missing (ntfs-3g)";
      return;
    }
    loop_ = output("losetup -f --show '" + image + "' 2>/dev/null");
    if (loop_.empty()) {
      reason_ = "no loop device can be had here (needs root and /dev/loop*)";
      return;
    }
    const std::string driver = kind == Kind::Exfat ? "mount.exfat-fuse" : "ntfs-3g";
    // Over a folder that may already hold entries (a copy's mark): ntfs-3g mounts there by
    // itself, exfat-fuse only when told.
    const std::string options = kind == Kind::Exfat ? " -o nonempty" : "";
    if (!run(driver + options + " '" + loop_ + "' '" + folder_ + "' >/dev/null 2>&1")) {
      reason_ = driver + " is missing or cannot mount here";
      return;
    }
    mounted_ = true;
  }
  ~FuseDisk() {
    if (mounted_ && ::umount2(folder_.c_str(), 0) != 0) ::umount2(folder_.c_str(), MNT_DETACH);
    if (!loop_.empty()) run("losetup -d '" + loop_ + "' >/dev/null 2>&1");
  }
  FuseDisk(const FuseDisk&) = delete;
  FuseDisk& operator=(const FuseDisk&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& reason() const { return reason_; }

 private:
  static bool run(const std::string& command) { return std::system(command.c_str()) == 0; }
  static std::string output(const std::string& command) {
    std::string text;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
      std::array<char, 256> buffer{};
      while (std::fgets(buffer.data(), buffer.size(), pipe) != nullptr) text += buffer.data();
      ::pclose(pipe);
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
  }

  std::string folder_;
  TempDir images_;
  std::string loop_;
  bool mounted_ = false;
  std::string reason_;
};

}  // namespace velbor::test
