#pragma once

#include <QTimer>
#include <QWidget>

namespace velbor {

// A small busy indicator: an arc that turns round a faint ring while it animates, and the
// ring alone when stopped. It draws in the widget's text colour, so it shows on any
// background. Its timer runs only while it animates and is visible.
class SpinningIndicator : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kSize = 16;
  static constexpr int kFrameMs = 80;
  static constexpr int kStepDegrees = 30;

  explicit SpinningIndicator(QWidget* parent = nullptr);

  void startAnimation();
  void stopAnimation();
  bool isAnimating() const { return animating_; }
  // Where the arc starts, in degrees.
  int angle() const { return angle_; }

  QSize sizeHint() const override { return {kSize, kSize}; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void advance();
  void runTimer();

  QTimer timer_;
  bool animating_ = false;
  int angle_ = 0;
};

}  // namespace velbor
