#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

#include <cerrno>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "LoopbackRouter.h"
#include "PullTestBase.h"
#include "core/daemon/sync/FileFetcher.h"
#include "core/daemon/sync/FolderClashWait.h"
#include "core/daemon/sync/FolderSpellingPairs.h"
#include "core/daemon/sync/InstallRetry.h"
#include "core/daemon/sync/SpellingClashes.h"
#include "core/daemon/sync/SyncEngine.h"
#include "core/daemon/sync/TmpFileOpening.h"
#include "core/daemon/sync/TokenPool.h"
#include "core/entity/DownloadJournal.h"
#include "core/entity/DownloadSync.h"
#include "core/entity/FileFetchEvent.h"
#include "core/entity/FileFlush.h"
#include "core/entity/QoFile.h"
#include "core/entity/RecordsRefused.h"
#include "core/entity/TmpFileName.h"
#include "core/entity/TmpFileStream.h"
#include "framework/network/ZMQContext.h"
#include "framework/network/ZMQMessage.h"
#include "framework/network/ZMQSocket.h"
#include "support/LoopbackListener.h"
#include "support/ZmtpTestPeer.h"

namespace velbor::test {
namespace {

namespace fs = std::filesystem;
constexpr int64_t kMiB = 0x100000;

// The test's stand-in for the Get server sees every request first.
ServedParts* served = nullptr;
// What the stand-in does with a request for (path, offset): answer it (nullopt), or reply
// with the given message (nullptr: no reply at all).
std::function<std::optional<QoMessage::Ptr>(const pb::MsgGetRequest&)> decide;
// Changes an answer the Get server made before it goes out.
std::function<void(pb::MsgGetResponse&)> alterAnswer;

QoMessage::Ptr servedGet(const QoRequest& request) {
  const auto body = request.bodyAs<pb::MsgGetRequest>();
  {
    std::lock_guard guard(served->lock);
    served->requests.emplace_back(body->path(), body->part().offset());
    served->maxInFlight = std::max(served->maxInFlight, static_cast<int>(served->requests.size()) - served->answered);
    served->changed.notify_all();
  }
  if (decide) {
    if (auto reply = decide(*body)) return *reply;
  }
  auto reply = QoWorker::handleGetRequest(request);
  if (alterAnswer && reply && reply->code() == pb::MsgCodeGetResponse)
    alterAnswer(*reply->pbBodyAs<pb::MsgGetResponse>());
  std::lock_guard guard(served->lock);
  ++served->answered;
  return reply;
}

// Passes the bytes of each connection accepted on `listener` to and from 127.0.0.1:`port`,
// one connection at a time, until destroyed. Until it exists, connections to the listener
// wait unaccepted: a peer that takes no request.
class LoopbackRelay {
 public:
  LoopbackRelay(int listener, uint16_t port) : listener_(listener), port_(port), thread_([this] { run(); }) {}
  ~LoopbackRelay() {
    stop_ = true;
    thread_.join();
  }

 private:
  void run() {
    while (!stop_) {
      pollfd waiting{listener_, POLLIN, 0};
      if (::poll(&waiting, 1, 50) <= 0) continue;
      const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      address.sin_port = htons(port_);
      if (server >= 0 && ::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        pump(client, server);
      }
      if (server >= 0) ::close(server);
      ::close(client);
    }
  }
  // Until either end closes.
  void pump(int one, int other) {
    std::vector<char> buffer(1 << 16);
    while (!stop_) {
      pollfd ends[2]{{one, POLLIN, 0}, {other, POLLIN, 0}};
      if (::poll(ends, 2, 50) <= 0) continue;
      for (int side = 0; side < 2; ++side) {
        if (ends[side].revents == 0) continue;
        const ssize_t got = ::read(ends[side].fd, buffer.data(), buffer.size());
        if (got <= 0) return;
        for (ssize_t sent = 0; sent < got;) {
          const ssize_t wrote = ::write(ends[1 - side].fd, buffer.data() + sent, static_cast<size_t>(got - sent));
          if (wrote <= 0) return;
          sent += wrote;
        }
      }
    }
  }

  int listener_;
  uint16_t port_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A peer's router that takes every request and holds it, answering only what `answer` gives
// a message for: called for each held request whenever one more comes in on its connection,
// with the number that came in on that connection so far. Counts per connection the
// requests held unanswered.
class HoldingPeer {
 public:
  using Answer = std::function<QoMessage::Ptr(const pb::MsgGetRequest& held, int received)>;
  explicit HoldingPeer(Answer answer = nullptr) : answer_(std::move(answer)), local_(QoDevice::getDeviceLocal()) {}
  const std::string& uri() const { return router_.uri(); }
  // Waits (bounded) until `count` requests came in over all connections.
  bool waitForRequests(int count) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, std::chrono::seconds(20), [&] { return received_ >= count; });
  }
  // The most requests held unanswered at once on one connection.
  int mostHeld() {
    std::lock_guard guard(lock_);
    return mostHeld_;
  }

 private:
  void serve(const std::string& connection, ZMQMessage& frames) {
    const auto request = QoMessage::initWithRecvZMQMessage(frames)->pbBodyAs<pb::MsgGetRequest>();
    std::lock_guard guard(lock_);
    ++received_;
    auto& held = held_[connection];
    held.push_back(request);
    const int received = ++receivedOn_[connection];
    mostHeld_ = std::max(mostHeld_, static_cast<int>(held.size()));
    for (auto waiting = held.begin(); answer_ && waiting != held.end();) {
      const QoMessage::Ptr reply = answer_(**waiting, received);
      if (!reply) {
        ++waiting;
        continue;
      }
      if (reply->code() != pb::MsgCodeError) {
        // Signed as the device asked, as its router would.
        reply->setLevel(QoMessage::kLevelAuth);
        reply->setSrcDevice(local_);
        reply->setDestDevice(local_);
      }
      router_.reply(connection, reply);
      waiting = held.erase(waiting);
    }
    changed_.notify_all();
  }

  Answer answer_;
  QoDevice::Ptr local_;
  std::mutex lock_;
  std::condition_variable changed_;
  int received_ = 0;
  int mostHeld_ = 0;
  std::map<std::string, std::vector<std::shared_ptr<pb::MsgGetRequest>>> held_;
  std::map<std::string, int> receivedOn_;
  LoopbackRouter router_{[this](const std::string& connection, ZMQMessage& frames) { serve(connection, frames); }};
};

class FileFetcherTest : public PullTestBase {
 protected:
  void SetUp() override {
    PullTestBase::SetUp();
    served = &parts_;
    decide = nullptr;
    alterAnswer = nullptr;
  }
  void TearDown() override {
    parts_.release();
    PullTestBase::TearDown();
    decide = nullptr;
    alterAnswer = nullptr;
    served = nullptr;
  }

