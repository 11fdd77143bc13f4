#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include "support/TempDir.h"

namespace velbor::test {

// A session bus of the test's own (dbus-daemon with no service folders, so nothing starts by
// itself) with a fake notification service on it that records every notice. Made before the
// process first uses its session bus: it points DBUS_SESSION_BUS_ADDRESS at the private bus.
class PrivateSessionBus {
 public:
  PrivateSessionBus();
  ~PrivateSessionBus();
  PrivateSessionBus(const PrivateSessionBus&) = delete;
  PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

  bool started() const { return started_; }
  const QString& error() const { return error_; }
  // The notices recorded so far, "<title>\t<text>" each.
  QStringList notices() const;

 private:
  bool start();
  static void stop(QProcess& process);

  TempDir dir_{"velbor-bus"};
  QProcess daemon_;
  QProcess server_;
  bool started_ = false;
  QString error_;
};

}  // namespace velbor::test
