#include "platform/FileEventStream.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/InotifyQueueLimit.h"
#include "support/TempDir.h"

namespace velbor::test {
namespace {

namespace fs = std::filesystem;
using Stream = FileEventStream;

// Every event received, merged by path, and bounded waits for them.
class Collector {
 public:
  Stream::Callback callback() {
    return [this](const std::vector<Stream::Event>& events) {
      std::unique_lock lock(mutex_);
      ++entered_;
      changed_.notify_all();
      changed_.wait(lock, [&] { return !gated_; });
      for (const auto& event : events) {
        flags_[event.path] |= event.flags;
        last_[event.path] = event.flags;
        ++count_;
      }
      changed_.notify_all();
    };
  }

  bool waitFor(const std::function<bool(const std::map<std::string, uint32_t>&)>& done) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return done(flags_); });
  }
  bool waitForPath(const std::string& path, uint32_t flags = 0) {
    return waitFor([&](const auto& seen) {
      const auto found = seen.find(path);
      return found != seen.end() && (found->second & flags) == flags;
    });
  }
  uint32_t flags(const std::string& path) {
    std::lock_guard lock(mutex_);
    return flags_.count(path) ? flags_.at(path) : 0;
  }
  uint32_t last(const std::string& path) {
    std::lock_guard lock(mutex_);
    return last_.count(path) ? last_.at(path) : 0;
  }
  // While closed, the callback waits: the stream reads nothing meanwhile.
  void gate(bool closed) {
    std::lock_guard lock(mutex_);
    gated_ = closed;
    changed_.notify_all();
  }
  bool waitEntered() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return entered_ > 0; });
  }
  void clear() {
    std::lock_guard lock(mutex_);
    flags_.clear();
    last_.clear();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, uint32_t> flags_;
  std::map<std::string, uint32_t> last_;
  int count_ = 0;
  int entered_ = 0;
  bool gated_ = false;
};

// Polls `done` (outside every lock of the collector) for at most 20 seconds.
bool eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

class FileEventStreamTest : public ::testing::Test {
 protected:
  // `limitLowered`: the caller holds the queue's limit lowered for this stream.
  std::unique_ptr<Stream> startStream(Stream::Options options = {}, bool limitLowered = false) {
    options.latency = std::chrono::milliseconds(20);
    auto stream = std::make_unique<Stream>(std::vector<std::string>{root()}, options, collector_.callback());
    std::optional<InotifyQueueKept> kept;
    if (!limitLowered) kept.emplace();
    EXPECT_TRUE(stream->start());
    return stream;
  }
  std::string root() const { return dir_.str(); }
  std::string at(const std::string& relative) const { return root() + "/" + relative; }

  TempDir dir_;
  Collector collector_;
};

TEST_F(FileEventStreamTest, FoldersAreWatchedAsTheyAppearWithWhatTheyAlreadyHold) {
  fs::create_directories(at("old/deep"));
  auto stream = startStream();
  EXPECT_EQ(stream->watchCount(), 3u);
  writeFile(at("old/deep/f"), "f");
  EXPECT_TRUE(collector_.waitForPath(at("old/deep/f"), Stream::kItemCreated | Stream::kItemIsFile));

  // Made and filled faster than a watch can be added to each level.
  fs::create_directories(at("new/a/b"));
  writeFile(at("new/a/b/g"), "g");
  EXPECT_TRUE(collector_.waitForPath(at("new"), Stream::kItemCreated | Stream::kItemIsDir));
  EXPECT_TRUE(collector_.waitForPath(at("new/a/b/g"), Stream::kItemCreated));
  EXPECT_TRUE(eventually([&] { return stream->watchCount() == 6u; }));
  writeFile(at("new/a/b/h"), "h");
  EXPECT_TRUE(collector_.waitForPath(at("new/a/b/h"), Stream::kItemCreated));

  fs::remove_all(at("new"));
  EXPECT_TRUE(collector_.waitForPath(at("new/a/b/h"), Stream::kItemRemoved));
  EXPECT_TRUE(eventually([&] { return stream->watchCount() == 3u; }));
}

