#include <dirent.h>
#include <unistd.h>
#include <zmq.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "AnsweringPeer.h"
#include "ClientTestBase.h"
#include "core/daemon/client/QoClient.h"
#include "core/daemon/router/QoHandlerTable.h"
#include "core/state/DataSource.h"
#include "framework/errors/QoException.h"
#include "framework/errors/QoExceptionProto.h"
#include "proto/VelborProto.pb.h"

namespace velbor::test {
namespace {

// Open descriptors of this process: a request that leaves its context or socket behind
// leaves descriptors behind.
size_t openDescriptors() {
  size_t count = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (::readdir(dir) != nullptr) ++count;
    ::closedir(dir);
  }
  return count;
}

class QoClientTest : public ClientTestBase {
 protected:
  static QoDevice::Ptr deviceAt(const std::string& endpoint, const std::string& name) {
    QoDevice::Ptr device = addDevice(QoUtils::generateUuid(), name, keysBravo().publicKey);
    device->setRouteUri(endpoint);
    device->setIsOnline(true);
    device->save();
    return device;
  }
};

TEST_F(QoClientTest, TrustRequestsGoAtLevelTwoOthersAtTheSetting) {
  AnsweringPeer peer;
  QoConfig& config = QoConfig::sharedQoConfig();
  config.setEncryptLevel(0);

  QoMessage::Ptr offerReply = QoClient::sendTrustPublishRequestTo(peer.device(), QoClient::kOptionSync);
  ASSERT_NE(offerReply, nullptr);
  EXPECT_EQ(offerReply->code(), pb::MsgCodeTrustPublishResponse);
  QoMessage::Ptr statusReply = QoClient::sendStatusRequestTo(peer.device(), QoClient::kOptionSync);
  ASSERT_NE(statusReply, nullptr);
  EXPECT_EQ(statusReply->code(), pb::MsgCodeStatusResponse);
  EXPECT_NE(statusReply->pbBodyAs<pb::MsgStatusResponse>(), nullptr);
  config.setEncryptLevel(1);
  ASSERT_NE(QoClient::sendStatusRequestTo(peer.device(), QoClient::kOptionSync), nullptr);

  const auto heads = peer.heads();
  ASSERT_EQ(heads.size(), 3U);
  EXPECT_EQ(heads[0].level(), pb::EncryptLevelEncrypt);
  EXPECT_EQ(heads[0].uuid(), config.deviceUuid());
  // At level 0 the request names no sender.
  EXPECT_EQ(heads[1].code(), pb::MsgCodeStatusRequest);
  EXPECT_EQ(heads[1].level(), 0);
  EXPECT_FALSE(heads[1].has_uuid());
  EXPECT_EQ(heads[2].level(), 1);
  EXPECT_EQ(heads[2].uuid(), config.deviceUuid());

  // The offer sent is the one kept for the peer's answer.
  const auto offer = DataSource::sharedDataSource().getSendTrustContext(peer.device()->uuid());
  ASSERT_NE(offer, nullptr);
  EXPECT_EQ(offer->token.size(), 36U);
  EXPECT_EQ(offer->timeout, config.trustAuthTimeOut());
  EXPECT_EQ(peer.tokens(), std::vector<std::string>{offer->token});
}

// Another device's endpoint taken over: whatever answers there is taken only with the
// signature of the device asked. An unsigned error reply still fails the request.
TEST_F(QoClientTest, OnlyTheAskedDevicesSignedReplyIsTaken) {
  enum class Signer { kAsked, kNobody, kOther, kNobodyError };
  std::atomic<Signer> signer{Signer::kAsked};
  std::unique_ptr<RouterTestClient> asked;
  // Another device this one trusts, with its own key.
  std::unique_ptr<RouterTestClient> other;
  FakePeer fake([&](const FakePeer::Frames& request) -> std::optional<FakePeer::Frames> {
    pb::MsgHead head;
    head.ParseFromString(request[0]);
    QoMessage::Body body;
    if (head.code() == pb::MsgCodeStatusRequest) body = std::make_shared<pb::MsgStatusResponse>();
    if (head.code() == pb::MsgCodeTrustRequest) {
      auto result = std::make_shared<pb::MsgTrustResponse>();
      result->set_trust_result(pb::TrustResultAccepted);
      body = result;
    }
    if (head.code() == pb::MsgCodeListRequest) {
      auto list = std::make_shared<pb::MsgListResponse>();
      list->set_root("/planted");
      body = list;
    }
    switch (signer.load()) {
      case Signer::kAsked:
        return asked->seal(head.code() + 1, body, QoMessage::kLevelEncrypt);
      case Signer::kOther:
        return other->seal(head.code() + 1, body, QoMessage::kLevelEncrypt);
      case Signer::kNobody:
        return framesOf(QoMessage::qoMessageWithMsgCode(head.code() + 1, body)->getSendZMQMessage());
      case Signer::kNobodyError:
        return framesOf(QoMessage::qoMessageErrorWithErrorCode(pb::ErrorCodeBadTree, "refused")->getSendZMQMessage());
    }
    return std::nullopt;
  });
  asked = peerAt(fake.endpoint(), keysAlpha());
  other = peerAt(fake.endpoint(), keysBravo());
  const QoDevice::Ptr device = asked->device();
  QoConfig::sharedQoConfig().setEncryptLevel(2);
  QoClient browser(device);
  const auto list = [] {
    auto body = std::make_shared<pb::MsgListRequest>();
    body->set_root("/");
    return QoMessage::qoMessageWithMsgCode(pb::MsgCodeListRequest, body);
  };

  // The device itself: taken.
  ASSERT_NE(QoClient::sendStatusRequestTo(device, QoClient::kOptionSync), nullptr);
  ASSERT_NE(QoClient::sendTrustRequestTo(device, QoClient::kOptionSync, "their-offer"), nullptr);
  ASSERT_NE(browser.responseFromRequest(list()), nullptr);

  for (Signer impostor : {Signer::kNobody, Signer::kOther}) {
    SCOPED_TRACE(impostor == Signer::kNobody ? "unsigned" : "signed by another device");
    signer = impostor;
    EXPECT_EQ(QoClient::sendStatusRequestTo(device, QoClient::kOptionSync), nullptr);
    EXPECT_EQ(QoClient::sendTrustRequestTo(device, QoClient::kOptionSync, "their-offer"), nullptr);
    EXPECT_EQ(browser.responseFromRequest(list()), nullptr);
    EXPECT_THROW(QoClient::sendMessageTo(device, QoMessage::qoMessageWithMsgCode(pb::MsgCodeTreeShowRequest, nullptr)),
                 QoExceptionZeUntrusted);
  }

  signer = Signer::kNobodyError;
  const QoMessage::Ptr refusal = QoClient::sendStatusRequestTo(device, QoClient::kOptionSync);
  ASSERT_NE(refusal, nullptr);
  EXPECT_EQ(refusal->code(), pb::MsgCodeError);
  ASSERT_NE(refusal->pbBodyAs<pb::MsgError>(), nullptr);
  EXPECT_EQ(refusal->pbBodyAs<pb::MsgError>()->errcode(), pb::ErrorCodeBadTree);
}

TEST_F(QoClientTest, AnswersAndWithdrawalsNeedTheirOffer) {
  AnsweringPeer peer;
  EXPECT_EQ(QoClient::sendTrustRequestTo(peer.device(), QoClient::kOptionSync), nullptr);
  EXPECT_EQ(QoClient::sendTrustDenyRequestTo(peer.device(), QoClient::kOptionSync), nullptr);
  EXPECT_EQ(QoClient::sendTrustCancelRequestTo(peer.device(), QoClient::kOptionSync), nullptr);
  EXPECT_TRUE(peer.heads().empty());

  DataSource::sharedDataSource().setRecvTrustContext(
      peer.device()->uuid(), std::make_shared<TrustInfo>(TrustInfo{peer.device()->uuid(), "their-offer", 10}));
  QoMessage::Ptr reply = QoClient::sendTrustRequestTo(peer.device(), QoClient::kOptionSync);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->code(), pb::MsgCodeTrustResponse);
  ASSERT_EQ(peer.heads().size(), 1U);
  EXPECT_EQ(peer.heads()[0].level(), pb::EncryptLevelEncrypt);

