#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "framework/errors/QoException.h"
#include "framework/errors/QoExceptionProto.h"
#include "framework/persistence/DatabaseRefusal.h"
#include "framework/persistence/PersistenceTestSupport.h"
#include "framework/persistence/WriteTransaction.h"
#include "platform/AppPaths.h"
#include "platform/LockerGuard.h"

namespace velbor::test {
namespace {

using SQLiteInstanceManagerTest = PersistenceTest;

TEST_F(SQLiteInstanceManagerTest, DatabaseFileIsNamedAfterTheProcessInsideTheDataHome) {
  EXPECT_EQ(SQLiteInstanceManager::defaultDatabaseFilepath("/data", "My App"), "/data/My App/myapp.sqlite3");

  auto manager = SQLiteInstanceManager::sharedManager();
  const std::filesystem::path expected =
      SQLiteInstanceManager::defaultDatabaseFilepath((home_.path() / ".local/share").string(), AppPaths::processName());
  EXPECT_EQ(manager->databaseFilepath(), expected.string());

  // Two threads opening at once share one connection; the file appears with its pragmas.
  sqlite3* first = nullptr;
  sqlite3* second = nullptr;
  std::thread a([&] { first = manager->database(); });
  std::thread b([&] { second = manager->database(); });
  a.join();
  b.join();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, second);
  EXPECT_TRUE(std::filesystem::exists(expected));
  EXPECT_EQ(column("PRAGMA auto_vacuum"), std::vector<std::string>{"1"});
  EXPECT_EQ(column("PRAGMA encoding"), std::vector<std::string>{"UTF-8"});
  // Write-ahead log, synced at checkpoints only.
  EXPECT_EQ(column("PRAGMA journal_mode"), std::vector<std::string>{"wal"});
  EXPECT_EQ(column("PRAGMA synchronous"), std::vector<std::string>{"1"});
}

TEST_F(SQLiteInstanceManagerTest, FailuresAreReportedWithoutRaising) {
  auto manager = SQLiteInstanceManager::sharedManager();
  testing::internal::CaptureStderr();
  EXPECT_FALSE(manager->executeUpdateSQL("CREATE TABLEX nonsense"));
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("*** Failed to execute SQL 'CREATE TABLEX nonsense' with message"), std::string::npos);
  EXPECT_FALSE(manager->tableExists("missing"));
  EXPECT_TRUE(manager->executeUpdateSQL("CREATE TABLE present (a)"));
  EXPECT_TRUE(manager->tableExists("present"));

  // No connection at all: statements fail quietly, the generic layer answers empty.
  SQLiteInstanceManager::destorySharedManager();
  PersistentObject::clearCache();
  SQLiteInstanceManager::sharedManager()->setDatabaseFilepath((home_.path() / "no/such/dir/x.sqlite3").string());
  EXPECT_EQ(SQLiteInstanceManager::sharedManager()->database(), nullptr);
  EXPECT_TRUE(TestOwner::allObjects().empty());
  EXPECT_EQ(TestOwner::count(), 0);
}

TEST_F(SQLiteInstanceManagerTest, DeleteDatabaseStartsAnEmptyFileAndRemakesTables) {
  add("kept?");
  ASSERT_EQ(TestOwner::count(), 1);
  SQLiteInstanceManager::sharedManager()->deleteDatabase();
  EXPECT_EQ(TestOwner::count(), 0);
  EXPECT_TRUE(SQLiteInstanceManager::sharedManager()->tableExists("test_owner"));
}

// Rows of one text column to write in transactions.
class OwnerRowsTest : public PersistenceTest {
 protected:
  void SetUp() override {
    PersistenceTest::SetUp();
    TestOwner::tableCheck();
  }
  static std::vector<std::string> labels() { return column("SELECT label FROM test_owner ORDER BY pk"); }
};

// The test thread holds the "transaction" locker throughout, as callers of the raw API do.
class TransactionTest : public OwnerRowsTest {
 protected:
  static std::vector<int> ends(const StatementTrace& trace) {
    return {trace.count("BEGIN"), trace.count("COMMIT"), trace.count("ROLLBACK")};
  }
  LockerGuard<RecursiveLocker> transaction_{WriteTransaction::locker()};
};

