// Bytes a ZeroMQ socket holds for a peer, and the connection a received frame came by.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "framework/network/ZMQContext.h"
#include "framework/network/ZMQMessage.h"
#include "framework/network/ZMQSendAccount.h"
#include "framework/network/ZMQSocket.h"
#include "platform/ForeignTcpSocket.h"

namespace velbor {
namespace {

constexpr size_t kFrame = 1024 * 1024;

struct CountingAccount : ZMQSendAccount {
  void handedOver(size_t bytes) noexcept override { handed += bytes; }
  void released(size_t bytes) noexcept override {
    freed += bytes;
    ++frames;
  }
  std::atomic<size_t> handed{0};
  std::atomic<size_t> freed{0};
  std::atomic<size_t> frames{0};
};

template <typename Done>
bool eventually(Done done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::string lastEndpoint(ZMQSocket& socket) { return socket.dataForOption(ZMQ_LAST_ENDPOINT).value().c_str(); }

void setInt(ZMQSocket& socket, int option, int value) {
  socket.setData(std::string(reinterpret_cast<const char*>(&value), sizeof value), option);
}

TEST(ZMQSendAccountTest, FramesCountUntilWrittenAndStayCountedWhilePeerReadsNothing) {
  auto context = std::make_shared<ZMQContext>(1);
  auto push = context->socketWithType(ZMQ_PUSH);
  setInt(*push, ZMQ_SNDHWM, 500);
  setInt(*push, ZMQ_SNDBUF, 64 * 1024);
  push->bindToEndpoint("tcp://127.0.0.1:*");
  auto pull = context->socketWithType(ZMQ_PULL);
  setInt(*pull, ZMQ_RCVHWM, 1);
  setInt(*pull, ZMQ_RCVBUF, 64 * 1024);
  pull->connectToEndpoint(lastEndpoint(*push));

  auto account = std::make_shared<CountingAccount>();
  // One frame read: let go of once written.
  ASSERT_TRUE(push->sendFrame(std::string(kFrame, 'a'), 0, account));
  EXPECT_EQ(pull->receiveDataWithFlags(0).size(), kFrame);
  EXPECT_TRUE(eventually([&] { return account->freed == kFrame; }));

  // Forty more the peer does not read: ZeroMQ keeps most of them, whatever the system takes.
  constexpr size_t kUnread = 40;
  for (size_t i = 0; i < kUnread; ++i) {
    ZMQMessage message;
    message.addFrame("head");
    message.addFrame(std::string(kFrame, 'b'));
    ASSERT_TRUE(message.sendToSocket(*push, account));
  }
  EXPECT_EQ(account->handed, kFrame + kUnread * (kFrame + 4));
  EXPECT_LE(account->freed, kFrame + 8 * (kFrame + 4));

  // The peer leaves: everything is let go of, each frame once. The sending socket learns of
  // it when it is next used.
  pull->closeWithoutLinger();
  EXPECT_TRUE(eventually([&] {
    push->dataForOption(ZMQ_EVENTS);
    return account->freed == account->handed;
  }));
  EXPECT_EQ(account->frames, 1 + 2 * kUnread);
  context->terminate();
  EXPECT_EQ(account->freed, account->handed);
}

TEST(ZMQSendAccountTest, ReceivedFramesNameTheirConnectionWhichCanBeCut) {
  auto context = std::make_shared<ZMQContext>(1);
  auto router = context->socketWithType(ZMQ_ROUTER);
  router->setRecordsSources(true);
  router->bindToEndpoint("tcp://127.0.0.1:*");
  auto dealer = context->socketWithType(ZMQ_DEALER);
  setInt(*dealer, ZMQ_RECONNECT_IVL, -1);
  ASSERT_EQ(zmq_socket_monitor(dealer->zmqSocket(), "inproc://cut-monitor", ZMQ_EVENT_DISCONNECTED), 0);
  auto monitor = context->socketWithType(ZMQ_PAIR);
  monitor->connectToEndpoint("inproc://cut-monitor");
  dealer->connectToEndpoint(lastEndpoint(*router));

  ASSERT_TRUE(ZMQMessage::sendToSocketWithOneFrame(*dealer, "hello"));
  ZMQMessage received = ZMQMessage::recvFromSocket(*router);
  const int fd = router->lastSourceFd();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(router->lastSourceAddress(), "127.0.0.1");
  // The far end of the router's connection is the dealer's side.
  const std::optional<std::string> peer = ForeignTcpSocket::peerAddress(fd);
  ASSERT_TRUE(peer.has_value());
  EXPECT_EQ(peer->rfind("127.0.0.1:", 0), 0u) << *peer;
  EXPECT_NE(*peer, lastEndpoint(*router).substr(std::string("tcp://").size()));
  EXPECT_EQ(ForeignTcpSocket::unsentBytes(fd), size_t{0});

  ASSERT_TRUE(ForeignTcpSocket::cut(fd));
  zmq_pollitem_t item{};
  monitor->getPollItem(item, ZMQ_POLLIN);
  ASSERT_EQ(ZMQContext::pollWithItems(&item, 1, 20000), 1);
  const std::string event = monitor->receiveDataWithFlags(0);
  uint16_t number = 0;
  ASSERT_GE(event.size(), sizeof number);
  std::memcpy(&number, event.data(), sizeof number);
  EXPECT_EQ(number, ZMQ_EVENT_DISCONNECTED);

  // Not a socket at all, or not connected.
  EXPECT_EQ(ForeignTcpSocket::peerAddress(-1), std::nullopt);
  EXPECT_EQ(ForeignTcpSocket::unsentBytes(-1), std::nullopt);
  EXPECT_FALSE(ForeignTcpSocket::cut(-1));

  // Without recording, or over inproc, nothing is known.
  auto inproc = context->socketWithType(ZMQ_PULL);
  inproc->setRecordsSources(true);
  inproc->bindToEndpoint("inproc://no-source");
  auto push = context->socketWithType(ZMQ_PUSH);
  push->connectToEndpoint("inproc://no-source");
  ASSERT_TRUE(ZMQMessage::sendToSocketWithOneFrame(*push, "x"));
  inproc->receiveDataWithFlags(0);
  EXPECT_EQ(inproc->lastSourceFd(), -1);
  EXPECT_EQ(inproc->lastSourceAddress(), "");
  context->terminate();
}

}  // namespace
}  // namespace velbor
