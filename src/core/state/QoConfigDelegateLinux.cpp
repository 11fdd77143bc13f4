#include "core/state/QoConfigDelegateLinux.h"

#include <unistd.h>

#include <climits>
#include <filesystem>
#include <system_error>

#include "core/entity/QoFile.h"
#include "platform/AppPaths.h"

namespace velbor {

QoConfigValues QoConfigDelegateLinux::userDefaultConfigValues() {
  return QoConfigValues{
      // This device runs Linux: type 1, the same number in the records and on the wire.
      {"deviceType", int64_t{kDeviceTypeLinux}},
      {"deviceName", hostName()},
      {"routerWorkerCount", int64_t{3}},
      {"publisherWorkerCount", int64_t{3}},
      {"trustAuthTimeOut", int64_t{30}},
      {"broadCastInterval", int64_t{60}},
      {"deviceOnlineTimeOut", int64_t{300}},
      // Stored as the single-precision 0.1 it has always been.
      {"fileSystemScanLatency", static_cast<double>(0.1f)},
      {"showUserNotificaion", true},
      {"encryptLevel", int64_t{2}},
      {"syncHiddenFile", false},
  };
}

std::string QoConfigDelegateLinux::getConfigVersion() { return kConfigVersion; }

std::map<std::string, int> QoConfigDelegateLinux::getListRoot() {
  namespace fs = std::filesystem;
  std::map<std::string, int> roots;
  const std::string home = AppPaths::homeDirectory().string();
  std::error_code error;
  fs::directory_iterator entries(home, error);
  if (error) return roots;
  for (auto it = entries; it != fs::directory_iterator(); it.increment(error)) {
    if (error) break;
    std::string path = (home.ends_with('/') ? home : home + "/") + it->path().filename().string();
    if (QoFile::matchIgnoreFilter(path)) continue;
    // A link to a folder is not a folder of the home: the final link is not followed.
    std::error_code statusError;
    if (fs::symlink_status(path, statusError).type() == fs::file_type::directory) roots[path] = 0;
  }
  return roots;
}

std::string QoConfigDelegateLinux::hostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof(name) - 1) != 0) return {};
  return name;
}

}  // namespace velbor
