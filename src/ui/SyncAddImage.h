#pragma once

#include <QLabel>

class QFrame;

namespace velbor {

class SyncAddImageDelegate;

// A clickable picture of the sync-pair window: a frame shows while the pointer is over it,
// and a click tells the delegate.
class SyncAddImage : public QLabel {
  Q_OBJECT

 public:
  explicit SyncAddImage(QWidget* parent = nullptr);

  QFrame* box() const { return box_; }
  SyncAddImageDelegate* imageDelegate() const { return imageDelegate_; }
  void setImageDelegate(SyncAddImageDelegate* delegate) { imageDelegate_ = delegate; }

 protected:
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  QFrame* box_;
  SyncAddImageDelegate* imageDelegate_ = nullptr;
};

}  // namespace velbor