  // Bad input fails before anything is sent.
  EXPECT_EQ(QoClient::sendStatusRequestTo(nullptr, QoClient::kOptionSync), nullptr);
  EXPECT_EQ(QoClient::sendStatusRequestTo(peer.device(), 2), nullptr);
  EXPECT_EQ(peer.heads().size(), 1U);
}

TEST_F(QoClientTest, AnAsynchronousReplyIsPostedUnderItsRequestsName) {
  AnsweringPeer peer;
  NoticeLog<notice::StatusRequest> replies;
  EXPECT_EQ(QoClient::sendStatusRequestTo(peer.device(), QoClient::kOptionAsync), nullptr);
  const auto posted = replies.waitFor(1);
  ASSERT_EQ(posted.size(), 1U);
  ASSERT_NE(posted[0].reply, nullptr);
  EXPECT_EQ(posted[0].reply->code(), pb::MsgCodeStatusResponse);
  EXPECT_EQ(posted[0].device->uuid(), peer.device()->uuid());
}

TEST_F(QoClientTest, AnUnansweredRequestFailsAndClosesItsSocket) {
  SilentPeer silent;
  QoDevice::Ptr mute = deviceAt(silent.endpoint(), "mute");
  // No other peer in this process, so no descriptor of another connection comes or goes.
  const size_t descriptors = openDescriptors();

  EXPECT_EQ(QoClient::sendStatusRequestTo(mute, QoClient::kOptionSync), nullptr);
  EXPECT_TRUE(silent.nextConnectionCloses());
  EXPECT_EQ(openDescriptors(), descriptors);
}

