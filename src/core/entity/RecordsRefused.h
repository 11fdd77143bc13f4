#pragma once

#include <exception>
#include <optional>
#include <string>
#include <utility>

namespace velbor {

// The database refused the records of a fetch event as a whole (DatabaseRefusal: a full disk
// under it), after the event put its disk work back and answered false like any failed
// event. The event notes it on its thread; a caller that goes through many records raises
// it then with raiseIfNoted(). Not a QoException: nothing on the way may take it for a
// failure of one file and go on with the next, which would fail the same way.
class RecordsRefused : public std::exception {
 public:
  explicit RecordsRefused(std::string cause) : cause_(std::move(cause)) {}
  const char* what() const noexcept override { return cause_.c_str(); }

  static void note(std::string cause) { noted_ = std::move(cause); }
  static std::optional<std::string> takeNoted() { return std::exchange(noted_, std::nullopt); }
  // Raises what the last fetch event of this thread noted, if anything.
  static void raiseIfNoted() {
    if (auto cause = takeNoted()) throw RecordsRefused(std::move(*cause));
  }

 private:
  std::string cause_;
  static inline thread_local std::optional<std::string> noted_;
};

}  // namespace velbor
