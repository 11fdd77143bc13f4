#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "framework/persistence/PersistentEntity.h"
#include "framework/persistence/PersistentObject.h"
#include "framework/persistence/SQLiteInstanceManager.h"
#include "framework/persistence/SQLiteStatement.h"
#include "support/TempDir.h"

namespace velbor::test {

// A referenced entity for the generic layer.
class TestOwner : public PersistentEntity<TestOwner> {
 public:
  static std::string className() { return "TestOwner"; }
  static std::vector<std::string> propertiesOrderedArray() { return {"label"}; }
  static std::vector<PersistentProperty> propertiesWithEncodedTypes() {
    return {PersistentProperty::text("label", &TestOwner::label)};
  }
  std::string label;
};

// One property of every kind the generic layer stores.
class TestGadget : public PersistentEntity<TestGadget> {
 public:
  static std::string className() { return "TestGadget"; }
  static std::vector<std::string> propertiesOrderedArray() {
    return {"name", "count", "enabled", "ratio", "weight", "blob", "owner", "scratch"};
  }
  static std::vector<std::string> transients() { return {"scratch"}; }
  static std::vector<std::string> uniques() { return {"name"}; }
  static std::vector<std::vector<std::string>> indices() { return {{"count", "ratio"}}; }
  static std::vector<PersistentProperty> propertiesWithEncodedTypes() {
    return {PersistentProperty::text("name", &TestGadget::name),
            PersistentProperty::scalar("count", &TestGadget::count),
            PersistentProperty::scalar("enabled", &TestGadget::enabled),
            PersistentProperty::scalar("ratio", &TestGadget::ratio),
            PersistentProperty::scalar("weight", &TestGadget::weight),
            PersistentProperty::data("blob", &TestGadget::blob),
            PersistentProperty::entity("owner", &TestGadget::owner)};
  }
  std::string name;
  int64_t count = 0;
  bool enabled = false;
  double ratio = 0;
  float weight = 0;
  std::string blob;
  std::shared_ptr<TestOwner> owner;
  std::string scratch;
};

// Fresh HOME and a fresh shared connection per test.
class PersistenceTest : public ::testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override { reset(); }
  static void reset() {
    SQLiteInstanceManager::destorySharedManager();
    PersistentObject::clearCache();
  }

  // Runs a query and returns the first column of every row as text.
  static std::vector<std::string> column(const std::string& sql) {
    std::lock_guard<std::recursive_mutex> lock(PersistentObject::getLocker());
    SQLiteStatement statement(SQLiteInstanceManager::sharedManager()->database(), sql);
    std::vector<std::string> values;
    while (statement.ok() && statement.step() == SQLITE_ROW) values.push_back(statement.columnText(0));
    return values;
  }

  TempHome home_;
};

}  // namespace velbor::test
