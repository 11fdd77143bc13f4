#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QApplication>
#include <QString>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "desktop/QoDaemonLinux.h"
#include "desktop/SignalWaiter.h"
#include "framework/persistence/SQLiteInstanceManager.h"
#include "platform/AppPaths.h"
#include "platform/MallocArenas.h"
#include "platform/QoLog.h"
#include "ui/AppDelegate.h"
#include "ui/MainWindow.h"
#include "ui/QtTranslation.h"
#include "ui/SingleInstance.h"
#include "ui/TerminationNotifier.h"

namespace {

// How long a relaunched instance waits for the one it replaces (which stops its engine first).
constexpr int kRelaunchWaitMs = 30000;

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// A local X display (":N" or ":N.S") answers on its socket; any other kind of display is
// left to Qt to reach.
bool localDisplayAnswers(const std::string& display) {
  if (display.empty() || display[0] != ':') return true;
  const std::string number = display.substr(1, display.find('.') - 1);
  const std::string path = "/tmp/.X11-unix/X" + number;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  const bool answered = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return answered;
}

// Qt aborts without a display; say it in one line instead.
bool haveDisplay() {
  if (!environment("QT_QPA_PLATFORM").empty() || !environment("WAYLAND_DISPLAY").empty()) return true;
  const std::string display = environment("DISPLAY");
  return !display.empty() && localDisplayAnswers(display);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace velbor;
  std::signal(SIGPIPE, SIG_IGN);
  // Before any thread starts: termination requests arrive through the main loop only.
  limitMallocArenas();
  SignalWaiter::blockTerminationSignals();
  if (!haveDisplay()) {
    std::fprintf(stderr, "Velbor: no display to show its windows on (DISPLAY is unset or does not answer)\n");
    return 1;
  }

  QApplication app(argc, argv);
  QApplication::setApplicationName("Velbor");
  QApplication::setQuitOnLastWindowClosed(false);
  // Qt's own dialogs and buttons speak the program's language.
  QtTranslation::install();

  SingleInstance instance(QString::fromStdString(AppPaths::configDirectory().string()));
  // A relaunch from the settings starts before the old instance has ended: wait for it.
  const bool relaunched = argc > 1 && std::strcmp(argv[1], "--restart") == 0;
  if (relaunched && !instance.waitForPreviousToEnd(kRelaunchWaitMs)) QoLog("*** previous instance still running");
  if (instance.notifyRunning()) {
    QoLog("Velbor is running already: its window is brought forward");
    return 0;
  }

  QoDaemonLinux& daemon = QoDaemonLinux::sharedQoDaemonLinux();
  const bool debugPanel = argc > 1 && std::strcmp(argv[1], "-debug_panel") == 0;
  if (debugPanel) {
    QoLog("Debug panel enable, {}", argv[0]);
  } else {
    QoLog("Debug panel disenable");
  }
  daemon.setDebugPanelEnable(debugPanel);

  AppDelegate delegate;
  TerminationNotifier termination;
  QObject::connect(&termination, &TerminationNotifier::terminationRequested, &app, [](int signal) {
    QoLog("Termination requested ({})", strsignal(signal));
    QApplication::quit();
  });
  try {
    daemon.daemonInit();
    QoLog("Settings in ({}), database in ({})", AppPaths::configDirectory().string(),
          SQLiteInstanceManager::sharedManager()->databaseFilepath());
    delegate.awakeFromNib();
    if (!delegate.applicationDidFinishLaunching()) {
      QoLog("No device token given: exit");
      delegate.applicationWillTerminate();
      return 0;
    }
  } catch (const std::exception& e) {
    // A port in use or settings that cannot be stored: the engine cannot serve.
    QoLog("*** Daemon start failed, {}", e.what());
    delegate.applicationWillTerminate();
    return 1;
  }
  QObject::connect(&instance, &SingleInstance::reopenRequested, &delegate, [&delegate] { delegate.showWindow(); });
  QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate, &AppDelegate::applicationWillTerminate);
  return QApplication::exec();
}
