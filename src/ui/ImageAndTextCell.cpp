#include "ui/ImageAndTextCell.h"

#include <QApplication>
#include <QFontMetricsF>
#include <QPalette>
#include <QStyle>

#include <algorithm>

namespace velbor {

ImageAndTextCell::ImageAndTextCell() : font_(systemFont()), textColor_(QApplication::palette().color(QPalette::Text)) {}

QFont ImageAndTextCell::systemFont() { return QApplication::font(); }

QFont ImageAndTextCell::smallSystemFont() {
  QFont font = QApplication::font();
  if (font.pointSizeF() > 0) {
    font.setPointSizeF(std::max(7.0, font.pointSizeF() - 1.5));
  } else {
    font.setPixelSize(std::max(9, font.pixelSize() - 2));
  }
  return font;
}

void ImageAndTextCell::drawWithFrame(QPainter& painter, const QRectF& frame) { drawText(painter, frame); }

void ImageAndTextCell::drawRowBackground(QPainter* painter, QStyleOptionViewItem option) {
  option.text.clear();
  option.icon = QIcon();
  option.features &= ~QStyleOptionViewItem::HasDecoration;
  QStyle* style = option.widget ? option.widget->style() : QApplication::style();
  style->drawControl(QStyle::CE_ItemViewItem, &option, painter, option.widget);
}

void ImageAndTextCell::drawText(QPainter& painter, const QRectF& rect) const {
  if (text_.isEmpty() || rect.width() <= 0) return;
  painter.save();
  painter.setFont(font_);
  painter.setPen(textColor_);
  const QFontMetricsF metrics(font_);
  const QString shown = metrics.elidedText(text_, elideMode_, rect.width());
  painter.drawText(rect, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, shown);
  painter.restore();
}

void ImageAndTextCell::drawImage(QPainter& painter, const QIcon& image, const QRectF& rect) {
  if (image.isNull()) return;
  image.paint(&painter, rect.toAlignedRect());
}

}  // namespace velbor
