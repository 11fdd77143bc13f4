#pragma once

#include <QProxyStyle>

namespace velbor {

// The application's style, with tool tips that show after the pause the start-up stored in
// the standard settings instead of the style's own.
class ToolTipDelayStyle : public QProxyStyle {
 public:
  // The longest pause taken from the settings file.
  static constexpr int kLongestDelayMs = 60000;

  ToolTipDelayStyle(QStyle* base, int delayMs);

  int delayMs() const { return delayMs_; }

  int styleHint(StyleHint hint, const QStyleOption* option = nullptr, const QWidget* widget = nullptr,
                QStyleHintReturn* returnData = nullptr) const override;

  // Puts this style over the application's current one with the stored pause; with none
  // stored the style is left as it is. Installed once: a second call only takes the pause.
  static void installFromDefaults();
  static void install(int delayMs);

 private:
  int delayMs_;
};

}  // namespace velbor
