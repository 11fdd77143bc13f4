#pragma once

#include <memory>
#include <mutex>
#include <string>

#include <sqlite3.h>

namespace velbor {

// Owns the one SQLite connection that every thread of the process shares, and the location
// of the database file. The statement lock serialises every use of the connection: hold it
// from preparing a statement until it is finalised.
class SQLiteInstanceManager {
 public:
  // The shared instance, created on first call.
  static std::shared_ptr<SQLiteInstanceManager> sharedManager();
  // Drops the shared instance and closes its connection; the next sharedManager() starts
  // afresh and opens the file again (tests with a fresh HOME).
  static void destorySharedManager();
  // The process-wide re-entrant statement lock.
  static std::recursive_mutex& statementLock();

  ~SQLiteInstanceManager();
  SQLiteInstanceManager(const SQLiteInstanceManager&) = delete;
  SQLiteInstanceManager& operator=(const SQLiteInstanceManager&) = delete;

  // The connection, opened on first use; null when the file cannot be opened.
  sqlite3* database();

  bool tableExists(const std::string& tableName);
  void setAutoVacuum(int value);
  void setCacheSize(int value);
  void setLockingMode(int value);
  // Closes the connection and removes the file; the next database() opens an empty one.
  void deleteDatabase();
  void vacuum();
  // Runs one statement that returns no rows. A failure is logged; the result tells whether
  // it succeeded (callers that must not go on after a failure check it).
  bool executeUpdateSQL(const std::string& sql);

  void setDatabaseFilepath(const std::string& path);
  std::string databaseFilepath();
  // <base>/<process name>/<process name lower-cased, blanks removed>.sqlite3
  static std::string defaultDatabaseFilepath(const std::string& base, const std::string& processName);

 private:
  SQLiteInstanceManager() = default;
  void closeDatabase();

  std::mutex pathMutex_;
  std::string databaseFilepath_;
  sqlite3* database_ = nullptr;
};

}  // namespace velbor
