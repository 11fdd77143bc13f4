#include "framework/persistence/SQLiteInstanceManager.h"

#include <cctype>
#include <filesystem>
#include <system_error>

#include "framework/persistence/PersistentClass.h"
#include "framework/persistence/SQLiteStatement.h"
#include "framework/persistence/SQLiteStatementCache.h"
#include "platform/AppPaths.h"
#include "platform/QoLog.h"

namespace velbor {
namespace {

constexpr int kBusyTimeoutMilliseconds = 5000;

std::mutex gSharedMutex;
// Never destroyed: jobs still running at exit use it.
std::shared_ptr<SQLiteInstanceManager>& gSharedManager = *new std::shared_ptr<SQLiteInstanceManager>();

void configureSQLiteOnce() {
  static std::once_flag once;
  // Multi-thread mode: the connection is never used by two threads at once (statement lock).
  // This fails harmlessly when SQLite was already initialised; the open flag below still
  // asks for the same mode on our connection.
  std::call_once(once, [] { sqlite3_config(SQLITE_CONFIG_MULTITHREAD); });
}

}  // namespace

std::string SQLiteInstanceManager::defaultDatabaseFilepath(const std::string& base, const std::string& processName) {
  std::string stem;
  for (char c : processName) {
    if (c == ' ') continue;
    stem += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return (std::filesystem::path(base) / processName / (stem + ".sqlite3")).string();
}

std::shared_ptr<SQLiteInstanceManager> SQLiteInstanceManager::sharedManager() {
  std::lock_guard<std::mutex> guard(gSharedMutex);
  if (!gSharedManager) {
    gSharedManager = std::shared_ptr<SQLiteInstanceManager>(new SQLiteInstanceManager());
  }
  return gSharedManager;
}

void SQLiteInstanceManager::destorySharedManager() {
  std::shared_ptr<SQLiteInstanceManager> dropped;
  {
    std::lock_guard<std::mutex> guard(gSharedMutex);
    dropped.swap(gSharedManager);
  }
  if (dropped) {
    // Close now, even if someone still holds the instance: its next database() reopens.
    dropped->closeDatabase();
  }
}

std::recursive_mutex& SQLiteInstanceManager::statementLock() {
  static std::recursive_mutex lock;
  return lock;
}

SQLiteInstanceManager::~SQLiteInstanceManager() { closeDatabase(); }

void SQLiteInstanceManager::closeDatabase() {
  std::lock_guard<std::recursive_mutex> lock(statementLock());
  if (database_ != nullptr) {
    SQLiteStatementCache::shared().connectionClosing(database_);
    sqlite3_close_v2(database_);
    database_ = nullptr;
  }
}

sqlite3* SQLiteInstanceManager::database() {
  std::lock_guard<std::recursive_mutex> lock(statementLock());
  if (database_ != nullptr) return database_;

  configureSQLiteOnce();
  const std::string path = databaseFilepath();
  sqlite3* handle = nullptr;
  int rc =
      sqlite3_open_v2(path.c_str(), &handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    QoLog("*** Failed to open database '{}' with message '{}'.", path,
          handle != nullptr ? sqlite3_errmsg(handle) : sqlite3_errstr(rc));
    sqlite3_close_v2(handle);
    return nullptr;
  }
  database_ = handle;
  SQLiteStatementCache::shared().connectionOpened(database_);
  // An outside reader (a backup, the sqlite3 shell) holds its lock briefly: wait for it rather
  // than fail the COMMIT at once.
  sqlite3_busy_timeout(database_, kBusyTimeoutMilliseconds);
  executeUpdateSQL("PRAGMA encoding = \"UTF-8\";");
  executeUpdateSQL("PRAGMA auto_vacuum=1;");
  // A commit appends to the write-ahead log and waits for the disk only at checkpoints; the
  // file stays consistent after a crash, which may lose only the last commits.
  executeUpdateSQL("PRAGMA journal_mode=WAL;");
  executeUpdateSQL("PRAGMA synchronous=NORMAL;");
  return database_;
}

bool SQLiteInstanceManager::tableExists(const std::string& tableName) {
  std::lock_guard<std::recursive_mutex> lock(statementLock());
  // The name is an identifier here, so it is quoted rather than bound.
  std::string quoted = "\"";
  for (char c : tableName) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  quoted += '"';
  SQLiteStatement statement(database(), "pragma table_info(" + quoted + ");");
  return statement.step() == SQLITE_ROW;
}

void SQLiteInstanceManager::setAutoVacuum(int value) { executeUpdateSQL(fmt::format("PRAGMA auto_vacuum={}", value)); }

void SQLiteInstanceManager::setCacheSize(int value) { executeUpdateSQL(fmt::format("PRAGMA cache_size={}", value)); }

void SQLiteInstanceManager::setLockingMode(int value) {
  executeUpdateSQL(fmt::format("PRAGMA locking_mode={}", value));
}

void SQLiteInstanceManager::deleteDatabase() {
  {
    std::lock_guard<std::recursive_mutex> lock(statementLock());
    closeDatabase();
    std::error_code ignored;
    const std::string path = databaseFilepath();
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix, ignored);
  }
  PersistentClass::clearCache();
}

void SQLiteInstanceManager::vacuum() { executeUpdateSQL("VACUUM"); }

bool SQLiteInstanceManager::executeUpdateSQL(const std::string& sql) {
  std::lock_guard<std::recursive_mutex> lock(statementLock());
  sqlite3* db = database();
  if (db == nullptr) {
    QoLog("*** {}", fmt::format("Failed to execute SQL '{}' with message '{}'.", sql, "no database connection"));
    return false;
  }
  char* message = nullptr;
  int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
  if (rc != SQLITE_OK) {
    QoLog("*** {}", fmt::format("Failed to execute SQL '{}' with message '{}'.", sql,
                                message != nullptr ? message : sqlite3_errmsg(db)));
  }
  sqlite3_free(message);
  return rc == SQLITE_OK;
}

void SQLiteInstanceManager::setDatabaseFilepath(const std::string& path) {
  std::lock_guard<std::mutex> guard(pathMutex_);
  if (path != databaseFilepath_) databaseFilepath_ = path;
}

std::string SQLiteInstanceManager::databaseFilepath() {
  std::lock_guard<std::mutex> guard(pathMutex_);
  if (!databaseFilepath_.empty()) return databaseFilepath_;

  std::filesystem::path base = AppPaths::applicationSupportDirectory();
  if (base.empty()) base = AppPaths::temporaryDirectory();
  databaseFilepath_ = defaultDatabaseFilepath(base.string(), AppPaths::processName());
  // A failure shows up as a failed open.
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(databaseFilepath_).parent_path(), ignored);
  return databaseFilepath_;
}

}  // namespace velbor
