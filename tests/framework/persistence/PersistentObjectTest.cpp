#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "framework/errors/QoExceptionProto.h"
#include "framework/persistence/PersistenceTestSupport.h"
#include "framework/persistence/PersistentNaming.h"

namespace velbor::test {
namespace {

// The same table seen by two versions of a class: the second adds a column.
class MigrantV1 : public PersistentEntity<MigrantV1> {
 public:
  static std::string className() { return "TestMigrant"; }
  static std::vector<std::string> propertiesOrderedArray() { return {"first"}; }
  static std::vector<PersistentProperty> propertiesWithEncodedTypes() {
    return {PersistentProperty::text("first", &MigrantV1::first)};
  }
  std::string first;
};

class MigrantV2 : public PersistentEntity<MigrantV2> {
 public:
  static std::string className() { return "TestMigrant"; }
  static std::vector<std::string> propertiesOrderedArray() { return {"first", "secondValue"}; }
  static std::vector<PersistentProperty> propertiesWithEncodedTypes() {
    return {PersistentProperty::text("first", &MigrantV2::first),
            PersistentProperty::scalar("secondValue", &MigrantV2::secondValue)};
  }
  std::string first;
  int32_t secondValue = 0;
};

class Undeclared : public PersistentEntity<Undeclared> {
 public:
  static std::string className() { return "TestUndeclared"; }
  static std::vector<PersistentProperty> propertiesWithEncodedTypes() { return {}; }
};

using PersistentObjectTest = PersistenceTest;

TEST(PersistentNamingTest, NamesMapBothWays) {
  EXPECT_EQ(PersistentNaming::tableNameForClassName("QoSyncdirCopy"), "qo_syncdir_copy");
  EXPECT_EQ(PersistentNaming::tableNameForClassName("QoFileAndSyncdirCopyRelation"),
            "qo_file_and_syncdir_copy_relation");
  for (const auto& [property, column] :
       std::vector<std::pair<std::string, std::string>>{{"sha1", "sha_1"}, {"vcIndex", "vc_index"}, {"pk", "pk"}}) {
    EXPECT_EQ(PersistentNaming::stringAsSQLColumnName(property), column);
  }
  EXPECT_EQ(PersistentNaming::stringAsPropertyString("user_rank"), "userRank");
  EXPECT_EQ(PersistentNaming::stringAsPropertyString("sha_1"), "sha1");
  EXPECT_EQ(PersistentObject::classNameForTableName("qo_feedback"), "QoFeedback");

  for (const char* text : {" 42 ", "   "}) EXPECT_TRUE(PersistentNaming::holdsIntegerValue(text)) << text;
  EXPECT_FALSE(PersistentNaming::holdsIntegerValue("4a"));
  EXPECT_TRUE(PersistentNaming::holdsFloatingPointValue("2.5"));
  for (const char* text : {"2.5.1", "25"}) EXPECT_FALSE(PersistentNaming::holdsFloatingPointValue(text)) << text;
}

TEST_F(PersistentObjectTest, GenericSaveHandsOutKeysFromTheSequenceTable) {
  auto first = std::make_shared<TestOwner>();
  auto second = std::make_shared<TestOwner>();
  first->save();
  second->save();
  EXPECT_EQ(first->pk(), 1);
  EXPECT_EQ(second->pk(), 2);
  first->deleteObject();
  auto third = std::make_shared<TestOwner>();
  third->save();
  EXPECT_EQ(third->pk(), 3);
  EXPECT_EQ(TestOwner::count(), 2);
  EXPECT_EQ(TestOwner::findByPK(-1), nullptr);
  TestOwner::deleteObject(-1, false);
  EXPECT_EQ(TestOwner::count(), 2);
}

TEST_F(PersistentObjectTest, CleanObjectIsNotWrittenAgain) {
  auto owner = add("one");
  EXPECT_FALSE(owner->isDirty());
  // Changed behind the object's back: a save of the clean object must not overwrite it.
  SQLiteInstanceManager::sharedManager()->executeUpdateSQL("UPDATE test_owner SET label = 'outside'");
  owner->save();
  EXPECT_EQ(TestOwner::findByPK(owner->pk())->label, "outside");
  owner->setValue(std::string("two"), "label");
  owner->save();
  EXPECT_EQ(TestOwner::findByPK(owner->pk())->label, "two");
  EXPECT_EQ(TestOwner::count(), 1);
}

TEST_F(PersistentObjectTest, ValuesRoundTripByType) {
  auto owner = std::make_shared<TestOwner>();
  owner->label = "boss";
  auto gadget = std::make_shared<TestGadget>();
  gadget->name = "g";
  gadget->count = -7;
  gadget->enabled = true;
  gadget->ratio = 0.1;
  gadget->weight = 2.5f;
  gadget->blob = std::string("\0\x01\xff", 3);
  gadget->owner = owner;
  gadget->scratch = "never stored";
  gadget->save();
  EXPECT_GT(owner->pk(), 0) << "the referenced entity is saved first";

  EXPECT_EQ(column("SELECT typeof(enabled) || ':' || enabled FROM test_gadget"), std::vector<std::string>{"text:1"});
  auto loaded = TestGadget::findByPK(gadget->pk());
  ASSERT_NE(loaded, nullptr);
  EXPECT_FALSE(loaded->isDirty());
  EXPECT_EQ(loaded->name, "g");
  EXPECT_EQ(loaded->count, -7);
  EXPECT_TRUE(loaded->enabled);
  EXPECT_EQ(loaded->ratio, static_cast<double>(0.1f)) << "doubles come back at single precision";
  EXPECT_EQ(loaded->weight, 2.5f);
  EXPECT_EQ(loaded->blob, std::string("\0\x01\xff", 3));
  ASSERT_NE(loaded->owner, nullptr);
  EXPECT_EQ(loaded->owner->label, "boss");
  EXPECT_TRUE(loaded->scratch.empty());
  EXPECT_TRUE(loaded->areAllPropertiesEqual(*gadget));
  loaded->count = 8;
  EXPECT_FALSE(loaded->areAllPropertiesEqual(*gadget));

  // A reference stored as key 0 reads back as none.
  SQLiteInstanceManager::sharedManager()->executeUpdateSQL("UPDATE test_gadget SET owner = 0");
  EXPECT_EQ(TestGadget::findByPK(gadget->pk())->owner, nullptr);
}

TEST_F(PersistentObjectTest, TableCheckCreatesDeclaredColumnsAndIndices) {
  TestGadget::tableCheck();
  EXPECT_EQ(TestGadget::tableColumns(),
            (std::vector<std::string>{"pk", "name", "count", "enabled", "ratio", "weight", "blob", "owner"}));
  EXPECT_EQ(TestGadget::propertiesOrderedArrayCount(), 9);
  const auto sql = column("SELECT sql FROM sqlite_master WHERE name = 'test_gadget'");
  ASSERT_EQ(sql.size(), 1u);
  EXPECT_EQ(sql[0],
            "CREATE TABLE test_gadget (pk INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT UNIQUE, count INTEGER, "
            "enabled TEXT, ratio REAL, weight REAL, blob BLOB, owner INTEGER)");
  EXPECT_EQ(
      column("SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = 'test_gadget' AND sql IS NOT NULL"),
      std::vector<std::string>{"test_gadget_count_ratio"});
  EXPECT_TRUE(SQLiteInstanceManager::sharedManager()->tableExists("test_owner")) << "referenced table made too";

  EXPECT_THROW(Undeclared::tableCheck(), Exception);
}

TEST_F(PersistentObjectTest, MigrationAddsMissingColumnsAndKeepsRows) {
  auto old = std::make_shared<MigrantV1>();
  old->first = "kept";
  old->save();

  // The next run knows one more property: one ALTER, no rebuild of the table.
  reset();
  StatementTrace trace;
  MigrantV2::tableCheck();
  EXPECT_EQ(trace.count("alter table"), 1);
  EXPECT_EQ(trace.count("drop"), 0);
  MigrantV2::tableCheck();
  EXPECT_EQ(trace.count("alter table"), 1) << "checked once per run";
  auto widened = MigrantV2::findByPK(old->pk());
  ASSERT_NE(widened, nullptr);
  EXPECT_EQ(widened->first, "kept");
  EXPECT_EQ(MigrantV2::tableColumns(), (std::vector<std::string>{"pk", "first", "second_value"}));
  widened->secondValue = 5;
  widened->markDirty();
  widened->save();
  EXPECT_EQ(MigrantV2::findByPK(old->pk())->secondValue, 5);
}

TEST_F(PersistentObjectTest, LoadPassesOverAColumnItDoesNotKnow) {
  auto old = std::make_shared<MigrantV2>();
  old->first = "one";
  old->secondValue = 7;
  old->save();

  // An older build reads a table widened by a newer one, with the unknown column in the middle.
  reset();
  auto manager = SQLiteInstanceManager::sharedManager();
  manager->executeUpdateSQL("ALTER TABLE test_migrant RENAME COLUMN first TO zz_unknown");
  manager->executeUpdateSQL("ALTER TABLE test_migrant ADD COLUMN first TEXT");
  manager->executeUpdateSQL("UPDATE test_migrant SET first = 'after'");
  auto loaded = MigrantV2::findByPK(old->pk());
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(loaded->secondValue, 7);
  EXPECT_EQ(loaded->first, "after") << "columns after the unknown one are read";
}

// A write outside a transaction that the database refuses raises, as one inside does: the
// caller never takes it for stored.
TEST_F(PersistentObjectTest, FailedSaveOutsideATransactionRaisesAndLeavesTheObjectDirty) {
  TestOwner::tableCheck();
  SQLiteInstanceManager::sharedManager()->executeUpdateSQL(
      "CREATE TRIGGER refuse BEFORE INSERT ON test_owner BEGIN SELECT RAISE(ABORT, 'refused'); END");
  auto owner = std::make_shared<TestOwner>();
  owner->label = "pending";
  EXPECT_THROW(owner->save(), QoExceptionZeSqlite);
  EXPECT_TRUE(owner->isDirty());
  EXPECT_EQ(TestOwner::count(), 0);
  EXPECT_EQ(PersistentObject::transactionLevel(), 0);

  // Once the database takes it, the same object is written by its next save.
  SQLiteInstanceManager::sharedManager()->executeUpdateSQL("DROP TRIGGER refuse");
  owner->save();
  EXPECT_FALSE(owner->isDirty());
  ASSERT_EQ(TestOwner::count(), 1);
  EXPECT_EQ(TestOwner::findByPK(owner->pk())->label, "pending");

  SQLiteInstanceManager::sharedManager()->executeUpdateSQL(
      "CREATE TRIGGER keep BEFORE DELETE ON test_owner BEGIN SELECT RAISE(ABORT, 'kept'); END");
  EXPECT_THROW(owner->deleteObject(), QoExceptionZeSqlite);
  EXPECT_THROW(TestOwner::deleteObjectsByCriteria("WHERE label = ?", PersistentObject::Parameters{"pending"}),
               QoExceptionZeSqlite);
  EXPECT_EQ(TestOwner::count(), 1);
}

TEST_F(PersistentObjectTest, CriteriaBindParametersByWholeText) {
  for (const char* label : {"Grüße", "gruesse", "Grüße%"}) add(label);
  EXPECT_EQ(TestOwner::count(), 3);
  EXPECT_EQ(TestOwner::countByCriteria("WHERE label = ?", PersistentObject::Parameters{"Grüße"}), 1);
  EXPECT_EQ(TestOwner::findByCriteria("WHERE label = ?", PersistentObject::Parameters{"gruesse"}).size(), 1u);
  EXPECT_EQ(TestOwner::findFirstByCriteria("WHERE label = 'nothing'"), nullptr);
  TestOwner::deleteObjectsByCriteria("WHERE label = ?", PersistentObject::Parameters{"Grüße%"});
  EXPECT_EQ(TestOwner::count(), 2);
  EXPECT_DOUBLE_EQ(PersistentObject::performSQLAggregation("SELECT count(*) FROM test_owner"), 2.0);
  EXPECT_DOUBLE_EQ(PersistentObject::performSQLAggregation("SELECT label FROM test_owner WHERE 0"), -1.0);
}

}  // namespace
}  // namespace velbor::test
