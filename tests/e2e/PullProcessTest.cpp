// Two devices as separate velbor_test_peer processes on one host (loopback, own HOME and ports),
// registered with each other as a management client would, trusted through the exchange and
// paired; one pulls the other's tree with the `sync` command. Checked through the command
// interface, the files on disk and the sender's own read count.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include <fmt/format.h>

#include "e2e/PeerProcess.h"
#include "support/Eventually.h"
#include "support/TempDir.h"

namespace velbor::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono_literals;

// The file's bytes, or none when it is gone: items come and go while a pull runs.
std::string contentOf(const fs::path& path) {
  try {
    return readFile(path);
  } catch (const std::exception&) {
    return {};
  }
}

// Bytes that differ from one file to the next, so a part landing in the wrong place shows.
std::string pattern(size_t size, uint32_t seed) {
  std::string data(size, '\0');
  uint32_t state = seed * 2654435761U + 1;
  for (auto& byte : data) {
    state = state * 1664525U + 1013904223U;
    byte = static_cast<char>(state >> 24);
  }
  return data;
}

void addToManifest(const fs::path& root, const fs::directory_entry& entry, std::map<std::string, std::string>& items) {
  // By the names alone: nothing on the way is resolved, so an entry removed meanwhile or a
  // link keeps the name it was listed under.
  const std::string name = entry.path().lexically_relative(root).string();
  struct stat info {};
  if (::lstat(entry.path().c_str(), &info) != 0) return;
  if (S_ISDIR(info.st_mode)) {
    items[name] = "folder";
    return;
  }
  const int64_t mtimeMs = int64_t{info.st_mtim.tv_sec} * 1000 + info.st_mtim.tv_nsec / 1000000;
  items[name] = fmt::format("file {:o} {} {} {:x}", info.st_mode & 07777, mtimeMs, info.st_size,
                            std::hash<std::string>{}(contentOf(entry.path())));
}

// Visits every entry below `root`; false when the walk was cut short because a daemon changed
// the tree under it (a temporary download renamed into place or removed meanwhile).
bool walkTree(const fs::path& root, const std::function<void(const fs::directory_entry&)>& visit) {
  std::error_code error;
  fs::recursive_directory_iterator entry(root, error);
  for (; !error && entry != fs::recursive_directory_iterator(); entry.increment(error)) visit(*entry);
  return !error;
}

// Every item below `root`: folders by name, files by content, permissions and modification
// time (milliseconds, what a record keeps). A walk that the tree moved under is made again.
std::map<std::string, std::string> manifest(const fs::path& root) {
  std::map<std::string, std::string> items;
  for (int attempt = 0; attempt < 20; ++attempt) {
    items.clear();
    // Each folder's own mark is not synchronised.
    const auto add = [&](const fs::directory_entry& entry) {
      if (entry.path().filename() != ".Velbor.Syncdir") addToManifest(root, entry, items);
    };
    if (walkTree(root, add)) return items;
  }
  items["(the tree kept changing while it was walked)"] = "";
  return items;
}

std::vector<std::string> temporaryFiles(const fs::path& root) {
  std::vector<std::string> found;
  // A walk cut short finds fewer; the callers look again.
  walkTree(root, [&](const fs::directory_entry& entry) {
    const std::string name = entry.path().filename().string();
    if (name.size() > 16 && name.ends_with(".Velbor.Download")) found.push_back(entry.path().string());
  });
  return found;
}

uintmax_t largestTemporary(const fs::path& root) {
  uintmax_t largest = 0;
  for (const auto& name : temporaryFiles(root)) {
    std::error_code error;
    const uintmax_t size = fs::file_size(name, error);
    if (!error) largest = std::max(largest, size);
  }
  return largest;
}