TEST_F(QoClientTest, AnUnansweredAsynchronousRequestPostsNothing) {
  AnsweringPeer peer;
  SilentPeer silent;
  QoDevice::Ptr mute = deviceAt(silent.endpoint(), "mute");
  NoticeLog<notice::StatusRequest> replies;

  EXPECT_EQ(QoClient::sendStatusRequestTo(mute, QoClient::kOptionAsync), nullptr);
  // The request's socket is closed once it has given up.
  EXPECT_TRUE(silent.nextConnectionCloses());
  // A request that is answered afterwards is the only one posted.
  EXPECT_EQ(QoClient::sendStatusRequestTo(peer.device(), QoClient::kOptionAsync), nullptr);
  replies.waitFor(1);
  const auto posted = replies.delivered();
  ASSERT_EQ(posted.size(), 1U);
  EXPECT_EQ(posted[0].device->uuid(), peer.device()->uuid());
}

TEST_F(QoClientTest, APeerIsReachedOverTcpOnly) {
  // A listener on a local socket file: a peer's request endpoint naming it would reach past
  // the bounds the network sockets keep on what comes in.
  const std::string endpoint = fmt::format("ipc:///tmp/velbor-client-{}.ipc", ::getpid());
  void* context = zmq_ctx_new();
  void* listener = zmq_socket(context, ZMQ_ROUTER);
  ASSERT_EQ(zmq_bind(listener, endpoint.c_str()), 0);
  QoDevice::Ptr local = deviceAt(endpoint, "local-socket");

  EXPECT_EQ(QoClient::sendStatusRequestTo(local, QoClient::kOptionSync), nullptr);
  EXPECT_THROW(QoClient::sendMessageTo(local, QoMessage::qoMessageWithMsgCode(pb::MsgCodeTreeShowRequest, nullptr)),
               QoException);
  QoClient browser(local);
  EXPECT_EQ(browser.responseFromRequest(QoMessage::qoMessageWithMsgCode(pb::MsgCodeTreeShowRequest, nullptr)), nullptr);

  zmq_pollitem_t item{listener, 0, ZMQ_POLLIN, 0};
  EXPECT_EQ(zmq_poll(&item, 1, 0), 0) << "a request went out over " << endpoint;
  const int linger = 0;
  zmq_setsockopt(listener, ZMQ_LINGER, &linger, sizeof linger);
  zmq_close(listener);
  zmq_ctx_term(context);
  ::unlink(endpoint.substr(6).c_str());
}

TEST_F(QoClientTest, TheLocalDeviceIsServedWithoutASocket) {
  // Without a request endpoint, anything that went to the network would fail.
  QoDevice::Ptr local = QoDevice::getDeviceLocal();
  local->setRouteUri("");
  NoticeLog<notice::TreeShowRequest> replies;

  QoMessage::Ptr reply = QoClient::sendTreeShowRequestTo(local, QoClient::kOptionSync);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->code(), pb::MsgCodeTreeShowResponse);

  EXPECT_EQ(QoClient::sendTreeShowRequestTo(local, QoClient::kOptionAsync), nullptr);
  const auto posted = replies.waitFor(1);
  ASSERT_EQ(posted.size(), 1U);
  EXPECT_EQ(posted[0].reply->code(), pb::MsgCodeTreeShowResponse);

  // A handler's refusal, or no handler at all, makes the sender answer nothing.
  EXPECT_EQ(QoClient::sendSyncAddRequestTo(local, QoClient::kOptionSync, "bad", "bad", "bad", "/x", "bad"), nullptr);
  QoHandlerTable::ScopedOverride none("StatusRequest", nullptr);
  EXPECT_EQ(QoClient::sendStatusRequestTo(local, QoClient::kOptionSync), nullptr);
  // This device's own client is no signed sender of trust messages.
  EXPECT_EQ(QoClient::sendTrustPublishRequestTo(local, QoClient::kOptionSync), nullptr);
}

