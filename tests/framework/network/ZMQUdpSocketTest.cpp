#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <gtest/gtest.h>

#include "framework/network/ZMQAddress.h"
#include "framework/network/ZMQContext.h"
#include "framework/network/ZMQException.h"
#include "framework/network/ZMQSocket.h"
#include "support/InterfaceEntry.h"

namespace velbor {
namespace {

uint16_t localPort(int descriptor) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

// A lost datagram fails the receive instead of blocking the test for ever.
void boundWaits(ZMQSocket& socket) {
  timeval patience{20, 0};
  setsockopt(socket.udpSocket(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
}

ZMQAddress peerAddress(const std::string& host, const std::string& port) {
  ZMQAddress address;
  address.ipAddrV4 = host;
  address.port = port;
  return address;
}

int errorCodeOf(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const ZMQException& e) {
    EXPECT_EQ(e.name(), "ZMQException");
    EXPECT_EQ(e.reason(), std::strerror(e.getErrorCode()));
    return e.getErrorCode();
  }
  return 0;
}

bool isOpen(int descriptor) { return fcntl(descriptor, F_GETFD) != -1; }

// A closed number may be handed out again at once (the asynchronous companion opens its own
// sockets meanwhile): an open socket is known by its inode, not by its number.
ino_t inodeOf(int descriptor) {
  struct stat status {};
  return fstat(descriptor, &status) == 0 ? status.st_ino : 0;
}
bool isStillOpen(int descriptor, ino_t inode) { return inodeOf(descriptor) == inode; }

using test::interfaceEntry;

// A socket bound at a port the system picks, and a client connected to it over loopback.
class ZMQUdpSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server->bindToEndpointUdp(0));
    serverPort = localPort(server->udpSocket());
    ASSERT_NE(serverPort, 0);
    ASSERT_TRUE(client->connectToEndpointUdp(peerAddress("127.0.0.1", std::to_string(serverPort))));
    boundWaits(*server);
    boundWaits(*client);
  }

  std::shared_ptr<ZMQContext> context = std::make_shared<ZMQContext>(1);
  std::shared_ptr<ZMQSocket> server = context->socketWithType(ZMQSocket::ZMQ_UDP);
  std::shared_ptr<ZMQSocket> client = context->socketWithType(ZMQSocket::ZMQ_UDP);
  uint16_t serverPort = 0;
};

TEST_F(ZMQUdpSocketTest, RepliesGoBackToTheLastSender) {
  EXPECT_EQ(client->endpoint(), "127.0.0.1");
  EXPECT_TRUE(client->info().empty());
  ASSERT_TRUE(client->sendDataUdp(std::string("hello\0there", 11)));
  EXPECT_EQ(server->receiveDataUdp(), std::string("hello\0there", 11));
  ZMQAddress sender(server->info());
  EXPECT_EQ(sender.ipAddrV4, "127.0.0.1");
  EXPECT_EQ(sender.port, std::to_string(localPort(client->udpSocket())));

  // The largest datagram IPv4 carries arrives whole.
  const std::string large(65507, 'x');
  ASSERT_TRUE(server->sendDataUdp(large));
  EXPECT_EQ(client->receiveDataUdp(), large);

  // A second sender becomes the one replies go to.
  auto other = context->socketWithType(ZMQSocket::ZMQ_UDP);
  other->connectToEndpointUdp(peerAddress("127.0.0.1", std::to_string(serverPort)));
  boundWaits(*other);
  other->sendDataUdp("from other");
  EXPECT_EQ(server->receiveDataUdp(), "from other");
  server->sendDataUdp("to other");
  EXPECT_EQ(other->receiveDataUdp(), "to other");
}

TEST_F(ZMQUdpSocketTest, EmptyDatagramRaisesBrokenPipeAndTheSocketGoesOn) {
  EXPECT_EQ(errorCodeOf([&] { client->sendDataUdp(""); }), EPIPE);
  EXPECT_EQ(errorCodeOf([&] { server->receiveDataUdp(); }), EPIPE);
  client->sendDataUdp("next");
  EXPECT_EQ(server->receiveDataUdp(), "next");
}

TEST_F(ZMQUdpSocketTest, PollItemCarriesTheDescriptor) {
  zmq_pollitem_t item;
  server->getPollItem(item, ZMQ_POLLIN);
  EXPECT_EQ(item.socket, nullptr);
  EXPECT_EQ(item.fd, server->udpSocket());
  EXPECT_EQ(ZMQContext::pollWithItems(&item, 1, 0), 0);

  client->sendDataUdp("ready");
  server->getPollItem(item, ZMQ_POLLIN);
  EXPECT_EQ(ZMQContext::pollWithItems(&item, 1, 20000), 1);
  EXPECT_TRUE(item.revents & ZMQ_POLLIN);
  EXPECT_EQ(server->receiveDataUdp(), "ready");
}

