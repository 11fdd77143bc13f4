#include "platform/AppPaths.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <mutex>

namespace velbor {
namespace {

std::mutex gNameMutex;
// Never destroyed: jobs still running at exit use it.
std::string& gApplicationName = *new std::string();

std::string readProcessName() {
  // program_invocation_short_name is the basename of argv[0] as started.
  if (program_invocation_short_name != nullptr && *program_invocation_short_name != '\0') {
    return program_invocation_short_name;
  }
  std::ifstream comm("/proc/self/comm");
  std::string name;
  std::getline(comm, name);
  return name.empty() ? std::string("Velbor") : name;
}

std::filesystem::path fromEnvOrHome(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  // The XDG rules ignore relative paths.
  if (value != nullptr && value[0] == '/') return value;
  return AppPaths::homeDirectory() / fallback;
}

}  // namespace

const std::string& AppPaths::processName() {
  // Never destroyed: jobs still running at exit use it.
  static const std::string& name = *new std::string(readProcessName());
  return name;
}

void AppPaths::setApplicationName(const std::string& name) {
  std::lock_guard lock(gNameMutex);
  gApplicationName = name;
}

std::string AppPaths::applicationName() {
  std::lock_guard lock(gNameMutex);
  return gApplicationName.empty() ? processName() : gApplicationName;
}

std::filesystem::path AppPaths::homeDirectory() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) return pw->pw_dir;
  return temporaryDirectory();
}

std::filesystem::path AppPaths::configDirectory() {
  return fromEnvOrHome("XDG_CONFIG_HOME", ".config") / applicationName();
}

std::filesystem::path AppPaths::applicationSupportDirectory() { return fromEnvOrHome("XDG_DATA_HOME", ".local/share"); }

std::filesystem::path AppPaths::temporaryDirectory() {
  if (const char* tmp = std::getenv("TMPDIR"); tmp != nullptr && tmp[0] == '/') return tmp;
  return "/tmp";
}

}  // namespace velbor
