// After the bounded waits of a stop give up, the process exits while pulls, checks and
// requests still run on the global queue: what they reach must outlive the static objects.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "core/daemon/discovery/QoDiscovery.h"
#include "core/daemon/publisher/QoPublisher.h"
#include "core/daemon/router/QoHandlerTable.h"
#include "core/daemon/sync/PullStop.h"
#include "core/daemon/sync/SyncEngine.h"
#include "core/entity/QoFile.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/proto/QoPbMessageCode.h"
#include "core/state/DataSource.h"
#include "core/state/QoConfig.h"
#include "core/state/QoNotices.h"
#include "core/state/SyncdirPresence.h"
#include "core/utils/QoUtils.h"
#include "core/utils/SmartDebugger.h"
#include "framework/persistence/SQLiteInstanceManager.h"
#include "platform/AppPaths.h"
#include "support/FreshState.h"

namespace velbor::test {
namespace {

// What a late pull, check or request touches; 0 when all of it still answers as before.
int lateWork() {
  int failures = 0;
  const auto check = [&](bool ok) { failures += ok ? 0 : 1; };
  check(QoPbMessageCode::sharedQoPbMessageCode().getCodeByMessage("FindRequest").has_value());
  check(QoPbMessageCode::sharedQoPbMessageCode().getMessageByCode(6).value_or("") == "GetRequest");
  check(QoHandlerTable::handlerForName("FindRequest") != nullptr);
  check(!PullStop::isStopping());
  check(SyncEngine::pullOnce(QoUtils::generateUuid(), QoUtils::generateUuid()) == SyncEngine::Pull::kNoPairing);
  check(DataSource::sharedDataSource().getCurrentUsn() >= 0);
  check(SQLiteInstanceManager::sharedManager() != nullptr);
  check(QoFile::count() == 0);
  check(QoSyncdirCopy::getSyncdirCopyInLocalDevice().empty());
  check(!QoConfig::sharedQoConfig().deviceUuid().empty());
  check(!QoDiscovery::sharedQoDiscovery().isRunning());
  check(QoNotices::nameOf<notice::SyncdirMissing>() == "SyncdirMissing");
  check(QoNotify::notificationKey(QoNotify::FileChanged) == "FileChanged");
  check(!QoUtils::getDateFormatter()(std::chrono::system_clock::now()).empty());
  check(!SyncdirPresence::shared().isMissing(QoUtils::generateUuid()));
  check(!AppPaths::processName().empty());
  SmartDebugger::sharedSmartDebugger();
  QoPublisher::sharedQoPublisher();
  return failures;
}

// The handler is registered before any of them is first used, so it runs after they would
// have been destroyed, as a job still running would.
void exitWhileWorkRuns() {
  std::atexit([] { std::_Exit(lateWork() == 0 ? 0 : 3); });
  initDeviceConfig();
  DataSource::sharedDataSource().dbCheck();
  if (lateWork() != 0) std::_Exit(4);
  std::exit(0);
}

TEST(ExitAfterStopTest, WhatLateJobsReachOutlivesTheStaticObjects) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TempHome home;
  EXPECT_EXIT(exitWhileWorkRuns(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace velbor::test
