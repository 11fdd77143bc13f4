#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace velbor {

// Where the entities take a new usn for a record they write, and where they mark the usn of
// a fetched change that failed for a pairing: the process-wide counter and marks, which the
// entities do not own. Their owner installs them once for the process. Until then asking
// for a usn raises (a made-up one could repeat a usn already handed out) and a failed usn is
// marked nowhere.
class UsnSource {
 public:
  using Next = std::function<int64_t()>;
  using FailedMark = std::function<void(const std::string& relationKey, int64_t usn)>;

  UsnSource() = default;
  UsnSource(Next getAutoUsn, FailedMark setSyncdirCopyRelationFailedUsn);

  // The next usn of the process-wide counter.
  int64_t getAutoUsn() const;
  // Marks `usn` as failed for the pairing whose relation hash is `relationKey`.
  void setSyncdirCopyRelationFailedUsn(const std::string& relationKey, int64_t usn) const;

  // Replaces the process-wide source; safe against callers on other threads.
  static void install(UsnSource source);
  // The process-wide source as installed last (none before the first install).
  static UsnSource installed();

 private:
  Next getAutoUsn_;
  FailedMark setSyncdirCopyRelationFailedUsn_;
};

}  // namespace velbor
