#include "core/entity/EntitySettings.h"

#include <mutex>
#include <utility>

namespace velbor {

namespace {

std::mutex installedMutex;

EntitySettings& installedSettings() {
  // Never destroyed: workers may still read settings during exit.
  static auto* settings = new EntitySettings();
  return *settings;
}

}  // namespace

EntitySettings::EntitySettings(Text deviceUuid, Flag syncHiddenFile)
    : deviceUuid_(std::move(deviceUuid)), syncHiddenFile_(std::move(syncHiddenFile)) {}

std::string EntitySettings::deviceUuid() const { return deviceUuid_ ? deviceUuid_() : std::string(); }

bool EntitySettings::syncHiddenFile() const { return syncHiddenFile_ ? syncHiddenFile_() : false; }

void EntitySettings::install(EntitySettings settings) {
  std::lock_guard lock(installedMutex);
  installedSettings() = std::move(settings);
}

EntitySettings EntitySettings::installed() {
  // A copy: the sources run outside the lock, so they may take locks of their own.
  std::lock_guard lock(installedMutex);
  return installedSettings();
}

}  // namespace velbor
