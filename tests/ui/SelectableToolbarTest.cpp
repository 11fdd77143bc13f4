#include <QAction>
#include <QApplication>
#include <QMainWindow>

#include <gtest/gtest.h>

#include "ui/SelectableToolbar.h"
#include "ui/SelectableToolbarItem.h"

namespace velbor {
namespace {

struct CountingDelegate : SelectableToolbarItemDelegate {
  void itemDidClick(SelectableToolbarItem* item) override { clicked.append(item->itemIdentifier()); }
  QStringList clicked;
};

class SelectableToolbarTest : public ::testing::Test {
 protected:
  void SetUp() override {
    toolbar_ = new SelectableToolbar("toolbar", &window_);
    window_.addToolBar(toolbar_);
    toolbar_->setWindow(&window_);
    small_ = new QWidget(&window_);
    small_->resize(300, 200);
    tall_ = new QWidget(&window_);
    tall_->resize(500, 450);
    // A plain action between the selectable ones is not counted.
    toolbar_->addSelectableItem(item("small", small_));
    toolbar_->addAction(new QAction("plain", toolbar_));
    toolbar_->addSelectableItem(item("tall", tall_));
  }

  SelectableToolbarItem* item(const QString& identifier, QWidget* view) {
    auto* created = new SelectableToolbarItem(identifier, identifier + " label", toolbar_);
    created->setLinkedView(view);
    created->setItemDelegate(&delegate_);
    return created;
  }

  QMainWindow window_;
  SelectableToolbar* toolbar_ = nullptr;
  QWidget* small_ = nullptr;
  QWidget* tall_ = nullptr;
  CountingDelegate delegate_;
};

TEST_F(SelectableToolbarTest, SelectingSwapsPanesKeepsTheTopEdgeAndNeverDeletesAPane) {
  toolbar_->setDefaultItemIndex(0);
  window_.move(40, 60);
  window_.show();
  QApplication::processEvents();
  ASSERT_EQ(window_.centralWidget(), small_);
  EXPECT_EQ(window_.windowTitle(), "small label");
  const int decoration = window_.height() - small_->height();
  const int top = window_.geometry().top();

  toolbar_->selectItemWithIndex(1);
  QApplication::processEvents();
  EXPECT_EQ(window_.centralWidget(), tall_);
  EXPECT_EQ(window_.height(), decoration + 450);
  EXPECT_EQ(window_.width(), 500);
  EXPECT_EQ(window_.geometry().top(), top);
  EXPECT_EQ(window_.windowTitle(), "tall label");

  // The pane it left is still alive and comes back.
  toolbar_->selectItemWithIndex(0);
  EXPECT_EQ(window_.centralWidget(), small_);
  EXPECT_FALSE(tall_->isVisible());
  EXPECT_EQ(tall_->parentWidget(), &window_);
}

TEST_F(SelectableToolbarTest, IndexesCountSelectableItemsOnlyAndOutOfRangeDoesNothing) {
  EXPECT_EQ(toolbar_->selectableItemIndexToMainIndex(0), 0);
  EXPECT_EQ(toolbar_->selectableItemIndexToMainIndex(1), 2);
  EXPECT_EQ(toolbar_->selectableItemIndexToMainIndex(2), -1);
  EXPECT_EQ(toolbar_->itemWithIdentifier("plain"), nullptr);
  toolbar_->selectItemWithIndex(1);
  toolbar_->selectItemWithIndex(5);
  toolbar_->selectItemWithIndex(-1);
  EXPECT_EQ(toolbar_->selectedItemIdentifier(), "tall");
}

TEST_F(SelectableToolbarTest, ClickingAnItemSelectsItAndTellsItsDelegate) {
  window_.show();
  toolbar_->itemWithIdentifier("tall")->trigger();
  EXPECT_EQ(window_.centralWidget(), tall_);
  EXPECT_EQ(delegate_.clicked, QStringList{"tall"});
  EXPECT_TRUE(toolbar_->itemWithIdentifier("tall")->isChecked());
  EXPECT_FALSE(toolbar_->itemWithIdentifier("small")->isChecked());
}

}  // namespace
}  // namespace velbor
