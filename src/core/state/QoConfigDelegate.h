#pragma once

#include <map>
#include <string>

#include "core/state/QoConfigValue.h"

namespace velbor {

// The platform's answers to the settings store: its own defaults, the version stamp that
// decides a reset of them, and the folders offered for remote browsing.
class QoConfigDelegate {
 public:
  virtual ~QoConfigDelegate() = default;

  // Platform defaults laid over the base table, built anew at each call.
  virtual QoConfigValues userDefaultConfigValues() = 0;
  virtual std::string getConfigVersion() = 0;
  // Absolute path -> 0 for every browsable root.
  virtual std::map<std::string, int> getListRoot() = 0;
};

}  // namespace velbor
