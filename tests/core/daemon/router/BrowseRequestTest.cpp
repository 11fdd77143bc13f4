#include <sys/fsuid.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "HandlerTestBase.h"
#include "core/entity/ModeKeeping.h"

namespace velbor::test {
namespace {

namespace fs = std::filesystem;

// While it lives, the file access of the calling thread goes as an unprivileged user: the
// file-system uid and gid are kept per thread, and leaving uid 0 drops the capabilities
// that pass over permissions. Only root can switch them.
class UnprivilegedFileAccess {
 public:
  static constexpr uid_t kUser = 65534;  // nobody

  UnprivilegedFileAccess() {
    previousGid_ = static_cast<gid_t>(::setfsgid(kUser));
    previousUid_ = static_cast<uid_t>(::setfsuid(kUser));
    // Each call answers the id in force before it: kUser once the switch was made.
    active_ = static_cast<uid_t>(::setfsuid(kUser)) == kUser && static_cast<gid_t>(::setfsgid(kUser)) == kUser;
  }
  ~UnprivilegedFileAccess() {
    ::setfsuid(previousUid_);
    ::setfsgid(previousGid_);
  }
  UnprivilegedFileAccess(const UnprivilegedFileAccess&) = delete;
  UnprivilegedFileAccess& operator=(const UnprivilegedFileAccess&) = delete;

  bool active() const { return active_; }

 private:
  uid_t previousUid_ = 0;
  gid_t previousGid_ = 0;
  bool active_ = false;
};

// Counts what is written into a folder while it lives (entries made, removed or written, the
// folder's own times): the kernel queues each event as the change is made.
class FolderWrites {
 public:
  explicit FolderWrites(const std::string& folder) : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    constexpr uint32_t kWrites =
        IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE;
    watching_ = fd_ >= 0 && ::inotify_add_watch(fd_, folder.c_str(), kWrites) >= 0;
  }
  ~FolderWrites() {
    if (fd_ >= 0) ::close(fd_);
  }
  FolderWrites(const FolderWrites&) = delete;
  FolderWrites& operator=(const FolderWrites&) = delete;

  bool watching() const { return watching_; }
  // The names written to so far ("." for the folder itself).
  std::vector<std::string> names() const {
    std::vector<std::string> found;
    alignas(inotify_event) char buffer[4096];
    for (ssize_t size; (size = ::read(fd_, buffer, sizeof buffer)) > 0;) {
      for (ssize_t at = 0; at < size;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        found.emplace_back(event->len > 0 ? event->name : ".");
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    return found;
  }

 private:
  int fd_ = -1;
  bool watching_ = false;
};

class BrowseRequestTest : public HandlerTestBase {
 protected:
  static Answer list(const std::string& root) {
    pb::MsgListRequest request;
    request.set_root(root);
    return call(&QoWorker::handleListRequest, body(request));
  }

  static std::map<std::string, pb::FileStat> entries(const Answer& answer) {
    std::map<std::string, pb::FileStat> entries;
    const auto response = answer.body<pb::MsgListResponse>();
    EXPECT_TRUE(response) << answer.errstr;
    if (response) {
      for (const auto& stat : response->stats()) entries[stat.name()] = stat;
    }
    return entries;
  }
};

TEST_F(BrowseRequestTest, FolderIsListedByRequest) {
  writeFile(dir_ / "a.txt", "12345");
  fs::permissions(dir_ / "a.txt", fs::perms(0640));
  fs::create_directory(dir_ / "sub");
  writeFile(dir_ / ".hidden", "x");
  writeFile(dir_ / "sub" / "inner", "x");
  fs::create_symlink(dir_ / "a.txt", dir_ / "file-link");
  fs::create_directory_symlink(dir_ / "sub", dir_ / "folder-link");
  ::mkfifo((dir_ / "pipe").c_str(), 0600);
  writeFile(dir_ / "bad\xff", "not UTF-8");

  const Answer answer = list(dir_.str());
  ASSERT_EQ(answer.code(), pb::MsgCodeListResponse);
  EXPECT_EQ(answer.body<pb::MsgListResponse>()->root(), dir_.str());
  const auto listed = entries(answer);
  std::vector<std::string> names;
  for (const auto& [name, stat] : listed) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "sub"}));
  EXPECT_EQ(listed.at("a.txt").type(), pb::FileTypeFile);
  EXPECT_EQ(listed.at("a.txt").length(), 5);
  EXPECT_EQ(listed.at("a.txt").attr(), 0640);
  struct stat status {};
  ASSERT_EQ(::lstat((dir_ / "a.txt").c_str(), &status), 0);
  EXPECT_EQ(listed.at("a.txt").mtime(), status.st_mtim.tv_sec * 1000 + status.st_mtim.tv_nsec / 1000000);
  EXPECT_EQ(listed.at("sub").type(), pb::FileTypeDirectory);
  EXPECT_EQ(listed.at("sub").length(), 0);

  // A trailing "/" joins without a doubled one; the file-system root lists too.
  EXPECT_EQ(entries(list(dir_.str() + "/")).size(), 2u);
  const auto top = entries(list("/"));
  EXPECT_TRUE(top.count("tmp") == 1 || top.count("usr") == 1);
}

