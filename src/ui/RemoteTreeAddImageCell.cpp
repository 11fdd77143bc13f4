#include "ui/RemoteTreeAddImageCell.h"

#include <QApplication>
#include <QIcon>
#include <QPainter>

namespace velbor {

void RemoteTreeAddImageCell::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                   const QModelIndex& index) const {
  QStyleOptionViewItem background = option;
  initStyleOption(&background, index);
  background.text.clear();
  background.icon = QIcon();
  QStyle* style = option.widget ? option.widget->style() : QApplication::style();
  style->drawControl(QStyle::CE_ItemViewItem, &background, painter, option.widget);

  const QRect frame = option.rect;
  const QIcon image = index.data(Qt::DecorationRole).value<QIcon>();
  int imageWidth = 0;
  if (!image.isNull()) {
    const QSize size = image.actualSize(QSize(kImageSize, kImageSize));
    image.paint(painter, QRect(QPoint(frame.x() + 4, frame.y() + 1), size));
    imageWidth = size.width();
  }
  const QRect textRect(frame.x() + imageWidth + 4, frame.y() + 2, frame.width() - imageWidth - 4, frame.height() - 2);
  painter->save();
  painter->setPen(
      option.palette.color(option.state & QStyle::State_Selected ? QPalette::HighlightedText : QPalette::Text));
  const QString title =
      painter->fontMetrics().elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideRight, textRect.width());
  painter->drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, title);
  painter->restore();
}

}  // namespace velbor