TEST_F(FileEventStreamTest, RenamesReportBothPathsAndMovedFoldersKeepTheirWatches) {
  fs::create_directories(at("d1/sub"));
  writeFile(at("a"), "a");
  TempDir outside;
  auto stream = startStream();
  fs::rename(at("a"), at("b"));
  EXPECT_TRUE(collector_.waitForPath(at("a"), Stream::kItemRenamed | Stream::kItemIsFile));
  EXPECT_TRUE(collector_.waitForPath(at("b"), Stream::kItemRenamed | Stream::kItemIsFile));

  fs::rename(at("d1"), at("d2"));
  writeFile(at("d2/sub/x"), "x");
  EXPECT_TRUE(collector_.waitForPath(at("d2/sub/x"), Stream::kItemCreated));
  EXPECT_EQ(collector_.flags(at("d1/sub/x")), 0u);

  // Moved away: no longer watched. A file made here afterwards tells when all is through.
  fs::rename(at("d2"), outside / "d2");
  writeFile(outside / "d2" / "sub" / "y", "y");
  writeFile(at("sentinel"), "s");
  EXPECT_TRUE(collector_.waitForPath(at("sentinel")));
  EXPECT_TRUE(eventually([&] { return stream->watchCount() == 1u; }));
  EXPECT_EQ(collector_.flags(at("d2/sub/y")), 0u);
  EXPECT_NE(collector_.flags(at("d2")) & Stream::kItemRenamed, 0u);

  // Moved in: watched, with its content reported.
  writeFile(outside / "d3" / "z", "z");
  fs::rename(outside / "d3", at("d3"));
  EXPECT_TRUE(collector_.waitForPath(at("d3/z"), Stream::kItemCreated));
  writeFile(at("d3/w"), "w");
  EXPECT_TRUE(collector_.waitForPath(at("d3/w"), Stream::kItemCreated));
}

// A folder made and swapped with a file (RENAME_EXCHANGE) before its creation is read cannot be
// watched then; it is watched where the swap put it, and stays watched when swapped back. Two
// folders exchanged keep the watches of each right.
TEST_F(FileEventStreamTest, AFolderSwappedWithAFileBeforeItsWatchIsWatchedWhereItGoes) {
  writeFile(at("b1.bin"), "b");
  auto stream = startStream();
  const auto swap = [&](const std::string& a, const std::string& b) {
    return ::renameat2(AT_FDCWD, at(a).c_str(), AT_FDCWD, at(b).c_str(), RENAME_EXCHANGE) == 0;
  };
  // The folder `made` is made and swapped with `other` while the stream is held, before it reads the creation.
  const auto makeAndSwapUnread = [&](const std::string& made, const std::string& other) {
    collector_.gate(true);
    writeFile(at("held-" + made), "x");
    ASSERT_TRUE(collector_.waitEntered());
    fs::create_directory(at(made));
    ASSERT_TRUE(swap(other, made)) << std::strerror(errno);
    collector_.gate(false);
  };
  const auto heard = [&](const std::vector<std::string>& files) {
    for (const std::string& file : files) writeFile(at(file), file);
    for (const std::string& file : files) EXPECT_TRUE(collector_.waitForPath(at(file), Stream::kItemCreated)) << file;
  };
  makeAndSwapUnread("d3", "b1.bin");
  heard({"b1.bin/f7.txt"});
  ASSERT_TRUE(swap("d3", "b1.bin")) << std::strerror(errno);
  heard({"d3/r23.txt"});

  // Two folders exchanged, watched or one made a moment before: each is heard where it stands.
  fs::create_directory(at("live"));
  heard({"live/l.txt"});
  ASSERT_TRUE(swap("d3", "live")) << std::strerror(errno);
  heard({"d3/x.txt", "live/y.txt"});
  makeAndSwapUnread("next", "live");
  heard({"live/n.txt", "next/o.txt"});
}

// Ignored file names are dropped as they are read: a file written under such a name and
// renamed into place is reported at its place only. A folder of such a name is no file:
// it is reported and watched, and what is made in it too.
TEST_F(FileEventStreamTest, IgnoredFileNamesAreDroppedButFoldersOfThatNameAreWatched) {
  Stream::Options options;
  options.ignoredFileName = [](const std::string& name) { return name.starts_with(".tmp-"); };
  fs::create_directories(at("old"));
  writeFile(at("old/.tmp-before"), "b");
  auto stream = startStream(options);
  writeFile(at(".tmp-f"), "f");
  fs::rename(at(".tmp-f"), at("f"));
  EXPECT_TRUE(collector_.waitForPath(at("f"), Stream::kItemRenamed | Stream::kItemIsFile));
  fs::create_directories(at(".tmp-folder"));
  writeFile(at(".tmp-folder/inside"), "i");
  EXPECT_TRUE(collector_.waitForPath(at(".tmp-folder/inside")));
  EXPECT_NE(collector_.flags(at(".tmp-folder")) & Stream::kItemIsDir, 0u);
  // Moved in with an ignored file inside: only the rest of its content is reported.
  TempDir outside;
  writeFile(outside / "d" / ".tmp-x", "x");
  writeFile(outside / "d" / "y", "y");
  fs::rename(outside / "d", at("d"));
  EXPECT_TRUE(collector_.waitForPath(at("d/y"), Stream::kItemCreated));
  EXPECT_EQ(collector_.flags(at(".tmp-f")), 0u);
  EXPECT_EQ(collector_.flags(at("d/.tmp-x")), 0u);
}

