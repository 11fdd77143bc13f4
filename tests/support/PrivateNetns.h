#pragma once

#include <string>

namespace velbor::test {

// A network namespace of its own with only the loopback up, made without a name: it goes
// away with the last descriptor or process in it. Needs root (valid() false otherwise).
class PrivateNetns {
 public:
  PrivateNetns();
  ~PrivateNetns();
  PrivateNetns(const PrivateNetns&) = delete;
  PrivateNetns& operator=(const PrivateNetns&) = delete;

  bool valid() const { return fd_ >= 0; }
  // For setns(CLONE_NEWNET).
  int fd() const { return fd_; }
  // Reads a file under /proc/sys/net or /proc/net as seen inside the namespace.
  std::string readProc(const std::string& path) const;

 private:
  int fd_ = -1;
};

}  // namespace velbor::test
