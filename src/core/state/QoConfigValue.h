#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <variant>

namespace velbor {

// Bytes kept apart from text so that the store writes them as data (keys, PEM).
struct QoConfigBytes {
  std::string bytes;
  bool operator==(const QoConfigBytes&) const = default;
};

// One settings value as the "QoConfig" suite stores it.
using QoConfigValue = std::variant<bool, int64_t, double, std::string, QoConfigBytes>;
using QoConfigValues = std::map<std::string, QoConfigValue>;

}  // namespace velbor
