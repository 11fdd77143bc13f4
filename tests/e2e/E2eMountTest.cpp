// A sync folder on a disk of its own that is not mounted when the device starts, or another
// disk mounted in its place: its mount point must not read as every file removed, and the
// folder syncs again once its own disk is mounted.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <fmt/format.h>

#include "e2e/E2eNetwork.h"
#include "e2e/E2eSupport.h"
#include "e2e/PeerProcess.h"

namespace velbor::test {
namespace {

namespace fs = std::filesystem;

class E2eMountTest : public E2eFixture {
 protected:
  // The disks are mounted in a mount namespace of this test's own: every device another test
  // starts meanwhile gets a copy of the namespace it starts in, and would otherwise hold a copy
  // of these mounts (and their loop devices) for as long as it runs.
  void SetUp() override {
    E2eFixture::SetUp();
    if (IsSkipped()) return;
    ASSERT_EQ(::unshare(CLONE_NEWNS), 0) << std::strerror(errno);
    ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << std::strerror(errno);
  }
};

constexpr int kFiles = 20;

bool shell(const std::string& command) { return std::system(command.c_str()) == 0; }

// An ext4 image mounted (loop) on a folder of this mount namespace; unmounted when it goes.
class LoopDisk {
 public:
  LoopDisk(const fs::path& image, const fs::path& at) : at_(at) {
    ready_ = shell(fmt::format("truncate -s 32M '{0}' && mkfs.ext4 -q -F '{0}' 2>/dev/null", image.string())) &&
             mount(image);
  }
  ~LoopDisk() { unmount(); }
  LoopDisk(const LoopDisk&) = delete;
  LoopDisk& operator=(const LoopDisk&) = delete;

  bool ready() const { return ready_; }
  bool mount(const fs::path& image) {
    mounted_ = shell(fmt::format("mount -o loop '{}' '{}'", image.string(), at_.string()));
    return mounted_;
  }
  bool unmount() {
    if (mounted_ && shell(fmt::format("umount '{}'", at_.string()))) mounted_ = false;
    return !mounted_;
  }

 private:
  fs::path at_;
  bool ready_ = false;
  bool mounted_ = false;
};

// Disk images mounted (loop) on folders of this mount namespace; every mount left is undone
// when it goes, the last one first.
class Disks {
 public:
  ~Disks() {
    for (auto at = mounted_.rbegin(); at != mounted_.rend(); ++at) shell(fmt::format("umount '{}'", at->string()));
  }
  Disks() = default;
  Disks(const Disks&) = delete;
  Disks& operator=(const Disks&) = delete;

  static bool make(const fs::path& image) {
    return shell(fmt::format("truncate -s 32M '{0}' && mkfs.ext4 -q -F '{0}' 2>/dev/null", image.string()));
  }
  bool mount(const fs::path& image, const fs::path& at) {
    // A disk is mounted once at a time: a device that quit may hold it until its mounts are gone.
    if (!eventually([&] { return shell(fmt::format("test -z \"$(losetup -j '{}')\"", image.string())); },
                    std::chrono::seconds(90))) {
      return false;
    }
    if (!shell(fmt::format("mount -o loop '{}' '{}'", image.string(), at.string()))) return false;
    mounted_.push_back(at);
    return true;
  }
  bool unmount(const fs::path& at) {
    if (!shell(fmt::format("umount '{}'", at.string()))) return false;
    std::erase(mounted_, at);
    return true;
  }

