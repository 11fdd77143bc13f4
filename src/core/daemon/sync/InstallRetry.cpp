#include "core/daemon/sync/InstallRetry.h"

namespace velbor {

InstallRetry& InstallRetry::shared() {
  // Never destroyed: a pull still running at exit asks it.
  static auto* instance = new InstallRetry();
  return *instance;
}

}  // namespace velbor
