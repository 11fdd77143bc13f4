#pragma once

#include "core/daemon/QoDaemon.h"

namespace velbor {

// The daemon as this platform starts it: database, settings and log client before the
// shared start-up, and the file-system monitor before the network services.
class QoDaemonLinux : public QoDaemon {
 public:
  // The standard settings' key for the pause before a tool tip shows, and its value.
  static constexpr const char* kInitialToolTipDelayKey = "NSInitialToolTipDelay";
  static constexpr int kInitialToolTipDelayMs = 1000;

  // The instance the process uses.
  static QoDaemonLinux& sharedQoDaemonLinux();

  // In this order: the tool-tip delay in the standard settings, the database tables, the
  // settings (with this platform's delegate), the log client, then QoDaemon's part. Raises
  // when the settings cannot be stored.
  void daemonInit() override;
  // The monitor, then discovery, router and publisher.
  void start() override;
  // The network services (PubExit announced first), then the monitor and the log client.
  void stop() override;

 private:
  QoDaemonLinux() = default;
};

}  // namespace velbor
