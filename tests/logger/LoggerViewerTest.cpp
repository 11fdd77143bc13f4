#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "LoggerTestSupport.h"
#include "support/TempDir.h"

namespace velbor::test {
namespace {

constexpr int kLines = 40;

// Lines of one tag in the order they arrived.
std::vector<std::string> linesTagged(const std::vector<ViewerMessage>& messages, const std::string& tag) {
  std::vector<std::string> lines;
  for (const auto& m : messages)
    if (m.type() == 0 && m.text(5) == tag) lines.push_back(m.text(7));
  return lines;
}

TEST(LoggerViewer, ReceivesEveryCapturedLineTaggedAfterTheClientInformation) {
  TestViewer viewer;
  viewer.listen();
  LoggerChild child({"host", std::to_string(viewer.port()), "-", "1000000", std::to_string(kLines)});
  ASSERT_TRUE(viewer.accept(20)) << "the client never connected";
  auto wanted = expectedLines(kLines);
  auto messages = viewer.readUntil([&](const auto& got) { return hasAll(got, wanted); }, 30);
  ASSERT_FALSE(viewer.malformed());
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.front().type(), 3u);
  EXPECT_EQ(messages.front().text(20), "logger_test_client");
  EXPECT_NE(messages.front().text(24).find(" * "), std::string::npos);
  EXPECT_TRUE(hasAll(messages, wanted));
  auto out = linesTagged(messages, "stdout");
  ASSERT_EQ(out.size(), size_t{kLines});
  for (int i = 0; i < kLines; ++i) EXPECT_EQ(out[i], "out " + std::to_string(i));
  EXPECT_EQ(child.finish(), 0);
}

TEST(LoggerViewer, BufferFileFillsWithoutViewerAndIsDeliveredFirstInOrder) {
  TempDir dir;
  auto file = dir / "buffer.logger";
  TestViewer viewer;  // bound, not listening yet: connections are refused
  LoggerChild child({"host", std::to_string(viewer.port()), file.string(), "1000000", std::to_string(kLines)});

  auto wanted = expectedLines(kLines);
  std::vector<ViewerMessage> stored;
  for (int i = 0; i < 200 && !hasAll(stored, wanted); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::string bytes = slurp(file);
    auto decoded = readViewerMessages(bytes);
    ASSERT_TRUE(decoded) << "the buffer file holds a malformed message";
    stored = *decoded;
  }
  ASSERT_TRUE(hasAll(stored, wanted));
  EXPECT_EQ(stored.front().type(), 3u);
  struct stat info {};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  viewer.listen();
  ASSERT_TRUE(viewer.accept(20)) << "the client never reconnected";
  auto messages = viewer.readUntil([&](const auto& got) { return got.size() > stored.size(); }, 30);
  ASSERT_FALSE(viewer.malformed());
  ASSERT_GT(messages.size(), stored.size());
  for (size_t i = 0; i < stored.size(); ++i) {
    EXPECT_EQ(messages[i].type(), stored[i].type()) << i;
    EXPECT_EQ(messages[i].text(7), stored[i].text(7)) << i;
  }
  EXPECT_EQ(messages[stored.size()].type(), 3u) << "a fresh client information follows the file";
  for (int i = 0; i < 100 && std::filesystem::exists(file); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(std::filesystem::exists(file)) << "a replayed buffer file is deleted";
  EXPECT_EQ(child.finish(), 0);
}

TEST(LoggerViewer, BufferFileStaysWithinItsBoundAndReadable) {
  TempDir dir;
  auto file = dir / "buffer.logger";
  TestViewer viewer;
  constexpr uint64_t kBound = 3000;
  {
    LoggerChild child({"host", std::to_string(viewer.port()), file.string(), std::to_string(kBound), "200"});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(child.finish(), 0);
  }
  std::string bytes = slurp(file);
  EXPECT_GT(bytes.size(), 0u);
  EXPECT_LE(bytes.size(), kBound);
  auto decoded = readViewerMessages(bytes);
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(bytes.empty()) << "the file ends on a whole message";
  EXPECT_EQ(decoded->front().type(), 3u);
}

}  // namespace
}  // namespace velbor::test