TEST_F(FileEventStreamTest, AFileOpenForWritingIsReportedUntilClosed) {
  auto stream = startStream();
  const int fd = ::open(at("w").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "data", 4), 4);
  EXPECT_TRUE(collector_.waitForPath(at("w"), Stream::kItemWriting | Stream::kItemModified));
  ::close(fd);
  EXPECT_TRUE(eventually([&] {
    return (collector_.last(at("w")) & (Stream::kItemWriting | Stream::kItemModified)) == Stream::kItemModified;
  }));
}

TEST_F(FileEventStreamTest, EventsOfOnePathAreMergedAndRootChangesReported) {
  auto stream = std::make_unique<Stream>(
      std::vector<std::string>{root()},
      Stream::Options{std::chrono::milliseconds(300), std::chrono::seconds(60), 0, "merge", nullptr},
      collector_.callback());
  {
    const InotifyQueueKept kept;
    ASSERT_TRUE(stream->start());
  }
  writeFile(at("m"), "1");
  ::chmod(at("m").c_str(), 0600);
  EXPECT_TRUE(
      collector_.waitForPath(at("m"), Stream::kItemCreated | Stream::kItemModified | Stream::kItemInodeMetaMod));
  EXPECT_EQ(collector_.last(at("m")) & (Stream::kItemCreated | Stream::kItemInodeMetaMod),
            Stream::kItemCreated | Stream::kItemInodeMetaMod);
}

TEST_F(FileEventStreamTest, ARootMovedAwayAndPutBackIsWatchedAgain) {
  fs::create_directories(at("sub"));
  TempDir outside;
  const fs::path away = outside / "away";
  auto stream = startStream();
  // Moved away and a folder put back at its path, as a restore from a backup does.
  fs::rename(root(), away);
  fs::create_directories(at("restored"));
  EXPECT_TRUE(collector_.waitForPath(root(), Stream::kRootChanged | Stream::kMustScanSubDirs));
  writeFile(at("restored/new"), "n");
  EXPECT_TRUE(collector_.waitForPath(at("restored/new"), Stream::kItemCreated));
  // The old folder's events are not the root's any more.
  writeFile(away / "stray", "s");
  writeFile(away / "sub" / "stray", "s");
  writeFile(at("sentinel"), "s");
  EXPECT_TRUE(collector_.waitForPath(at("sentinel")));
  EXPECT_EQ(collector_.flags(at("stray")), 0u);
  EXPECT_EQ(collector_.flags(at("sub/stray")), 0u);
  EXPECT_TRUE(eventually([&] { return stream->watchCount() == 2u; }));

  // Deleted, and made again later: watched once it is there.
  collector_.clear();
  fs::remove_all(root());
  EXPECT_TRUE(collector_.waitForPath(root(), Stream::kRootChanged));
  EXPECT_EQ(stream->watchCount(), 0u);
  fs::create_directories(root());
  EXPECT_TRUE(collector_.waitForPath(root(), Stream::kMustScanSubDirs));
  writeFile(at("again"), "a");
  EXPECT_TRUE(collector_.waitForPath(at("again"), Stream::kItemCreated));
}

