#include "ui/SystemImage.h"

#include <QApplication>
#include <QPainter>
#include <QPixmap>
#include <QStyle>

#include "ui/NamedImage.h"

namespace velbor {

QIcon SystemImage::addImage() {
  // A plain plus sign, as the add template draws it.
  QPixmap image(32, 32);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(QApplication::palette().color(QPalette::Text), 3, Qt::SolidLine, Qt::RoundCap));
  painter.drawLine(16, 6, 16, 26);
  painter.drawLine(6, 16, 26, 16);
  return QIcon(image);
}

QIcon SystemImage::folderImage() { return NamedImage::iconNamed(QStringLiteral("folder")); }

QIcon SystemImage::stopImage() { return QApplication::style()->standardIcon(QStyle::SP_MessageBoxCritical); }

}  // namespace velbor
