#pragma once

#include <filesystem>
#include <string>

namespace velbor {

// Where the program keeps its files, following the XDG base directory rules. Every call
// reads the environment again, so a test that points HOME elsewhere sees its own folders.
class AppPaths {
 public:
  // The running executable's name ("Velbor" for the program).
  static const std::string& processName();
  // Overrides the application name used for the settings folder (tests and tools).
  static void setApplicationName(const std::string& name);
  // The application name: the process name unless overridden.
  static std::string applicationName();

  // $HOME, or the password database's home folder when HOME is unset.
  static std::filesystem::path homeDirectory();
  // $XDG_CONFIG_HOME/<app>/, default ~/.config/<app>/ (not created here).
  static std::filesystem::path configDirectory();
  // $XDG_DATA_HOME, default ~/.local/share: stands in for "Application Support".
  static std::filesystem::path applicationSupportDirectory();
  // $TMPDIR or /tmp.
  static std::filesystem::path temporaryDirectory();
};

}  // namespace velbor
