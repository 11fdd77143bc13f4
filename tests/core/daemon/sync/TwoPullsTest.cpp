#include <algorithm>
#include <filesystem>
#include <thread>

#include "PullTestBase.h"
#include "core/daemon/sync/SyncEngine.h"

namespace velbor::test {
namespace {

namespace fs = std::filesystem;

// The Get server as the test's stand-in sees it: the parts asked for, by tree.
ServedParts* served = nullptr;
// A part of this tree is answered only once a part of `awaitedTree` has been asked for.
std::string heldTree;
std::string awaitedTree;

QoMessage::Ptr heldGet(const QoRequest& request) {
  const auto body = request.bodyAs<pb::MsgGetRequest>();
  {
    std::unique_lock guard(served->lock);
    served->requests.emplace_back(body->tree_uuid(), body->part().offset());
    served->changed.notify_all();
    if (body->tree_uuid() == heldTree) {
      served->waitFor(guard, [&] {
        return served->released || std::any_of(served->requests.begin(), served->requests.end(),
                                               [](const auto& asked) { return asked.first == awaitedTree; });
      });
    }
  }
  return QoWorker::handleGetRequest(request);
}

// Three copies of one folder on this device: "a" pulls from "b" and from "c" at once, as a
// device does from two peers, into the one folder.
class TwoPullsTest : public PullTestBase {
 protected:
  void SetUp() override {
    PullTestBase::SetUp();
    rootC_ = (home_.path() / "c").string();
    fs::create_directories(rootC_);
    served = &parts_;
  }
  void TearDown() override {
    parts_.release();
    PullTestBase::TearDown();
    served = nullptr;
    heldTree.clear();
    awaitedTree.clear();
  }

  void startThreeCopies() {
    startPeer(4);
    copyC_ = makeCopy(rootC_, local_, copyA_->syncdirUuid());
    pair(copyA_, copyC_);
    pair(copyC_, copyB_);
  }
  static SyncEngine::Pull pull(const QoSyncdirCopy::Ptr& local, const QoSyncdirCopy::Ptr& remote) {
    return SyncEngine::pullOnce(local->uuid(), remote->uuid());
  }
  // "a" pulls from "b" and "c" at once; both pages are sorted before either part is answered.
  void pullFromBothAtOnce() {
    heldTree = copyB_->uuid();
    awaitedTree = copyC_->uuid();
    SyncEngine::Pull fromB = SyncEngine::Pull::kStopped;
    std::thread pullFromB([&] { fromB = pull(copyA_, copyB_); });
    const SyncEngine::Pull fromC = pull(copyA_, copyC_);
    pullFromB.join();
    EXPECT_EQ(fromB, SyncEngine::Pull::kDone);
    EXPECT_EQ(fromC, SyncEngine::Pull::kDone);
  }
  // "f.txt" made in "b" and pulled by "a" and "c".
  void shareOneFile() {
    writeB("f.txt", "first", 0644, 1600000000000);
    recordB();
    ASSERT_EQ(pull(copyA_, copyB_), SyncEngine::Pull::kDone);
    ASSERT_EQ(pull(copyC_, copyB_), SyncEngine::Pull::kDone);
    ASSERT_EQ(readFile(inA("f.txt")), "first");
    ASSERT_EQ(readFile(rootC_ + "/f.txt"), "first");
  }

  std::string rootC_;
  QoSyncdirCopy::Ptr copyC_;
  ServedParts parts_;
  QoHandlerTable::ScopedOverride get_{"GetRequest", &heldGet};
};

// Edited in "b" and in "c" before either saw the other: whichever arrives second meets the
// first one here, not the version both were made from, and is kept beside it.
TEST_F(TwoPullsTest, EditsOfOneFileFromTwoPeersAtOnceAreBothKept) {
  startThreeCopies();
  shareOneFile();
  writeB("f.txt", "edited in b", 0644, 1600000001000);
  recordB();
  writeIn(rootC_, "f.txt", "edited in c", 1600000002000);
  copyC_->refresh();

  pullFromBothAtOnce();
  EXPECT_EQ(contentsOf(rootA_), (std::vector<std::string>{"edited in b", "edited in c"}));
  EXPECT_TRUE(temporaries().empty());

  // Both versions are recorded: "b" takes both when it pulls the result.
  pair(copyB_, copyA_);
  ASSERT_EQ(pull(copyB_, copyA_), SyncEngine::Pull::kDone);
  EXPECT_EQ(contentsOf(rootB_), (std::vector<std::string>{"edited in b", "edited in c"}));
}

// Made under one name in "b" and in "c": the second to arrive meets the first, not the empty
// place both pulls saw, and is kept beside it.
TEST_F(TwoPullsTest, FilesMadeUnderOneNameByTwoPeersAtOnceAreBothKept) {
  startThreeCopies();
  writeB("new.txt", "made in b", 0644, 1600000001000);
  recordB();
  writeIn(rootC_, "new.txt", "made in c", 1600000002000);
  copyC_->refresh();

  pullFromBothAtOnce();
  EXPECT_EQ(contentsOf(rootA_), (std::vector<std::string>{"made in b", "made in c"}));
  EXPECT_TRUE(temporaries().empty());
}

// One version brought by two peers at once (one had it from the other) is one version.
TEST_F(TwoPullsTest, OneEditBroughtByTwoPeersAtOnceIsTakenOnce) {
  startThreeCopies();
  shareOneFile();
  writeB("f.txt", "edited in b", 0644, 1600000001000);
  recordB();
  ASSERT_EQ(pull(copyC_, copyB_), SyncEngine::Pull::kDone);

  pullFromBothAtOnce();
  EXPECT_EQ(contentsOf(rootA_), (std::vector<std::string>{"edited in b"}));
  EXPECT_EQ(DataSource::sharedDataSource().getSyncdirCopyRelationFailedUsn(pairingKey()), 0);
  EXPECT_TRUE(temporaries().empty());
}

}  // namespace
}  // namespace velbor::test