// Inverts the first byte of a temporary file that already holds two parts.
bool flipFirstByte(const fs::path& root) {
  for (const auto& name : temporaryFiles(root)) {
    std::error_code error;
    if (fs::file_size(name, error) < (2U << 20) || error) continue;
    const int fd = ::open(name.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) continue;
    char byte = 0;
    bool done = false;
    if (::pread(fd, &byte, 1, 0) == 1) {
      byte = static_cast<char>(~byte);
      done = ::pwrite(fd, &byte, 1, 0) == 1;
    }
    ::close(fd);
    if (done) return true;
  }
  return false;
}

// Bytes the process has read through read(2) and its kin so far.
int64_t bytesRead(int pid) {
  std::ifstream in(fmt::format("/proc/{}/io", pid));
  for (std::string key; in >> key;) {
    int64_t value = 0;
    in >> value;
    if (key == "rchar:") return value;
  }
  return -1;
}

// The names in `folder` that begin with `name`, each with its content.
std::map<std::string, std::string> copiesOf(const fs::path& folder, const std::string& name) {
  std::map<std::string, std::string> copies;
  std::error_code error;
  for (fs::directory_iterator entry(folder, error); !error && entry != fs::directory_iterator();
       entry.increment(error)) {
    const std::string found = entry->path().filename().string();
    if (found.starts_with(name)) copies[found] = contentOf(entry->path());
  }
  return copies;
}

// The contents of the files in `folder` whose names begin with `name` (the file and its
// conflict copies), sorted.
std::vector<std::string> versionsOf(const fs::path& folder, const std::string& name) {
  std::vector<std::string> versions;
  for (const auto& [found, content] : copiesOf(folder, name)) versions.push_back(content);
  std::sort(versions.begin(), versions.end());
  return versions;
}

bool hasConflictCopy(const fs::path& folder, const std::string& name) {
  return !copiesOf(folder, name + ".Conflict(").empty();
}

