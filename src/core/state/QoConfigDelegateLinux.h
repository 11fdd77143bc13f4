#pragma once

#include <map>
#include <string>

#include "core/state/QoConfigDelegate.h"

namespace velbor {

// This platform's answers to the settings store: its defaults, the configuration version,
// and the folders directly inside the home folder as browsable roots.
class QoConfigDelegateLinux : public QoConfigDelegate {
 public:
  static constexpr const char* kConfigVersion = "0.0.10";
  static constexpr int kDeviceTypeLinux = 1;

  QoConfigValues userDefaultConfigValues() override;
  std::string getConfigVersion() override;
  std::map<std::string, int> getListRoot() override;

  // The host's name, empty when it cannot be read.
  static std::string hostName();
};

}  // namespace velbor
