#include "ui/MainThread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <chrono>
#include <exception>
#include <future>
#include <memory>

#include "platform/QoLog.h"

namespace velbor {

std::atomic<bool> MainThread::closing_ = false;

// A view change that throws is logged: it must not end the main loop.
void MainThread::runLogged(const std::function<void()>& work) {
  try {
    work();
  } catch (const std::exception& e) {
    QoLog("*** {}", e.what());
  }
}

bool MainThread::isMainThread() {
  QCoreApplication* app = QCoreApplication::instance();
  return app != nullptr && QThread::currentThread() == app->thread();
}

void MainThread::async(std::function<void()> work) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) return;
  QMetaObject::invokeMethod(
      app, [work = std::move(work)] { runLogged(work); }, Qt::QueuedConnection);
}

void MainThread::sync(const std::function<void()>& work) {
  if (isMainThread()) {
    runLogged(work);
    return;
  }
  // Waits in slices: once the main loop has ended nothing runs queued work any more, and the
  // caller gives up instead of waiting forever.
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  async([work, done] {
    runLogged(work);
    done->set_value();
  });
  while (finished.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
    if (closing_.load()) return;
  }
}

void MainThread::setClosing() { closing_ = true; }

}  // namespace velbor