// A look on another device's behalf changes nothing, also inside a sync folder on a disk
// whose permission bits were never probed: no probe file, no new times.
TEST_F(BrowseRequestTest, AListingWritesNothingIntoTheFolder) {
  makeCopy(dir_.str(), local_, QoUtils::generateUuid());
  writeFile(dir_ / "sub" / "a.txt", "x");
  ModeKeeping::shared().clear();
  const FolderWrites top(dir_.str());
  const FolderWrites sub((dir_ / "sub").string());
  ASSERT_TRUE(top.watching() && sub.watching());
  EXPECT_EQ(entries(list(dir_.str())).size(), 1u);
  EXPECT_EQ(entries(list((dir_ / "sub").string())).size(), 1u);
  EXPECT_EQ(top.names(), std::vector<std::string>{});
  EXPECT_EQ(sub.names(), std::vector<std::string>{});
  ModeKeeping::shared().clear();
}

TEST_F(BrowseRequestTest, HiddenFoldersAndRefusals) {
  writeFile(dir_ / ".only-hidden", "x");
  EXPECT_TRUE(entries(list(dir_.str())).empty());
  writeFile(dir_ / ".folder" / "visible", "x");
  EXPECT_TRUE(entries(list((dir_ / ".folder").string())).empty());

  struct Case {
    std::string root;
    int errcode;
    std::string errstr;
  };
  const std::vector<Case> cases = {
      {"relative/folder", pb::ErrorCodeBadPath, "QoExceptionZeBadPath: Bad path, relative/folder"},
      {dir_.str() + "/missing", pb::ErrorCodeBadPath, "QoExceptionZeBadPath: No such file or directory"},
      {(dir_ / ".only-hidden").string(), pb::ErrorCodeBadPath, "QoExceptionZeBadPath: Not a directory"},
  };
  for (const Case& c : cases) {
    const Answer answer = list(c.root);
    EXPECT_EQ(answer.errcode, c.errcode) << c.root;
    EXPECT_EQ(answer.errstr, c.errstr) << c.root;
  }
  EXPECT_EQ(call(&QoWorker::handleListRequest).errcode, pb::ErrorCodeBadFormat);
}

// A reply holds a bounded listing; a longer one is refused as a whole, never cut short and
// shown as if it were all.
TEST_F(BrowseRequestTest, FolderWithMoreEntriesThanAReplyHoldsIsRefusedClearly) {
  const fs::path full = dir_ / "full";
  fs::create_directory(full);
  for (int i = 0; i < 10000; ++i) writeFile(full / ("f" + std::to_string(i)), "");
  // Left out of the listing, so not counted.
  for (int i = 0; i < 50; ++i) writeFile(full / (".hidden" + std::to_string(i)), "");
  EXPECT_EQ(entries(list(full.string())).size(), 10000u);

  writeFile(full / "one more", "");
  const Answer answer = list(full.string());
  EXPECT_EQ(answer.errcode, pb::ErrorCodeGeneral);
  EXPECT_NE(answer.errstr.find("10000"), std::string::npos) << answer.errstr;
}

TEST_F(BrowseRequestTest, EntryThatCannotBeReadIsSkipped) {
  writeFile(dir_ / "locked" / "entry", "x");
  // Names can be listed, the entries not read: as an entry that vanished after the listing.
  fs::permissions(dir_ / "locked", fs::perms(0500) & ~fs::perms::owner_exec);
  // Root reads past permissions, so the folders are handed to an unprivileged user and this
  // thread's file access goes as that user while the handler runs on it.
  std::optional<UnprivilegedFileAccess> access;
  if (::geteuid() == 0) {
    constexpr uid_t kUser = UnprivilegedFileAccess::kUser;
    ASSERT_EQ(::chown(dir_.path().c_str(), kUser, kUser), 0);
    ASSERT_EQ(::chown((dir_ / "locked").c_str(), kUser, kUser), 0);
    access.emplace();
    ASSERT_TRUE(access->active());
  }
  const Answer answer = list((dir_ / "locked").string());
  access.reset();
  fs::permissions(dir_ / "locked", fs::perms(0700));
  EXPECT_EQ(answer.code(), pb::MsgCodeListResponse) << answer.errstr;
  EXPECT_TRUE(entries(answer).empty());
}

TEST_F(BrowseRequestTest, RootsOfTheHomeFolder) {
  const fs::path home = home_.path();
  EXPECT_EQ(call(&QoWorker::handleListRootRequest).body<pb::MsgListRootResponse>()->roots_size(), 0);
  fs::create_directory(home / "Documents");
  fs::create_directory(home / ".hidden");
  writeFile(home / "file", "x");
  const auto roots = call(&QoWorker::handleListRootRequest).body<pb::MsgListRootResponse>();
  ASSERT_TRUE(roots);
  ASSERT_EQ(roots->roots_size(), 1);
  EXPECT_EQ(roots->roots(0).target(), (home / "Documents").string());
  EXPECT_EQ(roots->roots(0).type(), pb::RootTypeGeneral);
  EXPECT_EQ(call(&QoWorker::handleListRootRequest, body(pb::MsgListRequest())).errcode, pb::ErrorCodeBadFormat);
}

}  // namespace
}  // namespace velbor::test
