#include "ui/TrustWait.h"

namespace velbor {

TrustWait::TrustWait(int ticks, std::function<void(int)> onTick, std::function<void()> onExpire, QObject* parent)
    : QObject(parent), ticks_(ticks), onTick_(std::move(onTick)), onExpire_(std::move(onExpire)) {
  timer_.setInterval(kTickMs);
  timer_.setTimerType(Qt::PreciseTimer);
  connect(&timer_, &QTimer::timeout, this, &TrustWait::tick);
}

void TrustWait::start() {
  done_ = 0;
  if (ticks_ <= 0) {
    onExpire_();
    return;
  }
  timer_.start();
}

void TrustWait::stop() { timer_.stop(); }

void TrustWait::tick() {
  ++done_;
  onTick_(done_);
  if (done_ < ticks_ || !timer_.isActive()) return;
  timer_.stop();
  onExpire_();
}

}  // namespace velbor
