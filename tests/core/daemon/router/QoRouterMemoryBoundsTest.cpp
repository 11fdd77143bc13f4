// What a peer can make the router hold: request frames beyond the bound, and requests of
// more frames than any request has, end their connection, and replies a peer does not read hold back its requests and,
// in the end, cut it off, while other peers are served.
#include <atomic>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "PairingFixture.h"
#include "RouterTestBase.h"
#include "core/daemon/router/FailingHosts.h"
#include "core/daemon/router/ReplySealer.h"
#include "core/entity/QoFile.h"
#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/utils/QoUtils.h"
#include "framework/network/ZMQContext.h"
#include "framework/network/ZMQMessage.h"
#include "framework/network/ZMQSocket.h"
#include "proto/VelborProto.pb.h"
#include "support/Eventually.h"
#include "support/LoopbackListener.h"
#include "support/TempDir.h"
#include "support/ThreadHold.h"
#include "support/ZmtpTestPeer.h"

namespace velbor::test {
namespace {

constexpr int32_t kPart = 0x100000;
constexpr int kWaitMs = 20000;

// A peer on a DEALER socket of its own that reads only when told to, with as little
// buffered on its side as ZeroMQ and the system allow, and that hears when its connection
// ends. It connects from `host`, an address of the loopback range.
class RawPeer {
 public:
  explicit RawPeer(const std::string& endpoint, const std::string& host = "127.0.0.1")
      : context_(std::make_shared<ZMQContext>(1)) {
    socket_ = context_->socketWithType(ZMQ_DEALER);
    setInt(ZMQ_RCVHWM, 1);
    setInt(ZMQ_RCVBUF, 64 * 1024);
    setInt(ZMQ_RECONNECT_IVL, -1);
    // Whatever it did not get to send goes with it.
    setInt(ZMQ_LINGER, 0);
    static std::atomic<int> serial{0};
    const std::string monitorUri = "inproc://raw-peer-monitor-" + std::to_string(serial++);
    EXPECT_EQ(zmq_socket_monitor(socket_->zmqSocket(), monitorUri.c_str(), ZMQ_EVENT_DISCONNECTED), 0);
    monitor_ = context_->socketWithType(ZMQ_PAIR);
    monitor_->connectToEndpoint(monitorUri);
    socket_->connectToEndpoint("tcp://" + host + ":0;127.0.0.1:" + std::to_string(portOf(endpoint)));
  }
  ~RawPeer() { context_->terminate(); }

  void send(const std::vector<std::string>& envelope) {
    ZMQMessage message = messageOf(envelope);
    message.insertEmptyFrameAtHead();
    ASSERT_TRUE(message.sendToSocket(*socket_));
  }

  // The reply envelope; nothing when none came in time.
  std::optional<std::vector<std::string>> receive() {
    zmq_pollitem_t item{};
    socket_->getPollItem(item, ZMQ_POLLIN);
    if (ZMQContext::pollWithItems(&item, 1, kWaitMs) <= 0) return std::nullopt;
    std::vector<std::string> frames = framesOf(ZMQMessage::recvFromSocket(*socket_));
    if (!frames.empty()) frames.erase(frames.begin());
    return frames;
  }

  // Takes the replies that reached this side, so that ZeroMQ reads the connection again.
  int drain() {
    int count = 0;
    zmq_pollitem_t item{};
    socket_->getPollItem(item, ZMQ_POLLIN);
    while (ZMQContext::pollWithItems(&item, 1, 200) > 0) {
      ZMQMessage::recvFromSocket(*socket_);
      ++count;
    }
    return count;
  }

  // Sends `envelope`; true when its reply came, false when the connection ended first.
  bool answeredOrEnded(const std::vector<std::string>& envelope) {
    send(envelope);
    zmq_pollitem_t items[2]{};
    socket_->getPollItem(items[0], ZMQ_POLLIN);
    monitor_->getPollItem(items[1], ZMQ_POLLIN);
    if (ZMQContext::pollWithItems(items, 2, kWaitMs) <= 0 || !(items[0].revents & ZMQ_POLLIN)) return false;
    ZMQMessage::recvFromSocket(*socket_);
    return true;
  }

  // Whether the connection ended (within the guard time).
  bool waitDisconnected() {
    zmq_pollitem_t item{};
    monitor_->getPollItem(item, ZMQ_POLLIN);
    if (ZMQContext::pollWithItems(&item, 1, kWaitMs) <= 0) return false;
    const std::string event = monitor_->receiveDataWithFlags(0);
    if (monitor_->msgMore()) monitor_->receiveDataWithFlags(0);
    uint16_t number = 0;
    if (event.size() >= sizeof number) std::memcpy(&number, event.data(), sizeof number);
    return number == ZMQ_EVENT_DISCONNECTED;
  }

