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
