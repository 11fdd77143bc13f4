#include "ui/SyncAddImage.h"

#include <QFrame>
#include <QMouseEvent>

#include "ui/SyncAddImageDelegate.h"

namespace velbor {

SyncAddImage::SyncAddImage(QWidget* parent) : QLabel(parent), box_(new QFrame(this)) {
  setAlignment(Qt::AlignCenter);
  setCursor(Qt::PointingHandCursor);
  const QColor selected = palette().color(QPalette::Highlight);
  box_->setObjectName(QStringLiteral("hoverBox"));
  box_->setStyleSheet(
      QStringLiteral("QFrame#hoverBox { border: 4px solid %1; border-radius: 3px; background: transparent; }")
          .arg(selected.name()));
  box_->setAttribute(Qt::WA_TransparentForMouseEvents);
  box_->hide();
}

void SyncAddImage::enterEvent(QEnterEvent* event) {
  box_->show();
  QLabel::enterEvent(event);
}

void SyncAddImage::leaveEvent(QEvent* event) {
  box_->hide();
  QLabel::leaveEvent(event);
}

void SyncAddImage::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
    if (imageDelegate_ != nullptr) imageDelegate_->imageAction(this);
  }
  box_->hide();
}

void SyncAddImage::resizeEvent(QResizeEvent* event) {
  QLabel::resizeEvent(event);
  box_->setGeometry(rect().adjusted(1, 1, -1, -1));
}

}  // namespace velbor
