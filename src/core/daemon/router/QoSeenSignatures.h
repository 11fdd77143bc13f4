#pragma once

#include <string>

namespace velbor {

// Signatures this device has seen a device put on a body that is nothing but that device's
// own uuid: a DistrustRequest, a PubExit or a StatusRequest without a challenge (one of an
// earlier version). The three bodies are the same
// bytes, and a signature covers the body alone, so each of them is also a valid distrust of
// its signer; and it is the same signature every time. A distrust that carries one seen
// before is a replay or a relabelled message as far as its signature can tell.
//
// Kept per device uuid in the settings suite "SeenSignatures" (fingerprints only), so that
// neither a new pairing nor a restart forgets them; a device's list keeps its newest
// kMaxPerDevice, and at most kMaxDevices devices are kept.
class QoSeenSignatures {
 public:
  static constexpr const char* kSuite = "SeenSignatures";
  static constexpr size_t kMaxPerDevice = 8;
  static constexpr size_t kMaxDevices = 1024;

  QoSeenSignatures() = delete;

  // Whether `sign` was remembered for the device.
  static bool seen(const std::string& deviceUuid, const std::string& sign);
  // Remembers `sign` for the device; false when it was known already.
  static bool remember(const std::string& deviceUuid, const std::string& sign);
};

}  // namespace velbor
