#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <gtest/gtest.h>

#include "EnvelopeTestSupport.h"
#include "core/proto/PbMessage.h"
#include "core/proto/UninitializedMessage.h"
#include "core/state/QoConfig.h"
#include "framework/crypto/QoEncrypt.h"
#include "framework/network/DispatchUdpSocket.h"
#include "framework/network/ZMQAddress.h"
#include "framework/network/ZMQContext.h"
#include "framework/network/ZMQException.h"
#include "framework/network/ZMQSocket.h"
#include "platform/Dispatch.h"
#include "proto/VelborProto.pb.h"
#include "support/InterfaceEntry.h"

namespace velbor::test {
namespace {

constexpr auto kPatience = std::chrono::seconds(20);
constexpr int64_t kMarkerTag = 7;

// Collects what one socket reports. Waits are bounded so that a lost datagram fails the
// test instead of hanging it.
class Collector : public DispatchUdpSocketDelegate {
 public:
  void udpSocketDidReceiveData(const std::shared_ptr<DispatchUdpSocket>&, const std::string& data, const std::string&,
                               const std::any&) override {
    std::lock_guard lock(mutex_);
    datagrams_.push_back(data);
    changed_.notify_all();
  }
  void udpSocketDidSendDataWithTag(const std::shared_ptr<DispatchUdpSocket>&, int64_t tag) override {
    std::lock_guard lock(mutex_);
    sentTags_.push_back(tag);
    changed_.notify_all();
  }

  std::vector<std::string> waitForDatagrams(size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, kPatience, [&] { return datagrams_.size() >= count; });
    return datagrams_;
  }
  bool waitForSentTag(int64_t tag) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience,
                             [&] { return std::find(sentTags_.begin(), sentTags_.end(), tag) != sentTags_.end(); });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> datagrams_;
  std::vector<int64_t> sentTags_;
};

// A UDP socket on 127.0.0.1 at a port the system picks, receiving into its collector.
struct Station {
  std::shared_ptr<Collector> collector = std::make_shared<Collector>();
  std::shared_ptr<DispatchQueue> queue = DispatchQueue::createSerial("discover-test");
  std::shared_ptr<DispatchUdpSocket> socket = DispatchUdpSocket::create(collector, queue);

  Station() {
    DispatchUdpSocketError error;
    if (!socket->bindToPort(0, "127.0.0.1", &error) || !socket->beginReceiving(&error)) {
      throw std::runtime_error(error.description());
    }
  }
  ~Station() { socket->close(); }
  uint16_t port() { return socket->localPort(); }
};

std::string uuidIn(const QoMessage::Ptr& message) {
  EXPECT_EQ(message->code(), pb::MsgCodeDiscover);
  EXPECT_EQ(message->level(), 0);
  EXPECT_EQ(message->srcDevice(), nullptr);
  EXPECT_FALSE(message->key().has_value());
  auto body = message->pbBodyAs<pb::MsgDiscover>();
  return body ? body->device_uuid() : "";
}

using QoMessageDiscoverTest = EnvelopeTestBase;

TEST_F(QoMessageDiscoverTest, OnlyDevicesWithTheSameTokenReadEachOther) {
  Station alpha, bravo, carol;
  QoConfig& config = QoConfig::sharedQoConfig();
  config.setDeviceToken("shared token");
  config.setPortUdp(bravo.port());
  discover("alpha")->sendDiscoverToAsyncSocket(*alpha.socket, "127.0.0.1");
  discover("bravo")->sendDiscoverToAsyncSocket(*bravo.socket, "127.0.0.1", "shared token", alpha.port());
  discover("alpha")->sendDiscoverToAsyncSocket(*alpha.socket, "127.0.0.1", "shared token", carol.port());

  auto atBravo = bravo.collector->waitForDatagrams(1);
  ASSERT_EQ(atBravo.size(), 1u);
  EXPECT_EQ(uuidIn(QoMessage::qoMessageWithRecvData(atBravo[0])), "alpha");
  EXPECT_EQ(atBravo[0].find("name of alpha"), std::string::npos);
  auto atAlpha = alpha.collector->waitForDatagrams(1);
  ASSERT_EQ(atAlpha.size(), 1u);
  EXPECT_EQ(uuidIn(QoMessage::qoMessageWithRecvData(atAlpha[0], "shared token")), "bravo");

  auto atCarol = carol.collector->waitForDatagrams(1);
  ASSERT_EQ(atCarol.size(), 1u);
  EXPECT_THROW(QoMessage::qoMessageWithRecvData(atCarol[0], "carol's token"), Exception);

  // The token is read at each send.
  config.setDeviceToken("carol's token");
  config.setPortUdp(carol.port());
  discover("alpha again")->sendDiscoverToAsyncSocket(*alpha.socket, "127.0.0.1");
  atCarol = carol.collector->waitForDatagrams(2);
  ASSERT_EQ(atCarol.size(), 2u);
  EXPECT_EQ(uuidIn(QoMessage::qoMessageWithRecvData(atCarol[1], "carol's token")), "alpha again");
}

