#pragma once

#include <QLineEdit>

namespace velbor {

class SettingSecureTextField;

// Hears when a secure field is pressed.
class SettingSecureTextFieldDelegate {
 public:
  virtual ~SettingSecureTextFieldDelegate() = default;
  virtual void secureTextFieldDidClick(SettingSecureTextField* field) = 0;
};

// A secure (masked) text field that shows the pointer over it with a bold font and tells
// its delegate when it is pressed.
class SettingSecureTextField : public QLineEdit {
  Q_OBJECT

 public:
  static constexpr int kFontPointSize = 13;

  explicit SettingSecureTextField(QWidget* parent = nullptr);

  SettingSecureTextFieldDelegate* textFieldDelegate() const { return textFieldDelegate_; }
  void setTextFieldDelegate(SettingSecureTextFieldDelegate* delegate) { textFieldDelegate_ = delegate; }

 protected:
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  void setBold(bool bold);

  SettingSecureTextFieldDelegate* textFieldDelegate_ = nullptr;
};

}  // namespace velbor
