#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include "support/TempDir.h"

namespace velbor::test {

// A session and a system bus of the test's own (dbus-daemons with no service folders, so
// nothing starts by itself): on the session bus a fake notification service that records
// every notice, on the system bus a fake logind that sends the sleep signal on request.
// Made before the process first uses a bus: it points DBUS_SESSION_BUS_ADDRESS and
// DBUS_SYSTEM_BUS_ADDRESS at the private ones.
class PrivateDesktopBuses {
 public:
  PrivateDesktopBuses();
  ~PrivateDesktopBuses();
  PrivateDesktopBuses(const PrivateDesktopBuses&) = delete;
  PrivateDesktopBuses& operator=(const PrivateDesktopBuses&) = delete;

  bool started() const { return started_; }
  const QString& error() const { return error_; }
  // The notices recorded so far, "<title>\t<text>" each.
  QStringList notices() const;
  // Has the fake logind announce sleeping (true) or waking (false).
  bool sleep(bool sleeping);

 private:
  bool start();
  // Starts a bus daemon of `type` listening on `socket`; its address, or empty.
  QString startBus(QProcess& daemon, const std::string& type);
  // Starts the fake with `argument` and waits until it owns `name` on `bus`.
  bool startFake(QProcess& fake, const QString& argument, const char* bus, const QString& name);
  static void stop(QProcess& process);

  TempDir dir_{"velbor-bus"};
  QProcess sessionDaemon_;
  QProcess systemDaemon_;
  QProcess notifications_;
  QProcess login_;
  QString sessionAddress_;
  QString systemAddress_;
  bool started_ = false;
  QString error_;
};

}  // namespace velbor::test
