#include "framework/persistence/PersistentObject.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <set>
#include <utility>
#include <vector>

#include "framework/errors/QoExceptionProto.h"
#include "framework/persistence/DatabaseRefusal.h"
#include "framework/persistence/PersistentClass.h"
#include "framework/persistence/PersistentNaming.h"
#include "framework/persistence/SQLiteInstanceManager.h"
#include "framework/persistence/SQLiteStatement.h"
#include "framework/persistence/WriteTransaction.h"
#include "platform/LockerGuard.h"
#include "platform/QoLog.h"

namespace velbor {
namespace {

// Changed only by the holder of the "transaction" locker; atomic so that readers elsewhere
// see a whole value.
std::atomic<int> gTransactionLevel{0};
// Set by a failed row write inside the open transaction; cleared when it ends.
std::atomic<bool> gTransactionFailed GUARDED_BY(WriteTransaction::locker()){false};
// The disk work of the open transaction (onRollback, onCommit).
std::vector<std::function<void()>> gUndos GUARDED_BY(WriteTransaction::locker());
std::vector<std::function<void()>> gCommitted GUARDED_BY(WriteTransaction::locker());

void runEach(std::vector<std::function<void()>> jobs, bool lastFirst) {
  if (lastFirst) std::reverse(jobs.begin(), jobs.end());
  for (const auto& job : jobs) {
    try {
      job();
    } catch (const std::exception& e) {
      QoLog("*** {}", e.what());
    }
  }
}

// Objects whose comparison is in progress on this thread: stops a cycle of references.
thread_local std::set<const PersistentObject*> gRecursionCheck;

bool runTransactionStatement(const char* sql) { return SQLiteInstanceManager::sharedManager()->executeUpdateSQL(sql); }

}  // namespace

void PersistentObject::save() { persistentClass().genericSave(*this); }

void PersistentObject::deleteObject() { deleteObjectCascade(false); }

void PersistentObject::deleteObjectCascade(bool cascade) { persistentClass().deleteObject(pk_, cascade); }

PersistentValue PersistentObject::valueForKey(const std::string& key) const {
  const PersistentProperty* property = persistentClass().propertyNamed(key);
  if (property == nullptr) {
    throw Exception("NSUnknownKeyException", fmt::format("{} has no property {}", persistentClass().className(), key));
  }
  return property->get(*this);
}

void PersistentObject::setValue(const PersistentValue& value, const std::string& key) {
  const PersistentProperty* property = persistentClass().propertyNamed(key);
  if (property == nullptr) {
    throw Exception("NSUnknownKeyException", fmt::format("{} has no property {}", persistentClass().className(), key));
  }
  markDirty();
  property->set(*this, value);
}

void PersistentObject::takeValuesFromDictionary(const std::map<std::string, PersistentValue>& values) {
  for (const auto& [key, value] : values) setValue(value, key);
}

bool PersistentObject::areAllPropertiesEqual(const PersistentObject& other) const {
  if (&other.persistentClass() != &persistentClass()) return false;
  gRecursionCheck.insert(this);
  bool equal = true;
  for (const PersistentProperty& property : persistentClass().propertiesWithEncodedTypes()) {
    const PersistentValue mine = property.get(*this);
    const PersistentValue theirs = property.get(other);
    if (std::holds_alternative<std::monostate>(mine) || std::holds_alternative<std::monostate>(theirs)) continue;
    if (mine == theirs) continue;
    const auto* myObject = std::get_if<std::shared_ptr<PersistentObject>>(&mine);
    const auto* theirObject = std::get_if<std::shared_ptr<PersistentObject>>(&theirs);
    if (myObject != nullptr && theirObject != nullptr) {
      if (gRecursionCheck.count(myObject->get()) == 0 && gRecursionCheck.count(theirObject->get()) == 0 &&
          (*myObject)->areAllPropertiesEqual(**theirObject)) {
        continue;
      }
      equal = false;
      break;
    }
    auto asNumber = [](const PersistentValue& value, double& number) {
      if (const auto* i = std::get_if<int64_t>(&value))
        number = static_cast<double>(*i);
      else if (const auto* u = std::get_if<uint64_t>(&value))
        number = static_cast<double>(*u);
      else if (const auto* d = std::get_if<double>(&value))
        number = *d;
      else
        return false;
      return true;
    };
    double a = 0;
    double b = 0;
    if (asNumber(mine, a) && asNumber(theirs, b) && std::fabs(static_cast<float>(a) - static_cast<float>(b)) < 0.001) {
      continue;
    }
    equal = false;
    break;
  }
  gRecursionCheck.erase(this);
  return equal;
}

std::optional<std::string> PersistentObject::saveRow(const std::string& updateSql, const std::string& insertSql,
                                                     const std::function<void(SQLiteStatement&, bool)>& bind) {
  persistentClass().tableCheck();
  LockerGuard transaction(WriteTransaction::locker());
  std::lock_guard<std::recursive_mutex> lock(getLocker());
  sqlite3* database = SQLiteInstanceManager::sharedManager()->database();
  if (pk_ >= 0) {
    // The update itself tells whether the row is there: no query of its own before each save.
    SQLiteStatement update(database, updateSql);
    if (update.ok()) bind(update, true);
    if (!update.ok() || update.step() != SQLITE_DONE) return update.errorMessage();
    if (sqlite3_changes(database) > 0) return std::nullopt;
  }
  SQLiteStatement insert(database, insertSql);
  if (insert.ok()) bind(insert, false);
  if (!insert.ok() || insert.step() != SQLITE_DONE) return insert.errorMessage();
  pk_ = static_cast<int32_t>(sqlite3_last_insert_rowid(database));
  return std::nullopt;
}

std::string PersistentObject::memoryMapKey() const { return fmt::format("{}-{}", persistentClass().className(), pk_); }

std::recursive_mutex& PersistentObject::getLocker() { return SQLiteInstanceManager::statementLock(); }

void PersistentObject::beginTransaction() {
  LockerGuard transaction(WriteTransaction::locker());
  if (gTransactionLevel == 0) gTransactionFailed = false;
  // IMMEDIATE takes the write lock at the start, where the busy time-out waits for another
  // connection's writer; a read transaction upgraded later would fail at once instead.
  if (gTransactionLevel == 0 && !runTransactionStatement("BEGIN IMMEDIATE TRANSACTION")) {
    DatabaseRefusal failure("BEGIN TRANSACTION refused by the database");
    QoLog("*** beginTransaction failed, {}", failure.description());
    throw failure;
  }
  ++gTransactionLevel;
}

void PersistentObject::commitTransaction() {
  LockerGuard transaction(WriteTransaction::locker());
  if (gTransactionLevel == 1 && gTransactionFailed) {
    // Left open, like a refused COMMIT: the caller rolls it back.
    QoExceptionZeSqlite failure("a write in the transaction failed, it must roll back");
    QoLog("*** commitTransaction failed, {}", failure.description());
    throw failure;
  }
  if (gTransactionLevel == 1 && !runTransactionStatement("COMMIT TRANSACTION")) {
    DatabaseRefusal failure("COMMIT TRANSACTION refused by the database");
    QoLog("*** commitTransaction failed, {}", failure.description());
    throw failure;
  }
  if (--gTransactionLevel == 0) {
    gUndos.clear();
    runEach(std::exchange(gCommitted, {}), false);
  }
}

void PersistentObject::onRollback(std::function<void()> undo) {
  LockerGuard transaction(WriteTransaction::locker());
  if (gTransactionLevel > 0) gUndos.push_back(std::move(undo));
}

void PersistentObject::onCommit(std::function<void()> committed) {
  LockerGuard transaction(WriteTransaction::locker());
  if (gTransactionLevel > 0) {
    gCommitted.push_back(std::move(committed));
  } else {
    runEach({std::move(committed)}, false);
  }
}

bool PersistentObject::inTransaction() { return gTransactionLevel > 0; }

void PersistentObject::rollbackTransaction() {
  LockerGuard transaction(WriteTransaction::locker());
  QoLog("rollBackTransaction: {}", gTransactionLevel.load());
  if (gTransactionLevel == 1 && !runTransactionStatement("ROLLBACK TRANSACTION")) {
    QoLog("*** rollBackTransaction failed, {}", "ROLLBACK TRANSACTION refused by the database");
  }
  // A failed rollback must not leave the level raised.
  if (--gTransactionLevel == 0) {
    gTransactionFailed = false;
    gCommitted.clear();
    runEach(std::exchange(gUndos, {}), true);
  }
}

void PersistentObject::reportWriteFailure(const std::string& logLine) {
  QoLog("{}", logLine);
  // Whoever holds the "transaction" locker owns the open transaction, and every write holds it.
  LockerGuard transaction(WriteTransaction::locker());
  // Outside a transaction the caller is told all the same: a lost write must not pass for a
  // stored one.
  if (gTransactionLevel > 0) gTransactionFailed = true;
  throw QoExceptionZeSqlite(logLine);
}

int PersistentObject::transactionLevel() { return gTransactionLevel; }

void PersistentObject::clearCache() { PersistentClass::clearCache(); }

double PersistentObject::performSQLAggregation(const std::string& sql, const std::optional<Parameters>& parameters) {
  std::lock_guard<std::recursive_mutex> lock(getLocker());
  SQLiteStatement statement(SQLiteInstanceManager::sharedManager()->database(), sql);
  if (!statement.ok()) return -1.0;
  int position = 1;
  if (parameters) {
    for (const std::string& parameter : *parameters) statement.bindText(position++, parameter);
  }
  if (statement.step() != SQLITE_ROW) return -1.0;
  return statement.columnDouble(0);
}

std::string PersistentObject::getStringFromStatment(sqlite3_stmt* statement, int index) {
  const auto* text = sqlite3_column_text(statement, index);
  if (text == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(sqlite3_column_bytes(statement, index)));
}

std::string PersistentObject::getDataFromStatment(sqlite3_stmt* statement, int index) {
  const void* bytes = sqlite3_column_blob(statement, index);
  const int length = sqlite3_column_bytes(statement, index);
  if (bytes == nullptr || length <= 0) return {};
  return std::string(static_cast<const char*>(bytes), static_cast<size_t>(length));
}

std::string PersistentObject::classNameForTableName(const std::string& tableName) {
  static std::mutex cacheMutex;
  // Never destroyed: jobs still running at exit use it.
  static auto& cache = *new std::map<std::string, std::string>();
  std::lock_guard<std::mutex> guard(cacheMutex);
  auto found = cache.find(tableName);
  if (found != cache.end()) return found->second;
  return cache[tableName] = PersistentNaming::classNameForTableName(tableName);
}

}  // namespace velbor
