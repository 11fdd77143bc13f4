#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "support/TempDir.h"

namespace velbor::test {

// A private network namespace with only the loopback up, a private D-Bus system bus and an
// avahi-daemon serving that namespace, all started here and stopped by process id. The
// namespace lives only as long as the daemon (no named namespace is made), and both
// daemons die with the test process. DBUS_SYSTEM_BUS_ADDRESS points at the private bus
// meanwhile, so DNS-SD calls of this process reach this daemon. One per process: the D-Bus
// library keeps its first system-bus connection for the life of the process (CTest runs
// each test in a process of its own).
class AvahiNamespace {
 public:
  AvahiNamespace();
  ~AvahiNamespace();
  AvahiNamespace(const AvahiNamespace&) = delete;
  AvahiNamespace& operator=(const AvahiNamespace&) = delete;

  // Why the namespace cannot be had here (not root, a daemon not installed), else empty.
  static std::optional<std::string> unavailable();

  // Whether both daemons run and avahi reported its start-up complete; else error() says why.
  bool ready() const { return ready_; }
  const std::string& error() const { return error_; }
  // The namespace, for setns(CLONE_NEWNET).
  int netnsFd() const { return netnsFd_; }
  const std::string& busAddress() const { return busAddress_; }

 private:
  void stop();

  TempDir dir_{"velbor-avahi"};
  pid_t dbusPid_ = -1;
  pid_t avahiPid_ = -1;
  int netnsFd_ = -1;
  std::string busAddress_;
  std::optional<std::string> oldBusAddress_;
  bool ready_ = false;
  std::string error_;
};

// Moves the calling thread into a network namespace and back at the end of the scope.
class NetnsScope {
 public:
  explicit NetnsScope(int netnsFd);
  ~NetnsScope();
  NetnsScope(const NetnsScope&) = delete;
  NetnsScope& operator=(const NetnsScope&) = delete;

 private:
  int original_ = -1;
};

}  // namespace velbor::test
