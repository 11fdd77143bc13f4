#pragma once

#include <gtest/gtest.h>

#include "core/state/ChallengeAnswerers.h"
#include "core/state/DataSource.h"
#include "core/state/PullsAwaitingPeer.h"
#include "core/state/QoConfig.h"
#include "core/state/QoConfigDelegateLinux.h"
#include "core/state/QoNotify.h"
#include "platform/UserDefaults.h"
#include "support/FreshDatabase.h"
#include "support/TempDir.h"

// Header-only: the support library itself links none of the engine libraries.
namespace velbor::test {

// Drops every process-wide singleton, so the next use reads the settings and the database
// from disk again, as a new process would.
inline void resetSharedState() {
  QoNotify::resetNotifyQueue();
  QoConfig::resetSharedQoConfig();
  DataSource::resetSharedDataSource();
  PullsAwaitingPeer::shared().clear();
  ChallengeAnswerers::shared().clear();
  resetDatabaseState();
  UserDefaults::resetAll();
}

// Each test runs in a fresh HOME with fresh singletons; restart() drops them mid-test, so
// the next use reads settings and database from disk again.
// The settings, key pair and local device row of a fresh device of this platform.
inline QoConfig& initDeviceConfig() {
  QoConfig& config = QoConfig::sharedQoConfig();
  config.setConfigDelegate(std::make_shared<QoConfigDelegateLinux>());
  config.configInit();
  return config;
}

class FreshStateTest : public ::testing::Test {
 protected:
  void SetUp() override { restart(); }
  void TearDown() override { restart(); }
  static void restart() { resetSharedState(); }

  TempHome home_;
};

}  // namespace velbor::test
