// Shows the settings pane (in the main window) and the token window on the display it is
// given, over a fresh settings folder, and saves what the display shows of each window as
// PNG files in the folder named by its argument.

#include <QApplication>
#include <QDir>
#include <QScreen>
#include <QStyleFactory>
#include <QThread>
#include <QWindow>

#include <cstdio>
#include <memory>

#include "core/state/DataSource.h"
#include "core/state/QoConfig.h"
#include "core/state/QoConfigDelegateLinux.h"
#include "ui/MainWindow.h"
#include "ui/QoInitTokenViewController.h"
#include "ui/SelectableToolbar.h"
#include "ui/SettingController.h"

namespace {

constexpr int kSettleMs = 3000;

// Waits until the window is on the display and painted, then grabs it from the screen.
bool grab(QWidget* window, const QString& path) {
  for (int waited = 0; waited < kSettleMs; waited += 20) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    if (window->windowHandle() != nullptr && window->windowHandle()->isExposed() && waited >= 300) break;
    QThread::msleep(20);
  }
  const QPixmap shot = window->screen()->grabWindow(window->winId());
  if (shot.isNull() || !shot.save(path, "PNG")) {
    std::fprintf(stderr, "could not save %s\n", qPrintable(path));
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace velbor;
  QApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
    return 2;
  }
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  const QDir folder(QString::fromLocal8Bit(argv[1]));
  DataSource::sharedDataSource().dbCheck();
  QoConfig& config = QoConfig::sharedQoConfig();
  config.setConfigDelegate(std::make_shared<QoConfigDelegateLinux>());
  config.configInit();
  config.setDeviceToken("我们家的设备");
  config.setDeviceName("书房的电脑");

  MainWindow window;
  window.show();
  window.toolbar()->itemWithIdentifier("setting")->trigger();
  bool saved = grab(&window, folder.filePath("settings.png"));
  window.hide();

  QoInitTokenViewController token;
  token.show();
  saved = grab(&token, folder.filePath("token.png")) && saved;
  return saved ? 0 : 1;
}
