#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <sqlite3.h>

namespace velbor {

// One prepared statement, finalised when it goes out of scope. The caller holds the
// statement lock for the whole life of the object.
class SQLiteStatement {
 public:
  // Prepares `sql` on `database` (or reuses one prepared before, see SQLiteStatementCache);
  // a null database gives a statement that is not ok().
  SQLiteStatement(sqlite3* database, const std::string& sql);
  ~SQLiteStatement();
  SQLiteStatement(const SQLiteStatement&) = delete;
  SQLiteStatement& operator=(const SQLiteStatement&) = delete;

  bool ok() const { return statement_ != nullptr; }
  sqlite3_stmt* get() const { return statement_; }
  // The connection's last error text.
  std::string errorMessage() const;
  int step();

  // Each bind returns SQLite's result code. Positions start at 1.
  int bindText(int position, const std::string& text);
  // Empty text and empty bytes are bound as NULL ("none").
  int bindOptionalText(int position, const std::string& text);
  int bindOptionalBlob(int position, const std::string& bytes);
  int bindInt(int position, int32_t value);
  int bindInt64(int position, int64_t value);
  int bindNull(int position);

  int32_t columnInt(int index) const;
  int64_t columnInt64(int index) const;
  double columnDouble(int index) const;
  bool columnIsNull(int index) const;
  // NULL reads as the empty text; no bytes read as empty bytes.
  std::string columnText(int index) const;
  std::string columnBlob(int index) const;
  int columnCount() const;
  std::string columnName(int index) const;

 private:
  sqlite3* database_;
  std::string sql_;
  sqlite3_stmt* statement_ = nullptr;
};

}  // namespace velbor
