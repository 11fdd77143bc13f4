#include "platform/FileSystemKind.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <utility>

namespace velbor {
namespace {

// Magic numbers missing from older kernel headers.
constexpr long kSecurityFs = 0x73636673;
constexpr long kTraceFs = 0x74726163;
constexpr long kConfigFs = 0x62656570;
constexpr long kFuseCtlFs = 0x65735543;
constexpr long kMqueue = 0x19800202;
constexpr long kBinfmtMisc = 0x42494e4d;
constexpr long kRpcPipeFs = 0x67596969;
constexpr long kNsFs = 0x6e736673;

constexpr std::pair<long, const char*> kPseudo[] = {
    {PROC_SUPER_MAGIC, "proc"},
    {SYSFS_MAGIC, "sysfs"},
    {DEBUGFS_MAGIC, "debugfs"},
    {CGROUP_SUPER_MAGIC, "cgroup"},
    {CGROUP2_SUPER_MAGIC, "cgroup2"},
    {DEVPTS_SUPER_MAGIC, "devpts"},
    {kSecurityFs, "securityfs"},
    {kTraceFs, "tracefs"},
    {kConfigFs, "configfs"},
    {kFuseCtlFs, "fusectl"},
    {kMqueue, "mqueue"},
    {kBinfmtMisc, "binfmt_misc"},
    {kRpcPipeFs, "rpc_pipefs"},
    {kNsFs, "nsfs"},
    {BPF_FS_MAGIC, "bpf"},
    {PSTOREFS_MAGIC, "pstore"},
    {EFIVARFS_MAGIC, "efivarfs"},
};

// Where the kernel's views are mounted. What is mounted below them (devtmpfs, a container's
// cgroup folder) may report itself as tmpfs: told by where it is.
constexpr std::pair<const char*, const char*> kPseudoPlaces[] = {
    {"/proc", "proc"},
    {"/sys", "sysfs"},
    {"/dev", "devtmpfs"},
};

bool isAtOrBelow(const std::string& path, const std::string& folder) {
  return path.compare(0, folder.size(), folder) == 0 && (path.size() == folder.size() || path[folder.size()] == '/');
}

}  // namespace

std::string FileSystemKind::pseudoName(const std::string& path) {
  for (const auto& [place, name] : kPseudoPlaces) {
    if (isAtOrBelow(path, place)) return name;
  }
  struct statfs status {};
  if (::statfs(path.c_str(), &status) != 0) return {};
  for (const auto& [magic, name] : kPseudo) {
    if (static_cast<long>(status.f_type) == magic) return name;
  }
  return {};
}

bool FileSystemKind::isWritableFolder(const std::string& path) {
  return ::faccessat(AT_FDCWD, path.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

}  // namespace velbor
