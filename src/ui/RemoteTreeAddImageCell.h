#pragma once

#include "ui/ImageAndTextCell1.h"

namespace velbor {

// The folder browser's row: the folder image at its own size, the name beside it in the
// plain text style.
class RemoteTreeAddImageCell : public ImageAndTextCell1 {
  Q_OBJECT

 public:
  using ImageAndTextCell1::ImageAndTextCell1;

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

}  // namespace velbor
