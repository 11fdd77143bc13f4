#pragma once

#include <mutex>

namespace velbor {

// One nesting database transaction in scope: takes the "transaction" locker, begins, and
// rolls back on leaving the scope unless commit() was called. A begin that fails raises
// from the constructor and leaves nothing to roll back.
//
//   PersistentTransaction transaction;
//   ... statements ...
//   transaction.commit();
class PersistentTransaction {
 public:
  PersistentTransaction();
  ~PersistentTransaction();
  PersistentTransaction(const PersistentTransaction&) = delete;
  PersistentTransaction& operator=(const PersistentTransaction&) = delete;

  // Raises when the database refuses the COMMIT; the destructor then rolls back.
  void commit();
  void rollback();

 private:
  std::unique_lock<std::recursive_mutex> locker_;
  bool open_ = false;
};

}  // namespace velbor
