#pragma once

#include <string>

namespace velbor {

// The steps in which the engine reads, changes and records items of a copy. Each is announced
// once done, with the item's path, so that a test can act in the gap before the next one (write
// the file, rename it, make the database refuse the commit) and see that what the engine writes
// and what it records never part ways. Nothing listens in the program itself: an announcement is
// one load of a pointer.
enum class DiskStep {
  Read,      // the item was looked at and judged (as recorded, or free to take)
  Hash,      // its content was read and hashed
  Stamp,     // its permissions and times were set
  Rename,    // it was moved to its new name
  Exchange,  // it was exchanged with the item standing at its new name
  Remove,    // it was removed
  Record,    // the records of the change were written, not yet committed
};

class DiskSteps {
 public:
  class Hook {
   public:
    virtual ~Hook() = default;
    virtual void passed(DiskStep step, const std::string& path) = 0;
  };

  static void passed(DiskStep step, const std::string& path);

  // Tests: `hook` hears of every step while this lives (one at a time).
  class ScopedHook {
   public:
    explicit ScopedHook(Hook& hook);
    ~ScopedHook();
    ScopedHook(const ScopedHook&) = delete;
    ScopedHook& operator=(const ScopedHook&) = delete;
  };
};

}  // namespace velbor
