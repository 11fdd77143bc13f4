#include "platform/UserDefaults.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "platform/AppPaths.h"
#include "platform/Exception.h"
#include "support/TempDir.h"

namespace velbor {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::TempDir;
using test::TempHome;
using test::writeFile;

class UserDefaultsTest : public testing::Test {
 protected:
  void SetUp() override {
    AppPaths::setApplicationName("VelborTest");
    UserDefaults::resetAll();
  }
  void TearDown() override {
    UserDefaults::resetAll();
    ::unsetenv("XDG_CONFIG_HOME");
    AppPaths::setApplicationName("");
  }
  TempHome home_;
};

mode_t modeOf(const fs::path& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

bool hasTempFiles(const fs::path& dir) {
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().filename().string().find(".tmp.") != std::string::npos) return true;
  }
  return false;
}

TEST_F(UserDefaultsTest, FilesLiveUnderConfigHomeWithPrivateModes) {
  auto suite = UserDefaults::suiteNamed("QoConfig");
  EXPECT_EQ(suite, UserDefaults::suiteNamed("QoConfig"));
  EXPECT_EQ(UserDefaults::standardUserDefaults()->suiteName(), "VelborTest");

  suite->setString("deviceToken", "secret");
  const fs::path dir = home_.path() / ".config" / "VelborTest";
  EXPECT_EQ(suite->filePath(), dir / "QoConfig.json");
  ASSERT_TRUE(fs::exists(dir / "QoConfig.json"));
  EXPECT_EQ(modeOf(dir), 0700u);
  EXPECT_EQ(modeOf(dir / "QoConfig.json"), 0600u);
  EXPECT_FALSE(hasTempFiles(dir));

  // A rewrite over a file someone made world-readable leaves it private again.
  fs::permissions(dir / "QoConfig.json", fs::perms(0644));
  suite->setString("deviceToken", "other");
  EXPECT_EQ(modeOf(dir / "QoConfig.json"), 0600u);

  TempDir xdg("velbor-xdg");
  ::setenv("XDG_CONFIG_HOME", xdg.str().c_str(), 1);
  UserDefaults::resetAll();
  auto moved = UserDefaults::suiteNamed("QoConfig");
  EXPECT_NE(moved, suite);
  EXPECT_FALSE(moved->hasKey("deviceToken"));
  moved->setBool("flag", true);
  EXPECT_TRUE(fs::exists(xdg / "VelborTest" / "QoConfig.json"));
  // The instance from before the reset keeps its own file.
  suite->setString("late", "x");
  EXPECT_NE(readFile(dir / "QoConfig.json").find("late"), std::string::npos);
}

TEST_F(UserDefaultsTest, ValuesRoundTripThroughTheFile) {
  std::string allBytes;
  for (int i = 0; i < 256; ++i) allBytes += static_cast<char>(i);
  {
    auto suite = UserDefaults::suiteNamed("DataSource");
    suite->setData("bytes", allBytes);
    suite->setData("empty", "");
    suite->setData("two", "ab");
    suite->setString("looksLikeData", "YWI=");
    suite->setInteger("max", INT64_MAX);
    suite->setInteger("min", INT64_MIN);
    suite->setInteger("beyondDouble", (int64_t{1} << 53) + 1);
    suite->setDouble("ratio", 0.1);
    suite->setBool("on", true);
    suite->setString("chinese", "同步完成");
    suite->setString("gone", "x");
    suite->removeObjectForKey("gone");
    suite->setObject("list", nlohmann::json::array({1, "two"}));
  }
  UserDefaults::resetAll();
  auto suite = UserDefaults::suiteNamed("DataSource");
  EXPECT_EQ(suite->dataForKey("bytes"), allBytes);
  EXPECT_EQ(suite->dataForKey("empty"), std::string());
  EXPECT_EQ(suite->dataForKey("two"), std::string("ab"));
  EXPECT_EQ(suite->integerForKey("max"), INT64_MAX);
  EXPECT_EQ(suite->integerForKey("min"), INT64_MIN);
  EXPECT_EQ(suite->integerForKey("beyondDouble"), (int64_t{1} << 53) + 1);
  EXPECT_DOUBLE_EQ(suite->doubleForKey("ratio"), 0.1);
  EXPECT_TRUE(suite->boolForKey("on"));
  EXPECT_EQ(suite->stringForKey("chinese"), "同步完成");
  EXPECT_FALSE(suite->hasKey("gone"));
  EXPECT_EQ(suite->objectForKey("list"), nlohmann::json::array({1, "two"}));

  // Bytes and text never pass for each other; other mismatches read as empty values.
  EXPECT_EQ(suite->dataForKey("looksLikeData"), std::nullopt);
  EXPECT_EQ(suite->optionalStringForKey("bytes"), std::nullopt);
  EXPECT_EQ(suite->stringForKey("max"), "");
  EXPECT_EQ(suite->integerForKey("chinese"), 0);
  EXPECT_FALSE(suite->boolForKey("missing"));
  EXPECT_EQ(suite->optionalStringForKey("missing"), std::nullopt);
}

