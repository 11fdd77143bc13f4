#pragma once

#include <string>

#include "platform/Exception.h"

namespace velbor {

// A failed ZeroMQ or socket call: the library's (or the system's) error text as the reason
// and its errno value as the code.
class ZMQException : public Exception {
 public:
  ZMQException(std::string reason, int code) : Exception("ZMQException", std::move(reason)), errorCode_(code) {}

  int getErrorCode() const noexcept { return errorCode_; }
  void setErrorCode(int code) noexcept { errorCode_ = code; }

 private:
  int errorCode_;
};

}  // namespace velbor
