#pragma once

#include <QApplication>
#include <QKeyEvent>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <functional>
#include <memory>

namespace velbor::test {

// Runs the main loop until `done` holds or `seconds` have passed; true when it held.
template <class Done>
bool spinUntil(Done done, int seconds = 30) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

// Types `text` into `widget` as key presses carrying the characters (QTest's key clicks
// know only ASCII).
inline void typeText(QWidget* widget, const QString& text) {
  for (QChar c : text) {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
    QApplication::sendEvent(widget, &press);
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
    QApplication::sendEvent(widget, &release);
  }
}

// Acts once on the first modal window of type `Window` that runs while the returned timer
// lives (from inside its modal loop), as a user would.
template <class Window>
std::unique_ptr<QTimer> onModal(std::function<void(Window*)> act) {
  auto timer = std::make_unique<QTimer>();
  QTimer* raw = timer.get();
  QObject::connect(raw, &QTimer::timeout, raw, [raw, act = std::move(act)] {
    if (auto* window = qobject_cast<Window*>(QApplication::activeModalWidget())) {
      raw->stop();
      act(window);
    }
  });
  timer->start(20);
  return timer;
}

}  // namespace velbor::test