// Writes `content` and gives the file a modification time `milliseconds` into one fixed second.
void saveAt(const fs::path& path, const std::string& content, long milliseconds) {
  writeFile(path, content);
  const timespec times[2] = {{0, UTIME_OMIT}, {1700000000, milliseconds * 1000000}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

json statusOf(PeerProcess& peer) { return peer.command("status"); }

int64_t usnOf(PeerProcess& peer) {
  const json answer = statusOf(peer);
  return answer.is_object() ? answer.value("usn", int64_t{-1}) : -1;
}

// The usn holds still for a second and a half: the monitor has recorded what changed.
void settle(PeerProcess& peer) {
  int64_t last = usnOf(peer);
  int still = 0;
  for (int round = 0; round < 600 && still < 3; ++round) {
    std::this_thread::sleep_for(500ms);
    const int64_t now = usnOf(peer);
    still = now == last ? still + 1 : 0;
    last = now;
  }
}

class PullProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A band of ports of its own per test process, so parallel runs do not meet; below the
    // ephemeral range (32768 up), where the kernel hands out ports to outgoing connections.
    basePort_ = 20000 + (::getpid() % 1300) * 9;
    homeA_ = home("a");
    homeB_ = home("b");
    // The command line splits on spaces: the paired roots have none, the items below do.
    folderA_ = fs::path(homeA_) / "treeA";
    folderB_ = fs::path(homeB_) / "treeB";
    fs::create_directories(folderA_);
    fs::create_directories(folderB_);
  }

  std::string home(const std::string& name) {
    const fs::path path = fs::path(root_.path()) / name;
    fs::create_directories(path);
    return path.string();
  }

  std::vector<std::string> options(int slot, bool acceptTrust) {
    if (!slotBase_.contains(slot)) slotBase_[slot] = basePort_ + slot * 3;
    const int base = slotBase_[slot];
    std::vector<std::string> list = {
        "--router-port", std::to_string(base),     "--publisher-port", std::to_string(base + 1),
        "--udp-port",    std::to_string(base + 2), "--online-timeout", "100000"};
    if (acceptTrust) list.push_back("--accept-trust");
    return list;
  }

  // A first start moves the slot to another band while its ports are taken (something else on
  // the host holds one); a restart keeps the ports its peer already knows.
  std::unique_ptr<PeerProcess> start(const std::string& home, int slot, bool acceptTrust) {
    const bool fresh = !slotBase_.contains(slot);
    auto peer = std::make_unique<PeerProcess>("", home, options(slot, acceptTrust));
    for (int attempt = 1; fresh && attempt < 8 && peer->uuid().empty(); ++attempt) {
      peer.reset();
      slotBase_[slot] = 20000 + static_cast<int>((::getpid() * 7919L + attempt * 104729L + slot) % 4000) * 3;
      peer = std::make_unique<PeerProcess>("", home, options(slot, acceptTrust));
    }
    return peer;
  }

  std::unique_ptr<PeerProcess> startA() { return start(homeA_, 0, false); }

  // Each told of the other, then a offers trust and b takes it.
  static void introduce(PeerProcess& one, PeerProcess& other) {
    const json info = other.command("info");
    ASSERT_TRUE(info.value("ok", false)) << info.dump();
    const std::string route = fmt::format("tcp://127.0.0.1:{}", info.value("routerPort", 0));
    const std::string pub = fmt::format("tcp://127.0.0.1:{}", info.value("publisherPort", 0));
    const json added =
        one.command(fmt::format("device-add {} {} {} {}", other.uuid(), route, pub, info.value("publicKey", "")));
    ASSERT_TRUE(added.value("ok", false)) << added.dump();
  }

  // a serves `folderA_`; b pulls it into `folderB_`.
  void connect() {
    a_ = startA();
    b_ = start(homeB_, 1, true);
    ASSERT_FALSE(a_->uuid().empty());
    ASSERT_FALSE(b_->uuid().empty());
    ASSERT_NO_FATAL_FAILURE(introduce(*a_, *b_));
    ASSERT_NO_FATAL_FAILURE(introduce(*b_, *a_));
    const json offer = a_->command("trust " + b_->uuid());
    ASSERT_EQ(offer.value("result", ""), "accepted") << offer.dump();
    ASSERT_TRUE(a_->command("tree-add " + folderA_.string()).value("ok", false));
    settle(*a_);
  }

  void pair() {
    const json paired = b_->command("pair " + folderB_.string() + " " + a_->uuid() + " " + folderA_.string());
    ASSERT_TRUE(paired.value("ok", false)) << paired.dump();
  }
  // Connected and paired, b holding what a holds.
  void pairedAndSame() {
    ASSERT_NO_FATAL_FAILURE(connect());
    ASSERT_NO_FATAL_FAILURE(pair());
    pullUntilSame();
    expectSame();
  }

  // b pulls until it holds a's tree (a pull that meets a failed file ends with it marked for
  // the next one), at most a few rounds.
  void pullUntilSame() {
    settle(*a_);
    for (int round = 0; round < 5 && manifest(folderA_) != manifest(folderB_); ++round) {
      b_->command("sync", 300s);
      eventually([&] { return manifest(folderA_) == manifest(folderB_); }, 5);
    }
  }

  // Writes a 200 MiB file `relative` in a while b pulls, and kills `victim` once b holds more
  // than 20 MiB of it; whether it did. Watched from before the file is written: a change
  // notice may start the pull at once.
  bool killedMidFile(PeerProcess& victim, const std::string& relative, uint32_t seed) {
    const int pid = victim.pid();
    std::atomic<bool> partial = false;
    std::thread killer([&] {
      partial = eventually([&] { return largestTemporary(folderB_) > (20U << 20); }, 120);
      ::kill(pid, SIGKILL);
    });
    writeFile(folderA_ / relative, pattern(200 << 20, seed));
    b_->command("sync", 120s);
    killer.join();
    victim.kill();
    return partial;
  }

  // `markIsUsn`: the peer's usn is its highest record's; after a restart it has moved on to
  // the next reserved block until its next change.
  void expectSame(bool markIsUsn = true) {
    EXPECT_EQ(manifest(folderA_), manifest(folderB_));
    EXPECT_EQ(temporaryFiles(folderB_), std::vector<std::string>{});
    if (!markIsUsn) return;
    // a may record a change after settle() found its usn still (a read again on a busy
    // machine): b pulls it once a announces it.
    eventually(
        [&] {
          const json status = statusOf(*b_);
          return status["pairings"].size() == 1 && status["pairings"][0].value("maxUsn", int64_t{-2}) == usnOf(*a_);
        },
        30);
    const json status = statusOf(*b_);
    ASSERT_EQ(status["pairings"].size(), 1U) << status.dump();
    EXPECT_EQ(status["pairings"][0].value("maxUsn", int64_t{-2}), usnOf(*a_)) << status.dump();
  }

  TempDir root_;
  int basePort_ = 0;
  std::map<int, int> slotBase_;
  std::string homeA_;
  std::string homeB_;
  fs::path folderA_;
  fs::path folderB_;
  std::unique_ptr<PeerProcess> a_;
  std::unique_ptr<PeerProcess> b_;
};

