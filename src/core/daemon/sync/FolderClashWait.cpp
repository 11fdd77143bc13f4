#include "core/daemon/sync/FolderClashWait.h"

namespace velbor {

FolderClashWait& FolderClashWait::shared() {
  // Never destroyed: a pull still running at exit asks it.
  static auto* instance = new FolderClashWait();
  return *instance;
}

}  // namespace velbor
