#include "core/utils/QoUtils.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "framework/errors/QoException.h"
#include "support/TempDir.h"

namespace velbor {
namespace {

using namespace std::chrono_literals;
using test::TempDir;
using test::writeFile;

// Deterministic bytes that differ from block to block.
std::string patterned(std::size_t size) {
  std::string out(size, '\0');
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<char>(((i * 31 + 7) ^ (i >> 8)) & 0xFF);
  return out;
}

TEST(QoUtilsTest, UuidsAreMadeAndCheckedAtTheirBoundaries) {
  for (int i = 0; i < 20; ++i) {
    std::string uuid = QoUtils::generateUuid();
    EXPECT_TRUE(QoUtils::checkUuid(uuid)) << uuid;
    EXPECT_EQ(uuid[14], '4');
    EXPECT_EQ(std::count_if(uuid.begin(), uuid.end(), [](char c) { return c >= 'A' && c <= 'Z'; }), 0);
    std::string shortUuid = QoUtils::generateShortUuid();
    EXPECT_EQ(shortUuid.find_first_not_of("0123456789ABCDEF"), std::string::npos) << shortUuid;
    EXPECT_EQ(shortUuid.size(), 6u);
  }
  EXPECT_NE(QoUtils::generateUuid(), QoUtils::generateUuid());

  EXPECT_TRUE(QoUtils::checkUuid("0F8FAD5B-D9CB-469F-A165-70867728950E"));
  EXPECT_FALSE(QoUtils::checkUuid("0f8fad5bd9cb469fa16570867728950e"));       // no hyphens
  EXPECT_FALSE(QoUtils::checkUuid("0f8fad5b-d9cb-469f-a165-70867728950"));    // one short
  EXPECT_FALSE(QoUtils::checkUuid("0f8fad5b-d9cb-469f-a165-70867728950e0"));  // one long
  EXPECT_FALSE(QoUtils::checkUuid("0f8fad5b-d9cb-469f-a165-70867728950g"));   // not hex
  EXPECT_FALSE(QoUtils::checkUuid("0f8fad5bd-9cb-469f-a165-70867728950e"));   // hyphen moved
  EXPECT_FALSE(QoUtils::checkUuid("0f8fad5b-d9cb-469f-a165-70867728950e\n"));

  EXPECT_TRUE(QoUtils::checkPath("/"));
  EXPECT_TRUE(QoUtils::checkPath("/home/a b/文件"));
  EXPECT_FALSE(QoUtils::checkPath(""));
  EXPECT_FALSE(QoUtils::checkPath("home/a"));

  // A peer's path stays below the root it is joined to.
  EXPECT_TRUE(QoUtils::checkPeerPath("/a"));
  EXPECT_TRUE(QoUtils::checkPeerPath("/a b/..c/.d/文件"));
  for (const std::string bad : {"", "a/b", "/", "/a/", "//a", "/a//b", "/./a", "/a/.", "/..", "/a/../../etc"}) {
    EXPECT_FALSE(QoUtils::checkPeerPath(bad)) << bad;
  }
  EXPECT_FALSE(QoUtils::checkPeerPath(std::string("/a\0/b", 5)));
}

TEST(QoUtilsTest, FileSha1AcrossBlockBoundariesAndFailures) {
  TempDir dir;
  writeFile(dir / "empty", "");
  EXPECT_EQ(QoUtils::getSha1StringWithPath((dir / "empty").string()), "da39a3ee5e6b4b0d3255bfef95601890afd80709");

  const std::pair<std::size_t, std::string> files[] = {
      {8192, "d93911fa508868690ba78d07c9f019adc6fa66c5"},
      {8193, "b530e4fff95a054859a678ef2175257f2949f394"},
      {3 * 8192 + 5, "100e7f446b990519c60cf8cbcdad40eea284d84a"},
  };
  for (const auto& [size, digest] : files) {
    auto path = dir / ("f" + std::to_string(size));
    writeFile(path, patterned(size));
    EXPECT_EQ(QoUtils::getSha1StringWithPath(path.string()), digest) << size;
  }
  EXPECT_EQ(QoUtils::getSha1StringWithPath((dir / "missing").string()), std::nullopt);
  EXPECT_EQ(QoUtils::getSha1StringWithPath(dir.str()), std::nullopt);  // a folder cannot be read
  EXPECT_EQ(QoUtils::getSha1WithInputStream(-1), std::nullopt);
}

TEST(QoUtilsTest, FileSha1OnlyOfTheRegularFileAtThePath) {
  TempDir dir;
  TempDir outside;
  writeFile(outside / "secret", "secret");
  std::filesystem::create_symlink(outside / "secret", dir / "link");
  // A link at the name is no content of the folder's.
  EXPECT_EQ(QoUtils::getSha1StringWithPath((dir / "link").string()), std::nullopt);

  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
  auto sha1 = std::async(std::launch::async, [&] { return QoUtils::getSha1StringWithPath((dir / "pipe").string()); });
  // A guard against a hang, not a measure of speed: a writer releases an open that waits.
  if (sha1.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    const int writer = ::open((dir / "pipe").c_str(), O_WRONLY | O_NONBLOCK);
    ADD_FAILURE() << "hashing waited on the pipe";
    if (writer >= 0) ::close(writer);
  }
  EXPECT_EQ(sha1.get(), std::nullopt);
}

TEST(QoUtilsTest, RegexMatchUsesPosixBasicSyntax) {
  EXPECT_TRUE(QoUtils::regexMatch("/tmp/a.txt", "^/tmp/.*\\.txt$"));
  EXPECT_FALSE(QoUtils::regexMatch("/tmp/atxt", "^/tmp/.*\\.txt$"));
  EXPECT_TRUE(QoUtils::regexMatch("aa", "^a\\{2\\}$"));  // intervals are escaped in BRE
  EXPECT_TRUE(QoUtils::regexMatch("a+", "a+"));          // "+" is literal in BRE
  EXPECT_FALSE(QoUtils::regexMatch("aa", "^a+$"));
  EXPECT_FALSE(QoUtils::regexMatch("A", "a"));       // no case folding
  EXPECT_FALSE(QoUtils::regexMatch("abc", "a\\{"));  // does not compile
  EXPECT_FALSE(QoUtils::regexMatch(nullptr, "a"));
}

TEST(QoUtilsTest, ComparatorsIgnoreCase) {
  std::vector<std::string> names = {"beta", "Alpha", "gamma", "alpha2", "BETA1"};
  std::sort(names.begin(), names.end(), QoUtils::NSStringSortComparator());
  EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "alpha2", "beta", "BETA1", "gamma"}));
  std::sort(names.begin(), names.end(), QoUtils::NSStringSortComparatorDesc());
  EXPECT_EQ(names, (std::vector<std::string>{"gamma", "BETA1", "beta", "alpha2", "Alpha"}));
}

