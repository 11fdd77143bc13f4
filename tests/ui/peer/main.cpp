// velbor_ui_peer: the application with its windows (status-bar item, main window) on a real
// display, driven on standard input one command a line, each answered by one JSON line on
// standard output (see UiDriver). Everything else the process prints goes to standard error.
//
// Options: --token T, --name N, --router-port P, --publisher-port P, --udp-port P,
// --broadcast-interval S, --online-timeout S, --trust-timeout S, --distrust-recheck S.
#include <unistd.h>

#include <QApplication>

#include <chrono>
#include <exception>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/daemon/discovery/QoPeerRecheck.h"
#include "core/state/QoConfig.h"
#include "desktop/QoDaemonLinux.h"
#include "peer/DrivenPeerStart.h"
#include "platform/QoLog.h"
#include "ui/AppDelegate.h"
#include "ui/MainThread.h"
#include "ui/MainWindow.h"
#include "ui/TerminationNotifier.h"
#include "ui/peer/DeviceCards.h"
#include "ui/peer/SyncWindows.h"
#include "ui/peer/UiDriver.h"

namespace {

using nlohmann::json;

std::map<std::string, std::string> parseOptions(const std::vector<std::string>& arguments) {
  std::map<std::string, std::string> options;
  for (size_t i = 0; i < arguments.size(); i += 2) {
    if (i + 1 >= arguments.size()) throw std::invalid_argument("missing value for " + arguments[i]);
    options[arguments[i]] = arguments[i + 1];
  }
  return options;
}

void applyOptions(const std::map<std::string, std::string>& options) {
  using namespace velbor;
  QoConfig& config = QoConfig::sharedQoConfig();
  for (const auto& [option, value] : options) {
    if (option == "--token") {
      config.setDeviceToken(value);
    } else if (option == "--name") {
      config.setDeviceName(value);
    } else if (option == "--router-port") {
      config.setPortRouter(std::stoi(value));
    } else if (option == "--publisher-port") {
      config.setPortPublisher(std::stoi(value));
    } else if (option == "--udp-port") {
      config.setPortUdp(std::stoi(value));
    } else if (option == "--broadcast-interval") {
      config.setBroadCastInterval(std::stoi(value));
    } else if (option == "--online-timeout") {
      config.setDeviceOnlineTimeOut(std::stoi(value));
    } else if (option == "--trust-timeout") {
      config.setTrustAuthTimeOut(std::stoi(value));
    } else if (option == "--distrust-recheck") {
      QoPeerRecheck::setDistrustRecheckDelay(std::chrono::seconds(std::stoi(value)));
    } else {
      throw std::invalid_argument("unknown option " + option);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  using namespace velbor;
  const int answers = test::startDrivenPeer();

  // Taken before Qt sees them: the X11 platform takes "--name" (and others) as its own.
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  QApplication app(argc, argv);
  QApplication::setApplicationName("Velbor");
  QApplication::setQuitOnLastWindowClosed(false);
  QoDaemonLinux& daemon = QoDaemonLinux::sharedQoDaemonLinux();
  AppDelegate delegate;
  UiDriver driver(delegate, answers);
  try {
    const auto options = parseOptions(arguments);
    daemon.daemonInit();
    applyOptions(options);
    delegate.awakeFromNib();
    if (!delegate.applicationDidFinishLaunching()) throw std::runtime_error("no device token");
  } catch (const std::exception& e) {
    QoLog("*** ui peer: start failed, {}", e.what());
    driver.writeLine(json{{"ok", false}, {"error", std::string("start failed: ") + e.what()}});
    delegate.applicationWillTerminate();
    return 1;
  }
  MainWindow* window = delegate.window();
  driver.addCommand("cards", 0, "cards: the device pane's cards in display order",
                    [window](const UiDriver::Arguments&) {
                      return json{{"ok", true}, {"cards", deviceCards(*window->deviceController())}};
                    });
  addSyncWindowCommands(driver, *window);
  TerminationNotifier termination;
  QObject::connect(&termination, &TerminationNotifier::terminationRequested, &app, [] { QApplication::quit(); });
  QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate, &AppDelegate::applicationWillTerminate);
  driver.listen();
  driver.writeLine(json{{"ok", true}, {"ready", true}, {"uuid", QoConfig::sharedQoConfig().deviceUuid()}});
  const int result = QApplication::exec();
  ::close(answers);
  return result;
}
