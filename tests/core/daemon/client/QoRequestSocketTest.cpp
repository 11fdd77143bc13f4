#include "core/daemon/client/QoRequestSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "core/envelope/EnvelopeTestSupport.h"
#include "framework/network/ZMQMessage.h"
#include "proto/VelborProto.pb.h"
#include "support/LoopbackListener.h"
#include "support/ZmtpTestPeer.h"

namespace velbor::test {
namespace {

constexpr auto kBound = std::chrono::seconds(20);

// A listening tcp socket on loopback, closed when it goes.
struct Listener {
  Listener() {
    uint16_t port = 0;
    fd = listenOnLoopback(port);
    endpoint = fmt::format("tcp://127.0.0.1:{}", port);
  }
  ~Listener() { ::close(fd); }
  int fd = -1;
  std::string endpoint;
};

// A device's request port as a host would serve it by hand: takes the request whole, then
// answers with `answer`.
std::thread serve(Listener& listener, std::function<void(ZmtpTestPeer&)> answer) {
  return std::thread([&listener, answer = std::move(answer)] {
    auto peer = ZmtpTestPeer::accept(listener.fd, kBound);
    if (!peer || !peer->handshake("REP", kBound)) return;
    do {
      if (!peer->receiveFrame(kBound)) return;
    } while (peer->lastMore());
    answer(*peer);
  });
}

// Requests go to alpha, which signs its replies.
class RequestSocketTest : public EnvelopeTestBase {
 protected:
  void SetUp() override {
    EnvelopeTestBase::SetUp();
    alpha_ = addDevice("alpha-uuid", "Alpha", keysAlpha().publicKey);
    bravo_ = addDevice("bravo-uuid", "Bravo", keysBravo().publicKey);
  }
  QoDevice::Ptr alpha_;
  QoDevice::Ptr bravo_;
};

// A reply whose frames never end is given up once its connection has brought more than any
// reply can be; it does not hold the socket for the whole wait.
TEST_F(RequestSocketTest, AReplyThatNeverEndsIsGivenUp) {
  Listener listener;
  constexpr uint64_t kCap = uint64_t{768} << 20;
  std::atomic<uint64_t> sent{0};
  std::thread server = serve(listener, [&sent](ZmtpTestPeer& peer) {
    const std::string frame(4 << 20, 'r');
    if (!peer.sendFrame("", true)) return;
    while (sent < kCap && peer.sendFrame(frame, true)) sent += frame.size();
  });
  {
    QoRequestSocket socket(alpha_, listener.endpoint, 0);
    auto request = QoMessage::qoMessageWithMsgCode(pb::MsgCodeScanRequest, nullptr);
    EXPECT_EQ(socket.exchange(*request, 60000).outcome, QoRequestSocket::Outcome::kTimeout);
  }
  server.join();
  EXPECT_LT(sent.load(), kCap);
}

// What a host answers beyond what one reply can be costs it its connection at once, while the
// device holds no more than one reply's frames and bytes: empty frames without end (each
// would cost ZeroMQ 30 times its bytes), more bytes than the socket takes, a second reply.
TEST_F(RequestSocketTest, AnAnswerBeyondOneReplyCutsItsConnection) {
  const std::string empties = ZmtpTestPeer::endlessEmptyFrames();
  struct Case {
    const char* what;
    uint64_t maxReplyBytes;
    std::function<void(ZmtpTestPeer&)> send;
    QoRequestSocket::Outcome outcome;
  };
  const Case cases[] = {
      {"empty frames without end", QoRequestSocket::kMaxReplyBytes,
       [&](ZmtpTestPeer& peer) {
         for (int i = 0; i < 64 && peer.sendBytes(empties); ++i) {
         }
       },
       QoRequestSocket::Outcome::kTimeout},
      {"more bytes than the socket takes", 64 * 1024,
       [](ZmtpTestPeer& peer) {
         peer.sendFrame("", true);
         peer.sendFrame(std::string(65 * 1024, 'r'), false);
       },
       QoRequestSocket::Outcome::kTimeout},
      {"a second reply", QoRequestSocket::kMaxReplyBytes,
       [this](ZmtpTestPeer& peer) {
         auto body = std::make_shared<pb::MsgPubExit>();
         body->set_publisher("alpha");
         ZMQMessage reply = between(pb::MsgCodePubExit, body, 1, alpha_, bravo_, keysAlpha())->getSendZMQMessage();
         for (int i = 0; i < 2; ++i) {
           ZMQMessage copy = reply;
           peer.sendFrame("", true);
           while (auto frame = copy.getNextFrame()) peer.sendFrame(*frame, copy.ifMoreFrame());
         }
       },
       QoRequestSocket::Outcome::kReply},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Listener listener;
    std::atomic<bool> closed{false};
    std::thread server = serve(listener, [&](ZmtpTestPeer& peer) {
      c.send(peer);
      closed = peer.closedWithin(kBound);
    });
    {
      QoRequestSocket socket(alpha_, listener.endpoint, 0, c.maxReplyBytes);
      auto request = QoMessage::qoMessageWithMsgCode(pb::MsgCodeScanRequest, nullptr);
      EXPECT_EQ(socket.exchange(*request, 60000).outcome, c.outcome);
      // The socket is still open: only the guard can have ended the connection.
      server.join();
    }
    EXPECT_TRUE(closed.load());
  }
}

// The largest replies of the protocol still come through whole.
TEST_F(RequestSocketTest, ALargeReplyComesThrough) {
  Listener listener;
  auto body = std::make_shared<pb::MsgPubExit>();
  body->set_publisher(std::string(48 << 20, 'p'));
  std::thread server = serve(listener, [this, &body](ZmtpTestPeer& peer) {
    ZMQMessage reply = between(pb::MsgCodePubExit, body, 1, alpha_, bravo_, keysAlpha())->getSendZMQMessage();
    peer.sendFrame("", true);
    while (auto frame = reply.getNextFrame()) peer.sendFrame(*frame, reply.ifMoreFrame());
    peer.closedWithin(kBound);
  });
  {
    QoRequestSocket socket(alpha_, listener.endpoint, 0);
    auto request = QoMessage::qoMessageWithMsgCode(pb::MsgCodeScanRequest, nullptr);
    QoRequestSocket::Result result = socket.exchange(*request, 60000);
    ASSERT_EQ(result.outcome, QoRequestSocket::Outcome::kReply);
    auto received = result.reply->pbBodyAs<pb::MsgPubExit>();
    ASSERT_NE(received, nullptr);
    EXPECT_EQ(received->publisher().size(), body->publisher().size());
  }
  server.join();
}

}  // namespace
}  // namespace velbor::test
