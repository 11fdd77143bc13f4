#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "LoopbackRouter.h"
#include "PullTestBase.h"
#include "core/daemon/sync/SyncEngine.h"
#include "core/envelope/EnvelopeTestSupport.h"
#include "core/proto/PbMessage.h"
#include "framework/errors/QoExceptionProto.h"
#include "framework/network/ZMQMessage.h"

namespace velbor::test {
namespace {

namespace fs = std::filesystem;

// Who seals what answers at the peer's address.
enum class Signer {
  kPeer,           // the peer itself, with its key
  kNobody,         // level 0
  kOther,          // another device trusted here, with its own key
  kPeerNamedOnly,  // the peer's uuid in the header, another key under the signature
  kErrorReply,     // a level-0 error reply
};

// Whatever holds the peer's request port: a bare ROUTER socket answering find and get
// requests with what the peer would answer (its page, its files' bytes), sealed as told.
class PortHolder {
 public:
  PortHolder(pb::MsgFindResponse page, std::string root, QoDevice::Ptr peer, QoDevice::Ptr other, QoDevice::Ptr local)
      : page_(std::move(page)),
        root_(std::move(root)),
        peer_(std::move(peer)),
        other_(std::move(other)),
        local_(std::move(local)) {}
  const std::string& uri() const { return router_.uri(); }
  std::atomic<Signer> findSigner{Signer::kPeer};
  std::atomic<Signer> getSigner{Signer::kPeer};
  // The page the peer signed for another of its folders: other copies, the same records.
  std::atomic<bool> pageOfAnotherFolder{false};
  // The page the peer signed for an earlier request, carrying that request's challenge.
  std::atomic<bool> pageOfAnotherRequest{false};
  // The page carries the request's challenge back, as the peer's version does.
  std::atomic<bool> echoChallenge{false};

 private:
  void serve(const std::string& connection, ZMQMessage& frames) {
    const auto head = PbMessage::parseFromData<pb::MsgHead>(frames.getNextFrame().value_or(std::string()));
    // The requests come signed, not encrypted: their bodies read as they are.
    const std::string body = frames.getNextFrame().value_or(std::string());
    QoMessage::Ptr answer;
    Signer signer = Signer::kPeer;
    if (head.code() == pb::MsgCodeFindRequest) {
      answer = findAnswer(PbMessage::parseFromData<pb::MsgFindRequest>(body));
      signer = findSigner;
    } else if (head.code() == pb::MsgCodeGetRequest) {
      answer = getAnswer(PbMessage::parseFromData<pb::MsgGetRequest>(body));
      signer = getSigner;
    } else {
      return;
    }
    router_.reply(connection, seal(answer, signer));
  }

  QoMessage::Ptr findAnswer(const pb::MsgFindRequest& request) {
    auto page = std::make_shared<pb::MsgFindResponse>(page_);
    if (pageOfAnotherFolder) {
      for (auto& uuid : *page->mutable_uuids()) uuid = QoUtils::generateUuid();
    }
    if (echoChallenge) page->set_challenge(request.challenge());
    if (pageOfAnotherRequest) page->set_challenge("recorded for an earlier request");
    // Nothing newer than what was asked from.
    if (std::none_of(page->stats().begin(), page->stats().end(),
                     [&](const pb::Stat& stat) { return stat.usn() > request.since(); })) {
      page->clear_stats();
    }
    return QoMessage::qoMessageWithMsgCode(pb::MsgCodeFindResponse, page);
  }

  QoMessage::Ptr getAnswer(const pb::MsgGetRequest& request) {
    auto part = std::make_shared<pb::MsgGetResponse>();
    part->set_transfer(request.transfer());
    part->set_tree_uuid(request.tree_uuid());
    part->set_path(request.path());
    *part->mutable_part() = request.part();
    std::ifstream in(root_ + request.path(), std::ios::binary);
    std::string bytes(static_cast<size_t>(request.part().length()), '\0');
    in.seekg(request.part().offset());
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    part->set_part_data(bytes);
    return QoMessage::qoMessageWithMsgCode(pb::MsgCodeGetResponse, part);
  }

  QoMessage::Ptr seal(QoMessage::Ptr answer, Signer signer) const {
    if (signer == Signer::kErrorReply) {
      return QoMessage::qoMessageErrorWithErrorCode(pb::ErrorCodeBadTree, "refused at the port");
    }
    if (signer == Signer::kNobody) return answer;
    answer->setLevel(QoMessage::kLevelAuth);
    answer->setSrcDevice(signer == Signer::kOther ? other_ : peer_);
    answer->setDestDevice(local_);
    const std::string key = signer == Signer::kPeer ? keysAlpha().privateKey : keysBravo().privateKey;
    answer->setPrivateKeySource([key] { return key; });
    return answer;
  }