TEST_F(QoClientTest, ALocalTreeIsRemovedThroughItsHandlerUnlessPaired) {
  const auto paired = pairWith(QoDevice::getDeviceLocal(), "paired");
  EXPECT_THROW(QoClient::localTreeDelete(paired->firstSyncdirCopy()->uuid()), QoExceptionZeSyncNoempty);
  EXPECT_THROW(QoClient::localTreeDelete(QoUtils::generateUuid()), QoExceptionZeNoent);

  const auto lone = makeCopy("/tmp/local-lone", QoDevice::getDeviceLocal(), QoUtils::generateUuid());
  const QoMessage::Ptr reply = QoClient::localTreeDelete(lone->uuid());
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->code(), pb::MsgCodeTreeDeleteResponse);
  const auto removed = QoSyncdirCopy::getSyncdirCopyWithUuid(lone->uuid());
  ASSERT_TRUE(removed);
  EXPECT_FALSE(removed->device());
}

// Records each sync once it is asked for.
std::mutex syncOnceLock;
std::vector<std::string> syncOnceAsked;

QoMessage::Ptr recordSyncOnce(const QoRequest& request) {
  auto body = request.bodyAs<pb::MsgSyncOnceRequest>();
  std::lock_guard lock(syncOnceLock);
  syncOnceAsked.push_back(body->local_tree_uuid() + ">" + body->remote_tree_uuid());
  return QoMessage::qoMessageWithMsgCode(pb::MsgCodeSyncOnceResponse, nullptr);
}

TEST_F(QoClientTest, SyncOnceToStartsTheTrustedReachablePairings) {
  QoHandlerTable::ScopedOverride record("SyncOnceRequest", &recordSyncOnce);
  syncOnceAsked.clear();
  QoDevice::Ptr online = deviceAt("tcp://127.0.0.1:1", "online");
  QoDevice::Ptr offline = deviceAt("tcp://127.0.0.1:2", "offline");
  offline->setIsOnline(false);
  offline->save();
  QoDevice::Ptr untrusted = deviceAt("tcp://127.0.0.1:3", "untrusted");
  untrusted->setStatus(0);
  untrusted->save();
  const auto withOnline = pairWith(online, "online");
  pairWith(offline, "offline");
  pairWith(untrusted, "untrusted");
  const auto withSelf = pairWith(QoDevice::getDeviceLocal(), "self");

  NoticeLog<notice::SyncOnceRequest> replies;
  QoClient::syncOnceTo(nullptr);
  replies.waitFor(2);
  QoClient::syncOnceTo(online);
  replies.waitFor(3);
  EXPECT_EQ(replies.delivered().size(), 3U);
  std::lock_guard lock(syncOnceLock);
  EXPECT_EQ(sorted(syncOnceAsked), sorted({pairingKey(withOnline), pairingKey(withOnline), pairingKey(withSelf)}));
}

TEST_F(QoClientTest, BrowsingRequestsPostOnlyTheRepliesThatCame) {
  AnsweringPeer peer;
  SilentPeer silent;
  NoticeLog<notice::ListRequest> lists;
  NoticeLog<notice::ListRootRequest> roots;

  QoClient client(peer.device());
  client.sendListRequest("/");
  const auto posted = lists.waitFor(1);
  ASSERT_EQ(posted.size(), 1U);
  EXPECT_EQ(posted[0].reply->code(), pb::MsgCodeListResponse);

  // A device without an endpoint, and one that never answers: nothing is posted.
  QoDevice::Ptr nowhere = deviceAt("", "nowhere");
  client.changeServerDevice(nowhere);
  client.sendRequestMessage(QoMessage::qoMessageWithMsgCode(pb::MsgCodeListRootRequest, nullptr));
  client.changeServerDevice(deviceAt(silent.endpoint(), "mute"));
  client.sendRequestMessage(QoMessage::qoMessageWithMsgCode(pb::MsgCodeListRootRequest, nullptr));
  EXPECT_TRUE(silent.nextConnectionCloses());
  EXPECT_TRUE(roots.delivered().empty());

  EXPECT_THROW(QoClient{nullptr}, Exception);
  QoClient unbound;
  try {
    unbound.responseFromRequest(QoMessage::qoMessageWithMsgCode(pb::MsgCodeListRootRequest, nullptr));
    ADD_FAILURE() << "answered without a device";
  } catch (const Exception& e) {
    EXPECT_EQ(e.name(), "UninitializedQoClient");
  }
}

}  // namespace
}  // namespace velbor::test
