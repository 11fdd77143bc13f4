#pragma once

#include <cstddef>
#include <list>
#include <mutex>
#include <string>
#include <utility>

#include <sqlite3.h>

namespace velbor {

// Prepared statements kept for reuse, by their SQL text, for the one open connection.
// Preparing (parsing and planning) costs more than running the small queries that every
// applied file and every classified path makes; the texts are few and bind their values.
// A statement is out of the cache while in use, so two uses never share one. Statements of
// a connection that is closing are finalised first (a connection closes only when none is
// left). A kept statement is prepared again by SQLite when the schema changed; one whose
// table is gone then fails at its first step rather than at its preparation.
class SQLiteStatementCache {
 public:
  static SQLiteStatementCache& shared();

  // The connection whose statements are kept from now on; those kept of another are
  // finalised, and any of another given back later is finalised too.
  void connectionOpened(sqlite3* database);
  // Finalises every kept statement of `database` and keeps none of it from now on.
  void connectionClosing(sqlite3* database);
  // A kept statement of this text, reset and unbound, or null.
  sqlite3_stmt* take(sqlite3* database, const std::string& sql);
  // Keeps the statement for reuse (reset, bindings cleared), or finalises it.
  void giveBack(sqlite3* database, std::string sql, sqlite3_stmt* statement);

 private:
  // Enough for every fixed text of the program; texts with values in them come and go.
  static constexpr std::size_t kCapacity = 64;

  std::mutex mutex_;
  sqlite3* database_ = nullptr;
  // Most recently given back first.
  std::list<std::pair<std::string, sqlite3_stmt*>> kept_;
};

}  // namespace velbor
