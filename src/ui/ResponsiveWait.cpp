#include "ui/ResponsiveWait.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>

#include <atomic>
#include <exception>
#include <memory>
#include <thread>

#include "platform/QoLog.h"

namespace velbor {

namespace {

void runLogged(const std::function<void()>& work) {
  try {
    work();
  } catch (const std::exception& e) {
    QoLog("*** {}", e.what());
  }
}

}  // namespace

void ResponsiveWait::run(const std::function<void()>& work) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) {
    runLogged(work);
    return;
  }
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread worker([work, done] {
    runLogged(work);
    *done = true;
    // Wakes the wait below; a no-op event, so nothing depends on who handles it.
    QMetaObject::invokeMethod(QCoreApplication::instance(), [] {}, Qt::QueuedConnection);
  });
  // Events go on being handled here, also after the application's main loop has ended.
  while (!done->load()) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  worker.join();
}

}  // namespace velbor
