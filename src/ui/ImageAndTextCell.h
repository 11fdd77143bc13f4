#pragma once

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QPainter>
#include <QRectF>
#include <QString>

namespace velbor {

// A text cell that carries an image: the text's font, colour and truncation, and the image
// that subclasses draw beside it. This class draws only the text.
class ImageAndTextCell {
 public:
  ImageAndTextCell();
  virtual ~ImageAndTextCell() = default;

  // The system font at the small size cells use for secondary text.
  static QFont smallSystemFont();
  static QFont systemFont();

  const QIcon& image() const { return image_; }
  void setImage(const QIcon& value) { image_ = value; }
  bool hasImage() const { return !image_.isNull(); }
  const QString& text() const { return text_; }
  void setText(const QString& value) { text_ = value; }
  const QFont& font() const { return font_; }
  void setFont(const QFont& value) { font_ = value; }
  const QColor& textColor() const { return textColor_; }
  void setTextColor(const QColor& value) { textColor_ = value; }
  Qt::TextElideMode elideMode() const { return elideMode_; }
  void setElideMode(Qt::TextElideMode value) { elideMode_ = value; }

  virtual void drawWithFrame(QPainter& painter, const QRectF& frame);

 protected:
  // The text alone, on one line from the top of `rect`, truncated to its width.
  void drawText(QPainter& painter, const QRectF& rect) const;
  static void drawImage(QPainter& painter, const QIcon& image, const QRectF& rect);

 private:
  QIcon image_;
  QString text_;
  QFont font_;
  QColor textColor_;
  Qt::TextElideMode elideMode_ = Qt::ElideRight;
};

}  // namespace velbor