TEST_F(QoMessageDiscoverTest, BroadcastGoesOnceToEachDistinctNonLoopbackAddress) {
  const std::vector<std::shared_ptr<ZMQAddress>> interfaces = {
      interfaceEntry("127.0.0.1", "127.0.0.1"),        interfaceEntry("192.168.1.20", "192.168.1.255"),
      interfaceEntry("192.168.1.30", "192.168.1.255"), interfaceEntry("10.8.0.2", std::nullopt),
      interfaceEntry("10.0.0.5", "10.0.0.255"),
  };
  EXPECT_EQ(ZMQAddress::broadcastAddressesOf(interfaces), (std::vector<std::string>{"192.168.1.255", "10.0.0.255"}));

  // The filter sees each datagram's destination and drops it before it leaves.
  Station station;
  std::mutex mutex;
  std::vector<std::string> destinations;
  station.socket->setSendFilter(
      [&](const std::string&, const std::string& address, int64_t tag) {
        std::lock_guard lock(mutex);
        if (tag != kMarkerTag) {
          destinations.push_back(DispatchUdpSocket::hostFromAddress(address) + ":" +
                                 std::to_string(DispatchUdpSocket::portFromAddress(address)));
        }
        return false;
      },
      DispatchQueue::createSerial("discover-filter"));
  discover("alpha")->discoverBroadCastToAsyncSocket(*station.socket, interfaces, "token", 8848);
  // Sends are answered in order: once the marker is through, every datagram before it is.
  station.socket->sendDataToHost("marker", "127.0.0.1", 9, -1, kMarkerTag);
  ASSERT_TRUE(station.collector->waitForSentTag(kMarkerTag));
  std::lock_guard lock(mutex);
  EXPECT_EQ(destinations, (std::vector<std::string>{"192.168.1.255:8848", "10.0.0.255:8848"}));
}

uint16_t boundPort(const ZMQSocket& socket) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  getsockname(socket.udpSocket(), reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

// A lost datagram fails the receive instead of blocking the test for ever.
void boundWaits(const ZMQSocket& socket) {
  timeval patience{20, 0};
  setsockopt(socket.udpSocket(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
}

TEST_F(QoMessageDiscoverTest, UdpSocketsWithTheSameTokenReadEachOther) {
  QoConfig::sharedQoConfig().setDeviceToken("shared token");
  auto context = std::make_shared<ZMQContext>(1);
  auto alpha = context->socketWithType(ZMQSocket::ZMQ_UDP);
  ASSERT_TRUE(alpha->bindToEndpointUdp(0));
  auto bravo = context->socketWithType(ZMQSocket::ZMQ_UDP);
  ZMQAddress toAlpha;
  toAlpha.ipAddrV4 = "127.0.0.1";
  toAlpha.port = std::to_string(boundPort(*alpha));
  ASSERT_TRUE(bravo->connectToEndpointUdp(toAlpha));
  boundWaits(*alpha);
  boundWaits(*bravo);

  discover("bravo")->sendDiscoverToSocket(*bravo);
  auto atAlpha = QoMessage::recvDiscoverFromSocket(*alpha);
  EXPECT_EQ(uuidIn(atAlpha), "bravo");
  ASSERT_NE(atAlpha->userInfoData(), nullptr);
  ZMQAddress sender(*atAlpha->userInfoData());
  EXPECT_EQ(sender.ipAddrV4, "127.0.0.1");
  EXPECT_EQ(sender.port, std::to_string(boundPort(*bravo)));

  // The answer goes back to whoever sent last.
  discover("alpha")->sendDiscoverToSocket(*alpha, "shared token");
  EXPECT_EQ(uuidIn(QoMessage::recvDiscoverFromSocket(*bravo, "shared token")), "alpha");

  // Under another token a datagram is unreadable; it costs only itself.
  discover("bravo again")->sendDiscoverToSocket(*bravo);
  try {
    QoMessage::recvDiscoverFromSocket(*alpha, "carol's token");
    ADD_FAILURE() << "read under another token";
  } catch (const ZMQException& e) {
    ADD_FAILURE() << "nothing received: " << e.what();
  } catch (const Exception&) {
  }
  discover("bravo last")->sendDiscoverToSocket(*bravo);
  EXPECT_EQ(uuidIn(QoMessage::recvDiscoverFromSocket(*alpha)), "bravo last");

  context->closeSockets();
  context->terminate();
}

TEST_F(QoMessageDiscoverTest, DatagramIsTheWholeBodyUnderTheTokenKey) {
  auto empty = QoMessage::qoMessageWithMsgCode(pb::MsgCodeDiscover, std::make_shared<pb::MsgDiscover>());
  const std::string datagram = empty->discoverDatagram("token");
  EXPECT_EQ(datagram.size(), 16u);
  EXPECT_THROW(QoMessage::qoMessageWithRecvData(datagram, "token"), UninitializedMessage);
  EXPECT_THROW(QoMessage::qoMessageWithRecvData("", "token"), Exception);

  auto full = discover("alpha");
  const std::string sealed = full->discoverDatagram("token");
  EXPECT_EQ(sealed.size() % 16, 0u);
  EXPECT_EQ(QoEncrypt::decryptDataPassphase(sealed, "token"), PbMessage::data(*full->pbBody()));
}

}  // namespace
}  // namespace velbor::test
