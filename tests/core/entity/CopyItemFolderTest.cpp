#include "core/entity/CopyItemFolder.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "core/utils/QoUtils.h"
#include "support/TempDir.h"

namespace velbor::test {
namespace {

void writeFile(const std::filesystem::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

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

}  // namespace
}  // namespace velbor::test
