#pragma once

#include <cstdint>
#include <string>

namespace velbor {

// A pending pairing offer, sent or received, kept in DataSource until it is answered
// or cancelled.
struct TrustInfo {
  std::string deviceUuid;
  // For an offer made here: the UTF-8 bytes of a fresh uuid's text.
  std::string token;
  // Seconds the offer stays open (the offering device's trustAuthTimeOut).
  int32_t timeout = 0;
};

}  // namespace velbor
