#include "ui/SelectableToolbar.h"

#include <QEvent>

#include "ui/SelectableToolbarItem.h"

namespace velbor {

SelectableToolbar::SelectableToolbar(const QString& identifier, QWidget* parent)
    : QToolBar(parent), blankView_(new QWidget(this)), group_(new QActionGroup(this)) {
  setObjectName(identifier);
  setMovable(false);
  setFloatable(false);
  setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  blankView_->resize(100, 100);
  blankView_->hide();
  group_->setExclusive(true);
}

void SelectableToolbar::setWindow(QMainWindow* window) {
  if (windowAlive_ != nullptr) windowAlive_->removeEventFilter(this);
  window_ = window;
  windowAlive_ = window;
  firstShown_ = false;
  if (window_ != nullptr) window_->installEventFilter(this);
}

void SelectableToolbar::addSelectableItem(SelectableToolbarItem* item) {
  addAction(item);
  group_->addAction(item);
  connect(item, &QAction::triggered, this, [this, item] { toolbarItemClicked(item); });
}

bool SelectableToolbar::eventFilter(QObject* watched, QEvent* event) {
  const bool becameKey = event->type() == QEvent::WindowActivate || event->type() == QEvent::Show;
  if (watched == windowAlive_.data() && becameKey && !firstShown_) {
    firstShown_ = true;
    selectItemWithIndex(defaultItemIndex_);
  }
  return QToolBar::eventFilter(watched, event);
}

void SelectableToolbar::toolbarItemClicked(SelectableToolbarItem* item) {
  setSelectedItemIdentifier(item->itemIdentifier());
  item->itemDidClick();
}

QList<SelectableToolbarItem*> SelectableToolbar::selectableItems() const {
  QList<SelectableToolbarItem*> items;
  for (QAction* action : actions()) {
    if (auto* item = qobject_cast<SelectableToolbarItem*>(action)) items.append(item);
  }
  return items;
}

void SelectableToolbar::selectItemWithIndex(int64_t index) {
  const QList<SelectableToolbarItem*> items = selectableItems();
  if (index < 0 || index >= items.size()) return;
  setSelectedItemIdentifier(items[static_cast<qsizetype>(index)]->itemIdentifier());
}

int64_t SelectableToolbar::selectableItemIndexToMainIndex(int64_t index) const {
  const QList<QAction*> all = actions();
  int64_t seen = 0;
  for (qsizetype i = 0; i < all.size(); ++i) {
    if (qobject_cast<SelectableToolbarItem*>(all[i]) == nullptr) continue;
    if (seen++ == index) return i;
  }
  return -1;
}

SelectableToolbarItem* SelectableToolbar::itemWithIdentifier(const QString& identifier) const {
  for (SelectableToolbarItem* item : selectableItems()) {
    if (item->itemIdentifier() == identifier) return item;
  }
  return nullptr;
}

void SelectableToolbar::setSelectedItemIdentifier(const QString& identifier) {
  SelectableToolbarItem* item = itemWithIdentifier(identifier);
  if (item == nullptr) return;
  selected_ = identifier;
  item->setChecked(true);
  QWidget* view = item->linkedView();
  if (view == nullptr || windowAlive_ == nullptr) return;
  // The window keeps its top edge and its decoration (toolbar, frame); the content area
  // takes the linked view's size. The blank view stands in while the size changes.
  QWidget* current = window_->centralWidget();
  const int decoration = window_->height() - (current != nullptr ? current->height() : 0);
  const QSize wanted = view->size().isValid() && !view->size().isEmpty() ? view->size() : view->sizeHint();
  if (current != view) {
    // Taken, not replaced: setCentralWidget would delete the pane it replaces. A taken pane
    // is given back to the window as a hidden child, so it lives as long as the window.
    if (current != nullptr) {
      window_->takeCentralWidget();
      current->hide();
      current->setParent(window_);
    }
    window_->setCentralWidget(blankView_);
    blankView_->show();
    window_->resize(wanted.width(), decoration + wanted.height());
    window_->takeCentralWidget();
    blankView_->hide();
    blankView_->setParent(this);
    window_->setCentralWidget(view);
    view->show();
  }
  window_->setWindowTitle(item->text());
  if (QWidget* next = view->nextInFocusChain(); next != nullptr && next != view) next->setFocus();
}

}  // namespace velbor
