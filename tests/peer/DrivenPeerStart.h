#pragma once

#include <unistd.h>

#include <csignal>

#include "desktop/SignalWaiter.h"
#include "platform/AppPaths.h"
#include "platform/MallocArenas.h"

namespace velbor::test {

// The start every peer process driven on standard input shares; gives the descriptor its
// answers go to. Whatever else writes to standard output (the log client's capture
// included) lands on standard error.
inline int startDrivenPeer() {
  std::signal(SIGPIPE, SIG_IGN);
  limitMallocArenas();
  SignalWaiter::blockTerminationSignals();
  const int answers = ::dup(STDOUT_FILENO);
  ::dup2(STDERR_FILENO, STDOUT_FILENO);
  // Settings and database where the program keeps them.
  AppPaths::setApplicationName("Velbor");
  return answers;
}

}  // namespace velbor::test
