#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include <fmt/format.h>

namespace velbor {

class UserDefaults;

// Debug categories switched on and off persistently (suite "Debugger"), category-gated log
// lines, and named stopwatches. One instance per process; thread-safe.
class SmartDebugger {
 public:
  static SmartDebugger& sharedSmartDebugger();
  // Drops the instance so the next call opens the suite again (tests that change HOME).
  // Nothing may hold a reference to the old instance.
  static void resetForTesting();

  SmartDebugger(const SmartDebugger&) = delete;
  SmartDebugger& operator=(const SmartDebugger&) = delete;

  // A category never stored is stored as off and answers false.
  bool isCatagoryEnable(const std::string& category);
  void setCatagoryEnable(const std::string& category, bool enable);

  template <typename... Args>
  void debug(const std::string& category, fmt::format_string<Args...> format, Args&&... args) {
    if (isCatagoryEnable(category)) logLine(category, fmt::format(format, std::forward<Args>(args)...));
  }

  void clockStart(const std::string& name);
  // Seconds since clockStart(name); -1 when no such stopwatch runs.
  double getClockInterval(const std::string& name);
  void cleanClock(const std::string& name);

 private:
  SmartDebugger();
  static void logLine(const std::string& category, const std::string& text);

  std::recursive_mutex lock_;
  std::shared_ptr<UserDefaults> debuggerDefault_;
  std::mutex clockLock_;
  std::map<std::string, std::chrono::system_clock::time_point> clockDictionary_;
};

}  // namespace velbor
