#include "ui/StatusBar.h"

#include <QHBoxLayout>

namespace velbor {

StatusBar::StatusBar(QWidget* parent)
    : QFrame(parent), progressIndicator_(new SpinningIndicator(this)), statusBarText_(new QLabel(this)) {
  setFrameShape(QFrame::NoFrame);
  setAutoFillBackground(true);
  QPalette colours = palette();
  colours.setColor(QPalette::Window, colours.color(QPalette::Highlight));
  colours.setColor(QPalette::WindowText, colours.color(QPalette::HighlightedText));
  setPalette(colours);

  progressIndicator_->startAnimation();
  statusBarText_->setMinimumWidth(240);
  QFont small = statusBarText_->font();
  small.setPointSizeF(small.pointSizeF() * 0.85);
  statusBarText_->setFont(small);
  statusBarText_->setTextInteractionFlags(Qt::NoTextInteraction);

  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(7, 1, 7, 1);
  layout->addWidget(progressIndicator_);
  layout->addWidget(statusBarText_, 1);
}

void StatusBar::startLoading() {
  progressIndicator_->show();
  progressIndicator_->startAnimation();
}

void StatusBar::stopLoading() {
  progressIndicator_->stopAnimation();
  progressIndicator_->hide();
}

void StatusBar::setStatusText(const QString& text) {
  if (text.isNull()) return;
  statusBarText_->setText(text);
}

}  // namespace velbor
