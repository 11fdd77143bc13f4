#pragma once

#include <QStyledItemDelegate>

#include <functional>
#include <memory>

#include "ui/DeviceTextAndImageCell.h"
#include "ui/DownloadAndUploadCell.h"
#include "ui/ImageAndTextCell.h"
#include "ui/SyncFileIndexCell.h"

namespace velbor {

// The row cell of the sync-directory pane. A tree row (cellType not 0): folder image, local
// path, and the indexing text. A pairing row (cellType 0): partner device, document image,
// remote path and, while `downloadImage` is set, the transfer image and text.
//
// Before each row is drawn the cell is cleared and handed to `willDisplayCell`, which fills
// it for that row (so no row shows texts left over from the row drawn before it).
class QoTreeTextAndImageCell : public QStyledItemDelegate, public ImageAndTextCell {
  Q_OBJECT

 public:
  using Filler = std::function<void(QoTreeTextAndImageCell& cell, const QModelIndex& index)>;
  // The tool tip of the pointer at `pos` (view coordinates) over a filled row, or "".
  using ToolTip = std::function<QString(QoTreeTextAndImageCell& cell, const QModelIndex& index, const QPoint& pos)>;

  static constexpr int kRowHeight = 26;

  explicit QoTreeTextAndImageCell(QObject* parent = nullptr);

  void setWillDisplayCell(Filler filler) { willDisplayCell_ = std::move(filler); }
  void setToolTipForCell(ToolTip toolTip) { toolTipForCell_ = std::move(toolTip); }

  int cellType() const { return cellType_; }
  void setCellType(int value) { cellType_ = value; }
  const QIcon& deviceImage() const { return deviceImage_; }
  void setDeviceImage(const QIcon& value) { deviceImage_ = value; }
  const QString& deviceTitle() const { return deviceTitle_; }
  void setDeviceTitle(const QString& value) { deviceTitle_ = value; }
  const QIcon& downloadImage() const { return downloadImage_; }
  void setDownloadImage(const QIcon& value) { downloadImage_ = value; }
  const QString& downloadSpeed() const { return downloadSpeed_; }
  void setDownloadSpeed(const QString& value) { downloadSpeed_ = value; }
  const QString& indexTitle() const { return indexTitle_; }
  void setIndexTitle(const QString& value) { indexTitle_ = value; }
  // Made on first drawing of their kind of row.
  DeviceTextAndImageCell* deviceCell() const { return deviceCell_.get(); }
  DownloadAndUploadCell* downloadAndUploadCell() const { return downloadAndUploadCell_.get(); }
  SyncFileIndexCell* syncFileIndexCell() const { return syncFileIndexCell_.get(); }

  // Clears the row state, lets the filler fill it for `index` and takes the title from it.
  void fillForIndex(const QModelIndex& index);
  void drawWithFrame(QPainter& painter, const QRectF& frame) override;

  // Part frames of a row whose cell frame is `frame`.
  static QRectF devicePartFrame(const QRectF& frame);
  static QRectF transferPartFrame(const QRectF& frame);
  static QRectF indexPartFrame(const QRectF& frame);
  // The row's own image and title for the row kind.
  static QRectF imageRect(const QRectF& frame, int cellType);
  static QRectF titleRect(const QRectF& frame, int cellType);

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                 const QModelIndex& index) override;
  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option, const QModelIndex& index) const override;

 private:
  Filler willDisplayCell_;
  ToolTip toolTipForCell_;
  std::unique_ptr<DeviceTextAndImageCell> deviceCell_;
  int cellType_ = 0;
  QIcon deviceImage_;
  QString deviceTitle_;
  QIcon downloadImage_;
  QString downloadSpeed_;
  QString indexTitle_;
  std::unique_ptr<DownloadAndUploadCell> downloadAndUploadCell_;
  std::unique_ptr<SyncFileIndexCell> syncFileIndexCell_;
  // The text colour of a selected row while it is painted; invalid for other rows.
  QColor selectedTextColor_;
};

}  // namespace velbor
