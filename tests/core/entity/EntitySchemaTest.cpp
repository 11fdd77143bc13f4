#include <map>
#include <string>
#include <vector>

#include "EntityTestBase.h"

namespace velbor::test {
namespace {

using EntitySchemaTest = EntityTestBase;

TEST_F(EntitySchemaTest, TablesMatchTheStoredFormat) {
  const std::map<std::string, std::vector<std::string>> expected{
      {"qo_feedback", {"pk INTEGER", "name TEXT", "user_rank TEXT", "message TEXT"}},
      {"qo_file",
       {"pk INTEGER", "status INTEGER", "length INTEGER", "usn INTEGER", "android_attr INTEGER",
        "content_mod_time INTEGER", "win_attr INTEGER", "path TEXT", "sha_1 TEXT", "type INTEGER",
        "unix_attr INTEGER"}},
      {"qo_file_and_syncdir_copy_relation", {"pk INTEGER", "syncdir_copy INTEGER", "file INTEGER", "vclock BLOB"}},
      {"qo_device",
       {"pk INTEGER", "pub_uri TEXT", "register_time INTEGER", "pub_key BLOB", "uuid TEXT", "route_uri TEXT",
        "type INTEGER", "token TEXT", "name TEXT", "status INTEGER", "is_online TEXT"}},
      {"qo_syncdir_copy",
       {"pk INTEGER", "path TEXT", "device INTEGER", "syncdir_uuid TEXT", "vc_index INTEGER", "uuid TEXT"}},
      {"qo_syncdir_copy_relation", {"pk INTEGER", "first_syncdir_copy INTEGER", "second_syncdir_copy INTEGER"}},
  };
  for (const auto& [table, columns] : expected) {
    EXPECT_EQ(column(fmt::format("SELECT name || ' ' || type FROM pragma_table_info('{}') ORDER BY cid", table)),
              columns)
        << table;
  }
  // The unique columns.
  for (const char* table : {"qo_file", "qo_device", "qo_syncdir_copy"}) {
    const auto sql = column(fmt::format("SELECT sql FROM sqlite_master WHERE name = '{}'", table));
    ASSERT_EQ(sql.size(), 1u);
    EXPECT_NE(sql[0].find(" UNIQUE"), std::string::npos) << table;
  }
  EXPECT_EQ(QoFileAndSyncdirCopyRelation::propertiesOrderedArrayCount(), 4);
}

TEST_F(EntitySchemaTest, FeedbackUsesTheGenericPath) {
  auto feedback = std::make_shared<QoFeedback>();
  feedback->setName("Ann");
  feedback->setUserRank("5");
  feedback->setMessage("works 'fine'");
  feedback->save();
  EXPECT_EQ(feedback->pk(), 1);
  feedback->setMessage("changed");
  feedback->save();

  auto all = QoFeedback::allObjects();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0]->name(), "Ann");
  EXPECT_EQ(all[0]->userRank(), "5");
  EXPECT_EQ(all[0]->message(), "changed");
  all[0]->deleteObject();
  EXPECT_TRUE(QoFeedback::allObjects().empty());
}

}  // namespace
}  // namespace velbor::test
