#include "support/ThreadHold.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

namespace velbor::test {
namespace {

// The handler's two pipes: it tells that it holds the thread, then waits for the release.
// Made at the first hold and kept for the process: a handler may still be reading one when
// a hold ends.
int entered[2] = {-1, -1};
int released[2] = {-1, -1};

void holdHere(int) {
  const int saved = errno;
  char byte = 1;
  while (::write(entered[1], &byte, 1) < 0 && errno == EINTR) {
  }
  while (::read(released[0], &byte, 1) < 0 && errno == EINTR) {
  }
  errno = saved;
}

int holdSignal() { return SIGRTMIN + 7; }

pid_t threadNamed(const std::string& name) {
  DIR* tasks = ::opendir("/proc/self/task");
  if (tasks == nullptr) return -1;
  pid_t found = -1;
  while (dirent* entry = ::readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
    std::string line;
    if (std::getline(comm, line) && line == name) {
      found = static_cast<pid_t>(std::atoi(entry->d_name));
      break;
    }
  }
  ::closedir(tasks);
  return found;
}

}  // namespace

ThreadHold::ThreadHold(const std::string& name) : tid_(threadNamed(name)) {}

ThreadHold::~ThreadHold() { release(); }

bool ThreadHold::hold() {
  if (tid_ <= 0 || held_) return false;
  if (entered[0] < 0 && (::pipe2(entered, O_CLOEXEC) != 0 || ::pipe2(released, O_CLOEXEC) != 0)) return false;
  struct sigaction action {};
  action.sa_handler = holdHere;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: the call the thread was in returns EINTR, as after any signal.
  action.sa_flags = 0;
  if (::sigaction(holdSignal(), &action, nullptr) != 0) return false;
  if (::syscall(SYS_tgkill, ::getpid(), tid_, holdSignal()) != 0) return false;
  pollfd item{entered[0], POLLIN, 0};
  if (::poll(&item, 1, 20000) != 1) return false;
  char byte = 0;
  if (::read(entered[0], &byte, 1) != 1) return false;
  held_ = true;
  return true;
}

void ThreadHold::release() {
  if (!held_) return;
  held_ = false;
  char byte = 1;
  while (::write(released[1], &byte, 1) < 0 && errno == EINTR) {
  }
}

}  // namespace velbor::test