  std::unique_ptr<FileFetcher> connectedFetcher() {
    auto fetcher = std::make_unique<FileFetcher>(copyB_->uuid(), context_);
    fetcher->connectToDevice(local_);
    return fetcher;
  }
  // A fetcher of a device answering at `uri` (this device's record, pointed there).
  std::unique_ptr<FileFetcher> fetcherAt(const std::string& uri) {
    auto device = QoDevice::getDeviceLocal();
    device->setRouteUri(uri);
    auto fetcher = std::make_unique<FileFetcher>(copyB_->uuid(), context_);
    fetcher->connectToDevice(device);
    return fetcher;
  }
  // One fetcher takes `records` in one batch and is disconnected.
  std::unique_ptr<FileFetcher> fetchedOnce(const QoWorkerSync::RelationList& records) {
    auto fetcher = connectedFetcher();
    fetcher->fetchData(records, pairing_);
    fetcher->disconncet();
    return fetcher;
  }
  std::vector<int64_t> offsetsOf(const std::string& relative) {
    std::lock_guard guard(parts_.lock);
    std::vector<int64_t> offsets;
    for (const auto& [path, offset] : parts_.requests) {
      if (path == "/" + relative) offsets.push_back(offset);
    }
    return offsets;
  }
  // Answers requests for `relative` only once the parts are released.
  void holdAnswersTo(const std::string& relative) {
    decide = [this, path = "/" + relative](const pb::MsgGetRequest& request) -> std::optional<QoMessage::Ptr> {
      if (request.path() != path) return std::nullopt;
      std::unique_lock guard(parts_.lock);
      parts_.waitFor(guard, [&] { return parts_.released; });
      return std::nullopt;
    };
  }
  // No download left behind, and every token back in the pool.
  void expectNothingLeft(FileFetcher& fetcher) {
    EXPECT_TRUE(temporaries().empty());
    EXPECT_EQ(fetcher.tokenPool().freeSize(), TokenPool::kCapacity);
  }
  void expectSame(const std::string& relative) {
    EXPECT_TRUE(fs::exists(inA(relative)) && readFile(inA(relative)) == readFile(inB(relative))) << relative;
  }

  // Counts the flushes of each file by its name then; those of names containing `failing` fail.
  FileFlush::ScopedOverride countFlushes(const std::string& failing = "\n") {
    return FileFlush::ScopedOverride([this, failing](int fd) {
      const std::string name = fs::read_symlink("/proc/self/fd/" + std::to_string(fd)).filename().string();
      {
        std::lock_guard guard(flushLock_);
        ++flushes_[name];
      }
      if (name.find(failing) != std::string::npos) {
        errno = EIO;
        return -1;
      }
      return ::fsync(fd);
    });
  }
  std::map<std::string, int> flushes() {
    std::lock_guard guard(flushLock_);
    return flushes_;
  }

