#include <csignal>
#include <cstring>
#include <exception>
#include <string>

#include "desktop/QoDaemonLinux.h"
#include "desktop/SignalWaiter.h"
#include "framework/persistence/SQLiteInstanceManager.h"
#include "platform/AppPaths.h"
#include "platform/QoLog.h"

int main(int argc, char** argv) {
  using namespace velbor;
  std::signal(SIGPIPE, SIG_IGN);
  // Before any thread starts, so that only the wait below receives them.
  SignalWaiter::blockTerminationSignals();

  QoDaemonLinux& daemon = QoDaemonLinux::sharedQoDaemonLinux();
  const bool debugPanel = argc > 1 && std::strcmp(argv[1], "-debug_panel") == 0;
  if (debugPanel) {
    QoLog("Debug panel enable, {}", argv[0]);
  } else {
    QoLog("Debug panel disenable");
  }
  daemon.setDebugPanelEnable(debugPanel);

  try {
    daemon.daemonInit();
    QoLog("Settings in ({}), database in ({})", AppPaths::configDirectory().string(),
          SQLiteInstanceManager::sharedManager()->databaseFilepath());
    daemon.start();
  } catch (const std::exception& e) {
    // A port in use or settings that cannot be stored: the daemon cannot serve.
    QoLog("*** Daemon start failed, {}", e.what());
    daemon.stop();
    return 1;
  }

  const int signal = SignalWaiter::waitForTerminationSignal();
  QoLog("exit!!! ({})", strsignal(signal));
  daemon.stop();
  return 0;
}
