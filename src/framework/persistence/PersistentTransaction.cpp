#include "framework/persistence/PersistentTransaction.h"

#include "framework/persistence/NamedLockers.h"
#include "framework/persistence/PersistentObject.h"

namespace velbor {

PersistentTransaction::PersistentTransaction() : locker_(NamedLockers::getLocker("transaction")) {
  PersistentObject::beginTransaction();
  open_ = true;
}

PersistentTransaction::~PersistentTransaction() {
  if (open_) {
    try {
      rollback();
    } catch (...) {
      // A destructor must not throw; rollbackTransaction already logged the failure.
    }
  }
}

void PersistentTransaction::commit() {
  PersistentObject::commitTransaction();
  open_ = false;
}

void PersistentTransaction::rollback() {
  open_ = false;
  PersistentObject::rollbackTransaction();
}

}  // namespace velbor
