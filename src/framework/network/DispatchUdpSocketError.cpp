#include "framework/network/DispatchUdpSocketError.h"

#include <fmt/format.h>

namespace velbor {

std::string DispatchUdpSocketError::description() const {
  std::string text = fmt::format("{} {}: {}", domain_, code_, localizedDescription_);
  if (localizedFailureReason_) text += fmt::format(" ({})", *localizedFailureReason_);
  return text;
}

}  // namespace velbor
