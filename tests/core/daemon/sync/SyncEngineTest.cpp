#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "PullTestBase.h"
#include "core/daemon/sync/SyncEngine.h"
#include "framework/errors/QoExceptionProto.h"

namespace velbor::test {
namespace {

// The engine's entry point called directly, as the monitor and the publisher call it.
class SyncEngineTest : public PullTestBase {};

TEST_F(SyncEngineTest, APullSaysWhatItCameToAndABackgroundFailureReachesItsCaller) {
  ASSERT_NO_FATAL_FAILURE(startPeer());
  writeB("x.txt", "x");
  recordB();
  EXPECT_EQ(SyncEngine::pullOnce(copyB_->uuid(), QoUtils::generateUuid()), SyncEngine::Pull::kNoPairing);
  EXPECT_EQ(SyncEngine::pullOnce(copyA_->uuid(), copyB_->uuid()), SyncEngine::Pull::kDone);
  EXPECT_EQ(readFile(inA("x.txt")), "x");

  // A pairing whose first copy is another device's is refused on the global queue: the
  // refusal goes to the caller's handler there, and nothing is written.
  handCopyBToAnotherDevice();
  auto reversed = std::make_shared<QoSyncdirCopyRelation>();
  reversed->setFirstSyncdirCopy(copyB_);
  reversed->setSecondSyncdirCopy(copyA_);
  reversed->save();
  std::promise<bool> refused;
  SyncEngine::pullOnceInBackground(copyB_->uuid(), copyA_->uuid(), [&refused](const std::exception& e) {
    refused.set_value(dynamic_cast<const QoExceptionZeBadTree*>(&e) != nullptr);
  });
  auto answer = refused.get_future();
  ASSERT_EQ(answer.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  EXPECT_TRUE(answer.get());
}

TEST_F(SyncEngineTest, AnOverrideInsideAnotherGivesThePullsBackToItWhenItGoes) {
  const std::string local = QoUtils::generateUuid();
  const std::string remote = QoUtils::generateUuid();
  int outer = 0;
  int inner = 0;
  {
    SyncEngine::ScopedOverride first([&outer](const std::string&, const std::string&) {
      ++outer;
      return SyncEngine::Pull::kDone;
    });
    {
      SyncEngine::ScopedOverride second([&inner](const std::string&, const std::string&) {
        ++inner;
        return SyncEngine::Pull::kAlreadyRunning;
      });
      EXPECT_EQ(SyncEngine::pullOnce(local, remote), SyncEngine::Pull::kAlreadyRunning);
    }
    EXPECT_EQ(SyncEngine::pullOnce(local, remote), SyncEngine::Pull::kDone);
  }
  EXPECT_EQ(outer, 1);
  EXPECT_EQ(inner, 1);
  // None left: the engine's own pull, which finds no pairing of these two.
  EXPECT_EQ(SyncEngine::pullOnce(local, remote), SyncEngine::Pull::kNoPairing);
}

// A pull asked for after a wait is made once it is over; one asked for meanwhile to come no
// earlier adds none.
TEST_F(SyncEngineTest, APullAskedForAfterAWaitIsMadeOnceItIsOver) {
  const std::string local = QoUtils::generateUuid();
  const std::string remote = QoUtils::generateUuid();
  std::promise<void> first;
  std::atomic<int> pulls{0};
  SyncEngine::ScopedOverride counting([&](const std::string& localUuid, const std::string&) {
    if (localUuid == local && pulls.fetch_add(1) == 0) first.set_value();
    return SyncEngine::Pull::kDone;
  });
  SyncEngine::pullAfter(local, remote, std::chrono::milliseconds(200));
  SyncEngine::pullAfter(local, remote, std::chrono::milliseconds(300));
  ASSERT_EQ(first.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_EQ(pulls, 1);
}

}  // namespace
}  // namespace velbor::test
