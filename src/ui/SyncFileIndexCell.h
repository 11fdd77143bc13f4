#pragma once

#include "ui/ImageAndTextCell.h"

namespace velbor {

// The indexing progress text of a tree row, drawn only while the cell has an image.
class SyncFileIndexCell : public ImageAndTextCell {
 public:
  SyncFileIndexCell();
  void drawWithFrame(QPainter& painter, const QRectF& frame) override;
  static QRectF textRect(const QRectF& frame);
};

}  // namespace velbor