 private:
  std::vector<fs::path> mounted_;
};

std::string fileName(int i) { return fmt::format("file-{}.txt", i); }
std::string fileContent(int i) { return fmt::format("content {}", i); }

bool allThere(const fs::path& folder) {
  for (int i = 0; i < kFiles; ++i) {
    if (!sameFile(folder / fileName(i), fileContent(i))) return false;
  }
  return true;
}

TEST_F(E2eMountTest, AnEmptyMountPointRemovesNothingAndTheFolderSyncsAgainOnceMounted) {
  E2eNetwork network(2);
  ASSERT_TRUE(network.ready());
  const auto [homeA, homeB, folderA, folderB] = twoHomes();
  const fs::path image = fs::path(homeA) / "disk.img";
  // The device's namespace takes the mounts there are when it starts.
  LoopDisk disk(image, folderA);
  if (!disk.ready()) GTEST_SKIP() << "no loop-mounted ext4 on this machine (loop devices or mkfs.ext4 missing)";

  const std::string logA = fs::path(homeA) / "peer.log";
  auto a = std::make_unique<PeerProcess>(network.host(0), homeA, with(portOptions(), {"--token", "one"}), logA);
  PeerProcess b(network.host(1), homeB, with(portOptions(), {"--token", "one", "--accept-trust"}));
  const std::string uuidA = a->uuid();
  ASSERT_TRUE(trustEachOther(*a, b));
  ASSERT_TRUE(pairFolder(*a, folderA, b.uuid(), folderB));
  for (int i = 0; i < kFiles; ++i) writeFile(folderA / fileName(i), fileContent(i));
  ASSERT_TRUE(eventually([&] { return allThere(folderB); })) << "the files never reached the second device";
  ASSERT_TRUE(usnSettles(*a));

  // Quit, the disk unmounted, started again: the folder is an empty one of the disk below.
  ASSERT_TRUE(a->command("quit").value("ok", false));
  EXPECT_EQ(a->waitExit(std::chrono::seconds(30)), 0);
  a.reset();
  ASSERT_TRUE(disk.unmount());
  ASSERT_TRUE(fs::is_empty(folderA));
  a = std::make_unique<PeerProcess>(network.host(0), homeA, with(portOptions(), {"--token", "one"}), logA);
  const auto missingAt = [&] { return fileText(logA).find("is missing or not the folder recorded"); };
  ASSERT_TRUE(eventually([&] { return missingAt() != std::string::npos; }))
      << "the empty mount point was not told apart";
  // The second device pulls from this one after it was found missing: nothing is removed.
  ASSERT_TRUE(eventually(
      [&] { return fileText(logA).find("handle Find Request message from usn", missingAt()) != std::string::npos; }));
  EXPECT_TRUE(usnSettles(*a));
  EXPECT_TRUE(allThere(folderB)) << "the second device removed files";
  EXPECT_TRUE(fs::is_empty(folderA)) << "nothing is written onto the disk below the mount point";

  // Mounted again where the device sees it: it resumes by itself, both ways.
  ASSERT_TRUE(
      shell(fmt::format("nsenter -t {} -m mount -o loop '{}' '{}'", a->pid(), image.string(), folderA.string())));
  const fs::path seenByA = fs::path(fmt::format("/proc/{}/root", a->pid())) / folderA.relative_path();
  ASSERT_TRUE(eventually([&] { return fileText(logA).find("is back, it syncs again") != std::string::npos; }));
  writeFile(seenByA / "after.txt", "after");
  EXPECT_TRUE(eventually([&] { return sameFile(folderB / "after.txt", "after"); }));
  writeFile(folderB / "from-b.txt", "from b");
  EXPECT_TRUE(eventually([&] { return sameFile(seenByA / "from-b.txt", "from b"); }));
  EXPECT_TRUE(allThere(folderB));
  EXPECT_TRUE(allThere(seenByA));
  ASSERT_TRUE(a->command("quit").value("ok", false));
  EXPECT_EQ(a->waitExit(std::chrono::seconds(30)), 0);
}

std::string markIn(const fs::path& folder) { return fileText(folder / ".Velbor.Syncdir"); }

// The uuid of the device's copy at `path`, from its pairings.
std::string copyUuidAt(PeerProcess& peer, const fs::path& path) {
  for (const auto& pairing : peer.command("status").value("pairings", nlohmann::json::array())) {
    if (pairing.value("localPath", "") == path.string()) return pairing.value("localTreeUuid", "");
  }
  return {};
}

// Files of one folder, each named by its folder's letter.
struct Files {
  std::string prefix;
  std::string name(int i) const { return fmt::format("{}-{}.txt", prefix, i); }
  std::string content(int i) const { return fmt::format("{} content {}", prefix, i); }
  void write(const fs::path& folder) const {
    for (int i = 0; i < kFiles; ++i) writeFile(folder / name(i), content(i));
  }
  bool allIn(const fs::path& folder) const {
    for (int i = 0; i < kFiles; ++i) {
      if (!sameFile(folder / name(i), content(i))) return false;
    }
    return true;
  }
  bool noneIn(const fs::path& folder) const {
    for (int i = 0; i < kFiles; ++i) {
      if (fs::exists(folder / name(i))) return false;
    }
    return true;
  }
};

// The device as it stood before its sync folders' marks held their copy's uuid: no copy is
// known to have been marked.
void forgetMarkedCopies(const std::string& home) {
  for (const auto& entry : fs::recursive_directory_iterator(fs::path(home) / ".config")) {
    if (entry.path().filename() != "DataSource.json") continue;
    nlohmann::json values = nlohmann::json::parse(fileText(entry.path()));
    for (auto item = values.begin(); item != values.end();) {
      item = item.key().starts_with("Marked-") ? values.erase(item) : std::next(item);
    }
    std::ofstream(entry.path()) << values.dump(2) << "\n";
  }
}

TEST_F(E2eMountTest, ADiskInAnotherFoldersPlaceIsNotThatFolderAndNothingIsRemoved) {
  E2eNetwork network(2);
  ASSERT_TRUE(network.ready());
  const std::string homeA = home("a");
  const std::string homeB = home("b");
  const fs::path one = syncFolderIn(homeA);
  const fs::path two = fs::path(homeA) / "two";
  const fs::path staging = fs::path(homeA) / "staging";
  fs::create_directories(two);
  fs::create_directories(staging);
  const fs::path oneB = syncFolderIn(homeB);
  const fs::path twoB = fs::path(homeB) / "two";
  fs::create_directories(twoB);
  const fs::path imageOne = fs::path(homeA) / "one.img";
  const fs::path imageTwo = fs::path(homeA) / "two.img";
  const fs::path spare = fs::path(homeA) / "spare.img";
  const fs::path copied = fs::path(homeA) / "copied.img";
  // The second device first: a device's namespace keeps the mounts there are when it starts,
  // and a disk held there could not be mounted anew elsewhere.
  PeerProcess b(network.host(1), homeB, with(portOptions(), {"--token", "one", "--accept-trust"}));
  Disks disks;
  if (!Disks::make(imageOne) || !Disks::make(imageTwo) || !Disks::make(spare) || !Disks::make(copied) ||
      !disks.mount(imageOne, one) || !disks.mount(imageTwo, two)) {
    GTEST_SKIP() << "no loop-mounted ext4 on this machine (loop devices or mkfs.ext4 missing)";
  }
  const Files filesOne{"one"};
  const Files filesTwo{"two"};
  // A spare disk: its own files, one of them under a name the first folder has.
  ASSERT_TRUE(disks.mount(spare, staging));
  writeFile(staging / "DCIM/IMG_0001.JPG", "a picture");
  writeFile(staging / filesOne.name(0), "the spare disk's own");
  ASSERT_TRUE(disks.unmount(staging));

  int starts = 0;
  std::string log;
  std::unique_ptr<PeerProcess> a;
  const auto startA = [&] {
    log = fs::path(homeA) / fmt::format("peer-{}.log", ++starts);
    a = std::make_unique<PeerProcess>(network.host(0), homeA, with(portOptions(), {"--token", "one"}), log);
  };
  const auto quitA = [&] {
    ASSERT_TRUE(a->command("quit").value("ok", false));
    EXPECT_EQ(a->waitExit(std::chrono::seconds(30)), 0);
    a.reset();
  };
  const auto missing = [&](const fs::path& folder) {
    return fileText(log).find(fmt::format("syncdir({}) is missing", folder.string())) != std::string::npos;
  };
  // The second device pulled from this one after it found `folder` missing.
  const auto pulledSince = [&](const fs::path& folder) {
    const std::string text = fileText(log);
    const size_t at = text.find(fmt::format("syncdir({}) is missing", folder.string()));
    return at != std::string::npos && text.find("handle Find Request message from usn", at) != std::string::npos;
  };

  startA();
  ASSERT_TRUE(trustEachOther(*a, b));
  ASSERT_TRUE(pairFolder(*a, one, b.uuid(), oneB));
  ASSERT_TRUE(pairFolder(*a, two, b.uuid(), twoB));
  filesOne.write(one);
  filesTwo.write(two);
  ASSERT_TRUE(eventually([&] { return filesOne.allIn(oneB) && filesTwo.allIn(twoB); }));
  ASSERT_TRUE(usnSettles(*a));
  const std::string uuidOne = copyUuidAt(*a, one);
  const std::string uuidTwo = copyUuidAt(*a, two);
  ASSERT_FALSE(uuidOne.empty());
  EXPECT_EQ(markIn(one), uuidOne + "\n");
  EXPECT_EQ(markIn(two), uuidTwo + "\n");
  // A copy of the first folder, made with its mark, on a disk of its own.
  ASSERT_TRUE(disks.mount(copied, staging));
  ASSERT_TRUE(shell(fmt::format("cp -a '{}/.' '{}/'", one.string(), staging.string())));
  ASSERT_TRUE(disks.unmount(staging));

  // A spare disk mounted where the first folder's disk was.
  quitA();
  ASSERT_TRUE(disks.unmount(one));
  ASSERT_TRUE(disks.mount(spare, one));
  startA();
  ASSERT_TRUE(eventually([&] { return pulledSince(one); })) << "the spare disk was not told apart";
  EXPECT_TRUE(usnSettles(*a));
  EXPECT_TRUE(filesOne.allIn(oneB)) << "the second device removed files";
  EXPECT_FALSE(fs::exists(oneB / "DCIM")) << "the spare disk's files were taken as the folder's";
  EXPECT_FALSE(fs::exists(one / ".Velbor.Syncdir")) << "the spare disk was marked";
  EXPECT_EQ(fileText(one / filesOne.name(0)), "the spare disk's own");

  // The two sync disks, each at the other's place.
  quitA();
  ASSERT_TRUE(disks.unmount(one));
  ASSERT_TRUE(disks.unmount(two));
  ASSERT_TRUE(disks.mount(imageTwo, one));
  ASSERT_TRUE(disks.mount(imageOne, two));
  startA();
  ASSERT_TRUE(eventually([&] { return missing(two) && pulledSince(one); }));
  EXPECT_TRUE(usnSettles(*a));
  EXPECT_TRUE(filesOne.allIn(oneB) && filesTwo.allIn(twoB)) << "the second device removed files";
  EXPECT_TRUE(filesTwo.noneIn(oneB) && filesOne.noneIn(twoB)) << "a folder took the other one's files";
  EXPECT_EQ(markIn(one), uuidTwo + "\n");
  EXPECT_EQ(markIn(two), uuidOne + "\n");

  // Its own disk under the first folder, a copy of it (`cp -a`) under the second.
  quitA();
  ASSERT_TRUE(disks.unmount(one));
  ASSERT_TRUE(disks.unmount(two));
  ASSERT_TRUE(disks.mount(imageOne, one));
  ASSERT_TRUE(disks.mount(copied, two));
  startA();
  ASSERT_TRUE(eventually([&] { return pulledSince(two); })) << "the copied folder was not told apart";
  EXPECT_FALSE(missing(one));
  writeFile(one / "after.txt", "after");
  EXPECT_TRUE(eventually([&] { return sameFile(oneB / "after.txt", "after"); }));
  EXPECT_TRUE(usnSettles(*a));
  EXPECT_TRUE(filesTwo.allIn(twoB)) << "the second device removed files";
  EXPECT_TRUE(filesOne.noneIn(twoB)) << "the copied folder's files were taken as the folder's";

  // The second folder's own disk mounted where the device sees it: it syncs again by itself.
  ASSERT_TRUE(shell(fmt::format("nsenter -t {0} -m umount '{1}' && nsenter -t {0} -m mount -o loop '{2}' '{1}'",
                                a->pid(), two.string(), imageTwo.string())));
  const fs::path twoSeenByA = fs::path(fmt::format("/proc/{}/root", a->pid())) / two.relative_path();
  ASSERT_TRUE(eventually(
      [&] { return fileText(log).find(fmt::format("syncdir({}) is back", two.string())) != std::string::npos; }));
  writeFile(twoB / "from-b.txt", "from b");
  EXPECT_TRUE(eventually([&] { return sameFile(twoSeenByA / "from-b.txt", "from b"); }));
  EXPECT_TRUE(filesTwo.allIn(twoB));

  // The first look after an upgrade from marks that held nothing: the second folder's own
  // disk, its mark gone, is marked on what it holds; the spare disk is not, whatever its names.
  quitA();
  ASSERT_TRUE(disks.unmount(one));
  ASSERT_TRUE(disks.unmount(two));
  ASSERT_TRUE(disks.mount(spare, one));
  ASSERT_TRUE(disks.mount(imageTwo, two));
  fs::remove(two / ".Velbor.Syncdir");
  forgetMarkedCopies(homeA);
  startA();
  ASSERT_TRUE(eventually([&] { return pulledSince(one); }));
  EXPECT_FALSE(missing(two));
  EXPECT_EQ(markIn(two), uuidTwo + "\n");
  EXPECT_FALSE(fs::exists(one / ".Velbor.Syncdir")) << "the spare disk was marked";
  writeFile(twoB / "from-b-again.txt", "again");
  EXPECT_TRUE(eventually([&] { return sameFile(two / "from-b-again.txt", "again"); }));
  EXPECT_TRUE(usnSettles(*a));
  EXPECT_TRUE(filesOne.allIn(oneB)) << "the second device removed files";
  EXPECT_TRUE(filesTwo.allIn(twoB) && filesTwo.allIn(two));
  quitA();
}

TEST_F(E2eMountTest, AFolderOfFoldersAndEmptyFilesSyncsOnAfterAnUpgradeFromEmptyMarks) {
  E2eNetwork network(2);
  ASSERT_TRUE(network.ready());
  const auto [homeA, homeB, folderA, folderB] = twoHomes();
  const fs::path image = fs::path(homeA) / "disk.img";
  PeerProcess b(network.host(1), homeB, with(portOptions(), {"--token", "one", "--accept-trust"}));
  Disks disks;
  if (!Disks::make(image) || !disks.mount(image, folderA)) {
    GTEST_SKIP() << "no loop-mounted ext4 on this machine (loop devices or mkfs.ext4 missing)";
  }
  std::string log;
  int starts = 0;
  std::unique_ptr<PeerProcess> a;
  const auto startA = [&] {
    log = fs::path(homeA) / fmt::format("peer-{}.log", ++starts);
    a = std::make_unique<PeerProcess>(network.host(0), homeA, with(portOptions(), {"--token", "one"}), log);
  };
  startA();
  ASSERT_TRUE(trustEachOther(*a, b));
  ASSERT_TRUE(pairFolder(*a, folderA, b.uuid(), folderB));
  // A folder laid out before anything is put in it: folders, and a file still empty.
  fs::create_directories(folderA / "photos/2024");
  fs::create_directories(folderA / "papers");
  writeFile(folderA / "papers/todo.txt", "");
  ASSERT_TRUE(eventually(
      [&] { return fs::is_directory(folderB / "photos/2024") && sameFile(folderB / "papers/todo.txt", ""); }));
  ASSERT_TRUE(usnSettles(*a));
  const std::string uuidA = copyUuidAt(*a, folderA);
  ASSERT_FALSE(uuidA.empty());

  // As an earlier version left it: the mark empty, no copy known to have been marked.
  ASSERT_TRUE(a->command("quit").value("ok", false));
  EXPECT_EQ(a->waitExit(std::chrono::seconds(30)), 0);
  a.reset();
  writeFile(folderA / ".Velbor.Syncdir", "");
  forgetMarkedCopies(homeA);
  startA();
  writeFile(folderB / "photos/2024/beach.jpg", "sand");
  EXPECT_TRUE(eventually([&] { return sameFile(folderA / "photos/2024/beach.jpg", "sand"); }))
      << "the folder is taken as missing";
  EXPECT_EQ(fileText(log).find("is missing or not the folder recorded"), std::string::npos);
  EXPECT_EQ(markIn(folderA), uuidA + "\n");
  writeFile(folderA / "papers/todo.txt", "call home");
  EXPECT_TRUE(eventually([&] { return sameFile(folderB / "papers/todo.txt", "call home"); }));
  EXPECT_TRUE(fs::is_directory(folderB / "photos/2024"));

  // A backup made then (without the mark), older by the time it is put in the folder's place at
  // the first start after an upgrade: one recorded file unchanged is no evidence that it is the
  // folder, and nothing is removed or reverted on the second device.
  const fs::path backup = fs::path(homeA) / "backup";
  ASSERT_TRUE(shell(
      fmt::format("cp -a '{}' '{}' && rm '{}/.Velbor.Syncdir'", folderA.string(), backup.string(), backup.string())));
  writeFile(folderA / "papers/todo.txt", "call home twice");
  for (int i = 0; i < 3; ++i) writeFile(folderA / fileName(i), fileContent(i));
  EXPECT_TRUE(eventually([&] { return sameFile(folderB / "papers/todo.txt", "call home twice"); }));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(eventually([&] { return sameFile(folderB / fileName(i), fileContent(i)); }));
  ASSERT_TRUE(usnSettles(*a));
  ASSERT_TRUE(a->command("quit").value("ok", false));
  EXPECT_EQ(a->waitExit(std::chrono::seconds(30)), 0);
  a.reset();
  forgetMarkedCopies(homeA);
  ASSERT_TRUE(
      shell(fmt::format("find '{0}' -mindepth 1 -maxdepth 1 ! -name lost+found -exec rm -rf {{}} + && "
                        "cp -a '{1}/.' '{0}/'",
                        folderA.string(), backup.string())));
  startA();
  // Said in the log, with what was looked at (the one file's content is not read: it cannot decide).
  const std::string missing = "nothing in it is removed: not marked, and only 0 of the 5 recorded files looked at";
  ASSERT_TRUE(eventually([&] { return fileText(log).find(missing) != std::string::npos; }))
      << "the older backup was taken as the folder";
  EXPECT_TRUE(eventually([&] {
    const std::string text = fileText(log);
    return text.find("handle Find Request message from usn", text.find(missing)) != std::string::npos;
  }));
  EXPECT_TRUE(usnSettles(*a));
  EXPECT_FALSE(fs::exists(folderA / ".Velbor.Syncdir")) << "the backup was marked";
  EXPECT_TRUE(sameFile(folderB / "papers/todo.txt", "call home twice")) << "reverted on the second device";
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(sameFile(folderB / fileName(i), fileContent(i))) << "removed there";
  ASSERT_TRUE(a->command("quit").value("ok", false));
  EXPECT_EQ(a->waitExit(std::chrono::seconds(30)), 0);
}

// A tmpfs of `megabytes` on a folder of this mount namespace; unmounted when it goes.
class SmallDisk {
 public:
  SmallDisk(const fs::path& at, int megabytes)
      : at_(at), mounted_(shell(fmt::format("mount -t tmpfs -o size={}M tmpfs '{}'", megabytes, at.string()))) {}
  ~SmallDisk() {
    if (mounted_) shell(fmt::format("umount -l '{}'", at_.string()));
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;
  bool mounted() const { return mounted_; }
  // Takes every byte left; `free` gives them back.
  void fill() { shell(fmt::format("dd if=/dev/zero of='{}' bs=64k 2>/dev/null", filler().string())); }
  void free() { fs::remove(filler()); }

 private:
  fs::path filler() const { return at_ / "filler"; }
  fs::path at_;
  bool mounted_;
};

// The regular files below `folder` whose names begin with `prefix` (conflict copies too).
int filesNamed(const fs::path& folder, const std::string& prefix) {
  int count = 0;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file() && entry.path().filename().string().starts_with(prefix)) ++count;
  }
  return count;
}

TEST_F(E2eMountTest, AFullDatabaseDiskInstallsNothingItCannotRecordAndBringsNoDeletionBack) {
  E2eNetwork network(2);
  ASSERT_TRUE(network.ready());
  const std::string homeA = home("a");
  const std::string homeB = home("b");
  const fs::path folderA = syncFolderIn(homeA);
  // The sync folder on the machine's disk, the home (database, settings, journal) on a small one.
  const fs::path folderB = root_.path() / "b-sync";
  fs::create_directories(folderB);
  SmallDisk disk(homeB, 8);
  if (!disk.mounted()) GTEST_SKIP() << "no tmpfs mount on this machine";
  const std::string logA = root_.path() / "a.log";
  const std::string logB = root_.path() / "b.log";
  PeerProcess a(network.host(0), homeA, with(portOptions(), {"--token", "one"}), logA);
  PeerProcess b(network.host(1), homeB, with(portOptions(), {"--token", "one", "--accept-trust"}), logB);
  ASSERT_TRUE(trustEachOther(a, b));
  ASSERT_TRUE(pairFolder(a, folderA, b.uuid(), folderB));
  writeFile(folderA / "first.txt", "first");
  ASSERT_TRUE(eventually([&] { return sameFile(folderB / "first.txt", "first"); }));
  ASSERT_TRUE(usnSettles(b));

  constexpr int kNew = 60;
  disk.fill();
  for (int i = 0; i < kNew; ++i) writeFile(folderA / fmt::format("new-{}.txt", i), fmt::format("new {}", i));
  // B pulls, and what it would record is refused.
  ASSERT_TRUE(eventually([&] {
    return timesIn(logB, "commitTransaction failed") + timesIn(logB, "*** Download journal(") > 0;
  })) << "the full disk refused nothing";
  ASSERT_TRUE(usnSettles(a));
  EXPECT_EQ(filesNamed(folderB, "new-"), 0) << "files installed that are not recorded";

  // Deleted where they came from, then room again on B.
  for (int i = 0; i < kNew; ++i) fs::remove(folderA / fmt::format("new-{}.txt", i));
  ASSERT_TRUE(usnSettles(a));
  disk.free();
  writeFile(folderA / "after.txt", "after");
  ASSERT_TRUE(eventually([&] { return sameFile(folderB / "after.txt", "after"); }, std::chrono::seconds(180)))
      << "B never pulled again once there was room";
  writeFile(folderB / "from-b.txt", "from b");
  ASSERT_TRUE(eventually([&] { return sameFile(folderA / "from-b.txt", "from b"); }));
  ASSERT_TRUE(usnSettles(b));
  ASSERT_TRUE(usnSettles(a));
  EXPECT_EQ(filesNamed(folderA, "new-"), 0) << "deleted files came back";
  EXPECT_EQ(filesNamed(folderB, "new-"), 0);
  // Said once per pull, not once per file and try.
  EXPECT_LT(timesIn(logB, "commitTransaction failed"), 40u);
  EXPECT_LT(timesIn(logB, "Download journal("), 40u);
  EXPECT_TRUE(a.command("quit").value("ok", false));
  EXPECT_TRUE(b.command("quit").value("ok", false));
  EXPECT_EQ(b.waitExit(std::chrono::seconds(30)), 0);
}

}  // namespace
}  // namespace velbor::test
