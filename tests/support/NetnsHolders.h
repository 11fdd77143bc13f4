#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace velbor::test {

// What keeps a network namespace alive: every process or thread inside it and every open
// descriptor of it, found through /proc. An unnamed namespace with none left is gone.
class NetnsHolders {
 public:
  // The namespace's identity (its inode on nsfs), -1 when `netnsFd` is not one.
  static ino_t identify(int netnsFd);
  // One line per holder ("pid 12 task 14 (name) is inside", "pid 12 (name) fd 5 refers to it").
  static std::vector<std::string> find(ino_t netns);
};

}  // namespace velbor::test
