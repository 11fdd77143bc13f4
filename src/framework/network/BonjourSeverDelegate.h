#pragma once

#include <string>

namespace velbor {

class BonjourServer;

class BonjourSeverDelegate {
 public:
  virtual ~BonjourSeverDelegate() = default;
  virtual void bonjourServer(BonjourServer& server, const std::string& didAcceptData) = 0;
};

}  // namespace velbor
