#include "ui/ImageAndTextCell1.h"

#include <QApplication>
#include <QIcon>
#include <QPainter>

#include "ui/ImageAndTextCell.h"

namespace velbor {

namespace {

QIcon imageOf(const QModelIndex& index) { return index.data(Qt::DecorationRole).value<QIcon>(); }

}  // namespace

ImageAndTextCell1::ImageAndTextCell1(QObject* parent) : QStyledItemDelegate(parent) {}

bool ImageAndTextCell1::isGroupCell(const QModelIndex& index) {
  return imageOf(index).isNull() && !index.data(Qt::DisplayRole).toString().isEmpty();
}

int ImageAndTextCell1::imageWidth(const QModelIndex& index) { return imageOf(index).isNull() ? 0 : kImageSize; }

QRect ImageAndTextCell1::titleRectForBounds(const QRect& bounds, int imageWidth) {
  return {bounds.x() + imageWidth + 5, bounds.y() + 2, bounds.width() - imageWidth - 3, bounds.height() - 4};
}

void ImageAndTextCell1::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
  QStyleOptionViewItem background = option;
  initStyleOption(&background, index);
  ImageAndTextCell::drawRowBackground(painter, background);

  const QRect frame = option.rect;
  const QIcon image = imageOf(index);
  QRect textRect;
  if (!image.isNull()) {
    image.paint(painter, QRect(frame.x() + 3, frame.y() + 3, kImageSize, kImageSize));
    textRect = QRect(frame.x() + kImageSize + 4, frame.y() + 3, frame.width() - kImageSize - 4, frame.height() - 3);
  } else {
    // Measured from the cell, so indented rows keep clear of their disclosure marks.
    textRect = QRect(frame.x() + 7, frame.y() + 3, frame.width() - 7, frame.height() - 3);
  }
  painter->save();
  painter->setFont(ImageAndTextCell::smallSystemFont());
  painter->setPen(
      option.palette.color(option.state & QStyle::State_Selected ? QPalette::HighlightedText : QPalette::Text));
  const QString title =
      painter->fontMetrics().elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideRight, textRect.width());
  painter->drawText(textRect, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, title);
  painter->restore();
}

QSize ImageAndTextCell1::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
  QStyleOptionViewItem plain = option;
  initStyleOption(&plain, index);
  plain.icon = QIcon();
  plain.features &= ~QStyleOptionViewItem::HasDecoration;
  const QSize base = QStyledItemDelegate::sizeHint(plain, index);
  return {base.width() + imageWidth(index) + 3, std::max(base.height(), kImageSize + 6)};
}

void ImageAndTextCell1::updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                                             const QModelIndex& index) const {
  editor->setGeometry(titleRectForBounds(option.rect, imageWidth(index)));
}

}  // namespace velbor