TEST_F(FileEventStreamTest, ARootWhoseDiskIsUnmountedIsReportedChanged) {
  if (::mount("tmpfs", root().c_str(), "tmpfs", 0, "size=1M") != 0) {
    GTEST_SKIP() << "no tmpfs can be mounted here: " << std::strerror(errno);
  }
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  };
  const Unmount unmount{root()};
  auto stream = startStream();
  writeFile(at("on disk"), "d");
  ASSERT_TRUE(collector_.waitForPath(at("on disk"), Stream::kItemCreated));
  collector_.clear();
  // The folder left behind is the empty mount point: its owner must look at it again.
  ASSERT_EQ(::umount(root().c_str()), 0) << std::strerror(errno);
  EXPECT_TRUE(collector_.waitForPath(root(), Stream::kRootChanged));
  writeFile(at("below"), "b");
  EXPECT_TRUE(collector_.waitForPath(at("below"), Stream::kItemCreated)) << "the mount point is watched";

  // A disk mounted there again, no event but the mount table's, is watched; unmounted while
  // another mount holds it, which ends no watch, it is reported all the same.
  TempDir holder;
  const Unmount unmountHolder{holder.str()};
  collector_.clear();
  ASSERT_EQ(::mount("tmpfs", root().c_str(), "tmpfs", 0, "size=1M"), 0) << std::strerror(errno);
  ASSERT_EQ(::mount(root().c_str(), holder.str().c_str(), nullptr, MS_BIND, nullptr), 0) << std::strerror(errno);
  EXPECT_TRUE(collector_.waitForPath(root(), Stream::kRootChanged | Stream::kMustScanSubDirs));
  writeFile(at("on disk again"), "d");
  EXPECT_TRUE(collector_.waitForPath(at("on disk again"), Stream::kItemCreated));
  collector_.clear();
  ASSERT_EQ(::umount(root().c_str()), 0) << std::strerror(errno);
  EXPECT_TRUE(collector_.waitForPath(root(), Stream::kRootChanged));
  writeFile(at("below again"), "b");
  EXPECT_TRUE(collector_.waitForPath(at("below again"), Stream::kItemCreated));
}

TEST_F(FileEventStreamTest, FoldersBeyondTheWatchLimitAreRescannedPeriodically) {
  fs::create_directories(at("a/deep/deeper"));
  Stream::Options options;
  options.watchLimit = 2;
  options.rescanInterval = std::chrono::milliseconds(100);
  auto stream = startStream(options);
  EXPECT_EQ(stream->watchCount(), 2u);
  // Only what is not watched is reported for a rescan, with everything below it.
  EXPECT_TRUE(collector_.waitForPath(at("a/deep"), Stream::kMustScanSubDirs));
  collector_.clear();
  EXPECT_TRUE(collector_.waitForPath(at("a/deep"), Stream::kMustScanSubDirs));
  EXPECT_EQ(collector_.flags(root()) & Stream::kMustScanSubDirs, 0u);
  EXPECT_EQ(collector_.flags(at("a/deep/deeper")), 0u);
  // A folder made later beyond the limit, and one moved: reported where they are now.
  fs::create_directories(at("late"));
  fs::rename(at("a/deep"), at("a/moved"));
  EXPECT_TRUE(collector_.waitForPath(at("late"), Stream::kMustScanSubDirs));
  collector_.clear();
  EXPECT_TRUE(collector_.waitForPath(at("a/moved"), Stream::kMustScanSubDirs));
  stream->stop();
  EXPECT_EQ(stream->watchCount(), 2u);
}

TEST(FileEventStreamBoundTest, AStreamTakesHalfOfTheUsersWatchesAtMost) {
  EXPECT_EQ(Stream::watchBoundFor(8192), 4096u);
  EXPECT_EQ(Stream::watchBoundFor(192530), 96265u);
  EXPECT_EQ(Stream::watchBoundFor(1048576), Stream::kMostWatches);
  EXPECT_GT(Stream::systemWatchBound(), 0u);
  EXPECT_LE(Stream::systemWatchBound(), Stream::kMostWatches);
}

TEST_F(FileEventStreamTest, QueueOverflowAsksForARescanAndWatchesNewFolders) {
  std::unique_ptr<Stream> stream;
  {
    InotifyQueueLimit limit(4);
    if (!limit.lowered()) GTEST_SKIP() << "lowering fs.inotify.max_queued_events needs root";
    stream = startStream({}, true);
  }
  // The stream's thread is held in its callback while the kernel queue fills up.
  collector_.gate(true);
  writeFile(at("first"), "x");
  ASSERT_TRUE(collector_.waitEntered());
  for (int i = 0; i < 50; ++i) writeFile(at("f" + std::to_string(i)), "x");
  fs::create_directories(at("late/deeper"));
  collector_.gate(false);
  EXPECT_TRUE(collector_.waitForPath(root(), Stream::kMustScanSubDirs | Stream::kKernelDropped));
  EXPECT_TRUE(eventually([&] { return stream->watchCount() == 3u; }));
  writeFile(at("late/deeper/after"), "a");
  EXPECT_TRUE(collector_.waitForPath(at("late/deeper/after")));
}

}  // namespace
}  // namespace velbor::test
