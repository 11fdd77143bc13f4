#include "ui/SpinningIndicator.h"

#include <QPainter>
#include <QPen>

#include <algorithm>

namespace velbor {

namespace {

constexpr int kArcDegrees = 100;
constexpr int kRingAlpha = 60;

}  // namespace

SpinningIndicator::SpinningIndicator(QWidget* parent) : QWidget(parent) {
  setFixedSize(kSize, kSize);
  setAttribute(Qt::WA_TranslucentBackground);
  timer_.setInterval(kFrameMs);
  connect(&timer_, &QTimer::timeout, this, &SpinningIndicator::advance);
}

void SpinningIndicator::startAnimation() {
  animating_ = true;
  runTimer();
  update();
}

void SpinningIndicator::stopAnimation() {
  animating_ = false;
  runTimer();
  update();
}

void SpinningIndicator::advance() {
  // Clockwise, as a spinner turns.
  angle_ = (angle_ + 360 - kStepDegrees) % 360;
  update();
}

void SpinningIndicator::runTimer() {
  // Nobody sees a hidden indicator turn: it waits to be shown again.
  if (animating_ && isVisible()) {
    if (!timer_.isActive()) timer_.start();
  } else {
    timer_.stop();
  }
}

void SpinningIndicator::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  runTimer();
}

void SpinningIndicator::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  runTimer();
}

void SpinningIndicator::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const int side = std::min(width(), height());
  const qreal penWidth = std::max(2.0, side / 7.0);
  const qreal inset = penWidth / 2 + 1;
  const QRectF ring(inset, inset, side - 2 * inset, side - 2 * inset);
  QColor colour = palette().color(foregroundRole());
  QColor faint = colour;
  faint.setAlpha(kRingAlpha);
  painter.setPen(QPen(faint, penWidth));
  painter.drawEllipse(ring);
  if (!animating_) return;
  painter.setPen(QPen(colour, penWidth, Qt::SolidLine, Qt::RoundCap));
  // Qt counts arcs in sixteenths of a degree, counter-clockwise from three o'clock.
  painter.drawArc(ring, angle_ * 16, kArcDegrees * 16);
}

}  // namespace velbor
