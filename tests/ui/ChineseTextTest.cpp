#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QString>

#include <gtest/gtest.h>

namespace velbor::test {
namespace {

// One character drawn in the application's font, black on white.
QImage drawn(const QString& text) {
  QImage image(48, 48, QImage::Format_RGB32);
  image.fill(Qt::white);
  QPainter painter(&image);
  QFont font = QApplication::font();
  font.setPixelSize(32);
  painter.setFont(font);
  painter.setPen(Qt::black);
  painter.drawText(image.rect(), Qt::AlignCenter, text);
  return image;
}

bool blank(const QImage& image) {
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (image.pixel(x, y) != QColor(Qt::white).rgb()) return false;
    }
  }
  return true;
}

// The windows' texts are Chinese: a font with their glyphs must be installed, or each
// character is drawn as the same empty box (or nothing).
TEST(ChineseTextTest, WindowTextsAreDrawnWithTheirOwnGlyphs) {
  const QImage first = drawn(QStringLiteral("设"));
  const QImage second = drawn(QStringLiteral("置"));
  const QImage unassigned = drawn(QString(QChar(0x0378)));
  EXPECT_FALSE(blank(first));
  EXPECT_FALSE(blank(second));
  EXPECT_NE(first, second) << "two characters drawn alike: boxes";
  EXPECT_NE(first, unassigned) << "drawn as the missing glyph";
}

}  // namespace
}  // namespace velbor::test
