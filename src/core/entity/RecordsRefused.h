#pragma once

#include <exception>
#include <string>
#include <utility>

namespace velbor {

// Raised by a fetch event whose records the database refused as a whole (DatabaseRefusal),
// after its disk work was put back. Not a QoException: nothing on the way may take it for a
// failure of one file and go on with the next, which would fail the same way.
class RecordsRefused : public std::exception {
 public:
  explicit RecordsRefused(std::string cause) : cause_(std::move(cause)) {}
  const char* what() const noexcept override { return cause_.c_str(); }

 private:
  std::string cause_;
};

}  // namespace velbor
