#include <QEnterEvent>
#include <QTest>

#include <gtest/gtest.h>

#include "ui/SettingSecureTextField.h"

namespace velbor::test {
namespace {

// The pointer over the field shows in a bold font while its window is active; a press
// restores the plain font and tells the delegate.
TEST(SettingSecureTextFieldTest, HoverIsBoldAndAPressTellsTheDelegate) {
  struct Delegate : SettingSecureTextFieldDelegate {
    void secureTextFieldDidClick(SettingSecureTextField* field) override { clicked = field; }
    SettingSecureTextField* clicked = nullptr;
  } delegate;
  SettingSecureTextField field;
  field.setTextFieldDelegate(&delegate);
  EXPECT_EQ(field.echoMode(), QLineEdit::Password);
  field.show();
  QApplication::setActiveWindow(&field);

  QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
  QApplication::sendEvent(&field, &enter);
  EXPECT_TRUE(field.font().bold());
  EXPECT_EQ(field.font().pointSize(), SettingSecureTextField::kFontPointSize);
  QTest::mousePress(&field, Qt::LeftButton);
  EXPECT_FALSE(field.font().bold());
  EXPECT_EQ(delegate.clicked, &field);
  QApplication::sendEvent(&field, &enter);
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(&field, &leave);
  EXPECT_FALSE(field.font().bold());
}

}  // namespace
}  // namespace velbor::test
