#include "platform/ThreadName.h"

#include <pthread.h>

namespace velbor {

namespace {
constexpr size_t kMaxNameBytes = 15;
}  // namespace

void nameThisThread(std::string_view name) {
  const std::string cut(name.substr(0, kMaxNameBytes));
  pthread_setname_np(pthread_self(), cut.c_str());
}

std::string thisThreadName() {
  char name[kMaxNameBytes + 1] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof name) != 0) return std::string();
  return name;
}

}  // namespace velbor
