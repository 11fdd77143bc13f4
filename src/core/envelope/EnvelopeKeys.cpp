#include "core/envelope/EnvelopeKeys.h"

#include <mutex>
#include <utility>

namespace velbor {

namespace {

std::mutex installedMutex;

EnvelopeKeys& installedKeys() {
  // Never destroyed: workers may still seal or open messages during exit.
  static auto* keys = new EnvelopeKeys();
  return *keys;
}

}  // namespace

EnvelopeKeys::EnvelopeKeys(Text privateKey, Text deviceToken, Number portUdp)
    : privateKey_(std::move(privateKey)), deviceToken_(std::move(deviceToken)), portUdp_(std::move(portUdp)) {}

std::string EnvelopeKeys::privateKey() const { return privateKey_ ? privateKey_() : std::string(); }

std::string EnvelopeKeys::deviceToken() const { return deviceToken_ ? deviceToken_() : std::string(); }

int EnvelopeKeys::portUdp() const { return portUdp_ ? portUdp_() : 0; }

void EnvelopeKeys::install(EnvelopeKeys keys) {
  std::lock_guard lock(installedMutex);
  installedKeys() = std::move(keys);
}

EnvelopeKeys EnvelopeKeys::installed() {
  // A copy: the sources run outside the lock, so they may take locks of their own.
  std::lock_guard lock(installedMutex);
  return installedKeys();
}

}  // namespace velbor