 private:
  void setInt(int option, int value) {
    socket_->setData(std::string(reinterpret_cast<const char*>(&value), sizeof value), option);
  }

  std::shared_ptr<ZMQContext> context_;
  std::shared_ptr<ZMQSocket> socket_;
  std::shared_ptr<ZMQSocket> monitor_;
};

class RouterMemoryBoundsTest : public RouterTestBase, public PairingFixture {
 protected:
  void SetUp() override {
    RouterTestBase::SetUp();
    tree_ = makeCopy(dir_.str(), QoDevice::getDeviceLocal(), QoUtils::generateUuid());
    writeFile(dir_ / "big.bin", std::string(kPart, 'x'));
    recordFile(tree_, dir_.str() + "/big.bin", kPart, "1");
  }

  std::shared_ptr<pb::MsgGetRequest> partRequest(const std::string& path = "/big.bin") const {
    auto request = std::make_shared<pb::MsgGetRequest>();
    request->set_transfer(1);
    request->set_tree_uuid(tree_->uuid());
    request->set_path(path);
    request->mutable_part()->set_offset(0);
    request->mutable_part()->set_length(kPart);
    return request;
  }

  // The bounds small enough for a test; no connection is cut unless `stall` says so.
  static RequestGate::Limits smallLimits(std::chrono::milliseconds stall = std::chrono::hours(1)) {
    RequestGate::Limits limits;
    limits.peerReplyBytes = 4 * kPart;
    limits.totalReplyBytes = 64 * kPart;
    limits.stallLimit = stall;
    limits.stallLimitUnderPressure = stall;
    limits.trimAfterBytes = kPart;
    return limits;
  }

  // A part's reply was answered in full to the trusted client.
  static void expectPartServed(RouterTestClient& client, const std::shared_ptr<pb::MsgGetRequest>& request) {
    QoMessage::Ptr reply = client.request(pb::MsgCodeGetRequest, request, 1);
    ASSERT_NE(reply, nullptr);
    ASSERT_EQ(reply->code(), pb::MsgCodeGetResponse);
    EXPECT_EQ(reply->pbBodyAs<pb::MsgGetResponse>()->part_data().size(), static_cast<size_t>(kPart));
  }

