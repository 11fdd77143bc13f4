#include "ui/ToolTipDelayStyle.h"

#include <QApplication>
#include <QStyleFactory>

#include <algorithm>

#include "desktop/QoDaemonLinux.h"
#include "platform/UserDefaults.h"

namespace velbor {

ToolTipDelayStyle::ToolTipDelayStyle(QStyle* base, int delayMs) : QProxyStyle(base), delayMs_(delayMs) {}

int ToolTipDelayStyle::styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                                 QStyleHintReturn* returnData) const {
  if (hint == SH_ToolTip_WakeUpDelay) return delayMs_;
  return QProxyStyle::styleHint(hint, option, widget, returnData);
}

void ToolTipDelayStyle::installFromDefaults() {
  const auto defaults = UserDefaults::standardUserDefaults();
  if (!defaults->hasKey(QoDaemonLinux::kInitialToolTipDelayKey)) return;
  // The file may have been edited by hand.
  const int64_t stored = defaults->integerForKey(QoDaemonLinux::kInitialToolTipDelayKey);
  install(static_cast<int>(std::clamp<int64_t>(stored, 0, kLongestDelayMs)));
}

void ToolTipDelayStyle::install(int delayMs) {
  if (auto* installed = dynamic_cast<ToolTipDelayStyle*>(QApplication::style())) {
    installed->delayMs_ = delayMs;
    return;
  }
  // A fresh copy of the current style as the base: the application deletes the one it
  // replaces.
  QStyle* base = QStyleFactory::create(QApplication::style()->name());
  QApplication::setStyle(new ToolTipDelayStyle(base, delayMs));
}

}  // namespace velbor
