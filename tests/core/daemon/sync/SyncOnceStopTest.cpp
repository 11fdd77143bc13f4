// A pull that ends before its pass is complete: stopped by the daemon's stop, or by the peer
// (no page within the find time-out, an error reply). None stores a usn mark, so the next
// pull asks again from the last mark stored, and no temporary download is left behind.
#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "PullTestBase.h"
#include "core/daemon/router/NoticeLog.h"
#include "core/daemon/sync/PullStop.h"
#include "core/daemon/sync/SyncEngine.h"
#include "core/state/SyncFileProcessBox.h"
#include "support/Eventually.h"

namespace velbor::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
constexpr int64_t kMiB = 0x100000;

// What the stand-ins for the Find and Get servers do, shared with the router's workers.
struct Peer {
  std::mutex lock;
  std::condition_variable changed;
  // The `since` of every FindRequest, in arrival order.
  std::vector<int64_t> finds;
  // Finds from this one on (0-based) are held until released, or answered with an error.
  size_t holdFindFrom = SIZE_MAX;
  size_t refuseFindFrom = SIZE_MAX;
  bool released = false;
  // Parts of "big.bin" served; each waits `partDelay` first.
  int bigParts = 0;
  std::chrono::milliseconds partDelay{0};
};
Peer* peer = nullptr;

QoMessage::Ptr heldFind(const QoRequest& request) {
  {
    std::unique_lock guard(peer->lock);
    const size_t index = peer->finds.size();
    peer->finds.push_back(request.bodyAs<pb::MsgFindRequest>()->since());
    peer->changed.notify_all();
    if (index >= peer->refuseFindFrom) {
      return QoMessage::qoMessageErrorWithErrorCode(pb::ErrorCodeBadSyncdir, "No syncdir in this device!!");
    }
    // Bounded: a pull that never gives up fails the test instead of hanging it.
    if (index >= peer->holdFindFrom) peer->changed.wait_for(guard, 60s, [] { return peer->released; });
  }
  return QoWorker::handleFindRequest(request);
}

QoMessage::Ptr throttledGet(const QoRequest& request) {
  if (request.bodyAs<pb::MsgGetRequest>()->path() == "/big.bin") {
    std::chrono::milliseconds delay;
    {
      std::lock_guard guard(peer->lock);
      ++peer->bigParts;
      delay = peer->partDelay;
      peer->changed.notify_all();
    }
    std::this_thread::sleep_for(delay);
  }
  return QoWorker::handleGetRequest(request);
}

class SyncOnceStopTest : public PullTestBase {
 protected:
  void SetUp() override {
    PullTestBase::SetUp();
    peer = &peer_;
  }
  void TearDown() override {
    release();
    PullStop::resume();
    PullTestBase::TearDown();
    peer = nullptr;
  }

  void release() {
    std::lock_guard guard(peer_.lock);
    peer_.released = true;
    peer_.changed.notify_all();
  }
  template <class Ready>
  bool waitUntil(Ready ready) {
    std::unique_lock guard(peer_.lock);
    return peer_.changed.wait_for(guard, 60s, ready);
  }
  std::vector<int64_t> finds() {
    std::lock_guard guard(peer_.lock);
    return peer_.finds;
  }

  // A first pull brings "first.txt" over and stores its mark; answers that mark.
  int64_t pullFirstFile() {
    writeB("first.txt", "the first file");
    recordB();
    EXPECT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
    EXPECT_EQ(readFile(inA("first.txt")), "the first file");
    return storedMark();
  }

  // Whether each download end among `notices` said its pull went through.
  static std::vector<bool> downloadEnds(const std::vector<notice::SyncFileProcess>& notices) {
    std::vector<bool> ends;
    for (const auto& notice : notices) {
      if (notice.box->status == SyncFileDownloadEnd) ends.push_back(notice.box->complete);
    }
    return ends;
  }

  Peer peer_;
  QoHandlerTable::ScopedOverride find_{"FindRequest", &heldFind};
  QoHandlerTable::ScopedOverride get_{"GetRequest", &throttledGet};
};

TEST_F(SyncOnceStopTest, AStopEndsAPullInTransferWithoutMarkOrTemporaryFileAndTheNextPullFetchesTheFile) {
  startPeer();
  const int64_t mark = pullFirstFile();
  ASSERT_GT(mark, 0);

  // Far more parts than the sender lets through before the stop.
  constexpr int kParts = 64;
  const std::string content = pattern(kParts * kMiB, 'z');
  writeB("big.bin", content);
  writeB("second.txt", "small, and before the big one in the list");
  recordB();
  {
    std::lock_guard guard(peer_.lock);
    peer_.partDelay = 300ms;
  }
  QoNotify::notifyQueue()->sync([] {});
  auto ends = std::make_unique<NoticeLog<notice::SyncFileProcess>>();
  auto pull = std::async(std::launch::async, [this] { return syncOnce(); });
  ASSERT_TRUE(waitUntil([this] { return peer_.bigParts >= 2; })) << "no transfer seen in progress";
  ASSERT_TRUE(eventually([this] { return !temporaries().empty(); })) << "no temporary download seen";

  PullStop::stopAll();
  // Bounded only to catch a hang: a pull that goes on finishes the whole file first.
  ASSERT_EQ(pull.wait_for(120s), std::future_status::ready);
  EXPECT_EQ(pull.get(), nullptr) << "a stopped pull is not answered as done";
  {
    std::lock_guard guard(peer_.lock);
    EXPECT_LT(peer_.bigParts, kParts) << "the pull waited for the whole file";
  }
  EXPECT_TRUE(temporaries().empty()) << ::testing::PrintToString(temporaries());
  EXPECT_FALSE(fs::exists(inA("big.bin")));
  EXPECT_EQ(storedMark(), mark) << "a mark was stored past what was installed";
  // Its end is not announced as a pull that went through.
  EXPECT_EQ(downloadEnds(ends->delivered()), std::vector<bool>{false});
  ends = std::make_unique<NoticeLog<notice::SyncFileProcess>>();
  // While stopping, no pull starts.
  const size_t findsBefore = finds().size();
  EXPECT_EQ(syncOnce(), nullptr);
  EXPECT_EQ(finds().size(), findsBefore);

  // The next start: asked again from the same mark, the file arrives whole.
  PullStop::resume();
  {
    std::lock_guard guard(peer_.lock);
    peer_.partDelay = 0ms;
  }
  ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
  // From just below it, to see the record standing at the mark.
  EXPECT_EQ(finds().at(findsBefore), mark - 1);
  EXPECT_TRUE(readFile(inA("big.bin")) == content);
  EXPECT_EQ(readFile(inA("second.txt")), "small, and before the big one in the list");
  EXPECT_EQ(storedMark(), usnInB("big.bin") > usnInB("second.txt") ? usnInB("big.bin") : usnInB("second.txt"));
  EXPECT_TRUE(temporaries().empty());
  EXPECT_EQ(downloadEnds(ends->delivered()), std::vector<bool>{true});
}