TEST_F(UserDefaultsTest, BadInputIsRefusedAndTheFileStaysWritable) {
  EXPECT_THROW(UserDefaults::suiteNamed(""), Exception);
  EXPECT_THROW(UserDefaults::suiteNamed("../escape"), Exception);
  auto suite = UserDefaults::suiteNamed("QoConfig");
  EXPECT_THROW(suite->setString("name", std::string("bad\xff", 4)), Exception);
  EXPECT_THROW(suite->setDouble("nan", std::nan("")), Exception);
  EXPECT_FALSE(suite->hasKey("name"));
  suite->setString("name", "fine");
  EXPECT_TRUE(suite->synchronize());
  UserDefaults::resetAll();
  EXPECT_EQ(UserDefaults::suiteNamed("QoConfig")->stringForKey("name"), "fine");
}

TEST_F(UserDefaultsTest, FailedWriteIsReportedAndKeepsTheValueInMemory) {
  TempDir dir;
  writeFile(dir / "notAFolder", "x");
  UserDefaults suite("Debugger", dir / "notAFolder" / "Debugger.json");
  EXPECT_FALSE(suite.setInteger("level", 3));
  EXPECT_FALSE(suite.setData("key", "secret"));
  EXPECT_FALSE(suite.removeObjectForKey("level"));
  EXPECT_TRUE(suite.removeObjectForKey("never there"));
  EXPECT_EQ(suite.dataForKey("key"), "secret");
  EXPECT_FALSE(suite.synchronize());
  EXPECT_FALSE(hasTempFiles(dir.path()));
}

TEST_F(UserDefaultsTest, CorruptFileIsKeptAsideAndTheSuiteStartsEmpty) {
  const fs::path dir = home_.path() / ".config" / "VelborTest";
  for (const std::string& content : {std::string("{\"half\": "), std::string("[1, 2]"), std::string()}) {
    SCOPED_TRACE(content);
    UserDefaults::resetAll();
    fs::remove(dir / "QoConfig.json.corrupt");
    writeFile(dir / "QoConfig.json", content);
    auto suite = UserDefaults::suiteNamed("QoConfig");
    EXPECT_TRUE(suite->allKeys().empty());
    EXPECT_EQ(readFile(dir / "QoConfig.json.corrupt"), content);
    suite->setString("k", "v");
    UserDefaults::resetAll();
    EXPECT_EQ(UserDefaults::suiteNamed("QoConfig")->stringForKey("k"), "v");
    fs::remove(dir / "QoConfig.json");
  }
}

