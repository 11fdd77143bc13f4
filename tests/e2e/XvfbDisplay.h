#pragma once

#include <sys/types.h>

#include <string>

#include "support/TempDir.h"

namespace velbor::test {

// A virtual X display (Xvfb, 1280x800) with a tray host (trayer) on it, for the application's
// windows and status-bar item. Both are stopped by their process ids when it goes.
class XvfbDisplay {
 public:
  XvfbDisplay();
  ~XvfbDisplay();
  XvfbDisplay(const XvfbDisplay&) = delete;
  XvfbDisplay& operator=(const XvfbDisplay&) = delete;

  // Why it could not start; empty when it runs.
  const std::string& failure() const { return failure_; }
  // ":N".
  const std::string& display() const { return display_; }
  // A private runtime folder for the programs shown on it.
  std::string runtimeDirectory() const { return runtime_.str(); }

 private:
  bool trayHostRuns() const;

  TempDir runtime_{"velbor-xdg"};
  pid_t server_ = -1;
  pid_t trayer_ = -1;
  std::string display_;
  std::string failure_;
};

}  // namespace velbor::test