TEST_F(PullProcessTest, MixedTreeArrivesIdenticalThenRoundsOfChangesFollow) {
  fs::create_directories(folderA_ / "empty folder");
  fs::create_directories(folderA_ / "nested" / "deeper" / "deepest");
  fs::create_directories(folderA_ / "中文 目录");
  fs::create_directories(folderA_ / "small");
  writeFile(folderA_ / "empty file", "");
  writeFile(folderA_ / "nested" / "deeper" / "deepest" / "empty", "");
  writeFile(folderA_ / "中文 目录" / "文件 一.txt", "中文内容");
  writeFile(folderA_ / "big file.bin", pattern(40 << 20, 1));
  for (int i = 0; i < 1000; ++i) writeFile(folderA_ / "small" / fmt::format("file {:04}.txt", i), pattern(i % 300, i));
  fs::permissions(folderA_ / "empty file", fs::perms::owner_read);
  fs::permissions(folderA_ / "中文 目录" / "文件 一.txt", fs::perms::owner_all | fs::perms::group_read);

  ASSERT_NO_FATAL_FAILURE(pairedAndSame());

  // A rename is applied without fetching the content again: the sender reads the moved file
  // once (its monitor hashes it) and does not serve it a second time.
  constexpr int64_t kRenamed = 16 << 20;
  writeFile(folderA_ / "renamed source.bin", pattern(kRenamed, 7));
  pullUntilSame();
  const int64_t before = bytesRead(a_->pid());
  fs::rename(folderA_ / "renamed source.bin", folderA_ / "nested" / "renamed target.bin");
  pullUntilSame();
  expectSame();
  EXPECT_LT(bytesRead(a_->pid()) - before, kRenamed + kRenamed / 2) << "the renamed file was served again";

  // Modify, delete files and folders.
  writeFile(folderA_ / "small" / "file 0001.txt", "changed content");
  writeFile(folderA_ / "empty file.new", "");
  fs::remove(folderA_ / "small" / "file 0002.txt");
  fs::remove_all(folderA_ / "nested" / "deeper");
  fs::remove(folderA_ / "empty folder");
  pullUntilSame();
  expectSame();
  EXPECT_FALSE(fs::exists(folderB_ / "nested" / "deeper"));

  // Both sides edit one file before either has recorded the other's edit: each keeps both
  // versions, one under the conflict name.
  writeFile(folderA_ / "small" / "file 0003.txt", "edited on a");
  writeFile(folderB_ / "small" / "file 0003.txt", "edited on b");
  settle(*a_);
  settle(*b_);
  auto versionsIn = [](const fs::path& folder) { return versionsOf(folder, "file 0003.txt"); };
  const std::vector<std::string> both = {"edited on a", "edited on b"};
  b_->command("sync", 300s);
  EXPECT_TRUE(eventually([&] { return versionsIn(folderB_ / "small") == both; }, 60))
      << ::testing::PrintToString(versionsIn(folderB_ / "small"));
  a_->command("sync", 300s);
  EXPECT_TRUE(eventually([&] { return versionsIn(folderA_ / "small") == both; }, 60))
      << ::testing::PrintToString(versionsIn(folderA_ / "small"));
  EXPECT_TRUE(hasConflictCopy(folderB_ / "small", "file 0003.txt"));
  EXPECT_EQ(temporaryFiles(folderB_), std::vector<std::string>{});
}

