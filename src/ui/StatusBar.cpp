#include "ui/StatusBar.h"

#include <QHBoxLayout>

namespace velbor {

StatusBar::StatusBar(QWidget* parent)
    : QFrame(parent), progressIndicator_(new QProgressBar(this)), statusBarText_(new QLabel(this)) {
  setFrameShape(QFrame::NoFrame);
  setAutoFillBackground(true);
  QPalette colours = palette();
  colours.setColor(QPalette::Window, colours.color(QPalette::Highlight));
  colours.setColor(QPalette::WindowText, colours.color(QPalette::HighlightedText));
  setPalette(colours);

  // A range of 0..0 is Qt's busy (indeterminate) bar: the stand-in for a spinner.
  progressIndicator_->setFixedSize(16, 16);
  progressIndicator_->setTextVisible(false);
  progressIndicator_->setRange(0, 0);
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
  progressIndicator_->setRange(0, 0);
  progressIndicator_->show();
}

void StatusBar::stopLoading() {
  progressIndicator_->setRange(0, 1);
  progressIndicator_->setValue(0);
  progressIndicator_->hide();
}

void StatusBar::setStatusText(const QString& text) {
  if (text.isNull()) return;
  statusBarText_->setText(text);
}

}  // namespace velbor
