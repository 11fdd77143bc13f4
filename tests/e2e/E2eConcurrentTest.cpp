// One file edited on two devices at once, each sharing the folder with a third device only:
// the third takes both versions at once, and every device ends with both.
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
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "e2e/E2eNetwork.h"
#include "e2e/E2eSupport.h"
#include "e2e/PeerProcess.h"

namespace velbor::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

using E2eConcurrentTest = E2eFixture;

// Holds a device still (SIGSTOP) while it lives: what is sent to it waits, what it would send
// is not sent. Let go at the latest when it goes, so the device can be stopped.
class Held {
 public:
  explicit Held(PeerProcess& peer) : pid_(peer.pid()) { held_ = pid_ > 0 && ::kill(pid_, SIGSTOP) == 0; }
  ~Held() { release(); }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  void release() {
    if (held_) ::kill(pid_, SIGCONT);
    held_ = false;
  }
  bool held() const { return held_; }

 private:
  int pid_;
  bool held_ = false;
};

// The files of a sync folder (its mark left out): name and content.
std::map<std::string, std::string> filesIn(const fs::path& folder) {
  std::map<std::string, std::string> files;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    if (entry.path().filename() != ".Velbor.Syncdir" && entry.is_regular_file()) {
      files[entry.path().filename().string()] = fileText(entry.path());
    }
  }
  return files;
}

// The contents a sync folder holds, each once. A version may be held twice, under two
// conflict names: two devices that each met both versions each kept the one they met second.
std::set<std::string> contentsOf(const fs::path& folder) {
  std::set<std::string> contents;
  for (const auto& [name, content] : filesIn(folder)) contents.insert(content);
  return contents;
}

// How often the device has asked a peer for a page so far, as its log tells.
size_t findsIn(const fs::path& log) { return timesIn(log, "Send find request to tree("); }

TEST_F(E2eConcurrentTest, AFileEditedOnTwoDevicesAtOnceKeepsBothVersionsEverywhere) {
  E2eNetwork network(3);
  ASSERT_TRUE(network.ready());
  const auto options = with(portOptions(), {"--token", "one", "--online-timeout", kLongOnlineTimeout});
  const std::string homeA = home("a");
  const std::string homeB = home("b");
  const std::string homeC = home("c");
  const fs::path folderA = syncFolderIn(homeA);
  const fs::path folderB = syncFolderIn(homeB);
  const fs::path folderC = syncFolderIn(homeC);
  const fs::path logB = root_.path() / "b.log";
  PeerProcess a(network.host(0), homeA, options);
  PeerProcess b(network.host(1), homeB, with(options, {"--accept-trust"}), logB.string());
  PeerProcess c(network.host(2), homeC, options);
  ASSERT_TRUE(trustEachOther(a, b));
  ASSERT_TRUE(trustEachOther(c, b));
  for (auto [peer, folder] : {std::pair{&a, folderA}, std::pair{&c, folderC}}) {
    ASSERT_TRUE(pairFolder(*peer, folder, b.uuid(), folderB));
  }
  writeFile(folderB / "f.txt", "first");
  ASSERT_TRUE(eventually([&] { return sameFile(folderA / "f.txt", "first") && sameFile(folderC / "f.txt", "first"); }));
  ASSERT_TRUE(usnSettles(a));
  ASSERT_TRUE(usnSettles(b));
  ASSERT_TRUE(usnSettles(c));

  {
    // b hears of neither edit before both are made and recorded.
    Held heldB(b);
    ASSERT_TRUE(heldB.held());
    const int64_t usnA = usnOf(a);
    const int64_t usnC = usnOf(c);
    writeFile(folderA / "f.txt", "edited on a");
    writeFile(folderC / "f.txt", "edited on c");
    ASSERT_TRUE(eventually([&] { return usnOf(a) > usnA && usnOf(c) > usnC; }));
    // Their notices are on the way to b. Neither answers b until b has asked both, so both
    // pages come to b at once.
    Held heldA(a);
    Held heldC(c);
    const size_t finds = findsIn(logB);
    heldB.release();
    // Not seen in time (the notices were late): the pulls still come, one after the other.
    eventually([&] { return findsIn(logB) >= finds + 2; }, std::chrono::seconds(15));
  }

  const std::set<std::string> both{"edited on a", "edited on c"};
  EXPECT_TRUE(eventually([&] { return contentsOf(folderB) == both; }, std::chrono::seconds(120)))
      << ::testing::PrintToString(filesIn(folderB));
  EXPECT_TRUE(eventually([&] { return filesIn(folderA) == filesIn(folderB) && filesIn(folderC) == filesIn(folderB); },
                         std::chrono::seconds(120)))
      << ::testing::PrintToString(filesIn(folderA)) << " " << ::testing::PrintToString(filesIn(folderC));
  EXPECT_TRUE(usnSettles(a));
  EXPECT_TRUE(usnSettles(b));
  EXPECT_TRUE(usnSettles(c));
  EXPECT_EQ(contentsOf(folderB), both);
  EXPECT_EQ(filesIn(folderA), filesIn(folderB));
  EXPECT_EQ(filesIn(folderC), filesIn(folderB));
}