  const pb::MsgFindResponse page_;
  const std::string root_;
  QoDevice::Ptr peer_;
  QoDevice::Ptr other_;
  QoDevice::Ptr local_;
  LoopbackRouter router_{[this](const std::string& connection, ZMQMessage& frames) { serve(connection, frames); }};
};

// Copy "b" is a trusted peer's, whose key (alpha's) the port holder may or may not have.
class PullAnswerSignerTest : public PullTestBase {
 protected:
  void SetUp() override {
    PullTestBase::SetUp();
    ASSERT_NO_FATAL_FAILURE(startPeer());
    writeB("planted.txt", "planted by whoever holds the port");
    writeB("big.bin", pattern(3 * 0x100000 + 5, 'b'));
    recordB();
    // What the peer's Find server answers for copy "b"; then copy "b" becomes the peer's.
    const auto page = findPageOfB();
    ASSERT_EQ(page->stats_size(), 2);
    lowestUsn_ = std::min(page->stats(0).usn(), page->stats(1).usn());
    peer_ = deviceWithKey(keysAlpha().publicKey);
    other_ = deviceWithKey(keysBravo().publicKey);
    holder_ = std::make_unique<PortHolder>(*page, rootB_, peer_, other_, local_);
    peer_->setRouteUri(holder_->uri());
    peer_->save();
    copyB_->setDevice(peer_);
    copyB_->save();
  }
  void TearDown() override {
    holder_.reset();
    PullTestBase::TearDown();
  }

  static QoDevice::Ptr deviceWithKey(const std::string& publicKey) {
    auto device = std::make_shared<QoDevice>();
    device->setUuid(QoUtils::generateUuid());
    device->setPubKey(publicKey);
    device->setStatus(1);
    device->setIsOnline(true);
    device->save();
    return QoDevice::getDeviceWithUuid(device->uuid());
  }

  SyncEngine::Pull pull() { return SyncEngine::pullOnce(copyA_->uuid(), copyB_->uuid()); }
  void expectNothingTaken() {
    EXPECT_FALSE(fs::exists(inA("planted.txt")));
    EXPECT_FALSE(fs::exists(inA("big.bin")));
    EXPECT_TRUE(temporaries().empty()) << ::testing::PrintToString(temporaries());
  }

  QoDevice::Ptr peer_;
  QoDevice::Ptr other_;
  std::unique_ptr<PortHolder> holder_;
  int64_t lowestUsn_ = 0;
};

TEST_F(PullAnswerSignerTest, APageNotSignedByThePeerFailsThePullAndChangesNothing) {
  for (Signer signer : {Signer::kNobody, Signer::kOther, Signer::kPeerNamedOnly}) {
    SCOPED_TRACE(static_cast<int>(signer));
    holder_->findSigner = signer;
    holder_->getSigner = signer;
    EXPECT_THROW(pull(), QoException);
    expectNothingTaken();
    EXPECT_EQ(storedMark(), 0);
  }

  // The peer's own refusal, unsigned as every error reply, fails the pull with its code.
  holder_->findSigner = Signer::kErrorReply;
  try {
    pull();
    ADD_FAILURE() << "an error reply was taken as a page";
  } catch (const QoException& e) {
    EXPECT_EQ(e.code(), pb::ErrorCodeBadTree);
  }
  expectNothingTaken();

  // The same answers signed by the peer: the files arrive.
  holder_->findSigner = Signer::kPeer;
  holder_->getSigner = Signer::kPeer;
  EXPECT_EQ(pull(), SyncEngine::Pull::kDone);
  EXPECT_EQ(readFile(inA("planted.txt")), readFile(inB("planted.txt")));
  EXPECT_TRUE(readFile(inA("big.bin")) == readFile(inB("big.bin")));
  EXPECT_EQ(failedUsn(), 0);
}

// The peer's own signature on a page of another of its folders, or on a page it gave an
// earlier request, sent again in answer to this folder's find.
TEST_F(PullAnswerSignerTest, APageThePeerSignedForAnotherFolderOrRequestIsRefused) {
  for (std::atomic<bool>* sentAgain : {&holder_->pageOfAnotherFolder, &holder_->pageOfAnotherRequest}) {
    *sentAgain = true;
    EXPECT_THROW(pull(), QoExceptionZeBadFormat);
    expectNothingTaken();
    EXPECT_EQ(storedMark(), 0);
    *sentAgain = false;
  }
  // Once the peer has carried a challenge back, a page of it without one was recorded before.
  holder_->echoChallenge = true;
  EXPECT_EQ(pull(), SyncEngine::Pull::kDone);
  holder_->echoChallenge = false;
  EXPECT_THROW(pull(), QoExceptionZeBadFormat);
}

TEST_F(PullAnswerSignerTest, PartsNotSignedByThePeerAreNotInstalledAndFetchedAgain) {
  for (Signer signer : {Signer::kNobody, Signer::kOther, Signer::kPeerNamedOnly, Signer::kErrorReply}) {
    SCOPED_TRACE(static_cast<int>(signer));
    holder_->getSigner = signer;
    EXPECT_EQ(pull(), SyncEngine::Pull::kDone);
    expectNothingTaken();
    // Shown as the pairing's failure, and fetched again from there.
    EXPECT_EQ(failedUsn(), lowestUsn_);
    EXPECT_LT(storedMark(), failedUsn());
  }
}

}  // namespace
}  // namespace velbor::test