TEST_F(TransactionTest, OnlyTheOutermostPairReachesTheDatabase) {
  StatementTrace trace;
  // An inner rollback undoes nothing by itself; the outer commit keeps everything.
  PersistentObject::beginTransaction();
  add("outer");
  PersistentObject::beginTransaction();
  add("inner");
  testing::internal::CaptureStderr();
  PersistentObject::rollbackTransaction();
  EXPECT_NE(testing::internal::GetCapturedStderr().find("rollBackTransaction: 2"), std::string::npos);
  PersistentObject::commitTransaction();
  EXPECT_EQ(PersistentObject::transactionLevel(), 0);
  EXPECT_EQ(TestOwner::count(), 2);
  EXPECT_EQ(ends(trace), (std::vector<int>{1, 1, 0}));

  // An outer rollback discards the committed inner changes too.
  trace.clear();
  PersistentObject::beginTransaction();
  PersistentObject::beginTransaction();
  add("gone");
  PersistentObject::commitTransaction();
  PersistentObject::rollbackTransaction();
  EXPECT_EQ(PersistentObject::transactionLevel(), 0);
  EXPECT_EQ(TestOwner::count(), 2);
  EXPECT_EQ(ends(trace), (std::vector<int>{1, 0, 1}));

  // begin, begin, commit, commit: one BEGIN and one COMMIT.
  trace.clear();
  {
    WriteTransaction outer;
    {
      WriteTransaction inner;
      add("nested");
      inner.commit();
    }
    outer.commit();
  }
  EXPECT_EQ(ends(trace), (std::vector<int>{1, 1, 0}));
  EXPECT_EQ(TestOwner::count(), 3);
}

TEST_F(TransactionTest, CommitOfNothingOpenLeavesTheOuterTransactionAlone) {
  StatementTrace trace;
  {
    WriteTransaction outer;
    add("outer");
    {
      // Made to begin later, and never begun; or committed twice.
      WriteTransaction unbegun(WriteTransaction::beginLater);
      unbegun.commit();
      WriteTransaction inner;
      inner.commit();
      inner.commit();
    }
    EXPECT_EQ(PersistentObject::transactionLevel(), 1);
    outer.commit();
  }
  EXPECT_EQ(PersistentObject::transactionLevel(), 0);
  EXPECT_EQ(ends(trace), (std::vector<int>{1, 1, 0}));
  EXPECT_EQ(TestOwner::count(), 1);
}

TEST_F(TransactionTest, RefusedCommitRaisesAndTheWorkIsRolledBack) {
  add("before");
  {
    RefusedCommits refused;
    ASSERT_TRUE(refused.active());
    StatementTrace trace;
    std::vector<std::string> disk;
    {
      WriteTransaction transaction;
      add("lost");
      // The disk work that went with the records is put back, the last first, and no more.
      PersistentObject::onRollback([&] { disk.push_back("undo first"); });
      PersistentObject::onCommit([&] { disk.push_back("committed"); });
      {
        WriteTransaction inner;
        PersistentObject::onRollback([&] { disk.push_back("undo inner"); });
      }
      EXPECT_TRUE(disk.empty()) << "an inner rollback undoes nothing by itself";
      EXPECT_THROW(transaction.commit(), DatabaseRefusal);
      EXPECT_EQ(PersistentObject::transactionLevel(), 1) << "still open, for the caller to roll back";
    }
    EXPECT_EQ(ends(trace), (std::vector<int>{1, 1, 1}));
    EXPECT_EQ(disk, (std::vector<std::string>{"undo inner", "undo first"}));
  }
  EXPECT_EQ(PersistentObject::transactionLevel(), 0);
  EXPECT_EQ(column("SELECT label FROM test_owner"), std::vector<std::string>{"before"});
  std::vector<std::string> disk;
  {
    WriteTransaction transaction;
    PersistentObject::onRollback([&] { disk.push_back("undo"); });
    PersistentObject::onCommit([&] { throw std::runtime_error("a failure is only logged"); });
    PersistentObject::onCommit([&] { disk.push_back("committed"); });
    transaction.commit();
  }
  EXPECT_EQ(disk, std::vector<std::string>{"committed"});
}