TEST_F(UserDefaultsTest, FileThatCannotBeReadIsNeitherMovedNorOverwritten) {
  // A read error says nothing of the content: starting empty and writing would replace a
  // key pair that may be intact with a new one.
  TempDir dir;
  fs::create_directories(dir / "QoConfig.json");
  writeFile(dir / "QoConfig.json" / "inside", "kept");
  UserDefaults suite("QoConfig", dir / "QoConfig.json");
  EXPECT_TRUE(suite.allKeys().empty());
  EXPECT_FALSE(suite.setString("privateKey", "new"));
  EXPECT_FALSE(suite.synchronize());
  EXPECT_EQ(readFile(dir / "QoConfig.json" / "inside"), "kept");
  EXPECT_FALSE(fs::exists(dir / "QoConfig.json.corrupt"));
}

TEST_F(UserDefaultsTest, ConcurrentWritersLoseNothing) {
  auto suite = UserDefaults::suiteNamed("QoConfig");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([suite, t] {
      for (int i = 0; i < 20; ++i) suite->setInteger("k" + std::to_string(t) + "_" + std::to_string(i), t * 100 + i);
    });
  }
  for (auto& thread : threads) thread.join();
  UserDefaults::resetAll();
  auto reloaded = UserDefaults::suiteNamed("QoConfig");
  EXPECT_EQ(reloaded->allKeys().size(), 80u);
  EXPECT_EQ(reloaded->integerForKey("k3_19"), 319);
}

// The blob of round i is "i;" repeated: a torn write would mix rounds or cut it short.
std::string blobFor(int64_t i) {
  std::string unit = std::to_string(i) + ";";
  std::string blob;
  while (blob.size() < 100000) blob += unit;
  return blob;
}

// The round of the blob on disk, or -1 while there is none.
int64_t blobRound(const fs::path& path) {
  std::error_code ec;
  if (!fs::exists(path, ec)) return -1;
  auto json = nlohmann::json::parse(readFile(path), nullptr, false);
  if (!json.is_object() || !json.contains("blob") || !json["blob"].is_string()) return -1;
  return std::stoll(json["blob"].get<std::string>());
}

TEST_F(UserDefaultsTest, KilledWriterLeavesOldOrNewFileNeverATornOne) {
  TempDir dir;
  const fs::path path = dir / "Crash.json";
  std::mt19937 random(std::random_device{}());
  int64_t lastSeen = -1;
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE(round);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      UserDefaults suite("Crash", path);
      for (int64_t i = lastSeen + 1;; ++i) {
        suite.setInteger("counter", i);
        suite.setString("blob", blobFor(i));
      }
      ::_exit(0);
    }
    // Let it get going (a rewrite of this round is on disk), then kill it at an arbitrary moment.
    for (int i = 0; i < 4000 && blobRound(path) <= lastSeen; ++i) ::usleep(5000);
    ::usleep(std::uniform_int_distribution<int>(0, 50000)(random));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);

    auto json = nlohmann::json::parse(readFile(path), nullptr, false);
    ASSERT_TRUE(json.is_object());
    ASSERT_TRUE(json.contains("blob"));
    const std::string blob = json["blob"].get<std::string>();
    const int64_t round_i = std::stoll(blob);
    EXPECT_EQ(blob, blobFor(round_i));
    ASSERT_TRUE(json.contains("counter"));
    // Each set is its own write; the counter of a round goes out before its blob.
    const int64_t counter = json["counter"].get<int64_t>();
    EXPECT_TRUE(counter == round_i || counter == round_i + 1) << counter << " vs " << round_i;
    EXPECT_GT(round_i, lastSeen);
    lastSeen = round_i;

    // Loading again clears what the dead writer left behind.
    UserDefaults reloaded("Crash", path);
    EXPECT_EQ(reloaded.stringForKey("blob"), blob);
    EXPECT_FALSE(hasTempFiles(dir.path()));
    EXPECT_EQ(modeOf(path), 0600u);
  }
}

}  // namespace
}  // namespace velbor
