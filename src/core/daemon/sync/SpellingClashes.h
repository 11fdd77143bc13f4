#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "core/entity/NotedPaths.h"

namespace velbor {

// Installs refused because a disk that ignores letter case lists the file's name under another
// spelling, held by another item. A case-only rename on its way makes such a clash for a
// moment: the old spelling's removal may come in a later page of the same pass. A refusal
// persists once a pass of its pairing that made it (or any later one) went through every page:
// then the other spelling is kept, and the arriving file comes in beside it under a conflict
// name. A try is known by its key, naming the version of the file and the local state it met
// (the fetcher's): another version, or a change here, starts anew. Bounded in number (the
// oldest go first). Thread-safe.
class SpellingClashes {
 public:
  static constexpr size_t kMaxEntries = 4096;
  // How long after a refusal its pairing is pulled again, for the pass that decides.
  static constexpr std::chrono::seconds kNextPassAfter{3};

  static SpellingClashes& shared();

  // The install `key`, pulled through `pairing`, was refused for a clash of spelling.
  void refused(const std::string& pairing, const std::string& key);
  // Whether such a refusal of `key` outlasted a whole pass.
  bool persisted(const std::string& key);
  // A pass of `pairing` went through every page.
  void passCompleted(const std::string& pairing);
  void installed(const std::string& key);
  void clear();

 private:
  struct Refusal {
    std::string pairing;
    // The passes of its pairing completed before the refusal.
    uint64_t passesBefore = 0;
  };

  std::mutex mutex_;
  NotedPaths<Refusal> refusals_{kMaxEntries};
  std::unordered_map<std::string, uint64_t> passes_;
};

}  // namespace velbor