TEST_F(SyncOnceStopTest, AStopEndsAPullThatWaitsForAPageWhileThePeerStillHoldsIt) {
  startPeer();
  const int64_t mark = pullFirstFile();
  writeB("second.txt", "two");
  recordB();
  {
    std::lock_guard guard(peer_.lock);
    peer_.holdFindFrom = peer_.finds.size();
  }
  std::atomic<bool> returned{false};
  auto pull = std::async(std::launch::async, [&] {
    auto reply = syncOnce();
    returned = true;
    return reply;
  });
  const size_t held = finds().size() + 1;
  ASSERT_TRUE(waitUntil([&] { return peer_.finds.size() >= held; }));
  PullStop::stopAll();
  // Well inside the find time-out (20 s), which would end the wait too; the peer holds the
  // page until the pull has returned.
  EXPECT_TRUE(eventually([&] { return returned.load(); }, 15)) << "the stop did not end the wait for the page";
  release();
  pull.wait();
  EXPECT_EQ(pull.get(), nullptr);
  EXPECT_EQ(storedMark(), mark);
  EXPECT_FALSE(fs::exists(inA("second.txt")));
}

TEST_F(SyncOnceStopTest, APullThatEndsEarlyStoresNoMarkAndTheNextOneAsksFromTheLastStored) {
  startPeer();
  int64_t mark = pullFirstFile();
  struct Case {
    const char* label;
    bool refuse;
  };
  // The second find of the pass (after the page with the new file) goes unanswered within
  // the find time-out, or is refused with an error reply: the page's file is installed, but
  // the pass is not complete.
  for (const Case& c : {Case{"error reply", true}, Case{"find time-out", false}}) {
    SCOPED_TRACE(c.label);
    const std::string name = std::string(c.refuse ? "refused" : "unanswered") + ".txt";
    writeB(name, c.label);
    recordB();
    size_t first;
    {
      std::lock_guard guard(peer_.lock);
      first = peer_.finds.size();
      peer_.released = false;
      (c.refuse ? peer_.refuseFindFrom : peer_.holdFindFrom) = first + 1;
    }
    if (c.refuse) {
      EXPECT_ANY_THROW(syncOnce());
    } else {
      EXPECT_EQ(syncOnce(), nullptr);
    }
    release();
    EXPECT_EQ(readFile(inA(name)), c.label);
    EXPECT_EQ(storedMark(), mark) << "a pass that did not complete stored a mark";
    EXPECT_TRUE(temporaries().empty());
    {
      std::lock_guard guard(peer_.lock);
      peer_.refuseFindFrom = SIZE_MAX;
      peer_.holdFindFrom = SIZE_MAX;
    }
    const size_t next = finds().size();
    ASSERT_EQ(syncOnce()->code(), pb::MsgCodeSyncOnceResponse);
    // From just below it, to see the record standing at the mark.
    EXPECT_EQ(finds().at(next), mark - 1) << "the next pull did not ask from the last mark stored";
    EXPECT_EQ(storedMark(), usnInB(name));
    mark = storedMark();
  }
}

// A pull asked for while another waits for a page is left to the running one. When that one
// gives up (its peer had gone and is back), the request must still get its pass: it may be
// the only notice of what the peer changed.
TEST_F(SyncOnceStopTest, APullAskedForWhileTheRunningOneWaitsInVainStillGetsItsPass) {
  startPeer();
  pullFirstFile();
  size_t held;
  {
    std::lock_guard guard(peer_.lock);
    held = peer_.finds.size();
    peer_.released = false;
    peer_.holdFindFrom = held;
  }
  auto waiting = std::async(std::launch::async, [this] { return syncOnce(); });
  ASSERT_TRUE(waitUntil([&] { return peer_.finds.size() > held; }));
  {
    // Only the find already held goes unanswered.
    std::lock_guard guard(peer_.lock);
    peer_.holdFindFrom = SIZE_MAX;
  }
  writeB("meanwhile.txt", "changed while the pull waited");
  recordB();
  EXPECT_EQ(SyncEngine::pullOnce(copyA_->uuid(), copyB_->uuid()), SyncEngine::Pull::kAlreadyRunning);
  // Ends by the find time-out (20 s); the held find is answered only then, too late.
  waiting.get();
  release();
  EXPECT_TRUE(eventually([&] { return readFile(inA("meanwhile.txt")) == "changed while the pull waited"; }, 60))
      << "the pull asked for meanwhile never ran";
}

}  // namespace
}  // namespace velbor::test