TEST_F(ZMQUdpSocketTest, BadInputAndBusyPortsRaiseAndLeaveTheSocketWorking) {
  // A bound port is not shared with a second socket.
  auto second = context->socketWithType(ZMQSocket::ZMQ_UDP);
  EXPECT_EQ(errorCodeOf([&] { second->bindToEndpointUdp(serverPort); }), EADDRINUSE);
  EXPECT_EQ(errorCodeOf([&] { second->bindToEndpointUdp(uint64_t{1} << 16); }), EINVAL);
  // Nobody has sent to it and nothing is connected: no one to send to.
  EXPECT_EQ(errorCodeOf([&] { second->sendDataUdp("x"); }), EDESTADDRREQ);

  const int descriptor = client->udpSocket();
  for (const auto& [host, port] : std::vector<std::pair<std::string, std::string>>{
           {"localhost", "1"}, {"127.0.0.1", "65536"}, {"127.0.0.1", "12x"}, {"127.0.0.1", ""}, {"::1", "1"}}) {
    EXPECT_EQ(errorCodeOf([&] { client->connectToEndpointUdp(peerAddress(host, port)); }), EINVAL) << host << port;
  }
  EXPECT_EQ(errorCodeOf([&] { client->connectToEndpointUdp(ZMQAddress()); }), EINVAL);
  EXPECT_EQ(client->udpSocket(), descriptor);
  client->sendDataUdp("still connected");
  EXPECT_EQ(server->receiveDataUdp(), "still connected");
}

TEST(ZMQUdpSocketLifecycleTest, EveryDescriptorIsClosedOnce) {
  auto context = std::make_shared<ZMQContext>(1);
  auto socket = context->socketWithType(ZMQSocket::ZMQ_UDP);
  EXPECT_NE(socket->description().find("type=ZMQ_UDP"), std::string::npos);
  const int created = socket->udpSocket();
  ASSERT_TRUE(isOpen(created));
  const ino_t createdInode = inodeOf(created);
  socket->connectToEndpointUdp(peerAddress("127.0.0.1", "9"));
  const int connected = socket->udpSocket();
  const ino_t connectedInode = inodeOf(connected);
  EXPECT_NE(connectedInode, createdInode);
  EXPECT_TRUE(isOpen(connected));
  EXPECT_FALSE(isStillOpen(created, createdInode));

  socket->close();
  EXPECT_TRUE(socket->isClosed());
  EXPECT_EQ(socket->udpSocket(), -1);
  EXPECT_FALSE(isStillOpen(connected, connectedInode));
  socket->close();

  // A bound socket with its asynchronous companion closes with its context.
  auto bound = context->socketWithType(ZMQSocket::ZMQ_UDP);
  ASSERT_TRUE(bound->bindToEndpointUdp(0));
  const int boundDescriptor = bound->udpSocket();
  const ino_t boundInode = inodeOf(boundDescriptor);
  context->closeSockets();
  EXPECT_TRUE(bound->isClosed());
  EXPECT_FALSE(isStillOpen(boundDescriptor, boundInode));
  context->terminate();
}

TEST(ZMQUdpSocketLifecycleTest, BroadcastWalkSkipsLoopbackAndRaisesOnFailure) {
  auto context = std::make_shared<ZMQContext>(1);
  // Without the broadcast option (or any route there) a send to a broadcast address is
  // refused, so each attempted send raises: a walk over loopback entries only attempts none.
  auto socket = context->socketWithType(ZMQSocket::ZMQ_UDP);
  const std::vector<std::shared_ptr<ZMQAddress>> loopbackOnly = {
      interfaceEntry("127.0.0.1", "127.0.0.1"), interfaceEntry("127.1.2.3", "127.255.255.255"),
      interfaceEntry("10.8.0.2", std::nullopt), interfaceEntry("10.9.0.2", "not an address")};
  socket->broadCastData("x", 9, loopbackOnly);
  socket->broadCastDataUsingAsyncSocket("x", 9, loopbackOnly);

  auto withLan = loopbackOnly;
  withLan.push_back(interfaceEntry("192.0.2.20", "192.0.2.255"));
  EXPECT_NE(errorCodeOf([&] { socket->broadCastData("x", 9, withLan); }), 0);
  EXPECT_NE(errorCodeOf([&] { socket->broadCastAllData("x", 9); }), 0);
}

}  // namespace
}  // namespace velbor
