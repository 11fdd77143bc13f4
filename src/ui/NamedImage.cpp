#include "ui/NamedImage.h"

#include <QApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QStyle>

#include <initializer_list>

namespace velbor {

namespace {

// A transparent square image drawn, antialiased, by `draw`.
template <class Draw>
QPixmap canvas(int size, Draw draw) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  draw(painter);
  return pixmap;
}

QPixmap dot(const QColor& fill, int size) {
  return canvas(size, [&](QPainter& painter) {
    painter.setPen(QPen(fill.darker(130), 1));
    painter.setBrush(fill);
    const qreal margin = size * 0.15;
    painter.drawEllipse(QRectF(margin, margin, size - 2 * margin, size - 2 * margin));
  });
}

// Two linked circles: two devices kept in step.
QPixmap logo(int size) {
  return canvas(size, [&](QPainter& painter) {
    const QColor blue(0x2a, 0x7a, 0xe2);
    painter.setPen(QPen(blue, size / 8.0));
    painter.setBrush(Qt::NoBrush);
    const qreal r = size * 0.28;
    painter.drawEllipse(QPointF(size * 0.36, size * 0.5), r, r);
    painter.drawEllipse(QPointF(size * 0.64, size * 0.5), r, r);
  });
}

// Round-capped lines through points given as fractions of the size.
QPixmap strokes(int size, const QColor& color, qreal width, std::initializer_list<QPolygonF> lines) {
  return canvas(size, [&](QPainter& painter) {
    painter.setPen(QPen(color, size * width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    for (const QPolygonF& line : lines) {
      QPolygonF scaled;
      for (const QPointF& point : line) scaled << point * size;
      painter.drawPolyline(scaled);
    }
  });
}

// A downward arrow: files coming in.
QPixmap download(int size) {
  return strokes(size, QColor(0x2a, 0x7a, 0xe2), 1 / 7.0,
                 {QPolygonF({QPointF(0.5, 0.15), QPointF(0.5, 0.8)}),
                  QPolygonF({QPointF(0.22, 0.52), QPointF(0.5, 0.8), QPointF(0.78, 0.52)})});
}

// A check mark: done.
QPixmap yes(int size) {
  return strokes(size, QColor(0x3c, 0xb3, 0x4a), 1 / 6.0,
                 {QPolygonF({QPointF(0.18, 0.55), QPointF(0.42, 0.78), QPointF(0.84, 0.25)})});
}

QPixmap styleIcon(QStyle::StandardPixmap which, int size) {
  return QApplication::style()->standardIcon(which).pixmap(size, size);
}

}  // namespace

QPixmap NamedImage::imageNamed(const QString& name, int size) {
  if (name == "barLogo") return logo(size);
  if (name == "available") return dot(QColor(0x3c, 0xb3, 0x4a), size);
  if (name == "partiallyAvailable") return dot(QColor(0xf0, 0xb4, 0x1c), size);
  if (name == "unavailable") return dot(QColor(0xd9, 0x3f, 0x3f), size);
  if (name == "none") return dot(QColor(0xb0, 0xb0, 0xb0), size);
  if (name == "download") return download(size);
  if (name == "yes") return yes(size);
  if (name == "folder") return styleIcon(QStyle::SP_DirIcon, size);
  if (name == "file") return styleIcon(QStyle::SP_FileIcon, size);
  if (name == "computer" || name == "linux" || name == "windows2") return styleIcon(QStyle::SP_ComputerIcon, size);
  if (name == "android1") return styleIcon(QStyle::SP_DriveHDIcon, size);
  const QIcon themed = QIcon::fromTheme(name);
  return themed.isNull() ? QPixmap() : themed.pixmap(size, size);
}

QIcon NamedImage::iconNamed(const QString& name) {
  QIcon icon;
  for (int size : {16, 22, 32, 48}) icon.addPixmap(imageNamed(name, size));
  return icon;
}

}  // namespace velbor
