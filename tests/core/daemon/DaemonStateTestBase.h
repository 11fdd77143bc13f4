#pragma once

#include <gtest/gtest.h>

#include "support/FreshState.h"
#include "support/TempDir.h"

namespace velbor::test {

// Each test runs in a fresh HOME with fresh singletons; restart() drops every singleton
// so that the next use reads the settings and the database from disk again, as a new
// process would.
class DaemonStateTestBase : public ::testing::Test {
 protected:
  void SetUp() override { restart(); }
  void TearDown() override { restart(); }

  static void restart() {
    resetSharedState();
  }

  TempHome home_;
};

}  // namespace velbor::test
