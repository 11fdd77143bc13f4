#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

namespace velbor {

class QoPublisher;
class QoRouter;

// The sync daemon's network services and their order. The platform's start-up class
// (QoDaemonLinux) prepares database, settings and log client first and adds the monitor.
class QoDaemon {
 public:
  // How long stop() waits for the exit notice to go out to the peers.
  static constexpr std::chrono::milliseconds kExitNoticeWait{1500};
  // How long stop() waits for the pulls under way to end; each ends at its next step, and
  // only a file being checked or installed holds it longer.
  static constexpr std::chrono::milliseconds kPullEndWait{10000};
  // The journal of temporary downloads in progress, beside the database.
  static constexpr const char* kDownloadJournalName = "downloads.journal";

  virtual ~QoDaemon();
  QoDaemon(const QoDaemon&) = delete;
  QoDaemon& operator=(const QoDaemon&) = delete;

  bool debugPanelEnable() const { return debugPanelEnable_; }
  void setDebugPanelEnable(bool enable) { debugPanelEnable_ = enable; }

  // Prepares the crypto library, then takes every remote device offline and removes the
  // untrusted ones.
  virtual void daemonInit();
  // Logs "Daemon start", removes the temporary downloads a killed run left (the journal named
  // kDownloadJournalName beside the database) and starts discovery, the router and the
  // publisher, each running on threads of its own. A port that cannot be bound raises (ZMQException or the discovery's
  // error) after what had started is stopped again.
  virtual void start();
  // Logs "Set run = 0", ends every pull under way (none stores a usn mark past what it
  // installed completely, and their temporary downloads go), stops the router (nothing
  // answers from then on) and posts "ProcessExit", on which the publisher announces
  // PubExit; waits for that notice to go out (at most kExitNoticeWait) and for the pulls to
  // end, then stops the publisher and discovery and waits for their threads. No pull starts
  // until the next start. Does nothing when not started.
  virtual void stop();
  bool isStarted() const;

  // The endpoints as bound (empty when not started): the ports the system chose for a 0.
  std::string routerEndpoint() const;
  std::string publisherEndpoint() const;

 protected:
  QoDaemon();

 private:
  void stopServices();

  mutable std::mutex lock_;
  bool debugPanelEnable_ = false;
  bool started_ = false;
  std::unique_ptr<QoRouter> router_;
  std::shared_ptr<QoPublisher> publisher_;
};

}  // namespace velbor