  std::mutex flushLock_;
  std::map<std::string, int> flushes_;
  ServedParts parts_;
  QoHandlerTable::ScopedOverride override_{"GetRequest", &servedGet};
  std::shared_ptr<ZMQContext> context_ = std::make_shared<ZMQContext>(1);
};

TEST(TokenPoolTest, GrantsWholePartsThenTheRestAboveTheSmallest) {
  TokenPool pool;
  EXPECT_EQ(pool.allocToken(3 * kMiB), kMiB);
  for (int i = 0; i < 14; ++i) EXPECT_EQ(pool.allocToken(kMiB), kMiB);
  EXPECT_EQ(pool.allocToken(kMiB - 20000), kMiB - 20000);  // free: 20000 left
  EXPECT_EQ(pool.allocToken(kMiB), 20000);
  EXPECT_EQ(pool.relaseToken(16384), 16384);
  EXPECT_EQ(pool.allocToken(kMiB), 0);
  EXPECT_EQ(pool.allocToken(100), 100);
  EXPECT_THROW(pool.allocToken(0), Exception);
  EXPECT_THROW(pool.relaseToken(TokenPool::kCapacity), Exception);
}

TEST_F(FileFetcherTest, FilesArriveInPartsWithinTheWindowAndLeftoversAreApplied) {
  // The large file's requests wait until sixteen are in: a window of sixteen parts, never more.
  startPeer(18);
  writeB("big.bin", pattern(40 * kMiB + 123, 'a'));
  writeB("two and a half.bin", pattern(5 * kMiB / 2, 'b'), 0600, 1500000000500);
  writeB("empty", "");
  fs::create_directories(inB("folder/inner"));
  writeB("gone.txt", "gone");
  recordB();
  fs::remove(inB("gone.txt"));
  recordB();
  decide = [&](const pb::MsgGetRequest& request) -> std::optional<QoMessage::Ptr> {
    std::unique_lock guard(parts_.lock);
    if (request.path() == "/big.bin") {
      parts_.waitFor(guard, [&] { return parts_.requests.size() >= 3 + 16 || parts_.released; });
    }
    return std::nullopt;
  };

  auto records = recordsToFetch();
  ASSERT_EQ(records.size(), 6u);
  auto fetcher = connectedFetcher();
  // Alone in its batch: three parts at once, 1 MiB, 1 MiB and the half.
  const auto twoAndAHalf = recordOf(records, "two and a half.bin");
  fetcher->fetchData({twoAndAHalf}, pairing_);
  std::erase(records, twoAndAHalf);
  fetcher->fetchData(records, pairing_);
  fetcher->disconncet();

  EXPECT_EQ(parts_.maxInFlight, 16);
  expectSame("big.bin");
  expectSame("two and a half.bin");
  auto partsOfTwoAndAHalf = offsetsOf("two and a half.bin");
  std::sort(partsOfTwoAndAHalf.begin(), partsOfTwoAndAHalf.end());
  EXPECT_EQ(partsOfTwoAndAHalf, (std::vector<int64_t>{0, kMiB, 2 * kMiB}));
  EXPECT_EQ(offsetsOf("big.bin").size(), 41u);
  EXPECT_EQ(modeOf(inA("two and a half.bin")), 0600);
  EXPECT_EQ(QoFile::getFileModifyTimeAtPath(inA("two and a half.bin")), 1500000000500);
  EXPECT_TRUE(fs::is_regular_file(inA("empty")) && fs::file_size(inA("empty")) == 0);
  EXPECT_TRUE(fs::is_directory(inA("folder/inner")));
  EXPECT_FALSE(fs::exists(inA("gone.txt")));
  EXPECT_TRUE(offsetsOf("empty").empty());
  EXPECT_EQ(failedUsn(), 0);
  expectNothingLeft(*fetcher);
}

TEST(InstallRetryTest, AVersionThatFailsAgainWaitsLongerEachTimeAndAnotherVersionNever) {
  InstallRetry retry;
  const auto start = InstallRetry::Clock::time_point() + std::chrono::hours(1);
  const std::string key = "version and local state";
  EXPECT_TRUE(retry.mayFetch(key, start));
  retry.failed(key, start);
  EXPECT_TRUE(retry.mayFetch(key, start)) << "the next pass tries once more";
  auto now = start;
  auto wait = InstallRetry::kFirstWait;
  for (int failure = 2; failure < 10; ++failure) {
    retry.failed(key, now);
    EXPECT_FALSE(retry.mayFetch(key, now + wait - std::chrono::seconds(1)));
    EXPECT_TRUE(retry.mayFetch(key, now + wait));
    EXPECT_TRUE(retry.mayFetch("another version, or a changed local state", now));
    now += wait;
    wait = std::min(wait * 2, std::chrono::seconds(InstallRetry::kLongestWait));
  }
  retry.installed(key);
  EXPECT_TRUE(retry.mayFetch(key, now));
}

TEST(FolderClashWaitTest, AFolderRefusedAgainWaitsLongerEachTimeAndAnotherVersionNever) {
  FolderClashWait clashes;
  auto now = FolderClashWait::Clock::time_point() + std::chrono::hours(1);
  const std::string key = "folder version";
  EXPECT_FALSE(clashes.waiting(key, now));
  auto wait = std::chrono::duration_cast<FolderClashWait::Clock::duration>(FolderClashWait::kFirstWait);
  for (int refusal = 1; refusal < 10; ++refusal) {
    EXPECT_EQ(clashes.refused(key, now), wait);
    EXPECT_TRUE(clashes.waiting(key, now + wait - std::chrono::seconds(1)));
    EXPECT_FALSE(clashes.waiting(key, now + wait));
    EXPECT_FALSE(clashes.waiting("another version", now));
    now += wait;
    wait = std::min<FolderClashWait::Clock::duration>(wait * 2, FolderClashWait::kLongestWait);
  }
  clashes.refused(key, now);
  clashes.made(key);
  EXPECT_FALSE(clashes.waiting(key, now));
}

// A refusal for a clash of spelling persists only once a pass of the pairing that made it went
// through every page (where a case-only rename's removal of the old spelling comes).
// A removed folder and a made one pair up whichever page brings each, and only as spellings
// of one another.
TEST(FolderSpellingPairsTest, FoldersPairUpAcrossPagesOnlyAsSpellingsOfOneAnother) {
  FolderSpellingPairs pairs;
  pairs.made("/c/Album");
  pairs.removed("/c/Photos");
  pairs.removed("/c/album");
  pairs.made("/c/photos2");
  pairs.removed("/c/Фото");
  pairs.made("/c/фото");
  EXPECT_EQ(pairs.oldSpellings(), (std::set<std::string>{"/c/album", "/c/Фото"}));
  EXPECT_EQ(pairs.newSpellings(), (std::set<std::string>{"/c/Album", "/c/фото"}));
}

TEST(SpellingClashesTest, ARefusalPersistsOnceAPassOfItsPairingWentThroughEveryPage) {
  SpellingClashes clashes;
  clashes.passCompleted("here/a");
  clashes.refused("here/a", "file version");
  clashes.passCompleted("here/b");
  clashes.refused("here/b", "file version");
  EXPECT_FALSE(clashes.persisted("file version")) << "the pass that refused it is not over";
  clashes.passCompleted("here/a");
  EXPECT_TRUE(clashes.persisted("file version"));
  EXPECT_FALSE(clashes.persisted("another version"));
  clashes.installed("file version");
  EXPECT_FALSE(clashes.persisted("file version"));
}

// A download that arrives whole and is refused by its install every time (here a file of the
// same name made on this side and never recorded) is not fetched again on every pass, and its
// pairing is pulled again when its wait is over.
TEST_F(FileFetcherTest, AFileThatKeepsFailingToInstallIsNotDownloadedOnEveryPass) {
  InstallRetry::shared().clear();
  std::mutex lock;
  std::condition_variable pulled;
  std::vector<std::string> pulls;
  SyncEngine::ScopedOverride recordPulls([&](const std::string& local, const std::string& remote) {
    std::lock_guard guard(lock);
    pulls.push_back(local + " from " + remote);
    pulled.notify_all();
    return SyncEngine::Pull::kDone;
  });
  startPeer(1);
  writeB("a.txt", "theirs");
  writeB("b.txt", "arrives");
  // Nor one whose temporary download cannot be made: its folder is a file here.
  writeB("d/c.txt", "no folder for it");
  recordB();
  fs::create_directories(rootA_);
  std::ofstream(inA("a.txt")) << "made here, not yet recorded";
  std::ofstream(inA("d")) << "a file here";

  for (int pass = 0; pass < 4; ++pass) {
    const auto fetcher = fetchedOnce(recordsToFetch());
    EXPECT_EQ(failedUsn(), usnInB("a.txt")) << "fetched again, later";
    expectNothingLeft(*fetcher);
  }
  EXPECT_EQ(offsetsOf("a.txt").size(), 2u) << "downloaded once more after the first failure, then not for a while";
  // Once the file in its folder's place is gone and the folder made (a file and a folder
  // swapped, another name's file gone from a disk that ignores case), at once.
  fs::remove(inA("d"));
  fs::create_directory(inA("d"));
  fetchedOnce(recordsToFetch());
  expectSame("d/c.txt");
  EXPECT_EQ(readFile(inA("a.txt")), "made here, not yet recorded");
  expectSame("b.txt");

  // Another version is fetched at once, and so is the same one once the local file changed.
  writeB("a.txt", "theirs, edited");
  recordB();
  for (const std::string change : {"", "moved aside"}) {
    if (!change.empty()) fs::rename(inA("a.txt"), inA("a.txt.aside"));
    fetchedOnce(recordsToFetch());
  }
  EXPECT_EQ(offsetsOf("a.txt").size(), 4u);
  EXPECT_EQ(readFile(inA("a.txt")), "theirs, edited");
  // No change notice asks for the file that waited: the pull once its wait is over does.
  std::unique_lock guard(lock);
  EXPECT_TRUE(
      pulled.wait_for(guard, InstallRetry::kFirstWait + std::chrono::seconds(60), [&] { return !pulls.empty(); }));
  if (!pulls.empty()) {
    EXPECT_EQ(pulls.front(), copyA_->uuid() + " from " + copyB_->uuid());
  }
  guard.unlock();
  InstallRetry::shared().clear();
}

TEST_F(FileFetcherTest, GetErrorMidFileFailsThatFileAndAsksNothingMoreForIt) {
  startPeer(1);  // answers in request order
  writeB("a.bin", pattern(20 * kMiB, 'x'));
  writeB("b.txt", "after the failed file");
  recordB();
  decide = [&](const pb::MsgGetRequest& request) -> std::optional<QoMessage::Ptr> {
    if (request.path() == "/a.bin" && request.part().offset() == kMiB) return getError(request, pb::ErrorCodeBadPart);
    return std::nullopt;
  };

  auto records = recordsToFetch();
  auto fetcher = connectedFetcher();
  fetcher->fetchData(records, pairing_);

  // Parts 0-15 went out at once, part 16 for the answer to part 0; none after the error.
  const auto offsets = offsetsOf("a.bin");
  EXPECT_EQ(*std::max_element(offsets.begin(), offsets.end()), 16 * kMiB);
  EXPECT_FALSE(fs::exists(inA("a.bin")));
  expectSame("b.txt");
  EXPECT_EQ(failedUsn(), usnInB("a.bin"));
  expectNothingLeft(*fetcher);
}

TEST_F(FileFetcherTest, AnswersWaitingWhileFlushesLagAreNeverDropped) {
  // Announced batches of files: while the disk holds their flushes back, the fetcher stops
  // reading, and the answers to what it asked wait on the way; the peer's router keeps only
  // so many per connection and drops the rest. The first two batches are answered at once,
  // more files than the fetcher flushes at once, so that it stops reading; the answers to
  // what it asks then come only once it asks nothing more. The files are as large as they
  // can be with the count of parts outstanding, not their bytes, holding the fetcher back:
  // the most bytes on the way, so that the fewest answers fit beside the router's queue.
  startPeer(3);
  constexpr int kBatch = 40;
  constexpr int kEarly = 2 * kBatch;
  constexpr int kWindow = FileFetcher::kMaxOutstandingParts;
  constexpr int kFiles = (kEarly + 2 * kWindow + kBatch - 1) / kBatch * kBatch;
  constexpr size_t kFileBytes = TokenPool::kCapacity / kWindow;
  for (int i = 0; i < kFiles; ++i)
    writeB("f" + std::to_string(i), pattern(kFileBytes, static_cast<char>('a' + i % 26)));
  recordB();
  auto records = recordsToFetch();
  ASSERT_EQ(records.size(), static_cast<size_t>(kFiles));
  std::set<std::string> early;
  for (int i = 0; i < kEarly; ++i) early.insert(records[i]->getRelativeFilePath());
  decide = [this, early](const pb::MsgGetRequest& request) -> std::optional<QoMessage::Ptr> {
    if (early.contains(request.path())) return std::nullopt;
    std::unique_lock guard(parts_.lock);
    parts_.waitFor(guard, [&] { return parts_.released; });
    return std::nullopt;
  };
  std::mutex lock;
  std::condition_variable changed;
  bool diskBack = false;
  FileFlush::ScopedOverride slowDisk([&](int fd) {
    std::unique_lock guard(lock);
    changed.wait(guard, [&] { return diskBack; });
    return ::fsync(fd);
  });
  std::thread disk([&] {
    // Each phase lasts until the peer has answered every file, or nothing more for a while.
    const auto untilStill = [&](const int& count, std::chrono::milliseconds still) {
      std::unique_lock guard(parts_.lock);
      int seen = -1;
      while (count != seen && count < kFiles) {
        seen = count;
        parts_.changed.wait_for(guard, still, [&] { return count >= kFiles; });
      }
    };
    // The early files are answered, the rest held: what the fetcher asks meanwhile is let go.
    untilStill(parts_.answered, std::chrono::milliseconds(500));
    parts_.release();
    // Until the peer has answered everything asked, or stays idle, the disk is stuck.
    untilStill(parts_.answered, std::chrono::seconds(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::lock_guard guard(lock);
    diskBack = true;
    changed.notify_all();
  });

  auto fetcher = connectedFetcher();
  // Generous: the peer and the disk stay still on purpose for a few seconds.
  fetcher->setAnswerTimeoutMs(20000);
  for (size_t start = 0; start < records.size(); start += kBatch) {
    const QoWorkerSync::RelationList batch(records.begin() + start, records.begin() + start + kBatch);
    const QoWorkerSync::RelationList next(records.begin() + start + kBatch, records.end());
    fetcher->fetchData(batch, pairing_, next);
  }
  fetcher->disconncet();
  disk.join();

  EXPECT_EQ(failedUsn(), 0);
  for (int i = 0; i < kFiles; ++i) expectSame("f" + std::to_string(i));
  expectNothingLeft(*fetcher);
}

TEST_F(FileFetcherTest, PeerThatStopsAnsweringFailsEveryUnfinishedRecordAndLeavesNoTemporary) {
  startPeer(1);
  writeB("1-small.txt", "small");
  writeB("2-large.bin", pattern(17 * kMiB, 'l'));  // fills the window: the next is never reached
  writeB("3-after.txt", "never reached");
  recordB();
  decide = [&](const pb::MsgGetRequest& request) -> std::optional<QoMessage::Ptr> {
    if (request.path() != "/2-large.bin" || request.part().offset() == 0) return std::nullopt;
    std::unique_lock guard(parts_.lock);
    parts_.waitFor(guard, [&] { return parts_.released; });
    return QoMessage::Ptr();  // no reply
  };
  auto records = recordsToFetch();
  // The never-reached record has the lowest peer usn, so the mark shows it was counted.
  recordOf(records, "3-after.txt")->file()->setUsn(1);
  std::thread peerDies([&] {
    std::unique_lock guard(parts_.lock);
    parts_.waitFor(guard, [&] { return parts_.requests.size() >= 2; });
    guard.unlock();
    parts_.release();
    router_.stop();
  });
  auto fetcher = connectedFetcher();
  fetcher->setAnswerTimeoutMs(300);
  EXPECT_NO_THROW(fetcher->fetchData(records, pairing_));
  peerDies.join();
  EXPECT_TRUE(fetcher->peerSilent()) << "the pull asks it nothing more";

  // The small file's answer may or may not have left the peer before it went.
  if (fs::exists(inA("1-small.txt"))) expectSame("1-small.txt");
  EXPECT_FALSE(fs::exists(inA("2-large.bin")));
  EXPECT_FALSE(fs::exists(inA("3-after.txt")));
  EXPECT_EQ(failedUsn(), 1);
  EXPECT_TRUE(temporaries().empty());
}

TEST_F(FileFetcherTest, AnswerOfAnotherLengthThanItsPartFailsThatFileOnly) {
  startPeer(1);  // answers in request order
  writeB("a.bin", pattern(20 * kMiB, 'x'));
  writeB("b.txt", "after the failed files");
  writeB("c.bin", pattern(kMiB + 100, 'c'));
  recordB();
  alterAnswer = [&](pb::MsgGetResponse& answer) {
    if (answer.part().offset() != 0) return;
    // One byte short.
    if (answer.path() == "/a.bin") answer.mutable_part_data()->pop_back();
    // Runs into the next part, with the right bytes even: still not what was asked.
    if (answer.path() == "/c.bin") *answer.mutable_part_data() = readFile(inB("c.bin"));
  };
  auto records = recordsToFetch();
  auto fetcher = connectedFetcher();
  fetcher->fetchData(records, pairing_);

  // The first window went out at once; nothing more was asked for the file after its bad answer.
  const auto offsets = offsetsOf("a.bin");
  EXPECT_EQ(*std::max_element(offsets.begin(), offsets.end()), 15 * kMiB);
  EXPECT_FALSE(fs::exists(inA("a.bin")));
  EXPECT_FALSE(fs::exists(inA("c.bin")));
  expectSame("b.txt");
  EXPECT_EQ(failedUsn(), std::min(usnInB("a.bin"), usnInB("c.bin")));
  expectNothingLeft(*fetcher);
}

// Large parts are written on the crypto pool, small ones on the pull's thread: a write that
// fails either way (here: files may not grow beyond a size) fails that file and nothing else.
TEST_F(FileFetcherTest, APartThatCannotBeWrittenFailsThatFileOnly) {
  startPeer(2);
  constexpr rlim_t kLimit = 2 * kMiB + 4096;
  writeB("a-large.bin", pattern(3 * kMiB + 100, 'a'));  // its third part crosses the limit
  writeB("b-small.txt", "fits");
  writeB("c-tail.bin", pattern(2 * kMiB + 30000, 'c'));  // its last part, small, crosses it too
  writeB("d-under.bin", pattern(kMiB + 70000, 'd'));
  recordB();
  auto records = recordsToFetch();
  auto fetcher = connectedFetcher();

  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto savedHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limited = saved;
  limited.rlim_cur = kLimit;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  fetcher->fetchData(records, pairing_);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, savedHandler);
  fetcher->disconncet();

  EXPECT_FALSE(fs::exists(inA("a-large.bin")));
  EXPECT_FALSE(fs::exists(inA("c-tail.bin")));
  expectSame("b-small.txt");
  expectSame("d-under.bin");
  EXPECT_EQ(failedUsn(), std::min(usnInB("a-large.bin"), usnInB("c-tail.bin")));
  expectNothingLeft(*fetcher);
}

// A download the journal cannot note (its disk full) stops the pull for the records as a whole:
// once there is room again the file is fetched at once, not after a wait of its own.
TEST_F(FileFetcherTest, ADownloadTheJournalCannotNoteDoesNotWaitForItself) {
  InstallRetry::shared().clear();
  startPeer();
  writeB("a.txt", "noted once there is room");
  recordB();
  const fs::path journal = fs::path(rootA_).parent_path() / "downloads.journal";
  DownloadJournal::shared().open(journal.string());
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto savedHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limited = saved;
  limited.rlim_cur = fs::file_size(journal) + 10;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  for (int pass = 0; pass < 2; ++pass) {
    auto fetcher = connectedFetcher();
    EXPECT_THROW(fetcher->fetchData(recordsToFetch(), pairing_), RecordsRefused);
    fetcher->disconncet();
  }
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, savedHandler);
  EXPECT_FALSE(fs::exists(inA("a.txt")));
  fetchedOnce(recordsToFetch());
  DownloadJournal::shared().close();
  expectSame("a.txt");
}

// Temporary downloads are created on the crypto pool, with their first part's request.
TEST_F(FileFetcherTest, TemporaryDownloadsAreCreatedOnlyInsideTheCopyAndNeverLeftBehind) {
  const fs::path elsewhere = fs::path(rootA_).parent_path() / "elsewhere";
  fs::create_directories(elsewhere);
  {
    // Taken by its transfer, it stays; dropped untaken (the transfer gave up), it goes.
    TmpFileOpening taken(1, rootA_, std::make_shared<const TmpFileName>(inA("taken")));
    taken.run();
    EXPECT_NE(taken.take(), nullptr);
    auto name = std::make_shared<const TmpFileName>(inA("dropped"));
    TmpFileOpening dropped(2, rootA_, name);
    // The transfer lets its name go while the opening still runs: the name stays taken
    // until the opening is gone, so another transfer of the file never gets it meanwhile.
    name.reset();
    dropped.run();
    EXPECT_TRUE(fs::exists(inA(".dropped.Velbor.Download")));
    EXPECT_NE(TmpFileName(inA("dropped")).path(), inA(".dropped.Velbor.Download"));
  }
  EXPECT_TRUE(fs::exists(inA(".taken.Velbor.Download")));
  EXPECT_FALSE(fs::exists(inA(".dropped.Velbor.Download")));
  EXPECT_EQ(TmpFileName(inA("dropped")).path(), inA(".dropped.Velbor.Download"));
  fs::remove(inA(".taken.Velbor.Download"));

  // A file whose folder here became a link is neither created through it nor asked for,
  // not even its later parts, whose requests are made along with the first.
  startPeer(2);
  writeB("sub/linked.txt", "through the link");
  writeB("sub/parts.bin", pattern(3 * kMiB, 'p'));
  writeB("plain.txt", "plain");
  recordB();
  auto records = recordsToFetch();
  fs::create_directory_symlink(elsewhere, inA("sub"));
  const auto fetcher = fetchedOnce(records);

  expectSame("plain.txt");
  EXPECT_TRUE(fs::is_empty(elsewhere));
  EXPECT_TRUE(offsetsOf("sub/linked.txt").empty());
  EXPECT_TRUE(offsetsOf("sub/parts.bin").empty());
  EXPECT_EQ(failedUsn(), std::min(usnInB("sub/linked.txt"), usnInB("sub/parts.bin")));
  expectNothingLeft(*fetcher);
}

// A window of parts whose files cannot be created here is given back with their openings;
// the records behind it are reached all the same, with nothing to download or with parts.
TEST_F(FileFetcherTest, RecordsBehindAWindowOfFilesThatCannotBeCreatedAreStillFetched) {
  const fs::path elsewhere = fs::path(rootA_).parent_path() / "elsewhere";
  fs::create_directories(elsewhere);
  startPeer(2);
  constexpr int kBlocked = FileFetcher::kMaxOutstandingParts + 8;
  for (int i = 0; i < kBlocked; ++i) writeB("sub/" + std::to_string(100 + i), "through the link");
  writeB("t-empty", "");
  fs::create_directories(inB("u-folder"));
  writeB("v-small.txt", "after the blocked files");
  recordB();
  auto records = recordsToFetch();
  std::erase(records, recordOf(records, "sub"));
  ASSERT_EQ(records.size(), static_cast<size_t>(kBlocked + 3));
  ASSERT_EQ(records.back(), recordOf(records, "v-small.txt"));
  fs::create_directory_symlink(elsewhere, inA("sub"));
  auto fetcher = connectedFetcher();
  fetcher->setAnswerTimeoutMs(20000);
  fetcher->fetchData(records, pairing_);
  EXPECT_FALSE(fetcher->peerSilent()) << "records failed here, the peer answered";
  fetcher->disconncet();

  EXPECT_TRUE(fs::is_empty(elsewhere));
  EXPECT_TRUE(fs::exists(inA("t-empty")) && fs::file_size(inA("t-empty")) == 0);
  EXPECT_TRUE(fs::is_directory(inA("u-folder")));
  expectSame("v-small.txt");
  int64_t lowest = INT64_MAX;
  for (int i = 0; i < kBlocked; ++i) lowest = std::min(lowest, usnInB("sub/" + std::to_string(100 + i)));
  EXPECT_EQ(failedUsn(), lowest);
  expectNothingLeft(*fetcher);
}

TEST_F(FileFetcherTest, PeerThatTakesNoMoreRequestsEndsTheBatchAndTheNextGoesOutOnANewSocket) {
  startPeer(2);
  // More requests at once than a socket queues for a peer that does not take them.
  constexpr int kFiles = 1200;
  for (int i = 0; i < kFiles; ++i) writeB("many/" + std::to_string(10000 + i), "x");
  writeB("next.txt", "on the new socket");
  recordB();
  auto records = recordsToFetch();
  const auto next = recordOf(records, "next.txt");
  std::erase(records, next);
  std::erase(records, recordOf(records, "many"));
  fs::create_directories(inA("many"));
  ASSERT_EQ(records.size(), static_cast<size_t>(kFiles));
  // The last record is never asked for; its usn is the lowest, so the mark shows it counted.
  records.back()->file()->setUsn(1);

  uint16_t port = 0;
  const int listener = listenOnLoopback(port);
  auto fetcher = fetcherAt("tcp://127.0.0.1:" + std::to_string(port));
  fetcher->setAnswerTimeoutMs(300);
  EXPECT_NO_THROW(fetcher->fetchData(records, pairing_));
  EXPECT_FALSE(fs::exists(inA("many/10000")));
  EXPECT_FALSE(fs::exists(inA("many/" + std::to_string(10000 + kFiles - 1))));
  EXPECT_EQ(failedUsn(), 1);
  expectNothingLeft(*fetcher);

  {
    // The peer takes requests again: the next batch arrives, and none of the requests the
    // old socket still held reach it.
    LoopbackRelay relay(listener, portOf(router_.frontendEndpoint()));
    fetcher->setAnswerTimeoutMs(20000);
    ASSERT_NO_THROW(fetcher->fetchData({next}, pairing_));
    fetcher->disconncet();
  }
  ::close(listener);
  expectSame("next.txt");
  {
    std::lock_guard guard(parts_.lock);
    EXPECT_EQ(parts_.requests, (std::vector<std::pair<std::string, int64_t>>{{"/next.txt", 0}}));
  }
  EXPECT_TRUE(temporaries().empty());
}

// An answer beyond one part and its envelope (one large frame, or empty frames without end,
// each of which would cost ZeroMQ 30 times its bytes) costs the host its connection as soon
// as it shows, before the device holds it; the file fails and the fetcher goes on at once.
TEST_F(FileFetcherTest, AnAnswerBeyondOnePartCutsItsConnection) {
  startPeer(1);
  writeB("large.bin", pattern(2 * kMiB, 'l'));
  writeB("endless.bin", "e");
  recordB();
  const auto records = recordsToFetch();
  const std::string empties = ZmtpTestPeer::endlessEmptyFrames();
  const std::pair<std::string, std::function<void(ZmtpTestPeer&)>> cases[] = {
      {"large.bin",
       [](ZmtpTestPeer& peer) {
         peer.sendFrame("", true);
         peer.sendFrame(std::string(FileFetcher::kMaxAnswerBytes + 1, 'a'), false);
       }},
      {"endless.bin",
       [&](ZmtpTestPeer& peer) {
         peer.sendFrame("", true);
         for (int i = 0; i < 64 && peer.sendBytes(empties); ++i) {
         }
       }},
  };
  for (const auto& [name, answer] : cases) {
    SCOPED_TRACE(name);
    uint16_t port = 0;
    const int listener = listenOnLoopback(port);
    std::atomic<bool> closed{false};
    std::thread host([&, answer = answer] {
      auto peer = ZmtpTestPeer::accept(listener, std::chrono::seconds(20));
      if (!peer || !peer->handshake("ROUTER", std::chrono::seconds(20))) return;
      do {
        if (!peer->receiveFrame(std::chrono::seconds(20))) return;
      } while (peer->lastMore());
      answer(*peer);
      closed = peer->closedWithin(std::chrono::seconds(20));
    });
    auto fetcher = fetcherAt("tcp://127.0.0.1:" + std::to_string(port));
    // Longer than the host waits: only the cut ends the batch in time.
    fetcher->setAnswerTimeoutMs(60000);
    EXPECT_NO_THROW(fetcher->fetchData({recordOf(records, name)}, pairing_));
    host.join();
    EXPECT_TRUE(closed.load());
    EXPECT_FALSE(fs::exists(inA(name)));
    expectNothingLeft(*fetcher);
    fetcher->disconncet();
    ::close(listener);
  }
}

// The peer's router keeps only so many replies for a connection that is not read, and
// drops the rest: answers still to come to parts a fetcher no longer counts (its batch
// timed out, was given up, or ended by an error reply) must not share a connection with a
// whole window of new requests.
TEST_F(FileFetcherTest, AnswersStillToComeNeverShareAConnectionWithAWholeNewWindow) {
  startPeer(1);
  constexpr int kWindow = FileFetcher::kMaxOutstandingParts;
  // Batches no smaller than a window, so that two batches fill two windows.
  constexpr size_t kBatch = std::max(40, kWindow);
  for (size_t i = 0; i < 3 * kBatch; ++i) writeB("f/" + std::to_string(1000 + i), "x");
  recordB();
  fs::create_directories(inA("f"));
  // Three batches of small files, made afresh for each case.
  const auto batches = [&] {
    auto records = recordsToFetch();
    std::erase(records, recordOf(records, "f"));
    std::vector<QoWorkerSync::RelationList> sliced;
    for (size_t start = 0; start + kBatch <= records.size(); start += kBatch)
      sliced.emplace_back(records.begin() + start, records.begin() + start + kBatch);
    return sliced;
  };
  // A call the peer ends by its silence waits this long for it: the whole window goes out
  // before, however slowly the requests are sealed and read on a busy machine. A call the peer
  // ends by an answer waits for that answer.
  constexpr int kSilenceMs = 3000;
  constexpr int kAnswerMs = 60000;
  const auto fetcherFor = [&](const HoldingPeer& peer, int timeoutMs) {
    auto fetcher = fetcherAt(peer.uri());
    fetcher->setAnswerTimeoutMs(timeoutMs);
    return fetcher;
  };
  const auto joined = [](const QoWorkerSync::RelationList& one, const QoWorkerSync::RelationList& other) {
    QoWorkerSync::RelationList both(one);
    both.insert(both.end(), other.begin(), other.end());
    return both;
  };

  {
    // A batch the peer does not answer times out; the next one goes on.
    auto batch = batches();
    ASSERT_EQ(batch.size(), 3u);
    HoldingPeer peer;
    auto fetcher = fetcherFor(peer, kSilenceMs);
    fetcher->fetchData(batch[0], pairing_, joined(batch[1], batch[2]));
    ASSERT_TRUE(peer.waitForRequests(kWindow));
    fetcher->fetchData(batch[1], pairing_, batch[2]);
    ASSERT_TRUE(peer.waitForRequests(2 * kWindow));
    fetcher->disconncet();
    EXPECT_LE(peer.mostHeld(), kWindow) << "timed out";
    EXPECT_TRUE(temporaries().empty());
  }
  // Once a window is out, the first file's part is answered with an error: a GetError
  // fails that file and the caller asks for another batch than the one announced; an error
  // reply ends the batch with an exception and the caller goes on.
  struct Ending {
    const char* name;
    std::function<QoMessage::Ptr(const pb::MsgGetRequest&)> answer;
    bool raises;
  };
  const std::vector<Ending> endings{
      {"given up", [](const pb::MsgGetRequest& held) { return getError(held, pb::ErrorCodeBadPart); }, false},
      {"error reply",
       [](const pb::MsgGetRequest&) {
         return QoMessage::qoMessageErrorWithErrorCode(pb::ErrorCodeBadFormat, "bad format");
       },
       true},
  };
  for (const Ending& ending : endings) {
    SCOPED_TRACE(ending.name);
    auto batch = batches();
    const auto first = batch[0].front();
    HoldingPeer peer([first, &ending](const pb::MsgGetRequest& held, int received) {
      return held.path() == first->getRelativeFilePath() && received >= kWindow ? ending.answer(held) : nullptr;
    });
    auto fetcher = fetcherFor(peer, kAnswerMs);
    if (ending.raises) {
      EXPECT_THROW(fetcher->fetchData(batch[0], pairing_), std::exception);
      fetcher->setAnswerTimeoutMs(kSilenceMs);
      fetcher->fetchData(batch[1], pairing_);
    } else {
      fetcher->fetchData({first}, pairing_, batch[1]);
      ASSERT_TRUE(peer.waitForRequests(kWindow));
      fetcher->setAnswerTimeoutMs(kSilenceMs);
      fetcher->fetchData(batch[2], pairing_);
    }
    ASSERT_TRUE(peer.waitForRequests(2 * kWindow));
    fetcher->disconncet();
    EXPECT_LE(peer.mostHeld(), kWindow);
    EXPECT_TRUE(temporaries().empty());
  }
}

TEST_F(FileFetcherTest, LateAnswersOfAnEarlierBatchAreDropped) {
  startPeer(1);
  writeB("first.bin", pattern(1000, 'f'));
  writeB("second.bin", pattern(1000, 's'));
  recordB();
  // Answered only once its batch has given up on it, ahead of the next batch's request.
  holdAnswersTo("first.bin");
  auto records = recordsToFetch();
  auto fetcher = connectedFetcher();
  fetcher->setAnswerTimeoutMs(300);
  fetcher->fetchData({recordOf(records, "first.bin")}, pairing_);
  EXPECT_FALSE(fs::exists(inA("first.bin")));
  EXPECT_EQ(failedUsn(), usnInB("first.bin"));
  parts_.release();
  fetcher->setAnswerTimeoutMs(20000);
  ASSERT_NO_THROW(fetcher->fetchData({recordOf(records, "second.bin")}, pairing_));

  expectSame("second.bin");
  EXPECT_FALSE(fs::exists(inA("first.bin")));
  expectNothingLeft(*fetcher);
}

TEST_F(FileFetcherTest, TheNextBatchesAreAskedForBeforeTheCurrentOneDrains) {
  startPeer(2);
  writeB("current.bin", pattern(1000, 'c'));
  writeB("next.bin", pattern(2000, 'n'));
  writeB("later.bin", pattern(3000, 'l'));
  recordB();
  bool followingAskedFirst = false;
  decide = [&](const pb::MsgGetRequest& request) -> std::optional<QoMessage::Ptr> {
    if (request.path() != "/current.bin") return std::nullopt;
    // The current batch's only answer waits for the requests of both batches announced.
    std::unique_lock guard(parts_.lock);
    followingAskedFirst = parts_.waitFor(guard, [&] {
      const auto asked = [&](const std::string& path) {
        return std::any_of(parts_.requests.begin(), parts_.requests.end(),
                           [&](const auto& part) { return part.first == path; });
      };
      return asked("/next.bin") && asked("/later.bin");
    });
    return std::nullopt;
  };
  auto records = recordsToFetch();
  const auto next = recordOf(records, "next.bin");
  const auto later = recordOf(records, "later.bin");
  auto fetcher = connectedFetcher();
  fetcher->fetchData({recordOf(records, "current.bin")}, pairing_, {next, later});
  EXPECT_TRUE(followingAskedFirst);
  expectSame("current.bin");
  fetcher->fetchData({next}, pairing_, {later});
  fetcher->fetchData({later}, pairing_);
  fetcher->disconncet();

  expectSame("next.bin");
  expectSame("later.bin");
  // Asked for once each, though their batches began before the calls that fetched them.
  EXPECT_EQ(offsetsOf("next.bin").size(), 1u);
  EXPECT_EQ(offsetsOf("later.bin").size(), 1u);
  EXPECT_EQ(failedUsn(), 0);
  expectNothingLeft(*fetcher);
}

// Records announced as the next batch, then not fetched with it: the batch fetched is another,
// or the fetcher is closed. What they are: a file whose answers wait, or records with nothing
// to download (an empty file, a folder), which are reached at once when announced and are
// applied only with their own batch.
struct Announced {
  const char* name;
  std::vector<std::string> records;
};
void PrintTo(const Announced& row, std::ostream* out) { *out << row.name; }

class FileFetcherAnnouncedTest : public FileFetcherTest, public ::testing::WithParamInterface<Announced> {};

TEST_P(FileFetcherAnnouncedTest, AnnouncedRecordsNeverFetchedAreGivenUpAndFetchedAgainNextTime) {
  const std::vector<std::string>& names = GetParam().records;
  startPeer(3);
  writeB("current.bin", pattern(1000, 'c'));
  writeB("other.bin", pattern(3000, 'o'));
  for (const std::string& name : names) {
    if (name == "folder") {
      fs::create_directories(inB(name));
    } else {
      writeB(name, name == "empty" ? "" : pattern(2000, 'n'));
    }
  }
  recordB();
  // What has nothing to download is never asked for.
  holdAnswersTo(names.front());
  const auto announcedIn = [&](const QoWorkerSync::RelationList& records) {
    FileFetcher::RelationList announced;
    for (const std::string& name : names) announced.push_back(recordOf(records, name));
    return announced;
  };
  auto records = recordsToFetch();
  int64_t lowest = INT64_MAX;
  for (const std::string& name : names) lowest = std::min(lowest, usnInB(name));
  {
    // Another batch than the one announced.
    const auto announced = announcedIn(records);
    for (const auto& record : announced) ASSERT_TRUE(record);
    auto fetcher = connectedFetcher();
    fetcher->fetchData({recordOf(records, "current.bin")}, pairing_, announced);
    fetcher->fetchData({recordOf(records, "other.bin")}, pairing_);
    fetcher->disconncet();
    expectNothingLeft(*fetcher);
  }
  expectSame("current.bin");
  expectSame("other.bin");
  for (const std::string& name : names) EXPECT_FALSE(fs::exists(inA(name))) << name;
  EXPECT_EQ(failedUsn(), lowest);
  EXPECT_TRUE(temporaries().empty());

  DataSource::sharedDataSource().resetSyncdirCopyRelationFailedUsn(pairingKey());
  writeB("later.bin", pattern(500, 'l'));
  recordB();
  records = recordsToFetch();
  {
    // Announced, then the fetcher is closed without fetching them.
    auto fetcher = connectedFetcher();
    fetcher->fetchData({recordOf(records, "later.bin")}, pairing_, announcedIn(records));
    fetcher->disconncet();
    expectNothingLeft(*fetcher);
  }
  parts_.release();
  expectSame("later.bin");
  for (const std::string& name : names) EXPECT_FALSE(fs::exists(inA(name))) << name;
  EXPECT_EQ(failedUsn(), lowest);
  EXPECT_TRUE(temporaries().empty());
}

INSTANTIATE_TEST_SUITE_P(Records, FileFetcherAnnouncedTest,
                         ::testing::Values(Announced{"AFileWhoseAnswersWait", {"next.bin"}},
                                           Announced{"NothingToDownload", {"empty", "folder"}}),
                         [](const ::testing::TestParamInfo<Announced>& info) { return info.param.name; });

TEST_F(FileFetcherTest, TwoTransfersOfOneFileNeverShareATemporaryFile) {
  startPeer(1);
  writeB("same.txt", "the peer's content");
  recordB();
  const auto first = recordOf(recordsToFetch(), "same.txt");
  const auto second = recordOf(recordsToFetch(), "same.txt");
  ASSERT_NE(first->getTempFilePath(), second->getTempFilePath());
  *first->getTmpFileHandle() << "something else";
  *second->getTmpFileHandle() << "the peer's content";
  second->getTmpFileHandle()->flush();
  EXPECT_FALSE(first->handleFetchEventDefault());  // its download fails the SHA-1 check
  EXPECT_TRUE(second->handleFetchEventDefault());
  expectSame("same.txt");
  EXPECT_TRUE(temporaries().empty());
}

TEST_F(FileFetcherTest, EveryInstalledFileIsFlushedOnceAndOneWhoseFlushFailsIsNotInstalled) {
  startPeer(2);
  writeB("kept.txt", pattern(3000, 'k'), 0640, 1500000000500);
  writeB("large.bin", pattern(3 * kMiB + 70000, 'l'));
  writeB("unflushed.txt", pattern(100, 'u'));
  recordB();
  const auto flush = countFlushes("unflushed");
  fetchedOnce(recordsToFetch());

  expectSame("kept.txt");
  expectSame("large.bin");
  EXPECT_EQ(modeOf(inA("kept.txt")), 0640);
  EXPECT_EQ(QoFile::getFileModifyTimeAtPath(inA("kept.txt")), 1500000000500);
  // Not flushed, so never installed: fetched again next time.
  EXPECT_FALSE(fs::exists(inA("unflushed.txt")));
  EXPECT_EQ(failedUsn(), usnInB("unflushed.txt"));
  EXPECT_TRUE(temporaries().empty());
  // Flushed once each, with its attributes, and not again when moved into place.
  EXPECT_EQ(flushes(), (std::map<std::string, int>{{".kept.txt.Velbor.Download", 1},
                                                   {".large.bin.Velbor.Download", 1},
                                                   {".unflushed.txt.Velbor.Download", 1}}));
}

TEST_F(FileFetcherTest, ADownloadChangedAfterItsFlushIsCheckedAndFlushedAgainWhenInstalled) {
  startPeer(1);
  writeB("flushed.txt", "the peer's content");
  writeB("touched.txt", "the peer's other content");
  writeB("rewritten.txt", "the peer's third content");
  recordB();
  const auto flush = countFlushes();
  const auto records = recordsToFetch();
  // Downloaded and flushed as the fetcher does it; then changed, but for the first.
  std::map<std::string, bool> applied;
  for (const char* name : {"flushed.txt", "touched.txt", "rewritten.txt"}) {
    const auto record = recordOf(records, name);
    const auto& handle = record->getTmpFileHandle();
    *handle << readFile(inB(name));
    handle->flush();
    const QoFile& file = *record->file();
    auto sync = std::make_shared<DownloadSync>(handle->duplicateDescriptor(), file.sha1(), file.unixAttr(),
                                               file.contentModTime());
    record->closeTmpFileHandle();
    sync->run();
    ASSERT_EQ(sync->error(), 0);
    ASSERT_TRUE(sync->synced().has_value());
    const std::string temporary = record->getTempFilePath();
    if (std::string(name) == "touched.txt") {
      fs::last_write_time(temporary, fs::last_write_time(temporary) + std::chrono::seconds(1));
    } else if (std::string(name) == "rewritten.txt") {
      std::ofstream(temporary, std::ios::binary | std::ios::trunc) << "something else";
    }
    record->setDownloadSync(sync);
    applied[name] = record->handleFetchEventDefault();
  }

  EXPECT_EQ(applied,
            (std::map<std::string, bool>{{"flushed.txt", true}, {"touched.txt", true}, {"rewritten.txt", false}}));
  expectSame("flushed.txt");
  expectSame("touched.txt");
  EXPECT_EQ(QoFile::getFileModifyTimeAtPath(inA("touched.txt")), QoFile::getFileModifyTimeAtPath(inB("touched.txt")));
  EXPECT_FALSE(fs::exists(inA("rewritten.txt")));
  EXPECT_EQ(failedUsn(), usnInB("rewritten.txt"));
  EXPECT_TRUE(temporaries().empty());
  // The touched file was flushed again, once set back to its time.
  EXPECT_EQ(flushes(), (std::map<std::string, int>{{".flushed.txt.Velbor.Download", 1},
                                                   {".touched.txt.Velbor.Download", 2},
                                                   {".rewritten.txt.Velbor.Download", 1}}));
}

}  // namespace
}  // namespace velbor::test
