#pragma once

#include <functional>
#include <string>

namespace velbor {

// Which local copies have had their folder marked (SyncdirMark): kept across restarts by the
// owner of the persistent state, so that a folder without the mark where the copy had one is
// known to be another folder. The owner installs the store once for the process; until then
// the marks are remembered in memory only.
class MarkedCopies {
 public:
  using Query = std::function<bool(const std::string& copyUuid)>;
  using Record = std::function<void(const std::string& copyUuid)>;

  MarkedCopies() = default;
  MarkedCopies(Query wasMarked, Record setMarked);

  bool wasMarked(const std::string& copyUuid) const;
  void setMarked(const std::string& copyUuid) const;

  // Replaces the process-wide store; safe against callers on other threads.
  static void install(MarkedCopies store);
  // The process-wide store as installed last (the in-memory one before the first install).
  static MarkedCopies installed();

 private:
  Query wasMarked_;
  Record setMarked_;
};

}  // namespace velbor
