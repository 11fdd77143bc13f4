#pragma once

#include <mutex>
#include <string>

namespace velbor {

// The process's re-entrant lockers by name ("transaction", "monitor", "failedUsn", ...).
// One object per name, created on first request and kept for the life of the process, so
// a reference handed out never dangles. DataSource::getLocker hands out these same objects:
// the database layer takes "transaction" here without depending on the daemon.
class NamedLockers {
 public:
  NamedLockers() = delete;

  static std::recursive_mutex& getLocker(const std::string& name);
};

}  // namespace velbor
