#include "core/entity/TmpFileName.h"

#include <cstdlib>

#include <gtest/gtest.h>

#include "support/TempDir.h"

namespace velbor::test {
namespace {

// A transfer on a worker the process leaves running at exit still takes and gives back its
// name after the static objects are destroyed. The handler is registered before the names'
// first use, so it runs after their destruction.
void nameTakenAfterExit() {
  std::atexit([] {
    const TmpFileName late("/sync/docs/a.txt");
    std::_Exit(late.path() == "/sync/docs/.a.txt.2.Velbor.Download" ? 0 : 3);
  });
  // Held by a transfer that has not ended when the process exits.
  static const auto* running = new TmpFileName("/sync/docs/a.txt");
  (void)running;
  std::exit(0);
}

TEST(TmpFileNameTest, NamesInUseOutliveTheStaticObjectsAtExit) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(nameTakenAfterExit(), ::testing::ExitedWithCode(0), "");
}

TEST(TmpFileNameTest, ASecondTransferOfOneFileTakesTheNextFreeName) {
  const TmpFileName first("/sync/docs/b.txt");
  {
    const TmpFileName second("/sync/docs/b.txt");
    EXPECT_EQ(first.path(), "/sync/docs/.b.txt.Velbor.Download");
    EXPECT_EQ(second.path(), "/sync/docs/.b.txt.2.Velbor.Download");
  }
  const TmpFileName third("/sync/docs/b.txt");
  EXPECT_EQ(third.path(), "/sync/docs/.b.txt.2.Velbor.Download");

  // A file of the user's under the name: never written into, the next name is taken.
  const TempDir folder;
  writeFile(folder / ".c.txt.Velbor.Download", "the user's own");
  EXPECT_EQ(TmpFileName((folder / "c.txt").string()).path(), (folder / ".c.txt.2.Velbor.Download").string());
}

}  // namespace
}  // namespace velbor::test
