#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QStandardItemModel>

#include <cstdlib>

#include <gtest/gtest.h>

#include "ui/DeviceTextAndImageCell.h"
#include "ui/DownloadAndUploadCell.h"
#include "ui/ImageAndTextCell1.h"
#include "ui/QoTreeTextAndImageCell.h"
#include "ui/SyncFileIndexCell.h"

namespace velbor {
namespace {

QIcon solid(const QColor& color) {
  QPixmap pixmap(16, 16);
  pixmap.fill(color);
  return QIcon(pixmap);
}

QImage blank(int width = 700, int height = 30) {
  QImage image(width, height, QImage::Format_ARGB32);
  image.fill(Qt::white);
  return image;
}

// Whether anything other than white was painted inside `area`.
bool paintedIn(const QImage& image, const QRect& area) {
  const QRect inside = area.intersected(image.rect());
  for (int y = inside.top(); y <= inside.bottom(); ++y) {
    for (int x = inside.left(); x <= inside.right(); ++x) {
      if (image.pixel(x, y) != qRgb(255, 255, 255)) return true;
    }
  }
  return false;
}

template <class Cell>
QImage drawn(Cell& cell, const QRectF& frame, int width = 700) {
  QImage image = blank(width);
  QPainter painter(&image);
  cell.drawWithFrame(painter, frame);
  return image;
}

TEST(TreeCellTest, PartCellsWithoutImageDrawNothingAtAll) {
  DownloadAndUploadCell transfer;
  transfer.setText("1.00KB/s，剩余8秒");
  EXPECT_FALSE(paintedIn(drawn(transfer, {0, 0, 200, 26}), {0, 0, 700, 30}));
  EXPECT_TRUE(transfer.frame().isNull());

  SyncFileIndexCell index;
  index.setText("3/10文件索引");
  EXPECT_FALSE(paintedIn(drawn(index, {0, 0, 200, 26}), {0, 0, 700, 30}));

  transfer.setImage(solid(Qt::green));
  const QImage withImage = drawn(transfer, {10, 0, 200, 26});
  EXPECT_TRUE(paintedIn(withImage, {10, 4, 16, 16}));
  EXPECT_TRUE(paintedIn(withImage, {27, 5, 150, 21}));
  EXPECT_EQ(transfer.frame(), QRectF(27, 5, 150, 23));
}

TEST(TreeCellTest, DeviceCellPutsTheBadgeOverTheIconAndTheNameAfterThem) {
  DeviceTextAndImageCell device;
  device.setImage(solid(Qt::blue));
  device.setText("书房的电脑");
  const QRectF frame(20, 0, 145, 26);
  EXPECT_EQ(DeviceTextAndImageCell::badgeRect(frame), QRectF(30, 4, 16, 16));
  const QImage image = drawn(device, frame);
  EXPECT_EQ(image.pixel(38, 12), QColor(Qt::blue).rgb());
  EXPECT_TRUE(paintedIn(image, {60, 4, 105, 22}));
  EXPECT_FALSE(paintedIn(image, {166, 0, 500, 30}));
}

// The badge stays over the device icon and clear of the name wherever the cell starts.
TEST(TreeCellTest, DeviceCellBadgeStaysOverTheIconWhereverTheCellStarts) {
  DeviceTextAndImageCell device;
  device.setImage(solid(Qt::blue));
  for (const qreal x : {20.0, 40.0, 53.0}) {
    const QRectF frame(x, 2, 145, 26);
    const QRectF badge = DeviceTextAndImageCell::badgeRect(frame);
    EXPECT_TRUE(DeviceTextAndImageCell::iconRect(frame).intersects(badge)) << x;
    EXPECT_LE(badge.right(), DeviceTextAndImageCell::textRect(frame).left()) << x;
  }
  EXPECT_EQ(DeviceTextAndImageCell::badgeRect({20, 0, 145, 26}), QRectF(30, 4, 16, 16));
  const QImage image = drawn(device, QRectF(40, 2, 145, 26));
  EXPECT_EQ(image.pixel(58, 14), QColor(Qt::blue).rgb());
}

TEST(TreeCellTest, PairingRowDrawsTransferPartOnlyWithItsImage) {
  QoTreeTextAndImageCell cell;
  cell.setCellType(0);
  cell.setImage(solid(Qt::darkYellow));
  cell.setText("/home/peer/very/long/remote/path/that/needs/to/be/cut/short/in/the/middle/of/it");
  cell.setDeviceTitle("peer");
  const QRectF frame(0, 0, 700, 26);

  QImage image = drawn(cell, frame);
  EXPECT_TRUE(paintedIn(image, {148, 3, 16, 16}));    // document image
  EXPECT_TRUE(paintedIn(image, {165, 3, 220, 23}));   // remote path
  EXPECT_FALSE(paintedIn(image, {386, 0, 314, 30}));  // path stops at 385, no transfer part
  EXPECT_EQ(cell.downloadAndUploadCell(), nullptr);
  ASSERT_NE(cell.deviceCell(), nullptr);

  cell.setDownloadImage(solid(Qt::green));
  cell.setDownloadSpeed("有文件更新");
  image = drawn(cell, frame);
  EXPECT_TRUE(paintedIn(image, {390, 4, 16, 16}));
  EXPECT_TRUE(paintedIn(image, {407, 5, 150, 17}));
  ASSERT_NE(cell.downloadAndUploadCell(), nullptr);
  EXPECT_EQ(cell.downloadAndUploadCell()->frame(), QRectF(407, 5, 150, 17));
}

TEST(TreeCellTest, TreeRowDrawsItsIndexPartEvenWithoutText) {
  QoTreeTextAndImageCell cell;
  cell.setCellType(1);
  cell.setImage(solid(Qt::darkYellow));
  cell.setText("/home/me/同步");
  QImage image = drawn(cell, {0, 0, 700, 26});
  EXPECT_TRUE(paintedIn(image, {3, 3, 16, 16}));
  EXPECT_TRUE(paintedIn(image, {20, 3, 385, 23}));
  ASSERT_NE(cell.syncFileIndexCell(), nullptr);
  EXPECT_EQ(cell.syncFileIndexCell()->text(), "");
  EXPECT_FALSE(paintedIn(image, {406, 0, 294, 30}));

  cell.setIndexTitle("3/10文件索引");
  image = drawn(cell, {0, 0, 700, 26});
  EXPECT_TRUE(paintedIn(image, {406, 5, 130, 21}));
}

// Pixels close to `color` inside `area`.
int pixelsLike(const QImage& image, const QRect& area, const QColor& color) {
  const QRect inside = area.intersected(image.rect());
  int count = 0;
  for (int y = inside.top(); y <= inside.bottom(); ++y) {
    for (int x = inside.left(); x <= inside.right(); ++x) {
      const QColor pixel = image.pixelColor(x, y);
      if (std::abs(pixel.red() - color.red()) < 60 && std::abs(pixel.green() - color.green()) < 60 &&
          std::abs(pixel.blue() - color.blue()) < 60) {
        ++count;
      }
    }
  }
  return count;
}

TEST(TreeCellTest, SelectedRowsDrawTheirTextsInTheHighlightedTextColour) {
  QStandardItemModel model;
  model.appendRow(new QStandardItem("/remote/文档"));
  model.appendRow(new QStandardItem("/home/me/文档"));
  QoTreeTextAndImageCell cell;
  cell.setWillDisplayCell([](QoTreeTextAndImageCell& filled, const QModelIndex& index) {
    filled.setCellType(index.row() == 0 ? 0 : 1);
    if (index.row() == 0) {
      filled.setDeviceTitle("书房的电脑");
      filled.setDownloadImage(solid(Qt::green));
      filled.setDownloadSpeed("同步完成于刚刚");
    } else {
      filled.setIndexTitle("3/10文件索引");
    }
  });
  const QColor highlight(0, 0, 96);
  const QColor highlightedText(255, 0, 255);
  QStyleOptionViewItem option;
  option.rect = QRect(0, 0, 700, 26);
  option.state = QStyle::State_Enabled | QStyle::State_Active;
  option.palette.setColor(QPalette::Highlight, highlight);
  option.palette.setColor(QPalette::HighlightedText, highlightedText);
  const auto painted = [&](int row) {
    QImage image = blank();
    QPainter painter(&image);
    cell.paint(&painter, option, model.index(row, 0));
    return image;
  };

  // Not selected: grey, black and blue texts, nothing in the highlighted-text colour.
  EXPECT_EQ(pixelsLike(painted(0), {0, 0, 700, 26}, highlightedText), 0);
  option.state |= QStyle::State_Selected;
  const QImage pairing = painted(0);
  EXPECT_GT(pixelsLike(pairing, {40, 4, 105, 22}, highlightedText), 0);   // device name
  EXPECT_GT(pixelsLike(pairing, {165, 3, 220, 23}, highlightedText), 0);  // remote path
  EXPECT_GT(pixelsLike(pairing, {407, 5, 150, 21}, highlightedText), 0);  // transfer text
  EXPECT_EQ(pixelsLike(pairing, {165, 3, 220, 23}, Qt::gray), 0);
  const QImage tree = painted(1);
  EXPECT_GT(pixelsLike(tree, {20, 3, 385, 23}, highlightedText), 0);   // local path
  EXPECT_GT(pixelsLike(tree, {406, 5, 130, 21}, highlightedText), 0);  // index text

  // Drawn on its own again, the cell keeps its usual colours.
  option.state &= ~QStyle::State_Selected;
  EXPECT_EQ(pixelsLike(painted(0), {0, 0, 700, 26}, highlightedText), 0);
}

TEST(TreeCellTest, ImageAndTextCell1GroupsAndTitleRect) {
  QStandardItemModel model;
  auto* heading = new QStandardItem("设备");
  auto* withImage = new QStandardItem(solid(Qt::red), "文件夹");
  auto* empty = new QStandardItem("");
  model.appendRow(heading);
  model.appendRow(withImage);
  model.appendRow(empty);
  EXPECT_TRUE(ImageAndTextCell1::isGroupCell(heading->index()));
  EXPECT_FALSE(ImageAndTextCell1::isGroupCell(withImage->index()));
  EXPECT_FALSE(ImageAndTextCell1::isGroupCell(empty->index()));
  EXPECT_EQ(ImageAndTextCell1::titleRectForBounds({10, 20, 200, 24}, 16), QRect(31, 22, 181, 20));
  EXPECT_EQ(ImageAndTextCell1::titleRectForBounds({10, 20, 200, 24}, 0), QRect(15, 22, 197, 20));
}

}  // namespace
}  // namespace velbor
