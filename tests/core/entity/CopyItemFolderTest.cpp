#include "core/entity/CopyItemFolder.h"

#include <stdexcept>

#include <gtest/gtest.h>

#include "RenameWithoutFlags.h"
#include "core/utils/QoUtils.h"
#include "support/TempDir.h"

namespace velbor::test {
namespace {

TEST(CopyItemFolderTest, AReplaceCheckThatFailsPutsWhatStoodThereBack) {
  const TempDir dir;
  writeFile(dir / "target", "the user's");
  writeFile(dir / ".target.Velbor.Download", "arrived");
  const auto sha1 = QoUtils::getSha1StringWithPath((dir / ".target.Velbor.Download").string());
  ASSERT_TRUE(sha1);
  const CopyItemFolder target(dir.str(), (dir / "target").string());
  const CopyItemFolder temporary(dir.str(), (dir / ".target.Velbor.Download").string());
  // The check cannot be made (its database read fails): nothing may be lost for it.
  const CopyItemFolder::ReplaceCheck failing = [](const CopyItemFolder&, const std::string&) -> bool {
    throw std::runtime_error("database is locked");
  };
  EXPECT_ANY_THROW(target.installFile(temporary, temporary.name(), target.name(), *sha1, 0644, 1500000000000, true,
                                      std::nullopt, std::nullopt, failing));
  EXPECT_EQ(readFile(dir / "target"), "the user's");
  EXPECT_EQ(readFile(dir / ".target.Velbor.Download"), "arrived");
}

TEST(CopyItemFolderTest, WithoutRenameFlagsFilesAreStillInstalledAndMoved) {
  const RenameWithFlags::ScopedOverride noFlags(withoutRenameFlags());
  const TempDir dir;
  const auto install = [&](const std::string& name, const std::string& content, bool replace,
                           const CopyItemFolder::ReplaceCheck& mayReplace) {
    writeFile(dir / ".download", content);
    const CopyItemFolder target(dir.str(), (dir / name).string());
    const CopyItemFolder temporary(dir.str(), (dir / ".download").string());
    const auto sha1 = QoUtils::getSha1StringWithPath((dir / ".download").string());
    target.installFile(temporary, temporary.name(), target.name(), *sha1, 0644, 1500000000000, replace, std::nullopt,
                       std::nullopt, mayReplace);
  };
  const CopyItemFolder::ReplaceCheck recorded = [](const CopyItemFolder&, const std::string&) { return true; };
  const CopyItemFolder::ReplaceCheck changed = [](const CopyItemFolder&, const std::string&) { return false; };

  // A new file, and an edit of one that stands there as recorded.
  install("new.txt", "new", true, recorded);
  EXPECT_EQ(readFile(dir / "new.txt"), "new");
  install("new.txt", "edited", true, recorded);
  EXPECT_EQ(readFile(dir / "new.txt"), "edited");
  EXPECT_FALSE(std::filesystem::exists(dir / ".download"));

  // Changed on disk since it was recorded: it stays, and so does the download.
  EXPECT_ANY_THROW(install("new.txt", "theirs", true, changed));
  EXPECT_EQ(readFile(dir / "new.txt"), "edited");
  EXPECT_EQ(readFile(dir / ".download"), "theirs");

  // A conflict copy under a fresh name; never over a name taken.
  install("new.txt.Conflict(abc)", "copy", false, nullptr);
  EXPECT_EQ(readFile(dir / "new.txt.Conflict(abc)"), "copy");
  EXPECT_ANY_THROW(install("new.txt", "over", false, nullptr));
  EXPECT_EQ(readFile(dir / "new.txt"), "edited");

  const CopyItemFolder folder(dir.str(), (dir / "new.txt").string());
  folder.moveNoReplace("new.txt", "moved.txt");
  EXPECT_EQ(readFile(dir / "moved.txt"), "edited");
  EXPECT_ANY_THROW(folder.moveNoReplace("moved.txt", "new.txt.Conflict(abc)"));
  EXPECT_EQ(readFile(dir / "new.txt.Conflict(abc)"), "copy");
}

}  // namespace
}  // namespace velbor::test
