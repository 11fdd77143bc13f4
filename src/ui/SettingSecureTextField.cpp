#include "ui/SettingSecureTextField.h"

#include <QEnterEvent>
#include <QMouseEvent>

namespace velbor {

SettingSecureTextField::SettingSecureTextField(QWidget* parent) : QLineEdit(parent) {
  setEchoMode(QLineEdit::Password);
  setBold(false);
}

void SettingSecureTextField::setBold(bool bold) {
  QFont font = this->font();
  font.setPointSize(kFontPointSize);
  font.setBold(bold);
  setFont(font);
}

// Only while its window is the active one, as the pointer tracking there.
void SettingSecureTextField::enterEvent(QEnterEvent* event) {
  QLineEdit::enterEvent(event);
  if (isActiveWindow()) setBold(true);
}

void SettingSecureTextField::leaveEvent(QEvent* event) {
  QLineEdit::leaveEvent(event);
  setBold(false);
}

void SettingSecureTextField::mousePressEvent(QMouseEvent* event) {
  QLineEdit::mousePressEvent(event);
  setBold(false);
  if (textFieldDelegate_ != nullptr) textFieldDelegate_->secureTextFieldDidClick(this);
}

void SettingSecureTextField::mouseReleaseEvent(QMouseEvent* event) {
  QLineEdit::mouseReleaseEvent(event);
  setBold(false);
}

}  // namespace velbor
