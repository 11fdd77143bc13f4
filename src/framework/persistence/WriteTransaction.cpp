#include "framework/persistence/WriteTransaction.h"

#include "framework/persistence/PersistentObject.h"

namespace velbor {

RecursiveLocker& WriteTransaction::locker() {
  // Never destroyed: it may still be taken by threads that outlive static destruction.
  static auto* transactionLocker = new RecursiveLocker();
  return *transactionLocker;
}

// When begin raises, the object is already made (by the delegated constructor): its
// destructor releases the locker.
WriteTransaction::WriteTransaction() : WriteTransaction(beginLater) { begin(); }

WriteTransaction::WriteTransaction(BeginLater) : locker_(locker()) { locker_.lock(); }

WriteTransaction::~WriteTransaction() {
  if (open_) {
    try {
      rollback();
    } catch (...) {
      // A destructor must not throw; rollbackTransaction already logged the failure.
    }
  }
  locker_.unlock();
}

void WriteTransaction::begin() {
  if (open_) return;
  PersistentObject::beginTransaction();
  open_ = true;
}

void WriteTransaction::commit() {
  // Nothing begun, or committed already: a commit now would end an outer transaction's level.
  if (!open_) return;
  PersistentObject::commitTransaction();
  open_ = false;
}

void WriteTransaction::rollback() {
  if (!open_) return;
  open_ = false;
  PersistentObject::rollbackTransaction();
}

}  // namespace velbor
