#include "ui/DownloadAndUploadCell.h"

namespace velbor {

DownloadAndUploadCell::DownloadAndUploadCell() {
  setElideMode(Qt::ElideRight);
  setTextColor(Qt::gray);
  setFont(smallSystemFont());
}

QRectF DownloadAndUploadCell::imageRect(const QRectF& frame) { return {frame.x(), frame.y() + 4, 16, 16}; }

QRectF DownloadAndUploadCell::textRect(const QRectF& frame) {
  return {frame.x() + 17, frame.y() + 5, 150, frame.height() - 3};
}

void DownloadAndUploadCell::drawWithFrame(QPainter& painter, const QRectF& frame) {
  if (!hasImage()) return;
  drawImage(painter, image(), imageRect(frame));
  frame_ = textRect(frame);
  drawText(painter, frame_);
}

}  // namespace velbor
