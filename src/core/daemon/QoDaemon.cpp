#include "core/daemon/QoDaemon.h"

#include <filesystem>
#include <string>
#include <vector>

#include "core/daemon/discovery/QoDiscovery.h"
#include "core/daemon/discovery/QoPeerRecheck.h"
#include "core/daemon/publisher/QoPublisher.h"
#include "core/daemon/router/QoPeerChecks.h"
#include "core/daemon/router/QoRouter.h"
#include "core/daemon/sync/PullStop.h"
#include "core/entity/DownloadJournal.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/state/QoNotices.h"
#include "core/state/QoNotify.h"
#include "framework/crypto/QoEncrypt.h"
#include "framework/persistence/SQLiteInstanceManager.h"
#include "platform/QoLog.h"

namespace velbor {

QoDaemon::QoDaemon() = default;

QoDaemon::~QoDaemon() = default;

void QoDaemon::daemonInit() {
  QoEncrypt::opensslSetup();
  QoDevice::removeAllNotTrustedDevice();
}

void QoDaemon::start() {
  std::lock_guard lock(lock_);
  if (started_) return;
  QoLog("Daemon start");
  PullStop::resume();
  // Before any pull: what a killed run was downloading goes, then this run's downloads are kept.
  const std::filesystem::path database = SQLiteInstanceManager::sharedManager()->databaseFilepath();
  std::vector<std::string> roots;
  for (const auto& copy : QoDevice::getDeviceSyncdirCopys(0)) roots.push_back(copy->path());
  DownloadJournal::shared().open((database.parent_path() / kDownloadJournalName).string(), roots);
  try {
    // Exit notices and repeated distrusts are checked with the device they name.
    QoPeerRecheck::install();
    // Made first so that it hears of the devices discovery finds before it runs.
    publisher_ = QoPublisher::sharedQoPublisher();
    QoDiscovery::sharedQoDiscovery().run();
    router_ = std::make_unique<QoRouter>();
    router_->start();
    publisher_->start();
  } catch (...) {
    // Half a daemon must not keep ports or threads: the caller reports and exits.
    stopServices();
    throw;
  }
  started_ = true;
}

void QoDaemon::stop() {
  std::lock_guard lock(lock_);
  if (!started_) return;
  QoLog("Set run = 0");
  // Pulls under way end at their next wait, while the exit notice goes out.
  PullStop::stopAll();
  // The router stops answering before the exit notice goes out: a peer that asks whether
  // this device is still there after the notice must hear nothing, however long the
  // publisher then takes to close (its linger, its guards' drain). A notice the peer saw
  // before (the offline button's is the same signed bytes) is only asked about.
  if (router_) router_->stop();
  router_.reset();
  // An exit announced earlier (the offline button) must not pass for this one.
  const uint64_t ticket = publisher_->exitTicket();
  QoNotices::post(notice::ProcessExit{});
  if (!publisher_->waitForExitPublished(ticket, kExitNoticeWait)) QoLog("*** Exit notice not published in time");
  // Pulls on other threads must end before the database goes.
  stopServices();
  if (!PullStop::waitForPullsToEnd(kPullEndWait)) QoLog("*** Pulls still running at stop");
  // A download still under way stays in the journal, for the next start to remove.
  DownloadJournal::shared().close();
  // Notices still queued are delivered, and the queue's thread ends with them.
  QoNotify::resetNotifyQueue();
  QoEncrypt::opensslCleanup();
  started_ = false;
}

void QoDaemon::stopServices() {
  QoPeerChecks::uninstall();
  if (publisher_) publisher_->stop();
  publisher_.reset();
  if (router_) router_->stop();
  router_.reset();
  QoDiscovery::sharedQoDiscovery().stop();
}

bool QoDaemon::isStarted() const {
  std::lock_guard lock(lock_);
  return started_;
}

std::string QoDaemon::routerEndpoint() const {
  std::lock_guard lock(lock_);
  return router_ ? router_->frontendEndpoint() : std::string();
}

std::string QoDaemon::publisherEndpoint() const {
  std::lock_guard lock(lock_);
  return publisher_ ? publisher_->publisherEndpoint() : std::string();
}

}  // namespace velbor