TEST_F(PullProcessTest, AKilledSenderAndACorruptedPartLoseNothing) {
  writeFile(folderA_ / "first.txt", "before the big one");
  ASSERT_NO_FATAL_FAILURE(pairedAndSame());

  // The sender dies in the middle of a 200 MiB file; restarted, the next pull completes it.
  EXPECT_TRUE(killedMidFile(*a_, "huge.bin", 3)) << "no transfer seen in progress";
  a_ = startA();
  ASSERT_FALSE(a_->uuid().empty());
  pullUntilSame();
  expectSame(false);

  // A byte of the temporary file flips on b's disk while the file arrives: the whole-file
  // SHA-1 check refuses it (the flipped byte never reaches the final name), and a later pull
  // fetches it again.
  const std::string checked = pattern(64 << 20, 5);
  std::atomic<bool> flipped = false;
  std::atomic<bool> corruptLanded = false;
  std::thread watcher([&] {
    eventually([&] { return flipped = flipFirstByte(folderB_); }, 120);
    eventually(
        [&] {
          const std::string head = contentOf(folderB_ / "checked.bin").substr(0, 1);
          corruptLanded = corruptLanded || (!head.empty() && head[0] != checked[0]);
          return temporaryFiles(folderB_).empty();
        },
        120);
  });
  writeFile(folderA_ / "checked.bin", checked);
  b_->command("sync", 300s);
  watcher.join();
  ASSERT_TRUE(flipped) << "no transfer seen in progress";
  EXPECT_FALSE(corruptLanded);
  pullUntilSame();
  expectSame();
}

TEST_F(PullProcessTest, ASecondSaveOfTheSameSizeWithinOneSecondReachesThePeer) {
  writeFile(folderA_ / "notes.txt", "version zero");
  ASSERT_NO_FATAL_FAILURE(pairedAndSame());

  // a saves twice within one second at the same size; b holds the first save when the second
  // is made, and b's user edits the file meanwhile.
  ASSERT_NO_FATAL_FAILURE(saveAt(folderA_ / "notes.txt", "version one.", 100));
  pullUntilSame();
  expectSame();
  ASSERT_NO_FATAL_FAILURE(saveAt(folderA_ / "notes.txt", "version two.", 600));
  writeFile(folderB_ / "notes.txt", "edited on b");
  settle(*a_);
  settle(*b_);

  // Neither edit is lost: both sides end with the same files, both versions among them, one
  // under its conflict name. Each device pulls as soon as the other announces its change: when
  // both meet the conflict at once, each keeps its own version under a conflict name of its
  // own, and one version stands there twice.
  const std::vector<std::string> both = {"edited on b", "version two."};
  const auto distinct = [](std::vector<std::string> versions) {
    versions.erase(std::unique(versions.begin(), versions.end()), versions.end());
    return versions;
  };
  const auto bothEverywhere = [&] {
    return distinct(versionsOf(folderA_, "notes.txt")) == both &&
           copiesOf(folderA_, "notes.txt") == copiesOf(folderB_, "notes.txt");
  };
  for (int round = 0; round < 4 && !bothEverywhere(); ++round) {
    b_->command("sync", 300s);
    a_->command("sync", 300s);
    eventually(bothEverywhere, 10);
  }
  EXPECT_EQ(distinct(versionsOf(folderA_, "notes.txt")), both);
  EXPECT_EQ(distinct(versionsOf(folderB_, "notes.txt")), both);
  EXPECT_EQ(copiesOf(folderA_, "notes.txt"), copiesOf(folderB_, "notes.txt"));
  EXPECT_LE(versionsOf(folderA_, "notes.txt").size(), 3U) << "one copy more at most";
  EXPECT_TRUE(hasConflictCopy(folderA_, "notes.txt"));
  EXPECT_TRUE(hasConflictCopy(folderB_, "notes.txt"));
}

