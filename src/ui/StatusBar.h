#pragma once

#include <QFrame>
#include <QLabel>

#include "ui/SpinningIndicator.h"

namespace velbor {

// A status line: a busy indicator and one line of text.
class StatusBar : public QFrame {
  Q_OBJECT

 public:
  explicit StatusBar(QWidget* parent = nullptr);

  SpinningIndicator* progressIndicator() const { return progressIndicator_; }
  QLabel* statusBarText() const { return statusBarText_; }

  void startLoading();
  void stopLoading();
  // A null text is ignored.
  void setStatusText(const QString& text);

 private:
  SpinningIndicator* progressIndicator_;
  QLabel* statusBarText_;
};

}  // namespace velbor
