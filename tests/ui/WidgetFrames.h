#pragma once

#include <QApplication>
#include <QImage>
#include <QWidget>

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace velbor::test {

// What `widget` paints now.
inline QImage frameOf(QWidget* widget) { return widget->grab().toImage(); }

// Pixels that differ clearly (by more than a quarter of a colour channel's range) between
// two pictures of one widget: shading that drifts is not a movement a person sees.
inline int clearlyChangedPixels(const QImage& a, const QImage& b) {
  if (a.size() != b.size()) return a.width() * a.height();
  const QImage x = a.convertToFormat(QImage::Format_ARGB32);
  const QImage y = b.convertToFormat(QImage::Format_ARGB32);
  int changed = 0;
  for (int row = 0; row < x.height(); ++row) {
    for (int column = 0; column < x.width(); ++column) {
      const QRgb p = x.pixel(column, row);
      const QRgb q = y.pixel(column, row);
      const int most = std::max({std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                                 std::abs(qBlue(p) - qBlue(q)), std::abs(qAlpha(p) - qAlpha(q))});
      if (most > 64) ++changed;
    }
  }
  return changed;
}

// Whether `widget` visibly moves within `seconds` of running the main loop: a tenth of its
// pixels clearly change.
inline bool turns(QWidget* widget, int seconds = 10) {
  const QImage first = frameOf(widget);
  const int enough = std::max(1, first.width() * first.height() / 10);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    if (clearlyChangedPixels(first, frameOf(widget)) >= enough) return true;
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
