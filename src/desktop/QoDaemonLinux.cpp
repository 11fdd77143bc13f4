#include "desktop/QoDaemonLinux.h"

#include <memory>

#include "core/daemon/monitor/Monitor.h"
#include "core/state/DataSource.h"
#include "core/state/QoConfig.h"
#include "core/state/QoConfigDelegateLinux.h"
#include "logger/LoggerClient.h"
#include "logger/LoggerDaemonSetup.h"
#include "platform/OpenFileLimit.h"
#include "platform/UserDefaults.h"

namespace velbor {

QoDaemonLinux& QoDaemonLinux::sharedQoDaemonLinux() {
  // Never destroyed: jobs still running at exit use it.
  static QoDaemonLinux& instance = *new QoDaemonLinux();
  return instance;
}

void QoDaemonLinux::daemonInit() {
  raiseOpenFileLimit();
  // The user interface shows tool tips after this pause.
  UserDefaults::standardUserDefaults()->setInteger(kInitialToolTipDelayKey, kInitialToolTipDelayMs);
  DataSource::sharedDataSource().dbCheck();
  QoConfig& config = QoConfig::sharedQoConfig();
  config.setConfigDelegate(std::make_shared<QoConfigDelegateLinux>());
  config.configInit();
  loggerInit(config.debugLoggerBonjourAddress());
  QoDaemon::daemonInit();
}

void QoDaemonLinux::start() {
  if (isStarted()) return;
  Monitor::sharedMonitor()->start();
  try {
    QoDaemon::start();
  } catch (...) {
    Monitor::resetSharedMonitor();
    throw;
  }
}

void QoDaemonLinux::stop() {
  if (!isStarted()) return;
  QoDaemon::stop();
  Monitor::resetSharedMonitor();
  LoggerStop(nullptr);
}

}  // namespace velbor
