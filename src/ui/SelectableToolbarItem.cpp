#include "ui/SelectableToolbarItem.h"

namespace velbor {

SelectableToolbarItem::SelectableToolbarItem(const QString& identifier, const QString& label, QObject* parent)
    : QAction(label, parent), identifier_(identifier) {
  setCheckable(true);
  setObjectName(identifier);
}

void SelectableToolbarItem::itemDidClick() {
  if (itemDelegate_ != nullptr) itemDelegate_->itemDidClick(this);
}

}  // namespace velbor
