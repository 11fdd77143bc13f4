#pragma once

#include <string>

#include "platform/DnsService.h"

namespace velbor {

class BonjourClientDelegate {
 public:
  virtual ~BonjourClientDelegate() = default;
  virtual std::string bonjourClientKeepAliveData() = 0;
  // True to connect to the service.
  virtual bool bonjourClientWillFindService(const DnsService::Found& service) = 0;
  virtual void bonjourClientDidFindService(const DnsService::Found& service) = 0;
  // True to drop the service and its stream.
  virtual bool bonjourClientDidRemoveService(const DnsService::Found& service) = 0;
};

}  // namespace velbor
