#pragma once

#include "ui/ImageAndTextCell.h"

namespace velbor {

// The transfer state of a sync-pair row: a direction image and the speed text. Without an
// image nothing is drawn. `frame` is where the text was last drawn (for its tool tip).
class DownloadAndUploadCell : public ImageAndTextCell {
 public:
  DownloadAndUploadCell();
  void drawWithFrame(QPainter& painter, const QRectF& frame) override;

  static QRectF imageRect(const QRectF& frame);
  static QRectF textRect(const QRectF& frame);
  const QRectF& frame() const { return frame_; }
  void setFrame(const QRectF& value) { frame_ = value; }

 private:
  QRectF frame_;
};

}  // namespace velbor
