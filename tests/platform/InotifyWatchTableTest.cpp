#include "platform/InotifyWatchTable.h"

#include <algorithm>

#include <gtest/gtest.h>

namespace velbor::test {
namespace {

TEST(InotifyWatchTableTest, RenameAndRemovalTakeTheFolderAndWhatIsBelowItOnly) {
  InotifyWatchTable table;
  table.add(1, "/r/d");
  table.add(2, "/r/d/sub");
  table.add(3, "/r/d.txt");  // a sibling whose name begins with the folder's
  table.add(4, "/r/d2");
  table.rename("/r/d", "/r/e");
  EXPECT_EQ(table.pathOf(1), "/r/e");
  EXPECT_EQ(table.pathOf(2), "/r/e/sub");
  EXPECT_EQ(table.pathOf(3), "/r/d.txt");
  EXPECT_EQ(table.pathOf(4), "/r/d2");
  EXPECT_FALSE(table.isWatched("/r/d"));

  std::vector<int> taken = table.takeAtOrBelow("/r/e");
  std::sort(taken.begin(), taken.end());
  EXPECT_EQ(taken, (std::vector<int>{1, 2}));
  EXPECT_EQ(table.size(), 2u);

  // The kernel hands out a watch again for a folder it already watches under another name.
  table.add(3, "/r/moved.txt");
  EXPECT_FALSE(table.isWatched("/r/d.txt"));
  table.erase(3);
  EXPECT_FALSE(table.pathOf(3));
  EXPECT_EQ(table.size(), 1u);
}

}  // namespace
}  // namespace velbor::test
