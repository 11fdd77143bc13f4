#include "ui/MainThreadObservers.h"

namespace velbor {

void MainThreadObservers::removeAll() {
  for (const NotificationCenter::Token token : tokens_) NotificationCenter::defaultCenter().removeObserver(token);
  tokens_.clear();
}

}  // namespace velbor
