// Runs the daemon's initialisation as the program does, for the start-up tests:
//   daemon_start_probe
// Settings and database go under HOME. Once the initialisation is done it writes the log
// viewer's service name from the settings as one line to standard output (before the log
// client's capture, through a copy of the descriptor), then "start-up probe done" to standard
// error, and waits until its standard input closes.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "core/state/QoConfig.h"
#include "desktop/QoDaemonLinux.h"
#include "platform/AppPaths.h"

int main() {
  using namespace velbor;
  AppPaths::setApplicationName("Velbor");
  const int answers = ::dup(STDOUT_FILENO);
  QoDaemonLinux::sharedQoDaemonLinux().daemonInit();
  const std::string name = QoConfig::sharedQoConfig().debugLoggerBonjourAddress() + "\n";
  if (::write(answers, name.data(), name.size()) != static_cast<ssize_t>(name.size())) return 3;
  ::close(answers);
  std::fprintf(stderr, "start-up probe done\n");
  char byte;
  while (::read(STDIN_FILENO, &byte, 1) > 0) {
  }
  return 0;
}
