#pragma once

#include <cstdint>
#include <string>

#include "framework/persistence/WriteTransaction.h"
#include "platform/RecursiveLocker.h"
#include "platform/ThreadSafety.h"

namespace velbor {

// The process's re-entrant lockers, one object each, made on first use and kept for the life
// of the process, so a reference handed out never dangles. What each one guards is written
// next to that state with GUARDED_BY or REQUIRES.
class Lockers {
 public:
  Lockers() = delete;

  // Every database write and transaction (the same object as WriteTransaction::locker()).
  static RecursiveLocker& transaction() RETURN_CAPABILITY(WriteTransaction::locker()) {
    return WriteTransaction::locker();
  }
  // The file-system monitor's copies, change sets and retry counts.
  static RecursiveLocker& monitor();
  // The failed-usn marks' compare and set.
  static RecursiveLocker& failedUsn();
  // One pairing's sync once: whether it runs and what waits for it (by the pairing's key).
  static RecursiveLocker& syncOnce(int32_t relationPk);
  // One device's trust status and trust contexts (by the device's uuid): each check and the
  // change it allows happen in one step.
  static RecursiveLocker& trust(const std::string& deviceUuid);

  // The locker under a name, for callers that still name them: "transaction", "monitor",
  // "failedUsn", "syncOnce-<key>" and "trust-<uuid>" are the typed lockers above; any other
  // name has one locker of its own. The name must not be empty.
  static RecursiveLocker& named(const std::string& name);
};

}  // namespace velbor
