#pragma once

#include <QStyledItemDelegate>

namespace velbor {

// A row that shows its image (the model's decoration) with the title beside it; a row with a
// title and no image is a group heading.
class ImageAndTextCell1 : public QStyledItemDelegate {
  Q_OBJECT

 public:
  static constexpr int kImageSize = 16;

  explicit ImageAndTextCell1(QObject* parent = nullptr);

  static bool isGroupCell(const QModelIndex& index);
  // The bounds without a strip of image width + 3 on the left, moved 2 right and 2 down and
  // 4 lower; `imageWidth` 0 when there is no image.
  static QRect titleRectForBounds(const QRect& bounds, int imageWidth);

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const override;

 private:
  static int imageWidth(const QModelIndex& index);
};

}  // namespace velbor
