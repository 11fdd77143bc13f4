#include "ui/SyncFileIndexCell.h"

namespace velbor {

SyncFileIndexCell::SyncFileIndexCell() {
  setTextColor(QColor(0x1a, 0x5f, 0xc8));
  setFont(smallSystemFont());
}

QRectF SyncFileIndexCell::textRect(const QRectF& frame) {
  return {frame.x() + 1, frame.y() + 5, 130, frame.height() - 3};
}

void SyncFileIndexCell::drawWithFrame(QPainter& painter, const QRectF& frame) {
  if (!hasImage()) return;
  drawText(painter, textRect(frame));
}

}  // namespace velbor
