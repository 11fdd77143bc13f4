#pragma once

#include <QApplication>
#include <QImage>
#include <QWidget>

#include <chrono>

namespace velbor::test {

// What `widget` paints now.
inline QImage frameOf(QWidget* widget) { return widget->grab().toImage(); }

// Whether `widget` paints something else than now within `seconds` of running the main
// loop: it moves.
inline bool turns(QWidget* widget, int seconds = 10) {
  const QImage first = frameOf(widget);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    if (frameOf(widget) != first) return true;
  }
  return false;
}

// Whether `widget` paints the same throughout `ms` milliseconds of running the main loop.
inline bool staysStill(QWidget* widget, int ms = 500) {
  const QImage first = frameOf(widget);
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    if (frameOf(widget) != first) return false;
  }
  return true;
}

}  // namespace velbor::test
