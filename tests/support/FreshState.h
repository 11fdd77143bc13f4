#pragma once

#include "core/daemon/DataSource.h"
#include "core/daemon/QoConfig.h"
#include "core/daemon/QoNotify.h"
#include "platform/UserDefaults.h"
#include "support/FreshDatabase.h"

// Header-only: the support library itself links none of the engine libraries.
namespace velbor::test {

// Drops every process-wide singleton, so the next use reads the settings and the database
// from disk again, as a new process would.
inline void resetSharedState() {
  QoNotify::resetNotifyQueue();
  QoConfig::resetSharedQoConfig();
  DataSource::resetSharedDataSource();
  resetDatabaseState();
  UserDefaults::resetAll();
}

}  // namespace velbor::test
