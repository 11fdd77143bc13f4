#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "framework/persistence/PersistentObject.h"
#include "framework/persistence/SQLiteInstanceManager.h"
#include "framework/persistence/SQLiteStatement.h"

// Header-only: the support library itself links none of the engine libraries.
namespace velbor::test {

// Drops the shared connection and the made-tables cache, so the next use opens the
// database of the current HOME afresh.
inline void resetDatabaseState() {
  SQLiteInstanceManager::destorySharedManager();
  PersistentObject::clearCache();
}

// Runs a query on the shared connection and returns the first column of every row as text.
inline std::vector<std::string> queryColumn(const std::string& sql) {
  std::lock_guard<std::recursive_mutex> lock(PersistentObject::getLocker());
  SQLiteStatement statement(SQLiteInstanceManager::sharedManager()->database(), sql);
  std::vector<std::string> values;
  while (statement.ok() && statement.step() == SQLITE_ROW) values.push_back(statement.columnText(0));
  return values;
}

}  // namespace velbor::test
