#pragma once

#include "platform/RecursiveLocker.h"
#include "platform/ThreadSafety.h"

namespace velbor {

// One nesting database write transaction in scope: holds the "transaction" locker for its
// whole life and begins, and rolls back on leaving the scope unless commit() was called. A
// begin that fails raises from the constructor and leaves nothing to roll back.
//
//   WriteTransaction transaction;
//   ... statements ...
//   transaction.commit();
//
// Where the locker must also cover what follows a failure (the catch of a try around the
// transaction), it is made with `beginLater` outside the try and begun inside it:
//
//   WriteTransaction transaction(WriteTransaction::beginLater);
//   try {
//     transaction.begin();
//     ... statements ...
//     transaction.commit();
//   } catch (...) {
//     transaction.rollback();  // still under the locker
//   }
class SCOPED_CAPABILITY WriteTransaction {
 public:
  struct BeginLater {};
  static constexpr BeginLater beginLater{};

  // The process's "transaction" locker. Every database write, in or out of a transaction,
  // holds it (there is one connection); taken before the statement lock.
  static RecursiveLocker& locker();

  WriteTransaction() ACQUIRE(locker());
  explicit WriteTransaction(BeginLater) ACQUIRE(locker());
  ~WriteTransaction() RELEASE();
  WriteTransaction(const WriteTransaction&) = delete;
  WriteTransaction& operator=(const WriteTransaction&) = delete;

  // Begins the transaction made with `beginLater` (once); raises when the database refuses.
  void begin();
  // Raises when the database refuses the COMMIT; the destructor then rolls back. Nothing when
  // nothing is open (not begun, or committed already).
  void commit();
  // Rolls back what is open; nothing when nothing is.
  void rollback();

 private:
  RecursiveLocker& locker_;
  bool open_ = false;
};

}  // namespace velbor
