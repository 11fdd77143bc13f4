#pragma once

#include <string>
#include <utility>

#include "platform/Exception.h"

namespace velbor {

// Bytes that are not a well-formed encoding of the expected message type, or that
// exceed the nesting or size limits.
class InvalidProtocolBuffer : public Exception {
 public:
  explicit InvalidProtocolBuffer(std::string reason) : Exception("InvalidProtocolBuffer", std::move(reason)) {}
};

}  // namespace velbor
