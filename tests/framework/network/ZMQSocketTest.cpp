#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "framework/network/ZMQContext.h"
#include "framework/network/ZMQException.h"
#include "framework/network/ZMQMessage.h"
#include "framework/network/ZMQSocket.h"
#include "support/LoopbackListener.h"
#include "support/ZmtpTestPeer.h"

namespace velbor {
namespace {

std::string lastEndpoint(ZMQSocket& socket) {
  std::string endpoint = socket.dataForOption(ZMQ_LAST_ENDPOINT).value();
  return std::string(endpoint.c_str());  // drop the trailing NUL
}

std::vector<std::string> framesOf(ZMQMessage message) {
  std::vector<std::string> frames;
  while (auto frame = message.getNextFrame()) frames.push_back(*frame);
  return frames;
}

// Binds `socket` to the transport (tcp on an ephemeral loopback port, or inproc) and
// answers the endpoint to connect to.
std::string bindAny(ZMQSocket& socket, const std::string& transport, const std::string& name) {
  if (transport == "inproc") {
    socket.bindToEndpoint("inproc://" + name);
    return "inproc://" + name;
  }
  socket.bindToEndpoint("tcp://127.0.0.1:*");
  return lastEndpoint(socket);
}

// A socket of `bindType` bound at inproc://`name` and one of `connectType` connected to it.
std::pair<std::shared_ptr<ZMQSocket>, std::shared_ptr<ZMQSocket>> inprocPair(ZMQContext& context, int bindType,
                                                                             int connectType, const std::string& name) {
  auto bound = context.socketWithType(bindType);
  auto connected = context.socketWithType(connectType);
  bound->bindToEndpoint("inproc://" + name);
  connected->connectToEndpoint("inproc://" + name);
  return {bound, connected};
}

// A PUSH socket connected over tcp to a peer that is already gone.
std::shared_ptr<ZMQSocket> pushToDeadPeer(ZMQContext& context) {
  auto dead = context.socketWithType(ZMQ_PULL);
  std::string endpoint = bindAny(*dead, "tcp", "");
  dead->close();
  auto push = context.socketWithType(ZMQ_PUSH);
  push->connectToEndpoint(endpoint);
  return push;
}

class ZMQTransportTest : public ::testing::TestWithParam<std::string> {
 protected:
  std::shared_ptr<ZMQContext> context = std::make_shared<ZMQContext>(1);
};

TEST_P(ZMQTransportTest, MultipartRoundTripKeepsEmptyFrames) {
  auto pull = context->socketWithType(ZMQ_PULL);
  auto push = context->socketWithType(ZMQ_PUSH);
  push->connectToEndpoint(bindAny(*pull, GetParam(), "multipart"));

  ZMQMessage message;
  message.addFrame("A");
  message.addEmptyFrame();
  message.addFrame(std::string("B\0b", 3));
  ASSERT_TRUE(message.sendToSocket(*push));
  EXPECT_FALSE(message.ifMoreFrame());
  ZMQMessage empty;
  ASSERT_TRUE(empty.sendToSocket(*push));

  EXPECT_EQ(framesOf(ZMQMessage::recvFromSocket(*pull)), (std::vector<std::string>{"A", "", std::string("B\0b", 3)}));
  EXPECT_EQ(framesOf(ZMQMessage::recvFromSocket(*pull)), (std::vector<std::string>{""}));

  context->closeSockets();
  context->terminate();
  EXPECT_TRUE(context->isTerminated());
}

TEST_P(ZMQTransportTest, RequestsThroughRouterCarryIdentities) {
  auto router = context->socketWithType(ZMQ_ROUTER);
  std::string endpoint = bindAny(*router, GetParam(), "router");
  auto first = context->socketWithType(ZMQ_REQ);
  auto second = context->socketWithType(ZMQ_REQ);
  first->setData("first", ZMQ_IDENTITY);
  second->setData("second", ZMQ_IDENTITY);
  first->connectToEndpoint(endpoint);
  second->connectToEndpoint(endpoint);

  ASSERT_TRUE(ZMQMessage::sendToSocketWithOneFrame(*first, "ping 1"));
  ASSERT_TRUE(ZMQMessage::sendToSocketWithOneFrame(*second, "ping 2"));

  for (int i = 0; i < 2; ++i) {
    ZMQMessage request = ZMQMessage::recvFromSocket(*router);
    std::string identity = request.getNextFrame().value();
    EXPECT_EQ(request.getNextFrame().value(), "");
    std::string body = request.getNextFrame().value();
    EXPECT_FALSE(request.ifMoreFrame());
    EXPECT_EQ(body, identity == "first" ? "ping 1" : "ping 2");

    ZMQMessage reply;
    reply.addFrame("reply to " + body);
    reply.insertEmptyFrameAtHead();
    reply.insertFrameAtHead(identity);
    ASSERT_TRUE(reply.sendToSocket(*router));
  }
  EXPECT_EQ(first->receiveStringWithFlags(0), "reply to ping 1");
  EXPECT_FALSE(first->msgMore());
  EXPECT_EQ(second->receiveStringWithFlags(0), "reply to ping 2");
}

INSTANTIATE_TEST_SUITE_P(Transports, ZMQTransportTest, ::testing::Values("inproc", "tcp"));

TEST(ZMQSocketTest, PollTimesOutWithoutTrafficAndSeesAFrame) {
  auto context = std::make_shared<ZMQContext>(1);
  auto [pull, push] = inprocPair(*context, ZMQ_PULL, ZMQ_PUSH, "poll");

  zmq_pollitem_t item;
  pull->getPollItem(item, ZMQ_POLLIN);
  EXPECT_EQ(ZMQContext::pollWithItems(&item, 1, 20), 0);
  EXPECT_EQ(item.revents, 0);

  push->sendData("x", 0);
  pull->getPollItem(item, ZMQ_POLLIN);
  EXPECT_EQ(ZMQContext::pollWithItems(&item, 1, 10000), 1);
  EXPECT_TRUE(item.revents & ZMQ_POLLIN);
  EXPECT_EQ(pull->receiveDataWithFlags(0), "x");
}

TEST(ZMQSocketTest, FailuresRaiseWithErrorNumbers) {
  auto context = std::make_shared<ZMQContext>(1);
  auto first = context->socketWithType(ZMQ_REP);
  std::string endpoint = bindAny(*first, "tcp", "");
  auto second = context->socketWithType(ZMQ_REP);
  try {
    second->bindToEndpoint(endpoint);
    FAIL() << "a busy port was bound twice";
  } catch (const ZMQException& e) {
    EXPECT_EQ(e.name(), "ZMQException");
    EXPECT_EQ(e.getErrorCode(), EADDRINUSE);
    EXPECT_EQ(e.reason(), std::strerror(EADDRINUSE));
  }
  EXPECT_EQ(second->endpoint(), endpoint);

  try {
    first->receiveDataWithFlags(ZMQ_DONTWAIT);
    FAIL() << "nothing was there to receive";
  } catch (const ZMQException& e) {
    EXPECT_EQ(e.getErrorCode(), EAGAIN);
  }
  EXPECT_THROW(second->connectToEndpoint("nonsense"), ZMQException);
}

TEST(ZMQSocketTest, FailedMultipartSendStopsAndLeavesTheSocketUsable) {
  auto context = std::make_shared<ZMQContext>(1);
  auto [rep, req] = inprocPair(*context, ZMQ_REP, ZMQ_REQ, "fsm");

  ASSERT_TRUE(ZMQMessage::sendToSocketWithOneFrame(*req, "one"));
  // A REQ socket refuses a second request before the reply: the whole message fails at
  // its first frame and none of the later frames go out on their own.
  ZMQMessage early;
  early.addFrame("two");
  early.addFrame("tail");
  EXPECT_FALSE(early.sendToSocket(*req));
  EXPECT_FALSE(early.ifMoreFrame());

  EXPECT_EQ(framesOf(ZMQMessage::recvFromSocket(*rep)), (std::vector<std::string>{"one"}));
  ASSERT_TRUE(ZMQMessage::sendToSocketWithOneFrame(*rep, "answer"));
  EXPECT_EQ(framesOf(ZMQMessage::recvFromSocket(*req)), (std::vector<std::string>{"answer"}));

  ZMQMessage next;
  next.addFrame("three");
  next.addFrame("four");
  ASSERT_TRUE(next.sendToSocket(*req));
  EXPECT_EQ(framesOf(ZMQMessage::recvFromSocket(*rep)), (std::vector<std::string>{"three", "four"}));
}

TEST(ZMQSocketTest, InvalidUtf8IsNoString) {
  auto context = std::make_shared<ZMQContext>(1);
  auto [pull, push] = inprocPair(*context, ZMQ_PULL, ZMQ_PUSH, "utf8");
  for (std::string bad : {"\xC0\xAF", "\xED\xA0\x80", "ab\xE2\x82"}) push->sendData(bad, 0);
  push->sendData("gr\xC3\xBC\xC3\x9F \xF0\x9F\x98\x80", 0);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(pull->receiveStringWithFlags(0), std::nullopt) << i;
  EXPECT_EQ(pull->receiveStringWithFlags(0), "gr\xC3\xBC\xC3\x9F \xF0\x9F\x98\x80");
}

TEST(ZMQSocketTest, NetworkSocketsBoundTheirInput) {
  auto context = std::make_shared<ZMQContext>(1);
  auto tcp = context->socketWithType(ZMQ_ROUTER);
  auto inproc = context->socketWithType(ZMQ_ROUTER);
  auto own = context->socketWithType(ZMQ_ROUTER);
  tcp->bindToEndpoint("tcp://127.0.0.1:*");
  inproc->bindToEndpoint("inproc://limit");
  int64_t small = 4096;
  own->setData(std::string(reinterpret_cast<const char*>(&small), sizeof small), ZMQ_MAXMSGSIZE);
  own->bindToEndpoint("tcp://127.0.0.1:*");

  auto maxSize = [](ZMQSocket& socket) {
    int64_t value = 0;
    std::memcpy(&value, socket.dataForOption(ZMQ_MAXMSGSIZE)->data(), sizeof value);
    return value;
  };
  EXPECT_GT(maxSize(*tcp), int64_t{64} * 1024 * 1024);
  EXPECT_EQ(maxSize(*inproc), -1);
  EXPECT_EQ(maxSize(*own), small);

  // One peer connection queues a handful of messages, not ZeroMQ's thousand.
  auto highWaterMark = [](ZMQSocket& socket, int option) {
    int value = 0;
    std::memcpy(&value, socket.dataForOption(option)->data(), sizeof value);
    return value;
  };
  auto dealer = context->socketWithType(ZMQ_DEALER);
  dealer->connectToEndpoint(lastEndpoint(*tcp));
  const int ownMark = 50;
  own->setData(std::string(reinterpret_cast<const char*>(&ownMark), sizeof ownMark), ZMQ_SNDHWM);
  auto ownConnected = context->socketWithType(ZMQ_DEALER);
  ownConnected->setData(std::string(reinterpret_cast<const char*>(&ownMark), sizeof ownMark), ZMQ_RCVHWM);
  ownConnected->connectToEndpoint(lastEndpoint(*tcp));
  for (int option : {ZMQ_RCVHWM, ZMQ_SNDHWM}) {
    EXPECT_EQ(highWaterMark(*tcp, option), ZMQSocket::kNetworkHighWaterMark);
    EXPECT_EQ(highWaterMark(*dealer, option), ZMQSocket::kNetworkHighWaterMark);
    EXPECT_EQ(highWaterMark(*inproc, option), 1000);
  }
  EXPECT_EQ(highWaterMark(*ownConnected, ZMQ_RCVHWM), ownMark);
  EXPECT_EQ(highWaterMark(*ownConnected, ZMQ_SNDHWM), ZMQSocket::kNetworkHighWaterMark);
}

// What one connection can make a network socket hold. A frame beyond the bound drops the
// connection as soon as its head is read, before its body is kept; frames within it are
// kept as they come, so a message that never ends is bounded only by the time the socket is
// kept open (ZeroMQ holds an unfinished message whole, whatever its number of frames).
TEST(ZMQSocketTest, AFrameBeyondTheBoundDropsItsConnection) {
  auto context = std::make_shared<ZMQContext>(1);
  auto router = context->socketWithType(ZMQ_ROUTER);
  router->bindToEndpoint("tcp://127.0.0.1:*");
  const uint16_t port = test::portOf(lastEndpoint(*router));
  constexpr auto kBound = std::chrono::seconds(20);

  test::ZmtpTestPeer within(port);
  ASSERT_TRUE(within.handshake("DEALER", kBound));
  ASSERT_TRUE(within.sendFrameHead(ZMQSocket::kMaxNetworkMessageSize, false));
  EXPECT_FALSE(within.closedWithin(std::chrono::milliseconds(200)));

  test::ZmtpTestPeer beyond(port);
  ASSERT_TRUE(beyond.handshake("DEALER", kBound));
  ASSERT_TRUE(beyond.sendFrameHead(ZMQSocket::kMaxNetworkMessageSize + 1, false));
  EXPECT_TRUE(beyond.closedWithin(kBound));
  context->terminate();
}

// What a peer sends beyond the bounds of a message is dropped whole; the message after it
// arrives intact, and a message at the bounds still passes.
TEST_P(ZMQTransportTest, MessagesBeyondTheBoundsAreDroppedWhole) {
  auto pull = context->socketWithType(ZMQ_PULL);
  auto push = context->socketWithType(ZMQ_PUSH);
  push->connectToEndpoint(bindAny(*pull, GetParam(), "bounds"));
  auto sendFrames = [&](size_t count, const std::string& frame) {
    ZMQMessage message;
    for (size_t i = 0; i < count; ++i) message.addFrame(frame);
    ASSERT_TRUE(message.sendToSocket(*push));
  };
  auto expectDropped = [&](const std::string& what) {
    try {
      ZMQMessage::recvFromSocket(*pull);
      ADD_FAILURE() << what << " was received";
    } catch (const ZMQException& e) {
      EXPECT_EQ(e.getErrorCode(), EMSGSIZE) << what;
    }
    EXPECT_EQ(framesOf(ZMQMessage::recvFromSocket(*pull)), (std::vector<std::string>{"next"})) << what;
  };

  sendFrames(ZMQSocket::kMaxMessageFrames + 1, "f");
  sendFrames(1, "next");
  sendFrames(1000, "");
  sendFrames(1, "next");
  const std::string half(ZMQSocket::kMaxNetworkMessageSize / 2 + 1, 'b');
  sendFrames(2, half);
  sendFrames(1, "next");
  sendFrames(ZMQSocket::kMaxMessageFrames, "f");

  ::testing::internal::CaptureStderr();
  expectDropped("a message of too many frames");
  expectDropped("a thousand empty frames");
  expectDropped("a message of too many bytes");
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("dropped a message of 1000 frames and 0 bytes"), std::string::npos) << log;
  EXPECT_EQ(framesOf(ZMQMessage::recvFromSocket(*pull)).size(), ZMQSocket::kMaxMessageFrames);
}

TEST(ZMQSocketTest, ClosingIsOnceAndContextsEndWithOpenSockets) {
  {
    auto context = std::make_shared<ZMQContext>(1);
    auto socket = context->socketWithType(ZMQ_REQ);
    socket->close();
    socket->close();
    EXPECT_TRUE(socket->isClosed());
    EXPECT_NE(socket->description().find("type=ZMQ_REQ, endpoint=(null), closed=1)>"), std::string::npos);
    context->terminate();
    context->terminate();
    // The freed handle is never handed to libzmq again.
    try {
      context->socketWithType(ZMQ_REQ);
      ADD_FAILURE() << "a terminated context made a socket";
    } catch (const ZMQException& e) {
      EXPECT_EQ(e.getErrorCode(), ETERM);
    }
  }
  {
    // Open sockets holding messages for a peer that never answers: the context still ends.
    auto context = std::make_shared<ZMQContext>(1);
    auto push = pushToDeadPeer(*context);
    const int forever = -1;
    push->setData(std::string(reinterpret_cast<const char*>(&forever), sizeof forever), ZMQ_LINGER);
    push->sendData("never delivered", ZMQ_DONTWAIT);
    auto req = context->socketWithType(ZMQ_REQ);
    req->connectToEndpoint("inproc://nobody");
    req->sendData("request", 0);
  }
  {
    // A socket closed by its owner with a message still queued lingers only for a while.
    auto context = std::make_shared<ZMQContext>(1);
    auto push = pushToDeadPeer(*context);
    push->sendData("queued", ZMQ_DONTWAIT);
    context->closeSockets();
    EXPECT_TRUE(push->isClosed());
    context->terminate();
  }
}

}  // namespace
}  // namespace velbor
