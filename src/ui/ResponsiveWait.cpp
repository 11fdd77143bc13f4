#include "ui/ResponsiveWait.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>

#include <atomic>
#include <memory>
#include <thread>

#include "ui/MainThread.h"

namespace velbor {

void ResponsiveWait::run(const std::function<void()>& work) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) {
    MainThread::runLogged(work);
    return;
  }
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread worker([work, done] {
    MainThread::runLogged(work);
    *done = true;
    // Wakes the wait below; a no-op event, so nothing depends on who handles it.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [] {}, Qt::QueuedConnection);
  });
  // Events go on being handled here, also after the application's main loop has ended.
  while (!done->load()) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  worker.join();
}

}  // namespace velbor