// Whether the file begins with `block`.
bool beginsWith(const fs::path& path, const std::string& block) {
  std::ifstream in(path, std::ios::binary);
  std::string head(block.size(), '\0');
  return in.read(head.data(), static_cast<std::streamsize>(head.size())) && head == block;
}

// A rename made on b reaches a while a program on a writes the file in place, the moment a
// starts to apply that rename (its log tells): the write is kept, recorded and sent to b,
// never hidden under the content a read a moment before.
TEST_F(E2eConcurrentTest, AnInPlaceEditMadeWhileARenameIsInstalledIsSent) {
  E2eNetwork network(2);
  ASSERT_TRUE(network.ready());
  const auto [homeA, homeB, folderA, folderB] = twoHomes();
  const fs::path logA = root_.path() / "a.log";
  PeerProcess a(network.host(0), homeA, with(portOptions(), {"--token", "one"}), logA.string());
  PeerProcess b(network.host(1), homeB, with(portOptions(), {"--token", "one", "--accept-trust"}));
  ASSERT_TRUE(trustEachOther(a, b));
  ASSERT_TRUE(pairFolder(a, folderA, b.uuid(), folderB));
  // Large enough that reading it takes a while.
  std::string content(48 << 20, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>((i * 2654435761u) >> 13);
  writeFile(folderB / "f.bin", content);
  ASSERT_TRUE(
      eventually([&] { return fs::exists(folderA / "f.bin") && fs::file_size(folderA / "f.bin") == content.size(); },
                 std::chrono::seconds(120)));
  ASSERT_TRUE(usnSettles(a));
  ASSERT_TRUE(usnSettles(b));

  const std::string block(4096, 'E');
  const auto logged = static_cast<std::streamoff>(fs::file_size(logA));
  std::atomic<bool> written{false};
  std::thread editor([&] {
    // Waits for a to begin the rename, then writes at once, where the file stands then. The
    // log is read on from where it was, so each look is quick.
    std::ifstream log(logA, std::ios::binary);
    log.seekg(logged);
    std::string seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (seen.find("EventRenameFile(") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      char chunk[4096];
      log.clear();
      log.read(chunk, sizeof chunk);
      if (log.gcount() > 0) {
        seen.append(chunk, static_cast<size_t>(log.gcount()));
      } else {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    }
    if (seen.find("EventRenameFile(") == std::string::npos) return;
    int fd = ::open((folderA / "f.bin").c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) fd = ::open((folderA / "g.bin").c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;
    written = ::pwrite(fd, block.data(), block.size(), 0) == static_cast<ssize_t>(block.size());
    ::close(fd);
  });
  fs::rename(folderB / "f.bin", folderB / "g.bin");
  editor.join();
  ASSERT_TRUE(written) << "a never applied the rename";

  // The edit reaches b, under whichever name it is kept.
  const auto edited = [&](const fs::path& folder) {
    return beginsWith(folder / "f.bin", block) || beginsWith(folder / "g.bin", block);
  };
  EXPECT_TRUE(eventually([&] { return edited(folderB); }, std::chrono::seconds(90)))
      << "the edit made on a while it renamed the file never reached b";
  EXPECT_TRUE(edited(folderA));
  // And the rename still arrives, with the next pull.
  EXPECT_TRUE(eventually([&] { return fs::exists(folderA / "g.bin"); }, std::chrono::seconds(90)));
}

// The same content with other attributes on each device: a mode changed on one while it was
// down, a time on the other. Both end with the one result (the mode with the time), whichever
// starts, and so pulls, first.
TEST_F(E2eConcurrentTest, EqualContentWithAttributesChangedOnBothSettlesOnOneResult) {
  E2eNetwork network(2);
  ASSERT_TRUE(network.ready());
  const auto options = with(portOptions(), {"--token", "one"});
  const auto [homeA, homeB, folderA, folderB] = twoHomes();
  enum class First { kBoth, kA, kB };
  // Each round changes a file of its own.
  const std::vector<std::pair<std::string, First>> rounds = {
      {"both.sh", First::kBoth}, {"a-first.sh", First::kA}, {"b-first.sh", First::kB}};
  for (const auto& [name, first] : rounds) {
    writeFile(folderA / name, name);
    fs::permissions(folderA / name, static_cast<fs::perms>(0644));
  }
  const auto start = [&](const std::string& home, bool accept) {
    return std::make_unique<PeerProcess>(network.host(accept ? 1 : 0), home,
                                         accept ? with(options, {"--accept-trust"}) : options);
  };
  auto a = start(homeA, false);
  auto b = start(homeB, true);
  ASSERT_TRUE(trustEachOther(*a, *b));
  ASSERT_TRUE(pairFolder(*a, folderA, b->uuid(), folderB));
  ASSERT_TRUE(eventually([&] {
    for (const auto& [name, first] : rounds) {
      if (!sameFile(folderB / name, name)) return false;
    }
    return true;
  }));

  // A touch: later than the time the file had.
  const int64_t kTouched = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::system_clock::now().time_since_epoch() + std::chrono::hours(1))
                               .count();
  const auto settled = [&](const std::string& name) {
    for (const fs::path& folder : {folderA, folderB}) {
      struct stat status {};
      if (::lstat((folder / name).c_str(), &status) != 0 || (status.st_mode & 07777) != 0755 ||
          status.st_mtim.tv_sec != kTouched) {
        return false;
      }
    }
    return true;
  };
  for (const auto& [name, first] : rounds) {
    ASSERT_TRUE(usnSettles(*a));
    ASSERT_TRUE(usnSettles(*b));
    for (auto* peer : {a.get(), b.get()}) {
      EXPECT_TRUE(peer->command("quit").value("ok", false));
      EXPECT_EQ(peer->waitExit(std::chrono::seconds(30)), 0);
    }
    a.reset();
    b.reset();
    fs::permissions(folderB / name, static_cast<fs::perms>(0755));
    const timespec times[2] = {{kTouched, 0}, {kTouched, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (folderA / name).c_str(), times, 0), 0);
    if (first != First::kB) a = start(homeA, false);
    if (first == First::kA) {
      ASSERT_TRUE(usnSettles(*a));
    }
    b = start(homeB, true);
    if (first == First::kB) {
      ASSERT_TRUE(usnSettles(*b));
      a = start(homeA, false);
    }
    ASSERT_FALSE(a->uuid().empty());
    ASSERT_FALSE(b->uuid().empty());
    EXPECT_TRUE(eventually([&] { return settled(name); }, std::chrono::seconds(120))) << name;
    EXPECT_TRUE(usnSettles(*a));
    EXPECT_TRUE(usnSettles(*b));
    EXPECT_TRUE(settled(name)) << name << " with " << std::oct << static_cast<int>(permsOf(folderA / name)) << " and "
                               << static_cast<int>(permsOf(folderB / name));
  }
}

}  // namespace
}  // namespace velbor::test
