#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "framework/persistence/PersistentEntity.h"
#include "framework/persistence/PersistentObject.h"
#include "framework/persistence/SQLiteInstanceManager.h"
#include "framework/persistence/SQLiteStatement.h"
#include "support/FreshDatabase.h"
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

// Records every statement SQLite runs on the shared connection while it lives.
class StatementTrace {
 public:
  StatementTrace() : database_(SQLiteInstanceManager::sharedManager()->database()) {
    sqlite3_trace_v2(database_, SQLITE_TRACE_STMT, &StatementTrace::record, this);
  }
  ~StatementTrace() { sqlite3_trace_v2(database_, 0, nullptr, nullptr); }
  StatementTrace(const StatementTrace&) = delete;
  StatementTrace& operator=(const StatementTrace&) = delete;

  // How many statements began with `prefix`, ignoring case.
  int count(const std::string& prefix) const {
    std::lock_guard<std::mutex> guard(mutex_);
    int matches = 0;
    for (const std::string& sql : statements_) {
      const int length = static_cast<int>(prefix.size());
      if (sql.size() >= prefix.size() && sqlite3_strnicmp(sql.c_str(), prefix.c_str(), length) == 0) ++matches;
    }
    return matches;
  }
  void clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    statements_.clear();
  }

 private:
  static int record(unsigned /*type*/, void* context, void* /*statement*/, void* text) {
    auto* trace = static_cast<StatementTrace*>(context);
    std::lock_guard<std::mutex> guard(trace->mutex_);
    trace->statements_.emplace_back(static_cast<const char*>(text));
    return 0;
  }

  sqlite3* database_;
  mutable std::mutex mutex_;
  std::vector<std::string> statements_;
};

// Makes the shared connection refuse every COMMIT while it lives, or only the `only`-th one
// from now, as a full disk or a lock held elsewhere would (SQLite rolls the work back
// itself). A reader on a second connection no longer blocks a commit: the database keeps a
// write-ahead log.
class RefusedCommits {
 public:
  explicit RefusedCommits(int only = 0) : database_(SQLiteInstanceManager::sharedManager()->database()), only_(only) {
    if (database_ != nullptr) sqlite3_commit_hook(database_, &RefusedCommits::refuse, this);
  }
  ~RefusedCommits() {
    if (database_ != nullptr) sqlite3_commit_hook(database_, nullptr, nullptr);
  }
  RefusedCommits(const RefusedCommits&) = delete;
  RefusedCommits& operator=(const RefusedCommits&) = delete;
  bool active() const { return database_ != nullptr; }

 private:
  static int refuse(void* context) {
    auto* self = static_cast<RefusedCommits*>(context);
    ++self->seen_;
    return self->only_ == 0 || self->seen_ == self->only_ ? 1 : 0;
  }

  sqlite3* database_;
  int only_;
  int seen_ = 0;
};

// Another connection (a backup, the sqlite3 shell, a second process) holding the write lock
// until it goes.
class OutsideWriter {
 public:
  explicit OutsideWriter(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &database_, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
      writing_ = sqlite3_exec(database_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
  }
  ~OutsideWriter() {
    if (writing_) sqlite3_exec(database_, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close_v2(database_);
  }
  OutsideWriter(const OutsideWriter&) = delete;
  OutsideWriter& operator=(const OutsideWriter&) = delete;
  bool writing() const { return writing_; }

 private:
  sqlite3* database_ = nullptr;
  bool writing_ = false;
};

// Fresh HOME and a fresh shared connection per test.
class PersistenceTest : public ::testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override { reset(); }
  static void reset() { resetDatabaseState(); }

  // Runs a query and returns the first column of every row as text.
  static std::vector<std::string> column(const std::string& sql) { return queryColumn(sql); }

  // Saves a new owner row holding `label`.
  static std::shared_ptr<TestOwner> add(const std::string& label) {
    auto owner = std::make_shared<TestOwner>();
    owner->label = label;
    owner->save();
    return owner;
  }

  TempHome home_;
};

}  // namespace velbor::test
