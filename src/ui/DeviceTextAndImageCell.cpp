#include "ui/DeviceTextAndImageCell.h"

#include <QApplication>
#include <QStyle>

namespace velbor {

DeviceTextAndImageCell::DeviceTextAndImageCell() {
  setElideMode(Qt::ElideMiddle);
  setTextColor(Qt::gray);
  setFont(smallSystemFont());
}

QRectF DeviceTextAndImageCell::iconRect(const QRectF& frame) { return {frame.x(), frame.y(), 24, 24}; }

// The badge sits over the icon's right half, 10 points into the cell wherever the cell
// starts. (Twice the cell's offset less 10 lands there only when the cell starts at 20; our
// pairing rows start further right, where it would cover the device's name.)
QRectF DeviceTextAndImageCell::badgeRect(const QRectF& frame) { return {frame.x() + 10, frame.y() + 4, 16, 16}; }

QRectF DeviceTextAndImageCell::textRect(const QRectF& frame) {
  return {frame.x() + 40, frame.y() + 4, 105, frame.height() - 3};
}

void DeviceTextAndImageCell::drawWithFrame(QPainter& painter, const QRectF& frame) {
  drawImage(painter, QApplication::style()->standardIcon(QStyle::SP_ComputerIcon), iconRect(frame));
  drawImage(painter, image(), badgeRect(frame));
  drawText(painter, textRect(frame));
}

}  // namespace velbor
