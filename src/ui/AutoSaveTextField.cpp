#include "ui/AutoSaveTextField.h"

#include <QApplication>
#include <QStyle>

namespace velbor {

namespace {

constexpr int kStatusSize = 16;

}  // namespace

AutoSaveTextField::AutoSaveTextField(QWidget* parent)
    : QLineEdit(parent), indicator_(new SpinningIndicator(this)), image_(new QLabel(this)) {
  indicator_->hide();
  image_->setPixmap(QApplication::style()->standardIcon(QStyle::SP_DialogApplyButton).pixmap(kStatusSize, kStatusSize));
  image_->setFixedSize(kStatusSize, kStatusSize);
  image_->hide();
  saveTimer_.setSingleShot(true);
  connect(&saveTimer_, &QTimer::timeout, this, &AutoSaveTextField::save);
  // Only the user's edits schedule a save, not the pane filling the field.
  connect(this, &QLineEdit::textEdited, this, &AutoSaveTextField::textDidChange);
  // Leaving the field stops the spinner, unless a save is still due.
  connect(this, &QLineEdit::editingFinished, this, [this] {
    if (!saveTimer_.isActive()) showSpinner(false);
  });
}

void AutoSaveTextField::textDidChange() {
  image_->hide();
  showSpinner(true);
  // Each change starts the pause again: the save takes the text the user stopped at, not a
  // half-typed one.
  const int interval = savingInterval_ > 0 ? static_cast<int>(savingInterval_ * 1000) : kDefaultIntervalMs;
  saveTimer_.start(interval);
}

void AutoSaveTextField::save() {
  if (autoSaveDelegate_ == nullptr) return;
  if (autoSaveDelegate_->autoSaveAction(this)) {
    showSpinner(false);
    image_->show();
  }
}

void AutoSaveTextField::setStatusHidden() {
  saveTimer_.stop();
  showSpinner(false);
  image_->hide();
}

void AutoSaveTextField::showSpinner(bool shown) {
  indicator_->setVisible(shown);
  if (shown) {
    indicator_->startAnimation();
  } else {
    indicator_->stopAnimation();
  }
}

}  // namespace velbor
