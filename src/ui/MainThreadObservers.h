#pragma once

#include <QObject>
#include <QPointer>

#include <functional>
#include <utility>
#include <vector>

#include "core/state/QoNotices.h"
#include "ui/MainThread.h"

namespace velbor {

// Engine notices for one window. Notices arrive on the serial "notify" queue; each is only
// handed over to the main thread there (never waited for, so the queue never blocks on a
// view), and reaches the window only while the window still exists. Observers end with
// removeAll() or with this object.
class MainThreadObservers {
 public:
  explicit MainThreadObservers(QObject* owner) : owner_(owner) {}
  ~MainThreadObservers() { removeAll(); }
  MainThreadObservers(const MainThreadObservers&) = delete;
  MainThreadObservers& operator=(const MainThreadObservers&) = delete;

  template <class Notice>
  void observe(std::function<void(const Notice&)> onMainThread) {
    QPointer<QObject> guard(owner_);
    tokens_.push_back(QoNotices::observe<Notice>([guard, onMainThread = std::move(onMainThread)](const Notice& notice) {
      MainThread::async([guard, onMainThread, notice] {
        if (guard) onMainThread(notice);
      });
    }));
  }

  void removeAll();
  bool empty() const { return tokens_.empty(); }

 private:
  QObject* owner_;
  std::vector<NotificationCenter::Token> tokens_;
};

}  // namespace velbor
