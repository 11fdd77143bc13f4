#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <sqlite3.h>

#include "framework/persistence/PersistentProperty.h"

namespace velbor {

class PersistentClass;
class SQLiteStatement;

// Base of every stored entity: the row key, the dirty state, the key-value access used by
// the generic layer, and the process-wide statement lock and nesting transactions.
//
// Lock order: the "transaction" locker (WriteTransaction::locker()) first, then the statement
// lock. Every write holds both; a read holds the statement lock only.
class PersistentObject : public std::enable_shared_from_this<PersistentObject> {
 public:
  using Parameters = std::vector<std::string>;

  PersistentObject() = default;
  PersistentObject(const PersistentObject&) = default;
  PersistentObject& operator=(const PersistentObject&) = default;
  virtual ~PersistentObject() = default;

  virtual const PersistentClass& persistentClass() const = 0;

  int32_t pk() const { return pk_; }
  void setPk(int32_t pk) { pk_ = pk; }
  // -1 makes the next save insert a new row; another value saves under that key.
  void setPkPublic(int32_t pk) { pk_ = pk; }
  bool existsInDB() const { return pk_ > 0; }

  void markDirty() { dirty_ = true; }
  void makeClean() { dirty_ = false; }
  bool isDirty() const { return dirty_; }

  // Writes the row: inserts when it has none, else updates it; leaves pk the row's key.
  // The base is the generic save of the class's properties.
  virtual void save();
  void deleteObject();
  void deleteObjectCascade(bool cascade);

  // Key-value access by property name; setting marks the object dirty. An unknown key
  // raises.
  PersistentValue valueForKey(const std::string& key) const;
  void setValue(const PersistentValue& value, const std::string& key);
  void takeValue(const PersistentValue& value, const std::string& key) { setValue(value, key); }
  void takeValuesFromDictionary(const std::map<std::string, PersistentValue>& values);

  // Same class, and every property equal where both sides have a value (numbers within
  // 0.001, referenced entities compared the same way).
  bool areAllPropertiesEqual(const PersistentObject& other) const;

  // "<class>-<pk>" and the key itself.
  std::string memoryMapKey() const;
  int32_t memoryMapKeyFk() const { return pk_; }

  std::recursive_mutex& locker() const { return getLocker(); }

  // The rows of class R whose column `column` holds this object's key, with an optional
  // extra condition.
  template <class R>
  std::vector<std::shared_ptr<R>> findRelated(const std::string& column, const std::string& filter = "") const {
    std::string criteria = fmt::format("WHERE {} = {}", column, pk_);
    if (!filter.empty()) criteria += fmt::format(" AND {}", filter);
    return R::findByCriteria(criteria);
  }

  // The process-wide statement lock, the same for every class.
  static std::recursive_mutex& getLocker();

  // Nesting transaction of the one connection: only the outermost begin and its matching
  // commit or rollback reach the database. The caller holds the "transaction" locker from
  // begin to the matching commit or rollback (WriteTransaction does all of this).
  // A BEGIN or COMMIT that the database refuses raises DatabaseRefusal and leaves the level.
  static void beginTransaction();
  static void commitTransaction();
  static void rollbackTransaction();
  // Disk work that goes with the open transaction, so that the disk never holds what the
  // records do not: `undo` runs when the outermost transaction rolls back (a refused commit
  // included), the last one given first; `committed` runs once it is committed. Outside a
  // transaction `committed` runs at once and `undo` is dropped. Their failures are logged.
  static void onRollback(std::function<void()> undo);
  static void onCommit(std::function<void()> committed);
  // Whether a transaction is open (a commit now would only end a nested one).
  static bool inTransaction();
  static int transactionLevel();
  // A row write that failed: logs `logLine` and raises QoExceptionZeSqlite, in or out of a
  // transaction, so no caller goes on as if the write had been stored; inside a transaction
  // it also dooms the transaction (its outermost commit raises instead of committing).
  [[noreturn]] static void reportWriteFailure(const std::string& logLine);

  // Forgets which tables have been made (and the empty in-memory object map).
  static void clearCache();

  // First column of the first row as a double; -1.0 when there is no row or no statement.
  static double performSQLAggregation(const std::string& sql,
                                      const std::optional<Parameters>& parameters = std::nullopt);

  // A column's text (empty for NULL) and bytes (empty for NULL or none).
  static std::string getStringFromStatment(sqlite3_stmt* statement, int index);
  static std::string getDataFromStatment(sqlite3_stmt* statement, int index);

  static std::string classNameForTableName(const std::string& tableName);
  static std::string pkKey(int32_t pk) { return std::to_string(pk); }

 protected:
  // Writes the row with the class's own SQL: `updateSql` when this object has a key whose row
  // is there, else `insertSql`, which gives the object the new row's key. `bind(statement,
  // update)` binds the values of either. Answers the database's error text when it failed.
  std::optional<std::string> saveRow(const std::string& updateSql, const std::string& insertSql,
                                     const std::function<void(SQLiteStatement&, bool update)>& bind);

 private:
  friend class PersistentClass;

  int32_t pk_ = -1;
  bool dirty_ = true;
  bool alreadySaving_ = false;
};

}  // namespace velbor
