#include "framework/persistence/SQLiteStatement.h"

#include "framework/persistence/SQLiteStatementCache.h"

namespace velbor {

SQLiteStatement::SQLiteStatement(sqlite3* database, const std::string& sql) : database_(database), sql_(sql) {
  if (database_ == nullptr) return;
  statement_ = SQLiteStatementCache::shared().take(database_, sql_);
  if (statement_ != nullptr) return;
  if (sqlite3_prepare_v2(database_, sql.c_str(), static_cast<int>(sql.size()), &statement_, nullptr) != SQLITE_OK) {
    sqlite3_finalize(statement_);
    statement_ = nullptr;
  }
}

SQLiteStatement::~SQLiteStatement() { SQLiteStatementCache::shared().giveBack(database_, std::move(sql_), statement_); }

std::string SQLiteStatement::errorMessage() const {
  return database_ != nullptr ? sqlite3_errmsg(database_) : "no database connection";
}

int SQLiteStatement::step() { return statement_ != nullptr ? sqlite3_step(statement_) : SQLITE_MISUSE; }

int SQLiteStatement::bindText(int position, const std::string& text) {
  return sqlite3_bind_text(statement_, position, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

int SQLiteStatement::bindOptionalText(int position, const std::string& text) {
  return text.empty() ? bindNull(position) : bindText(position, text);
}

int SQLiteStatement::bindOptionalBlob(int position, const std::string& bytes) {
  if (bytes.empty()) return bindNull(position);
  return sqlite3_bind_blob(statement_, position, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
}

int SQLiteStatement::bindInt(int position, int32_t value) { return sqlite3_bind_int(statement_, position, value); }

int SQLiteStatement::bindInt64(int position, int64_t value) { return sqlite3_bind_int64(statement_, position, value); }

int SQLiteStatement::bindNull(int position) { return sqlite3_bind_null(statement_, position); }

int32_t SQLiteStatement::columnInt(int index) const { return sqlite3_column_int(statement_, index); }

int64_t SQLiteStatement::columnInt64(int index) const { return sqlite3_column_int64(statement_, index); }

double SQLiteStatement::columnDouble(int index) const { return sqlite3_column_double(statement_, index); }

bool SQLiteStatement::columnIsNull(int index) const { return sqlite3_column_type(statement_, index) == SQLITE_NULL; }

std::string SQLiteStatement::columnText(int index) const {
  const auto* text = sqlite3_column_text(statement_, index);
  if (text == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(sqlite3_column_bytes(statement_, index)));
}

std::string SQLiteStatement::columnBlob(int index) const {
  const void* bytes = sqlite3_column_blob(statement_, index);
  const int length = sqlite3_column_bytes(statement_, index);
  if (bytes == nullptr || length <= 0) return {};
  return std::string(static_cast<const char*>(bytes), static_cast<size_t>(length));
}

int SQLiteStatement::columnCount() const { return sqlite3_column_count(statement_); }

std::string SQLiteStatement::columnName(int index) const {
  const char* name = sqlite3_column_name(statement_, index);
  return name != nullptr ? name : "";
}

}  // namespace velbor
