#include "ui/QoTreeTextAndImageCell.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QHelpEvent>
#include <QToolTip>

namespace velbor {

namespace {

constexpr qreal kDeviceWidth = 145;
constexpr qreal kPairTextWidth = 220;
constexpr qreal kTreeTextWidth = 385;

qreal textOffset(int cellType) { return cellType == 0 ? kDeviceWidth : 0; }
qreal textWidth(int cellType) { return cellType == 0 ? kPairTextWidth : kTreeTextWidth; }

// Draws a part cell, in `selectedColor` instead of its own text colour when that is valid.
void drawPart(ImageAndTextCell& part, QPainter& painter, const QRectF& frame, const QColor& selectedColor) {
  const QColor own = part.textColor();
  if (selectedColor.isValid()) part.setTextColor(selectedColor);
  part.drawWithFrame(painter, frame);
  part.setTextColor(own);
}

}  // namespace

QoTreeTextAndImageCell::QoTreeTextAndImageCell(QObject* parent) : QStyledItemDelegate(parent) {
  setElideMode(Qt::ElideMiddle);
}

QRectF QoTreeTextAndImageCell::devicePartFrame(const QRectF& frame) { return {frame.x(), frame.y(), kDeviceWidth, 20}; }

QRectF QoTreeTextAndImageCell::transferPartFrame(const QRectF& frame) {
  return {frame.x() + kDeviceWidth + kPairTextWidth + 25, frame.y(), 50, 20};
}

QRectF QoTreeTextAndImageCell::indexPartFrame(const QRectF& frame) {
  return {frame.x() + kTreeTextWidth + 20, frame.y(), 50, 20};
}

QRectF QoTreeTextAndImageCell::imageRect(const QRectF& frame, int cellType) {
  return {frame.x() + textOffset(cellType) + 3, frame.y() + 3, 16, 16};
}

QRectF QoTreeTextAndImageCell::titleRect(const QRectF& frame, int cellType) {
  return {frame.x() + textOffset(cellType) + 20, frame.y() + 3, textWidth(cellType), frame.height() - 3};
}

void QoTreeTextAndImageCell::fillForIndex(const QModelIndex& index) {
  cellType_ = 0;
  deviceImage_ = QIcon();
  deviceTitle_.clear();
  downloadImage_ = QIcon();
  downloadSpeed_.clear();
  indexTitle_.clear();
  setImage(QIcon());
  setText(index.data(Qt::DisplayRole).toString());
  if (willDisplayCell_) willDisplayCell_(*this, index);
}

void QoTreeTextAndImageCell::drawWithFrame(QPainter& painter, const QRectF& frame) {
  if (cellType_ != 0) {
    setFont(systemFont());
    setTextColor(QApplication::palette().color(QPalette::Text));
    if (!syncFileIndexCell_) syncFileIndexCell_ = std::make_unique<SyncFileIndexCell>();
    syncFileIndexCell_->setImage(QApplication::style()->standardIcon(QStyle::SP_FileDialogDetailedView));
    syncFileIndexCell_->setText(indexTitle_);
    drawPart(*syncFileIndexCell_, painter, indexPartFrame(frame), selectedTextColor_);
  } else {
    if (!deviceCell_) deviceCell_ = std::make_unique<DeviceTextAndImageCell>();
    deviceCell_->setImage(deviceImage_);
    deviceCell_->setText(deviceTitle_);
    drawPart(*deviceCell_, painter, devicePartFrame(frame), selectedTextColor_);
    setFont(smallSystemFont());
    setTextColor(Qt::gray);
    if (!downloadImage_.isNull()) {
      if (!downloadAndUploadCell_) downloadAndUploadCell_ = std::make_unique<DownloadAndUploadCell>();
      downloadAndUploadCell_->setImage(downloadImage_);
      downloadAndUploadCell_->setText(downloadSpeed_);
      drawPart(*downloadAndUploadCell_, painter, transferPartFrame(frame), selectedTextColor_);
    }
  }
  // Grey or black on the selection colour is hard to read.
  if (selectedTextColor_.isValid()) setTextColor(selectedTextColor_);
  drawImage(painter, image(), imageRect(frame, cellType_));
  drawText(painter, titleRect(frame, cellType_));
}

void QoTreeTextAndImageCell::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                   const QModelIndex& index) const {
  QStyleOptionViewItem background = option;
  initStyleOption(&background, index);
  drawRowBackground(painter, background);

  // Painting fills the cell for each row in turn, as the outline's one shared row cell does.
  auto* self = const_cast<QoTreeTextAndImageCell*>(this);
  self->fillForIndex(index);
  const bool selected = (option.state & QStyle::State_Selected) != 0;
  const QPalette::ColorGroup group = (option.state & QStyle::State_Active) != 0 ? QPalette::Active : QPalette::Inactive;
  self->selectedTextColor_ = selected ? option.palette.color(group, QPalette::HighlightedText) : QColor();
  painter->save();
  painter->setClipRect(option.rect);
  self->drawWithFrame(*painter, option.rect);
  self->selectedTextColor_ = QColor();
  painter->restore();
}

QSize QoTreeTextAndImageCell::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const {
  return {static_cast<int>(kDeviceWidth + kPairTextWidth + 25 + 17 + 150), kRowHeight};
}

bool QoTreeTextAndImageCell::helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                                       const QModelIndex& index) {
  if (event->type() != QEvent::ToolTip || !index.isValid())
    return QStyledItemDelegate::helpEvent(event, view, option, index);
  QString tip;
  if (toolTipForCell_) {
    fillForIndex(index);
    if (!downloadImage_.isNull()) {
      if (!downloadAndUploadCell_) downloadAndUploadCell_ = std::make_unique<DownloadAndUploadCell>();
      downloadAndUploadCell_->setFrame(DownloadAndUploadCell::textRect(transferPartFrame(option.rect)));
    }
    tip = toolTipForCell_(*this, index, event->pos());
  }
  if (tip.isEmpty()) {
    QToolTip::hideText();
  } else {
    QToolTip::showText(event->globalPos(), tip, view);
  }
  return true;
}

QWidget* QoTreeTextAndImageCell::createEditor(QWidget*, const QStyleOptionViewItem&, const QModelIndex&) const {
  return nullptr;
}

}  // namespace velbor
