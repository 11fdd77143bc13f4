#pragma once

#include "ui/ImageAndTextCell.h"

namespace velbor {

// The partner device of a sync-pair row: a computer icon with the device-type image as a
// badge over it, and the device name beside them.
class DeviceTextAndImageCell : public ImageAndTextCell {
 public:
  DeviceTextAndImageCell();
  void drawWithFrame(QPainter& painter, const QRectF& frame) override;

  // Where the parts go for a cell frame.
  static QRectF iconRect(const QRectF& frame);
  static QRectF badgeRect(const QRectF& frame);
  static QRectF textRect(const QRectF& frame);
};

}  // namespace velbor