TEST(QoUtilsTest, RelativeTimeTextsAtTheirBoundaries) {
  const auto now = QoUtils::Clock::now();
  auto ago = [&](auto duration) {
    return QoUtils::compareTime(now - std::chrono::duration_cast<QoUtils::Clock::duration>(duration), now);
  };
  for (std::chrono::milliseconds recent : {59900ms, 0ms, -3600000ms}) EXPECT_EQ(ago(recent), "刚刚") << recent.count();
  const std::pair<std::chrono::minutes, const char*> cases[] = {
      {1min, "1分钟前"},    {60min, "1小时前"},  {1439min, "23小时前"}, {1440min, "1天前"},
      {43199min, "29天前"}, {43200min, "1月前"}, {518399min, "11月前"}, {518400min, "1年前"}};
  for (const auto& [minutes, text] : cases) EXPECT_EQ(ago(minutes), text) << minutes.count();
  EXPECT_EQ(QoUtils::compareCurrentTime(QoUtils::Clock::now() - 3h), "3小时前");
}

TEST(QoUtilsTest, DateFormatterUsesLocalTimeWithoutLeadingZerosOnDate) {
  const char* oldTz = std::getenv("TZ");
  std::string saved = oldTz ? oldTz : "";
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  const auto& format = QoUtils::getDateFormatter();
  EXPECT_EQ(&format, &QoUtils::getDateFormatter());
  EXPECT_EQ(format(QoUtils::Clock::from_time_t(1614928080)), "3月5日 07:08");    // 2021-03-05 07:08 UTC
  EXPECT_EQ(format(QoUtils::Clock::from_time_t(1640995199)), "12月31日 23:59");  // 2021-12-31 23:59:59
  ::setenv("TZ", "Asia/Shanghai", 1);
  ::tzset();
  EXPECT_EQ(format(QoUtils::Clock::from_time_t(1640995199)), "1月1日 07:59");
  if (oldTz) {
    ::setenv("TZ", saved.c_str(), 1);
  } else {
    ::unsetenv("TZ");
  }
  ::tzset();
}

TEST(QoUtilsTest, Base64AndDiskSpace) {
  const std::pair<const char*, const char*> base64[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"中文", "5Lit5paH"}};
  for (const auto& [plain, encoded] : base64) EXPECT_EQ(QoUtils::stringToBase64(plain), encoded) << plain;
  EXPECT_EQ(QoUtils::stringToBase64(std::string(200, 'x')).size(), 268u);  // no line breaks

  TempDir dir;
  EXPECT_GE(QoUtils::getDiskAvailableSpace(dir.str()), 0);
  EXPECT_EQ(QoUtils::getDiskAvailableSpace((dir / "no/such/place").string()), -1);
}

TEST(QoUtilsTest, QoAssertThrowsOnlyWhenFalseAndFormatsLazily) {
  int evaluated = 0;
  auto count = [&evaluated] { return ++evaluated; };
  EXPECT_NO_THROW(QoAssert(true, "never {}", count()));
  EXPECT_EQ(evaluated, 0);
  try {
    QoAssert(1 + 1 == 3, "bad sum {} of {}", count(), "x");
    FAIL() << "no exception";
  } catch (const QoException&) {
    FAIL() << "an assertion is not a QoException";
  } catch (const Exception& e) {
    EXPECT_EQ(e.name(), "");
    EXPECT_EQ(e.reason(), "bad sum 1 of x");
  }
  EXPECT_EQ(evaluated, 1);
}

}  // namespace
}  // namespace velbor