  TempDir dir_{"velbor-router-memory"};
  QoSyncdirCopy::Ptr tree_;
};

TEST_F(RouterMemoryBoundsTest, PeerThatReadsNothingWaitsAtItsByteBoundWhileOthersAreServed) {
  router_.setRequestLimits(smallLimits());
  auto client = startRouter();
  const std::vector<std::string> request = client->seal(pb::MsgCodeGetRequest, partRequest(), 1);
  constexpr int kRequests = 48;
  RawPeer silent(router_.frontendEndpoint());
  for (int i = 0; i < kRequests; ++i) silent.send(request);

  // Its requests wait once its replies pile up.
  ASSERT_TRUE(eventually([&] { return router_.requestStats().waitingRequests > 0; }));
  expectPartServed(*client, partRequest());
  // The bound, and at most one reply more for each worker and each place in the sealer.
  const size_t inFlight = 3 + 2 * ReplySealer::defaultThreadCount() + 3 + 1;
  EXPECT_LE(router_.heldReplyBytes(), smallLimits().peerReplyBytes + inFlight * (kPart + 4096));
  EXPECT_GT(router_.requestStats().waitingRequests, 0u);
  EXPECT_EQ(router_.requestStats().droppedRequests, 0u);

  // Once it reads, every request it made is answered, and nothing stays held.
  for (int i = 0; i < kRequests; ++i) {
    auto reply = silent.receive();
    ASSERT_TRUE(reply.has_value()) << i;
    QoMessage::Ptr opened = client->open(*reply);
    ASSERT_EQ(opened->code(), pb::MsgCodeGetResponse) << i;
  }
  EXPECT_TRUE(eventually([&] { return router_.heldReplyBytes() == 0; }));
  EXPECT_EQ(router_.requestStats().waitingRequests, 0u);
  EXPECT_EQ(router_.requestStats().cutConnections, 0u);
}

TEST_F(RouterMemoryBoundsTest, PeerThatReadsNothingForLongIsCutOffAndItsRepliesAreGivenBack) {
  router_.setRequestLimits(smallLimits(std::chrono::milliseconds(300)));
  auto client = startRouter();
  const std::vector<std::string> request = client->seal(pb::MsgCodeGetRequest, partRequest(), 1);
  RawPeer silent(router_.frontendEndpoint());
  for (int i = 0; i < 48; ++i) silent.send(request);

  ASSERT_TRUE(eventually([&] { return router_.requestStats().cutConnections == 1; }));
  // A few replies had reached it; the rest never will.
  EXPECT_LT(silent.drain(), 24);
  EXPECT_TRUE(silent.waitDisconnected());
  // ZeroMQ dropped what it queued for the connection, its waiting requests went with it, and
  // the heap was handed back.
  EXPECT_TRUE(eventually([&] { return router_.heldReplyBytes() == 0; }));
  EXPECT_TRUE(eventually([&] { return router_.requestStats().heapTrims > 0; }));
  EXPECT_EQ(router_.requestStats().waitingRequests, 0u);
  EXPECT_GT(router_.requestStats().droppedRequests, 0u);
  expectPartServed(*client, partRequest());
  EXPECT_EQ(router_.requestStats().cutConnections, 1u);
}

// One captured part request replayed on several connections of one host, none of which
// reads: that host waits at its own bound, and a fetcher of another host that pauses while
// holding replies keeps its place, as when no one else were there.
TEST_F(RouterMemoryBoundsTest, ConnectionsOfOneHostShareOneBoundAndLeaveOtherHostsTheirShare) {
  RequestGate::Limits limits = smallLimits();
  // Without a bound per host, the replayers' connections would fill the total.
  limits.totalReplyBytes = 24 * kPart;
  limits.hostReplyBytes = limits.peerReplyBytes;
  limits.stallLimitUnderPressure = std::chrono::milliseconds(300);
  router_.setRequestLimits(limits);
  auto client = startRouter();
  const std::vector<std::string> request = client->seal(pb::MsgCodeGetRequest, partRequest(), 1);

  RawPeer fetcher(router_.frontendEndpoint(), "127.0.0.2");
  // More than the system's buffers take: some of its replies wait in the router.
  constexpr int kFetched = 12;
  for (int i = 0; i < kFetched; ++i) fetcher.send(request);
  ASSERT_TRUE(eventually([&] { return router_.heldReplyBytes() >= 2 * kPart; }));

  std::vector<std::unique_ptr<RawPeer>> replayers;
  for (int i = 0; i < 8; ++i) {
    replayers.push_back(std::make_unique<RawPeer>(router_.frontendEndpoint(), "127.0.0.3"));
    for (int j = 0; j < 10; ++j) replayers.back()->send(request);
  }
  ASSERT_TRUE(eventually([&] { return router_.requestStats().waitingRequests > 0; }));
  // The room left is the other hosts': a third one is served at once.
  expectPartServed(*client, partRequest());
  // The fetcher pauses for several times the short stall limit, which applies only while a
  // connection waits that nothing but the total holds back.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(router_.requestStats().cutConnections, 0u);
  int answered = 0;
  while (answered < kFetched && fetcher.receive().has_value()) ++answered;
  EXPECT_EQ(answered, kFetched);
  EXPECT_EQ(router_.requestStats().droppedRequests, 0u);
}

// Room freed for requests that wait and a new request, both found by the broker in one
// round, as under any load where a reader catches up while others ask: the waiting requests
// take the idle workers, and the new one waits in the frontend for the next worker that
// comes free. Every request is answered and the router serves on.
TEST_F(RouterMemoryBoundsTest, RoomFreedAndANewRequestInOneRoundAreAllServed) {
  RequestGate::Limits limits = smallLimits();
  // One reply held back holds the reader's requests back.
  limits.peerReplyBytes = kPart;
  router_.setRequestLimits(limits);
  auto client = startRouter();
  const std::vector<std::string> request = client->seal(pb::MsgCodeGetRequest, partRequest(), 1);
  RawPeer reader(router_.frontendEndpoint(), "127.0.0.2");
  constexpr int kRequests = 24;
  for (int i = 0; i < kRequests; ++i) reader.send(request);
  // More of them wait than there are workers.
  ASSERT_TRUE(eventually([&] { return router_.requestStats().waitingRequests >= 6; }));

  ThreadHold broker("VelborRouter");
  ASSERT_TRUE(broker.found());
  ASSERT_TRUE(broker.hold());
  // Meanwhile the reader takes what reached it, so that ZeroMQ writes on and lets go of the
  // replies held for it, and another peer asks.
  int answered = reader.drain();
  ASSERT_TRUE(eventually([&] { return router_.heldReplyBytes() == 0; }));
  auto scan = std::async(std::launch::async, [&] { return client->request(pb::MsgCodeScanRequest, nullptr, 1); });
  // Time for the request to reach the router's socket; should it come later, it is merely
  // found in a later round.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  broker.release();

  QoMessage::Ptr reply = scan.get();
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->code(), pb::MsgCodeScanResponse);
  for (; answered < kRequests; ++answered) {
    auto part = reader.receive();
    ASSERT_TRUE(part.has_value()) << answered;
    EXPECT_EQ(client->open(*part)->code(), pb::MsgCodeGetResponse) << answered;
  }
  EXPECT_EQ(router_.requestStats().droppedRequests, 0u);
  expectServes(*client);
}

TEST_F(RouterMemoryBoundsTest, RequestFrameBeyondTheBoundEndsItsConnectionAndOneAtTheBoundIsServed) {
  auto client = startRouter();
  // The largest request there is: a part of a file with a long path, asked for with the
  // uuids of as many copies as fit, its body exactly at the bound.
  auto big = partRequest();
  while (static_cast<int64_t>(big->ByteSizeLong()) < QoRouter::kMaxRequestFrameBytes - 4096) {
    big->add_uuids(QoUtils::generateUuid());
  }
  std::string path = "/" + std::string(3000, 'p');
  for (;;) {
    big->set_path(path);
    const auto size = static_cast<int64_t>(big->ByteSizeLong());
    if (size == QoRouter::kMaxRequestFrameBytes) break;
    ASSERT_LT(size, QoRouter::kMaxRequestFrameBytes);
    path.append(static_cast<size_t>(QoRouter::kMaxRequestFrameBytes - size), 'p');
  }
  std::vector<std::string> atBound = client->seal(pb::MsgCodeGetRequest, big, 1);
  ASSERT_EQ(atBound.size(), 2u);
  ASSERT_EQ(static_cast<int64_t>(atBound[1].size()), QoRouter::kMaxRequestFrameBytes);
  auto reply = client->exchange(atBound);
  ASSERT_TRUE(reply.has_value());
  QoMessage::Ptr opened = client->open(*reply);
  // The file of that path does not exist: the request was read and handled.
  ASSERT_EQ(opened->code(), pb::MsgCodeGetError);
  EXPECT_EQ(opened->pbBodyAs<pb::MsgGetError>()->errcode(), pb::ErrorCodeBadPath);

  std::vector<std::string> beyond = atBound;
  beyond[1].push_back('p');
  RawPeer junk(router_.frontendEndpoint());
  junk.send(beyond);
  EXPECT_TRUE(junk.waitDisconnected());
  expectServes(*client);
}

// ZeroMQ would keep every empty frame of a request that never ends, some 30 times its size on
// the wire: such a connection ends, from whatever host, and the others are served.
TEST_F(RouterMemoryBoundsTest, RequestOfEndlessEmptyFramesEndsItsConnection) {
  auto client = startRouter();
  const uint16_t port = portOf(router_.frontendEndpoint());
  const std::string chunk = ZmtpTestPeer::endlessEmptyFrames();
  for (const std::string host : {"127.0.0.2", "127.0.0.3"}) {
    ZmtpTestPeer peer(port, host);
    ASSERT_TRUE(peer.connected()) << host;
    ASSERT_TRUE(peer.handshake("DEALER", std::chrono::milliseconds(kWaitMs))) << host;
    // One read of the far side's worth: ZeroMQ, unguarded, holds all of it and waits for more.
    peer.sendBytes(chunk);
    EXPECT_TRUE(peer.closedWithin(std::chrono::milliseconds(kWaitMs))) << host;
  }
  expectServes(*client);
}

// One host that opens connections and sends nothing whole holds a few of them, for a while:
// past its bound its connections are refused, a trusted device's request (from this
// device's own loopback here) takes the place of the newest when the table is full, and the
// rest are ended once idle too long.
TEST_F(RouterMemoryBoundsTest, IdleConnectionsOfOneHostAreBoundedAndEndedWhileTrustedPeersAreServed) {
  ZMQFrameGuard::Connections connections;
  connections.perHost = 4;
  connections.inAll = 4;
  connections.idle = std::chrono::seconds(2);
  router_.setGuardConnections(connections);
  auto client = startRouter();
  const uint16_t port = portOf(router_.frontendEndpoint());
  std::vector<std::unique_ptr<ZmtpTestPeer>> held;
  int refused = 0;
  for (int i = 0; i < 8; ++i) {
    auto peer = std::make_unique<ZmtpTestPeer>(port, "127.0.0.2");
    if (peer->handshake("DEALER", std::chrono::milliseconds(kWaitMs))) {
      held.push_back(std::move(peer));
    } else {
      ++refused;
    }
  }
  EXPECT_EQ(held.size(), 4u);
  EXPECT_EQ(refused, 4);
  expectServes(*client);
  for (auto& peer : held) EXPECT_TRUE(peer->closedWithin(std::chrono::milliseconds(kWaitMs)));
  expectServes(*client);
}

// Requests that fail to open cost a key's work each: a host that keeps sending them, in any
// form, has its connections ended and new ones refused for a while, while a trusted
// device (this device's own loopback here; its malformed requests are never counted, see
// MalformedRequestsAreAnsweredWithBoundedLogLines) is served. Those naming a device not known
// or not trusted here cost no key's work and are never counted: a device whose trust ended
// here asks again and again, and must hear each time that it is refused.
TEST_F(RouterMemoryBoundsTest, HostWhoseRequestsKeepFailingToOpenIsCutAndRefusedWhileTrustedPeersAreServed) {
  auto client = startRouter();
  const std::string endpoint = router_.frontendEndpoint();
  const uint16_t port = portOf(endpoint);
  const auto withHead = [&client](int level, const std::function<void(pb::MsgHead&)>& change) {
    std::vector<std::string> frames = client->seal(pb::MsgCodeFindRequest, findRequest(), level);
    pb::MsgHead head;
    EXPECT_TRUE(head.ParseFromString(frames[0]));
    change(head);
    frames[0] = head.SerializeAsString();
    return frames;
  };
  std::vector<std::string> undecryptable = client->seal(pb::MsgCodeFindRequest, findRequest(), 2);
  undecryptable[1] = std::string(undecryptable[1].size(), 'x');
  const std::string distrusted = addDevice(QoUtils::generateUuid(), "bravo", keysBravo().publicKey, 0)->uuid();
  struct Form {
    const char* what;
    std::vector<std::string> envelope;
    bool refused = true;
    // Each on a connection of its own, ended right after it: gone before it is read.
    bool closedAtOnce = false;
  };
  const std::vector<Form> forms = {
      {"unsigned", client->seal(pb::MsgCodeFindRequest, findRequest(), 0)},
      {"a false header", {std::string(16, '\xff'), "body"}},
      {"a bad signature", withHead(1, [](pb::MsgHead& head) { head.mutable_sign()->back() ^= 1; })},
      {"undecryptable", undecryptable},
      {"a device not known here", withHead(1, [](pb::MsgHead& head) { head.set_uuid(QoUtils::generateUuid()); }),
       false},
      {"a device not trusted here", withHead(1, [&](pb::MsgHead& head) { head.set_uuid(distrusted); }), false},
      {"undecryptable, the connection ended", undecryptable, true, true},
  };
  for (size_t i = 0; i < forms.size(); ++i) {
    const std::string host = "127.0.0." + std::to_string(10 + i);
    RawPeer peer(endpoint, host);
    if (!forms[i].refused) {
      for (size_t sent = 0; sent < 2 * FailingHosts::kFailuresAllowed; ++sent) {
        ASSERT_TRUE(peer.answeredOrEnded(forms[i].envelope)) << forms[i].what << ", request " << sent;
      }
      EXPECT_TRUE(ZmtpTestPeer(port, host).handshake("DEALER", std::chrono::milliseconds(kWaitMs))) << forms[i].what;
      continue;
    }
    if (forms[i].closedAtOnce) {
      for (size_t sent = 0; sent < 2 * FailingHosts::kFailuresAllowed; ++sent) {
        ZmtpTestPeer once(port, host);
        // Refused already.
        if (!once.handshake("DEALER", std::chrono::milliseconds(kWaitMs))) break;
        once.sendFrame("", true);
        for (size_t f = 0; f < forms[i].envelope.size(); ++f) {
          once.sendFrame(forms[i].envelope[f], f + 1 < forms[i].envelope.size());
        }
      }
      EXPECT_TRUE(eventually([&] {
        return !ZmtpTestPeer(port, host).handshake("DEALER", std::chrono::milliseconds(kWaitMs));
      })) << forms[i].what;
      expectServes(*client);
      continue;
    }
    for (size_t sent = 1; sent < FailingHosts::kFailuresAllowed; ++sent) {
      ASSERT_TRUE(peer.answeredOrEnded(forms[i].envelope)) << forms[i].what << ", request " << sent;
    }
    peer.answeredOrEnded(forms[i].envelope);
    EXPECT_TRUE(peer.waitDisconnected()) << forms[i].what;
    ZmtpTestPeer again(port, host);
    EXPECT_FALSE(again.handshake("DEALER", std::chrono::milliseconds(kWaitMs))) << forms[i].what;
    expectServes(*client);
  }
}

}  // namespace
}  // namespace velbor::test
