#include "framework/persistence/SQLiteStatementCache.h"

namespace velbor {

SQLiteStatementCache& SQLiteStatementCache::shared() {
  // Never destroyed: statements may be given back during exit.
  static auto* cache = new SQLiteStatementCache;
  return *cache;
}

void SQLiteStatementCache::connectionOpened(sqlite3* database) {
  // Another connection may still be open (a manager held past the shared one's end reopens
  // its own): its statements are not handed to users of this one.
  std::list<std::pair<std::string, sqlite3_stmt*>> dropped;
  {
    std::lock_guard lock(mutex_);
    if (database_ == database) return;
    database_ = database;
    dropped.swap(kept_);
  }
  for (auto& [sql, statement] : dropped) sqlite3_finalize(statement);
}

void SQLiteStatementCache::connectionClosing(sqlite3* database) {
  std::list<std::pair<std::string, sqlite3_stmt*>> dropped;
  {
    std::lock_guard lock(mutex_);
    if (database_ != database) return;
    database_ = nullptr;
    dropped.swap(kept_);
  }
  for (auto& [sql, statement] : dropped) sqlite3_finalize(statement);
}

sqlite3_stmt* SQLiteStatementCache::take(sqlite3* database, const std::string& sql) {
  std::lock_guard lock(mutex_);
  if (database == nullptr || database != database_) return nullptr;
  for (auto entry = kept_.begin(); entry != kept_.end(); ++entry) {
    if (entry->first == sql) {
      sqlite3_stmt* statement = entry->second;
      kept_.erase(entry);
      return statement;
    }
  }
  return nullptr;
}

void SQLiteStatementCache::giveBack(sqlite3* database, std::string sql, sqlite3_stmt* statement) {
  if (statement == nullptr) return;
  // Ends any read or write it started, so a kept statement holds no lock.
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  sqlite3_stmt* evicted = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (database == nullptr || database != database_) {
      evicted = statement;
    } else {
      kept_.emplace_front(std::move(sql), statement);
      if (kept_.size() > kCapacity) {
        evicted = kept_.back().second;
        kept_.pop_back();
      }
    }
  }
  sqlite3_finalize(evicted);
}

}  // namespace velbor
