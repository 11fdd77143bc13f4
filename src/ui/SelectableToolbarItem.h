#pragma once

#include <QAction>
#include <QPointer>
#include <QWidget>

namespace velbor {

class SelectableToolbarItem;

// A pane that wants to hear when its toolbar item is clicked (to refresh what it shows).
class SelectableToolbarItemDelegate {
 public:
  virtual ~SelectableToolbarItemDelegate() = default;
  virtual void itemDidClick(SelectableToolbarItem* item) = 0;
};

// A toolbar item that shows its linked view as the window's content, like a tab.
class SelectableToolbarItem : public QAction {
  Q_OBJECT

 public:
  SelectableToolbarItem(const QString& identifier, const QString& label, QObject* parent = nullptr);

  QString itemIdentifier() const { return identifier_; }
  QWidget* linkedView() const { return linkedView_; }
  void setLinkedView(QWidget* view) { linkedView_ = view; }
  SelectableToolbarItemDelegate* itemDelegate() const { return itemDelegate_; }
  void setItemDelegate(SelectableToolbarItemDelegate* delegate) { itemDelegate_ = delegate; }

  // Tells the delegate, when there is one.
  void itemDidClick();

 private:
  QString identifier_;
  QPointer<QWidget> linkedView_;
  SelectableToolbarItemDelegate* itemDelegate_ = nullptr;
};

}  // namespace velbor
