#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/TempDir.h"

namespace velbor::test {

// A session bus of the test's own (a dbus-daemon with no service folders, so nothing starts
// by itself) with stand-ins for the desktop's notification service and file manager, each
// recording what it is asked. Programs reach it through address(); it is a socket path, so
// programs in other network namespaces reach it too. Everything is stopped by its process id
// when it goes.
class DesktopSessionBus {
 public:
  DesktopSessionBus();
  ~DesktopSessionBus();
  DesktopSessionBus(const DesktopSessionBus&) = delete;
  DesktopSessionBus& operator=(const DesktopSessionBus&) = delete;

  // Why it could not start; empty when it runs.
  const std::string& failure() const { return failure_; }
  // "unix:path=...".
  const std::string& address() const { return address_; }
  // The notices shown so far, "<title>\t<body>" each (line ends in the body as "\n").
  std::vector<std::string> notices() const;
  // The ShowItems calls so far, "<uri> ...\t<startup id>" each.
  std::vector<std::string> shownItems() const;

 private:
  // Starts the fake services' program with `arguments`; false when its record file does not
  // appear (the name is not owned) in time.
  bool startFake(pid_t& pid, const std::vector<std::string>& arguments, const std::string& record);

  TempDir dir_{"velbor-session-bus"};
  pid_t daemon_ = -1;
  pid_t notifications_ = -1;
  pid_t fileManager_ = -1;
  std::string address_;
  std::string failure_;
};

}  // namespace velbor::test
