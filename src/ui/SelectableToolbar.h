#pragma once

#include <QActionGroup>
#include <QMainWindow>
#include <QPointer>
#include <QToolBar>

#include <cstdint>

namespace velbor {

class SelectableToolbarItem;

// A toolbar whose selectable items swap the window's content: the window takes the item's
// linked view, its label as title, and a size that fits the view with its top edge kept.
class SelectableToolbar : public QToolBar {
  Q_OBJECT

 public:
  explicit SelectableToolbar(const QString& identifier, QWidget* parent = nullptr);

  QMainWindow* window() const { return windowAlive_ != nullptr ? window_ : nullptr; }
  // The window whose content the items swap; the item at `defaultItemIndex` is selected
  // when it is first shown or activated.
  void setWindow(QMainWindow* window);
  int64_t defaultItemIndex() const { return defaultItemIndex_; }
  void setDefaultItemIndex(int64_t index) { defaultItemIndex_ = index; }
  QWidget* blankView() const { return blankView_; }

  // Adds an item; clicking it selects it and tells its delegate.
  void addSelectableItem(SelectableToolbarItem* item);
  // The n-th selectable item (counting only those); out of range, nothing.
  void selectItemWithIndex(int64_t index);
  // The index among all actions of the n-th selectable item, or -1.
  int64_t selectableItemIndexToMainIndex(int64_t index) const;
  // The first item with this identifier, or none.
  SelectableToolbarItem* itemWithIdentifier(const QString& identifier) const;
  void setSelectedItemIdentifier(const QString& identifier);
  QString selectedItemIdentifier() const { return selected_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void toolbarItemClicked(SelectableToolbarItem* item);
  QList<SelectableToolbarItem*> selectableItems() const;

  // The window and a guard that clears when it goes; the guard is a plain QObject pointer so
  // that events of a window being destroyed are never cast to its (gone) class.
  QMainWindow* window_ = nullptr;
  QPointer<QObject> windowAlive_;
  QWidget* blankView_;
  QActionGroup* group_;
  int64_t defaultItemIndex_ = 0;
  bool firstShown_ = false;
  QString selected_;
};

}  // namespace velbor
