#pragma once

#include <exception>
#include <string>
#include <utility>

namespace velbor {

// The platform's named exception: a name that callers test for ("QoEncrypt",
// "UninitializedMessage", "" for a failed assertion) and a human-readable reason.
class Exception : public std::exception {
 public:
  Exception(std::string name, std::string reason)
      : name_(std::move(name)), reason_(std::move(reason)), what_(name_ + ": " + reason_) {}

  const std::string& name() const noexcept { return name_; }
  const std::string& reason() const noexcept { return reason_; }
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  std::string name_;
  std::string reason_;
  std::string what_;
};

}  // namespace velbor
