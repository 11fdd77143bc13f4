#pragma once

#include <string>
#include <utility>

#include "platform/Exception.h"

namespace velbor {

// A message lacks a required field (or holds an incomplete nested message), found when
// building it or when parsing it.
class UninitializedMessage : public Exception {
 public:
  explicit UninitializedMessage(std::string reason = "") : Exception("UninitializedMessage", std::move(reason)) {}
};

}  // namespace velbor
