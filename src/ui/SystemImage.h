#pragma once

#include <QIcon>

namespace velbor {

// The system pictures the pairing windows show: the add template, the folder and the stop
// alert, drawn from the style or in code so that no theme is needed.
class SystemImage {
 public:
  SystemImage() = delete;
  static QIcon addImage();
  static QIcon folderImage();
  static QIcon stopImage();
};

}  // namespace velbor
