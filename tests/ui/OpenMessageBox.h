#pragma once

#include <QMessageBox>
#include <QWidget>

namespace velbor::test {

// The open message box named `name` under `parent`; null when none is open. A box answered
// before is closed at once but deleted only later, so it is never taken for the open one.
inline QMessageBox* openMessageBox(const QWidget* parent, const char* name) {
  for (QMessageBox* box : parent->findChildren<QMessageBox*>(name)) {
    if (box->isVisible()) return box;
  }
  return nullptr;
}

}  // namespace velbor::test
