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

}  // namespace

QoTreeTextAndImageCell::QoTreeTextAndImageCell(QObject* parent) : QStyledItemDelegate(parent) {
  setElideMode(Qt::ElideMiddle);
}

QRectF QoTreeTextAndImageCell::devicePartFrame(const QRectF& frame) {
  return {frame.x(), frame.y(), kDeviceWidth, 20};
}

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
    syncFileIndexCell_->drawWithFrame(painter, indexPartFrame(frame));
  } else {
    if (!deviceCell_) deviceCell_ = std::make_unique<DeviceTextAndImageCell>();
    deviceCell_->setImage(deviceImage_);
    deviceCell_->setText(deviceTitle_);
    deviceCell_->drawWithFrame(painter, devicePartFrame(frame));
    setFont(smallSystemFont());
    setTextColor(Qt::gray);
    if (!downloadImage_.isNull()) {
      if (!downloadAndUploadCell_) downloadAndUploadCell_ = std::make_unique<DownloadAndUploadCell>();
      downloadAndUploadCell_->setImage(downloadImage_);
      downloadAndUploadCell_->setText(downloadSpeed_);
      downloadAndUploadCell_->drawWithFrame(painter, transferPartFrame(frame));
    }
  }
  drawImage(painter, image(), imageRect(frame, cellType_));
  drawText(painter, titleRect(frame, cellType_));
}

void QoTreeTextAndImageCell::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                   const QModelIndex& index) const {
  QStyleOptionViewItem background = option;
  initStyleOption(&background, index);
  background.text.clear();
  background.icon = QIcon();
  QStyle* style = option.widget ? option.widget->style() : QApplication::style();
  style->drawControl(QStyle::CE_ItemViewItem, &background, painter, option.widget);

  // Painting fills the cell for each row in turn, as the outline's one shared row cell does.
  auto* self = const_cast<QoTreeTextAndImageCell*>(this);
  self->fillForIndex(index);
  painter->save();
  painter->setClipRect(option.rect);
  self->drawWithFrame(*painter, option.rect);
  painter->restore();
}

QSize QoTreeTextAndImageCell::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const {
  return {static_cast<int>(kDeviceWidth + kPairTextWidth + 25 + 17 + 150), kRowHeight};
}

bool QoTreeTextAndImageCell::helpEvent(QHelpEvent* event, QAbstractItemView* view,
                                       const QStyleOptionViewItem& option, const QModelIndex& index) {
  if (event->type() != QEvent::ToolTip || !index.isValid()) return QStyledItemDelegate::helpEvent(event, view, option, index);
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
