#include <gtest/gtest.h>

#include "framework/network/ZMQMessage.h"
#include "framework/network/ZMQSocket.h"

namespace velbor {
namespace {

TEST(ZMQMessageTest, FrameQueueOperations) {
  ZMQMessage message;
  EXPECT_FALSE(message.getNextFrame().has_value());
  EXPECT_FALSE(message.ifMoreFrame());

  message.addFrame("b");
  message.addEmptyFrame();
  message.insertFrameAtHead("a");
  message.insertEmptyFrameAtHead();

  ZMQMessage other;
  other.addFrame("c");
  other.addFrame("d");
  message.addZmqMessage(other);
  EXPECT_FALSE(other.ifMoreFrame());

  std::vector<std::string> frames;
  while (auto frame = message.getNextFrame()) frames.push_back(*frame);
  EXPECT_EQ(frames, (std::vector<std::string>{"", "a", "b", "", "c", "d"}));
}

TEST(ZMQMessageTest, SocketTypeNames) {
  EXPECT_EQ(ZMQSocket::nameForSocketType(5), "ZMQ_XREQ");
  EXPECT_EQ(ZMQSocket::nameForSocketType(6), "ZMQ_XREP");
  EXPECT_EQ(ZMQSocket::nameForSocketType(100), "ZMQ_UDP");
  for (int type : {9, -1, 99}) EXPECT_EQ(ZMQSocket::nameForSocketType(type), "UNKNOWN") << type;
}

}  // namespace
}  // namespace velbor
