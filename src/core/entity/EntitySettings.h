#pragma once

#include <functional>
#include <string>

namespace velbor {

// The settings the entities read and do not own: this device's uuid and whether hidden files
// are synced. Each is read at every use, so a changed setting holds for the next call. The
// owner of the settings installs them once for the process; until then the uuid is empty and
// hidden files are not synced, as with settings that were never written.
class EntitySettings {
 public:
  using Text = std::function<std::string()>;
  using Flag = std::function<bool()>;

  EntitySettings() = default;
  EntitySettings(Text deviceUuid, Flag syncHiddenFile);

  std::string deviceUuid() const;
  bool syncHiddenFile() const;

  // Replaces the process-wide settings; safe against readers on other threads.
  static void install(EntitySettings settings);
  // The process-wide settings as installed last (the defaults before the first install).
  static EntitySettings installed();

 private:
  Text deviceUuid_;
  Flag syncHiddenFile_;
};

}  // namespace velbor