TEST_F(TransactionTest, ScopedTransactionRollsBackUnlessCommitted) {
  try {
    WriteTransaction transaction;
    add("lost");
    throw std::runtime_error("fails midway");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(TestOwner::count(), 0);
  {
    WriteTransaction transaction;
    add("kept");
    transaction.commit();
  }
  EXPECT_EQ(TestOwner::count(), 1);
  EXPECT_EQ(PersistentObject::transactionLevel(), 0);
}

TEST_F(TransactionTest, RefusedBeginRaisesAndLeavesTheLevel) {
  // A transaction opened behind the layer's back makes SQLite refuse the BEGIN.
  ASSERT_TRUE(SQLiteInstanceManager::sharedManager()->executeUpdateSQL("BEGIN"));
  EXPECT_THROW(WriteTransaction transaction, QoException);
  EXPECT_EQ(PersistentObject::transactionLevel(), 0);
  SQLiteInstanceManager::sharedManager()->executeUpdateSQL("ROLLBACK");
}

// Transactions as other threads and failed writes meet them (the test thread holds no locker).
using TransactionFailureTest = OwnerRowsTest;

TEST_F(TransactionFailureTest, WriteFromAnotherThreadWaitsAndSurvivesTheRollback) {
  std::promise<void> started;
  std::thread writer;
  {
    WriteTransaction transaction;
    add("rolled back");
    writer = std::thread([&] {
      started.set_value();
      add("other thread");
    });
    started.get_future().wait();
    // Gives the writer every chance to slip into this transaction before it rolls back.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  writer.join();
  EXPECT_EQ(labels(), std::vector<std::string>{"other thread"});
}

TEST_F(TransactionFailureTest, TransactionBegunLaterHoldsTheLockerFromStartToEnd) {
  const auto heldElsewhere = [] {
    bool free = false;
    std::thread([&] {
      free = WriteTransaction::locker().try_lock();
      if (free) WriteTransaction::locker().unlock();
    }).join();
    return !free;
  };
  {
    WriteTransaction transaction(WriteTransaction::beginLater);
    EXPECT_TRUE(heldElsewhere());
    EXPECT_EQ(PersistentObject::transactionLevel(), 0);
    transaction.begin();
    add("rolled back");
    EXPECT_EQ(PersistentObject::transactionLevel(), 1);
    transaction.rollback();
    // Nothing is open any more: a second rollback must not end someone else's level.
    transaction.rollback();
    EXPECT_EQ(PersistentObject::transactionLevel(), 0);
    // Still held after the rollback, for what the caller does about the failure.
    EXPECT_TRUE(heldElsewhere());
  }
  EXPECT_FALSE(heldElsewhere());
  EXPECT_EQ(TestOwner::count(), 0);
}

TEST_F(TransactionFailureTest, FailedWriteInsideATransactionRollsItBack) {
  ASSERT_TRUE(SQLiteInstanceManager::sharedManager()->executeUpdateSQL(
      "CREATE TRIGGER refuse BEFORE INSERT ON test_owner WHEN NEW.label = 'refused' "
      "BEGIN SELECT RAISE(ABORT, 'refused by the test'); END"));
  // Outside a transaction the failure is logged and raised too: the caller is told.
  testing::internal::CaptureStderr();
  EXPECT_THROW(add("refused"), QoExceptionZeSqlite);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Error inserting or updating row."), std::string::npos);
  add("before");

  {
    WriteTransaction transaction;
    add("lost");
    EXPECT_THROW(add("refused"), QoExceptionZeSqlite);
    EXPECT_THROW(transaction.commit(), QoExceptionZeSqlite);
  }
  {
    // A caller that swallows the failure still cannot commit what came before it.
    WriteTransaction outer;
    {
      WriteTransaction inner;
      add("lost too");
      try {
        add("refused");
      } catch (const QoException&) {
      }
      inner.commit();
    }
    EXPECT_THROW(outer.commit(), QoExceptionZeSqlite);
  }
  EXPECT_EQ(PersistentObject::transactionLevel(), 0);
  EXPECT_EQ(labels(), std::vector<std::string>{"before"});

  // The next transaction starts clean.
  {
    WriteTransaction transaction;
    add("after");
    transaction.commit();
  }
  EXPECT_EQ(labels(), (std::vector<std::string>{"before", "after"}));
}

TEST_F(TransactionFailureTest, WriteWaitsForAnOutsideWriterToFinish) {
  add("before");
  auto writer = std::make_unique<OutsideWriter>(SQLiteInstanceManager::sharedManager()->databaseFilepath());
  ASSERT_TRUE(writer->writing());
  // Another connection writes for a moment, then lets go.
  std::thread finish([&writer] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    writer.reset();
  });
  {
    WriteTransaction transaction;
    add("after");
    EXPECT_NO_THROW(transaction.commit());
  }
  finish.join();
  EXPECT_EQ(labels(), (std::vector<std::string>{"before", "after"}));
}

TEST(TransactionLockerTest, OneLockerApartFromTheStatementLock) {
  EXPECT_EQ(&WriteTransaction::locker(), &WriteTransaction::locker());
  EXPECT_NE(static_cast<const void*>(&WriteTransaction::locker()),
            static_cast<const void*>(&PersistentObject::getLocker()));
}

}  // namespace
}  // namespace velbor::test
