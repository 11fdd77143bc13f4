#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "framework/persistence/PersistenceTestSupport.h"
#include "framework/persistence/SQLiteStatement.h"

namespace velbor::test {
namespace {

using SQLiteStatementCacheTest = PersistenceTest;

std::vector<std::string> namesWithNumber(sqlite3* db, int number) {
  SQLiteStatement select(db, "SELECT name FROM item WHERE number = ? ORDER BY name");
  EXPECT_TRUE(select.ok());
  select.bindInt(1, number);
  std::vector<std::string> names;
  while (select.step() == SQLITE_ROW) names.push_back(select.columnText(0));
  return names;
}

// A statement used again keeps nothing of its last use: neither values bound, nor rows
// left unread, nor the read they held open.
TEST_F(SQLiteStatementCacheTest, ReusedStatementsStartAfresh) {
  auto manager = SQLiteInstanceManager::sharedManager();
  sqlite3* db = manager->database();
  ASSERT_NE(db, nullptr);
  ASSERT_TRUE(manager->executeUpdateSQL("CREATE TABLE item (name TEXT, number INTEGER)"));
  for (const auto& [name, number] : std::vector<std::pair<std::string, int>>{{"a", 1}, {"b", 1}, {"c", 2}}) {
    SQLiteStatement insert(db, "INSERT INTO item (name, number) VALUES (?, ?)");
    ASSERT_TRUE(insert.ok());
    insert.bindText(1, name);
    insert.bindInt(2, number);
    ASSERT_EQ(insert.step(), SQLITE_DONE);
  }
  EXPECT_EQ(namesWithNumber(db, 1), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(namesWithNumber(db, 2), (std::vector<std::string>{"c"}));
  {
    // Unbound: NULL, not the value of the use before.
    SQLiteStatement select(db, "SELECT name FROM item WHERE number = ? ORDER BY name");
    EXPECT_EQ(select.step(), SQLITE_DONE);
  }
  {
    // Left after its first row, and a second use of the same text meanwhile.
    SQLiteStatement first(db, "SELECT name FROM item WHERE number = ? ORDER BY name");
    first.bindInt(1, 1);
    ASSERT_EQ(first.step(), SQLITE_ROW);
    EXPECT_EQ(namesWithNumber(db, 2), (std::vector<std::string>{"c"}));
    EXPECT_EQ(first.columnText(0), "a");
  }
  // No read is left open: the table can go, and the same text fails then (a kept
  // statement at its step, being prepared again against the new schema).
  ASSERT_TRUE(manager->executeUpdateSQL("DROP TABLE item"));
  SQLiteStatement gone(db, "SELECT name FROM item WHERE number = ? ORDER BY name");
  EXPECT_EQ(gone.step(), SQLITE_ERROR);
}

// Kept statements do not hold a closed connection open: deleting the database removes its
// files, and the next connection starts empty.
TEST_F(SQLiteStatementCacheTest, ClosingFinalisesKeptStatements) {
  auto manager = SQLiteInstanceManager::sharedManager();
  ASSERT_TRUE(manager->executeUpdateSQL("CREATE TABLE kept (a)"));
  {
    SQLiteStatement select(manager->database(), "SELECT a FROM kept");
    ASSERT_TRUE(select.ok());
  }
  const std::string path = manager->databaseFilepath();
  manager->deleteDatabase();
  EXPECT_FALSE(std::filesystem::exists(path + "-wal"));
  EXPECT_FALSE(manager->tableExists("kept"));
  SQLiteStatement select(manager->database(), "SELECT a FROM kept");
  EXPECT_FALSE(select.ok());
}

// A manager still held after the shared one was replaced opens a connection of its own
// beside the new one's: neither is handed a statement prepared on the other.
TEST_F(SQLiteStatementCacheTest, TwoOpenConnectionsNeverShareAStatement) {
  auto held = SQLiteInstanceManager::sharedManager();
  ASSERT_NE(held->database(), nullptr);
  SQLiteInstanceManager::destorySharedManager();
  auto current = SQLiteInstanceManager::sharedManager();
  sqlite3* currentDb = current->database();
  ASSERT_NE(currentDb, nullptr);
  const std::string sql = "SELECT count(*) FROM sqlite_master";
  {
    SQLiteStatement kept(currentDb, sql);
    ASSERT_TRUE(kept.ok());
  }
  sqlite3* heldDb = held->database();
  ASSERT_NE(heldDb, nullptr);
  ASSERT_NE(heldDb, currentDb);
  {
    SQLiteStatement onHeld(heldDb, sql);
    ASSERT_TRUE(onHeld.ok());
    EXPECT_EQ(sqlite3_db_handle(onHeld.get()), heldDb);
  }
  SQLiteStatement onCurrent(currentDb, sql);
  ASSERT_TRUE(onCurrent.ok());
  EXPECT_EQ(sqlite3_db_handle(onCurrent.get()), currentDb);
}

}  // namespace
}  // namespace velbor::test
