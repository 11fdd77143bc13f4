#include "ui/PendingReplies.h"

#include <QTimer>

#include <utility>

namespace velbor {

PendingReplies::PendingReplies(TimeoutHandler onTimeout, QObject* parent)
    : QObject(parent), onTimeout_(std::move(onTimeout)) {}

QString PendingReplies::timeoutText() { return QStringLiteral("等待设备应答超时"); }

void PendingReplies::begin(const QString& key) {
  take(key);
  auto* timer = new QTimer(this);
  timer->setSingleShot(true);
  connect(timer, &QTimer::timeout, this, [this, key] {
    if (!take(key)) return;
    if (onTimeout_) onTimeout_(key);
  });
  timers_[key] = timer;
  timer->start(timeoutMs_);
}

bool PendingReplies::take(const QString& key) {
  const auto found = timers_.find(key);
  if (found == timers_.end()) return false;
  found->second->stop();
  found->second->deleteLater();
  timers_.erase(found);
  return true;
}

void PendingReplies::clear() {
  while (!timers_.empty()) take(timers_.begin()->first);
}

}  // namespace velbor
