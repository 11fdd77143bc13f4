#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>

namespace velbor {

// The application's named images, drawn in code so that no image files need shipping:
// "barLogo" (status-bar item), the device-type images, the four status dots ("available",
// "partiallyAvailable", "unavailable", "none") and "folder"/"file", and the transfer images "download" and "yes". An
// unknown name gives the theme's icon of that name, or an empty image.
class NamedImage {
 public:
  NamedImage() = delete;
  static QPixmap imageNamed(const QString& name, int size);
  static QIcon iconNamed(const QString& name);
};

}  // namespace velbor
