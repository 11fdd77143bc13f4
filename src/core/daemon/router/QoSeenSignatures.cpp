#include "core/daemon/router/QoSeenSignatures.h"

#include <mutex>

#include <nlohmann/json.hpp>

#include "framework/crypto/Cryptor.h"
#include "platform/QoLog.h"
#include "platform/UserDefaults.h"

namespace velbor {
namespace {

std::mutex& lock() {
  static std::mutex mutex;
  return mutex;
}

std::string fingerprint(const std::string& sign) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const unsigned char byte : Cryptor::getSHA1ForData(sign)) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0F]);
  }
  return text;
}

nlohmann::json listOf(const UserDefaults& suite, const std::string& deviceUuid) {
  auto stored = suite.objectForKey(deviceUuid);
  return stored && stored->is_array() ? *stored : nlohmann::json::array();
}

bool contains(const nlohmann::json& list, const std::string& print) {
  for (const auto& entry : list) {
    if (entry.is_string() && entry.get<std::string>() == print) return true;
  }
  return false;
}

}  // namespace

bool QoSeenSignatures::seen(const std::string& deviceUuid, const std::string& sign) {
  std::lock_guard guard(lock());
  return contains(listOf(*UserDefaults::suiteNamed(kSuite), deviceUuid), fingerprint(sign));
}

bool QoSeenSignatures::remember(const std::string& deviceUuid, const std::string& sign) {
  std::lock_guard guard(lock());
  auto suite = UserDefaults::suiteNamed(kSuite);
  const std::string print = fingerprint(sign);
  nlohmann::json list = listOf(*suite, deviceUuid);
  if (contains(list, print)) return false;
  list.push_back(print);
  while (list.size() > kMaxPerDevice) list.erase(list.begin());
  if (!suite->hasKey(deviceUuid)) {
    std::vector<std::string> keys = suite->allKeys();
    // Room for a new device: the first in uuid order goes (a lost entry only makes a replay of
    // that device's old signature look fresh).
    for (size_t i = 0; keys.size() - i >= kMaxDevices && i < keys.size(); ++i) suite->removeObjectForKey(keys[i]);
  }
  if (!suite->setObject(deviceUuid, list)) QoLog("*** Seen signature of device({}) not stored", deviceUuid);
  return true;
}

}  // namespace velbor
