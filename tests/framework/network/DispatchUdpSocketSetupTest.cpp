#include <cerrno>
#include <cstring>
#include <filesystem>

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "UdpTestSupport.h"

namespace velbor {
namespace {

using test::Kind;

class DispatchUdpSocketSetupTest : public ::testing::Test, protected test::UdpFixture {};

TEST_F(DispatchUdpSocketSetupTest, BindsOnceUntilClosed) {
  DispatchUdpSocketError error;
  auto orphan = DispatchUdpSocket::create();
  EXPECT_FALSE(orphan->bindToPort(0, &error));
  EXPECT_EQ(error.code(), DispatchUdpSocketBadConfigError);
  EXPECT_EQ(error.localizedDescription(), "Attempting to use socket without a delegate. Set a delegate first.");

  auto socket = makeSocket();
  EXPECT_TRUE(socket->isClosed());
  ASSERT_TRUE(socket->bindToPort(0, &error)) << error.description();
  EXPECT_FALSE(socket->isClosed());
  EXPECT_TRUE(socket->isIPv4());
  uint16_t port = socket->localPort();
  EXPECT_NE(port, 0);
  EXPECT_EQ(port, socket->localPort_IPv4());
  EXPECT_EQ(socket->localHost(), "0.0.0.0");
  if (socket->isIPv6()) {
    EXPECT_NE(socket->localPort_IPv6(), 0);
  }

  EXPECT_FALSE(socket->bindToPort(0, &error));
  EXPECT_EQ(error.localizedDescription(), "Cannot bind a socket more than once.");
  EXPECT_EQ(socket->localPort(), port);

  socket->close();
  socket->close();
  EXPECT_TRUE(socket->isClosed());
  ASSERT_TRUE(socket->bindToPort(port, &error)) << error.description();
  EXPECT_EQ(socket->localPort(), port);
  socket->close();
  flush(socket);
  auto closes = delegate->eventsOf(Kind::closed);
  ASSERT_EQ(closes.size(), 2u);
  for (const auto& close : closes) EXPECT_FALSE(close.error.has_value());
}

// A delegate that closes its socket and binds it again in one job on the socket's queue
// (as on a close report) must find the port free: the close is complete when it returns.
TEST_F(DispatchUdpSocketSetupTest, CloseAndRebindOnTheSocketsOwnQueue) {
  auto socket = makeSocket();
  DispatchUdpSocketError error;
  ASSERT_TRUE(socket->bindToPort(0, &error)) << error.description();
  ASSERT_TRUE(socket->beginReceiving(&error));
  const uint16_t port = socket->localPort();
  bool rebound = false;
  socket->performBlock([&] {
    socket->close();
    rebound = socket->bindToPort(port, &error);
  });
  EXPECT_TRUE(rebound) << error.description();
  EXPECT_EQ(socket->localPort(), port);

  // Another socket may take the port at once, too.
  auto other = makeSocket();
  other->performBlock([&] {
    socket->close();
    rebound = other->bindToPort(port, &error);
  });
  EXPECT_TRUE(rebound) << error.description();
}

TEST_F(DispatchUdpSocketSetupTest, InterfacesAndFamilies) {
  DispatchUdpSocketError error;
  auto unknown = makeSocket();
  EXPECT_FALSE(unknown->bindToPort(0, "nonexistent0", &error));
  EXPECT_EQ(error.code(), DispatchUdpSocketBadParamError);
  EXPECT_TRUE(unknown->isClosed());

  auto loopback = makeSocket();
  ASSERT_TRUE(loopback->bindToPort(0, "loopback", &error)) << error.description();
  EXPECT_EQ(loopback->localHost_IPv4(), "127.0.0.1");
  if (loopback->isIPv6()) {
    EXPECT_EQ(loopback->localHost_IPv6(), "::1");
  }

  auto ipv4Only = makeSocket();
  ipv4Only->setIPv6Enabled(false);
  ASSERT_TRUE(ipv4Only->bindToPort(0, &error));
  EXPECT_TRUE(ipv4Only->isIPv4());
  EXPECT_FALSE(ipv4Only->isIPv6());

  auto ipv6Only = makeSocket();
  ipv6Only->setIPv4Enabled(false);
  DispatchUdpSocketError untouched;
  EXPECT_FALSE(ipv6Only->enableBroadcast(true, &untouched));
  EXPECT_EQ(untouched.code(), 0);

  auto receiver = makeSocket();
  EXPECT_FALSE(receiver->beginReceiving(&error));
  EXPECT_EQ(error.code(), DispatchUdpSocketBadConfigError);
  ASSERT_TRUE(receiver->enableBroadcast(true, &error));
  EXPECT_FALSE(receiver->isClosed());
  EXPECT_TRUE(receiver->beginReceiving(&error));
}

TEST_F(DispatchUdpSocketSetupTest, ABusyPortIsNotShared) {
  auto first = makeSocket();
  ASSERT_TRUE(first->bindToPort(0));
  uint16_t port = first->localPort();

  DispatchUdpSocketError error;
  auto second = makeSocket();
  EXPECT_FALSE(second->bindToPort(port, &error));
  EXPECT_EQ(error.domain(), DispatchUdpSocketPosixErrorDomain);
  EXPECT_EQ(error.code(), EADDRINUSE);
  EXPECT_EQ(error.localizedFailureReason(), "Error in bind() function");
  EXPECT_TRUE(second->isClosed());

  // Another program asking for address reuse does not get in either.
  int other = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(other, 0);
  int on = 1;
  setsockopt(other, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  auto address = test::ipv4Address("0.0.0.0", port);
  EXPECT_NE(::bind(other, reinterpret_cast<const sockaddr*>(address.data()), address.size()), 0);
  EXPECT_EQ(errno, EADDRINUSE);
  ::close(other);
}

// Open socket descriptors of this process. Only sockets count: the dispatch layer may open an
// event descriptor for a worker thread it starts under load, which is no leak of ours.
size_t openDescriptors() {
  size_t count = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const auto target = std::filesystem::read_symlink(entry.path(), error);
    if (!error && target.string().rfind("socket:", 0) == 0) ++count;
  }
  return count;
}

TEST_F(DispatchUdpSocketSetupTest, ClosingAndDestroyingReleaseTheDescriptors) {
  // The dispatch layer's own descriptors come to life here.
  makeReceiver()->close();
  size_t before = openDescriptors();
  auto closed = makeSocket();
  ASSERT_TRUE(closed->bindToPort(0));
  ASSERT_TRUE(closed->beginReceiving());
  closed->close();
  auto destroyed = makeSocket();
  ASSERT_TRUE(destroyed->bindToPort(0));
  destroyed.reset();
  // Both are released by the time close() and the destructor return.
  EXPECT_EQ(openDescriptors(), before);
}

TEST(DispatchUdpSocketAddressTest, AddressHelpers) {
  auto address = test::ipv4Address("10.1.2.3", 8848);
  std::string host;
  uint16_t port = 0;
  int family = 0;
  EXPECT_TRUE(DispatchUdpSocket::getHost(&host, &port, &family, address));
  EXPECT_EQ(host, "10.1.2.3");
  EXPECT_EQ(port, 8848);
  EXPECT_EQ(family, AF_INET);
  EXPECT_TRUE(DispatchUdpSocket::isIPv4Address(address));
  EXPECT_FALSE(DispatchUdpSocket::isIPv6Address(address));
  EXPECT_EQ(DispatchUdpSocket::familyFromAddress(address.substr(0, 15)), 0);
  EXPECT_FALSE(DispatchUdpSocket::getHost(&host, &port, std::string("junk")));
  EXPECT_EQ(host, "");
  EXPECT_EQ(port, 0);
}

}  // namespace
}  // namespace velbor
