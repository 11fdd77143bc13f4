#include <cerrno>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "framework/network/ZMQAddress.h"
#include "framework/network/ZMQContext.h"
#include "framework/network/ZMQException.h"
#include "framework/network/ZMQMessage.h"
#include "framework/network/ZMQSocket.h"
#include "support/InterfaceEntry.h"

namespace velbor {
namespace {

using Operation = std::pair<std::string, std::function<void(ZMQSocket&)>>;

std::vector<Operation> everyOperation() {
  ZMQAddress peer;
  peer.ipAddrV4 = "127.0.0.1";
  peer.port = "9";
  const std::vector<std::shared_ptr<ZMQAddress>> lan = {test::interfaceEntry("192.0.2.20", "192.0.2.255")};
  const int linger = 0;
  const std::string lingerBytes(reinterpret_cast<const char*>(&linger), sizeof linger);
  return {
      {"setData", [=](ZMQSocket& s) { s.setData(lingerBytes, ZMQ_LINGER); }},
      {"dataForOption", [](ZMQSocket& s) { s.dataForOption(ZMQ_TYPE); }},
      {"bindToEndpoint", [](ZMQSocket& s) { s.bindToEndpoint("inproc://closed"); }},
      {"connectToEndpoint", [](ZMQSocket& s) { s.connectToEndpoint("inproc://closed"); }},
      {"disconnectToEndpoint", [](ZMQSocket& s) { s.disconnectToEndpoint("inproc://closed"); }},
      {"sendData", [](ZMQSocket& s) { s.sendData("x", ZMQ_DONTWAIT); }},
      {"receiveDataWithFlags", [](ZMQSocket& s) { s.receiveDataWithFlags(ZMQ_DONTWAIT); }},
      {"receiveStringWithFlags", [](ZMQSocket& s) { s.receiveStringWithFlags(ZMQ_DONTWAIT); }},
      {"ZMQMessage::recvFromSocket", [](ZMQSocket& s) { ZMQMessage::recvFromSocket(s); }},
      {"ZMQMessage::sendToSocket", [](ZMQSocket& s) { ZMQMessage::sendToSocketWithOneFrame(s, "x"); }},
      {"bindToEndpointUdp", [](ZMQSocket& s) { s.bindToEndpointUdp(0); }},
      {"connectToEndpointUdp", [=](ZMQSocket& s) { s.connectToEndpointUdp(peer); }},
      {"sendDataUdp", [](ZMQSocket& s) { s.sendDataUdp("x"); }},
      {"receiveDataUdp", [](ZMQSocket& s) { s.receiveDataUdp(); }},
      {"broadCastDataUsingAsyncSocket", [=](ZMQSocket& s) { s.broadCastDataUsingAsyncSocket("x", 9, lan); }},
      {"broadCastData", [=](ZMQSocket& s) { s.broadCastData("x", 9, lan); }},
      {"broadCastData without interfaces", [](ZMQSocket& s) { s.broadCastData("x", 9, {}); }},
      {"broadCastAllData", [](ZMQSocket& s) { s.broadCastAllData("x", 9); }},
      {"getPollItem",
       [](ZMQSocket& s) {
         zmq_pollitem_t item{};
         s.getPollItem(item, ZMQ_POLLIN);
       }},
      {"zmqSocket", [](ZMQSocket& s) { s.zmqSocket(); }},
  };
}

void expectEveryOperationRaises(ZMQSocket& socket, int expected) {
  for (const auto& [name, operation] : everyOperation()) {
    try {
      operation(socket);
      ADD_FAILURE() << name << " ran on a closed " << ZMQSocket::nameForSocketType(socket.type());
    } catch (const ZMQException& e) {
      EXPECT_EQ(e.getErrorCode(), expected) << name << " on " << ZMQSocket::nameForSocketType(socket.type());
    }
  }
  // Closing again stays harmless, and so does describing the socket.
  socket.close();
  EXPECT_TRUE(socket.isClosed());
  EXPECT_NE(socket.description().find("closed=1"), std::string::npos);
}

// Whether ZeroMQ's or our own UDP kind: a closed socket never hands a freed handle or a
// reused descriptor number on.
TEST(ZMQClosedSocketTest, EveryOperationRaisesAfterCloseOrTerminate) {
  for (int type : {ZMQ_DEALER, ZMQ_ROUTER, ZMQ_PUB, ZMQSocket::ZMQ_UDP}) {
    SCOPED_TRACE(ZMQSocket::nameForSocketType(type));
    auto context = std::make_shared<ZMQContext>(1);
    auto closed = context->socketWithType(type);
    auto open = context->socketWithType(type);
    if (type == ZMQSocket::ZMQ_UDP) {
      ASSERT_TRUE(open->bindToEndpointUdp(0));
    } else {
      open->bindToEndpoint("tcp://127.0.0.1:*");
    }
    closed->close();
    expectEveryOperationRaises(*closed, ENOTSOCK);

    context->terminate();
    expectEveryOperationRaises(*open, ETERM);
    expectEveryOperationRaises(*closed, ETERM);
  }
}

TEST(ZMQClosedSocketTest, SocketsOutlivingTheirContextRaiseTerminated) {
  std::shared_ptr<ZMQSocket> orphan;
  {
    auto context = std::make_shared<ZMQContext>(1);
    orphan = context->socketWithType(ZMQ_REQ);
  }
  expectEveryOperationRaises(*orphan, ETERM);
}

}  // namespace
}  // namespace velbor
