#pragma once

#include <QObject>
#include <QTimer>

#include <functional>

namespace velbor {

// A trust exchange's wait, counted in ticks of a third of a second on the main thread's
// timer: it never holds a queue. Each tick reports its number; after the last one the wait
// expires, unless it was stopped before.
class TrustWait : public QObject {
  Q_OBJECT

 public:
  static constexpr int kTickMs = 333;

  TrustWait(int ticks, std::function<void(int)> onTick, std::function<void()> onExpire, QObject* parent = nullptr);

  void start();
  void stop();
  bool isActive() const { return timer_.isActive(); }
  int ticks() const { return ticks_; }

 private:
  void tick();

  QTimer timer_;
  int ticks_;
  int done_ = 0;
  std::function<void(int)> onTick_;
  std::function<void()> onExpire_;
};

}  // namespace velbor