TEST_F(PullProcessTest, AFolderSwappedForALinkMidPullKeepsNoTemporaryFileAnywhere) {
  writeFile(folderA_ / "docs" / "small.txt", "small");
  ASSERT_NO_FATAL_FAILURE(pairedAndSame());

  // While a 200 MiB file arrives in "docs", b's user moves the folder away and leaves a link
  // to another folder in its place. Watched from before the file is written: a change notice
  // may start the pull at once.
  const fs::path outside = home("outside");
  const fs::path movedAway = fs::path(homeB_) / "docs moved away";
  std::atomic<bool> swapped = false;
  std::thread swapper([&] {
    if (!eventually([&] { return largestTemporary(folderB_ / "docs") > (20U << 20); }, 120)) return;
    std::error_code error;
    fs::rename(folderB_ / "docs", movedAway, error);
    swapped = !error && ::symlink(outside.c_str(), (folderB_ / "docs").c_str()) == 0;
  });
  writeFile(folderA_ / "docs" / "big.bin", pattern(200 << 20, 11));
  b_->command("sync", 300s);
  swapper.join();
  ASSERT_TRUE(swapped) << "no transfer seen in progress";
  b_->command("sync", 300s);
  settle(*b_);
  EXPECT_TRUE(eventually([&] { return temporaryFiles(movedAway).empty(); }, 60))
      << ::testing::PrintToString(temporaryFiles(movedAway));
  EXPECT_TRUE(fs::is_empty(outside)) << "written through the link";
  EXPECT_EQ(readFile(movedAway / "small.txt"), "small");
}

// The receiver is killed while a file arrives, and the file is gone on the sender before it
// starts again: nothing will fetch that file again, and its temporary download goes at the
// start all the same, also after its folder was renamed there while the receiver was down.
TEST_F(PullProcessTest, AReceiverKilledMidFileLeavesNoTemporaryDownloadOnceStartedAgain) {
  writeFile(folderA_ / "first.txt", "before the big one");
  ASSERT_NO_FATAL_FAILURE(pairedAndSame());

  ASSERT_TRUE(killedMidFile(*b_, "big/huge.bin", 13)) << "no transfer seen in progress";
  ASSERT_FALSE(temporaryFiles(folderB_).empty()) << "the kill left no download to remove";
  fs::remove(folderA_ / "big/huge.bin");
  fs::rename(folderA_ / "big", folderA_ / "moved");
  fs::rename(folderB_ / "big", folderB_ / "moved");
  settle(*a_);

  b_ = start(homeB_, 1, true);
  ASSERT_FALSE(b_->uuid().empty());
  EXPECT_EQ(temporaryFiles(folderB_), std::vector<std::string>{});
  pullUntilSame();
  expectSame(false);
}

TEST_F(PullProcessTest, AnUnansweredTrustOfferTimesOutAndIsCancelledOnBothSides) {
  a_ = startA();
  const auto third = start(home("c"), 2, false);
  PeerProcess& c = *third;
  ASSERT_FALSE(a_->uuid().empty());
  ASSERT_FALSE(c.uuid().empty());
  ASSERT_NO_FATAL_FAILURE(introduce(*a_, c));
  ASSERT_NO_FATAL_FAILURE(introduce(c, *a_));
  const json offer = a_->command("trust " + c.uuid());
  EXPECT_EQ(offer.value("result", ""), "timeout") << offer.dump();
  auto statusIn = [](PeerProcess& peer, const std::string& uuid) {
    const json answer = peer.command("devices");
    for (const auto& device : answer.value("devices", json::array())) {
      if (device.value("uuid", "") == uuid) return device.value("status", -1);
    }
    return -1;
  };
  EXPECT_EQ(statusIn(*a_, c.uuid()), 0);
  // The cancel reached c: the offer it held is gone.
  EXPECT_TRUE(eventually([&] { return statusIn(c, a_->uuid()) == 0; }, 20));
}

}  // namespace
}  // namespace velbor::test
