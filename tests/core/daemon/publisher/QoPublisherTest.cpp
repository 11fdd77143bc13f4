#include "core/daemon/publisher/QoPublisher.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "PublisherTestBase.h"
#include "core/daemon/router/QoHandlerTable.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/proto/PbMessage.h"
#include "core/state/QoConfig.h"
#include "core/state/QoConfigDelegateLinux.h"
#include "core/state/QoNotices.h"
#include "platform/Waiter.h"
#include "support/LoopbackListener.h"
#include "support/ZmtpTestPeer.h"

namespace velbor::test {
namespace {

std::string loopback(std::string endpoint) {
  const auto any = endpoint.find("0.0.0.0");
  if (any != std::string::npos) endpoint.replace(any, 7, "127.0.0.1");
  return endpoint;
}

class PublisherTest : public PublisherTestBase {
 protected:
  // A SUB socket on the publisher's PUB, known to be connected: probes are published until
  // one arrives.
  std::shared_ptr<ZMQSocket> listen() {
    auto socket = context_->socketWithType(ZMQ_SUB);
    socket->setData("", ZMQ_SUBSCRIBE);
    socket->connectToEndpoint(loopback(publisher_->publisherEndpoint()));
    for (int i = 0; i < kAttempts; ++i) {
      publisher_->sendQoMessageToPusher(QoMessage::qoMessageWithMsgCode(pb::MsgCodeScanRequest, nullptr));
      if (auto probe = receive(*socket, kPause)) {
        drain(*socket);
        return socket;
      }
    }
    ADD_FAILURE() << "the publisher never reached the test subscriber";
    return socket;
  }

  static std::optional<QoMessage::Ptr> receive(ZMQSocket& socket, std::chrono::milliseconds wait) {
    zmq_pollitem_t item{};
    socket.getPollItem(item, ZMQ_POLLIN);
    if (ZMQContext::pollWithItems(&item, 1, wait.count()) <= 0) return std::nullopt;
    ZMQMessage frames = ZMQMessage::recvFromSocket(socket);
    return QoMessage::initWithRecvZMQMessage(frames);
  }
  static void drain(ZMQSocket& socket) {
    while (receive(socket, std::chrono::milliseconds(100))) {
    }
  }

  // Untrusted devices announced at loopback ports where nothing publishes.
  static std::vector<QoDevice::Ptr> strangersAt(size_t count) {
    std::vector<QoDevice::Ptr> strangers;
    for (size_t i = 0; i < count; ++i) {
      auto device = std::make_shared<QoDevice>();
      device->setUuid(fmt::format("5a0c1e2f-0000-4000-8000-{:012}", i));
      device->setName("stranger");
      device->setPubUri(fmt::format("tcp://127.0.0.1:{}", 1024 + i));
      strangers.push_back(device);
    }
    return strangers;
  }
};

TEST_F(PublisherTest, ADeviceThatMovesIsFollowedToItsNewPublisher) {
  QoHandlerTable::ScopedOverride exits("PubExit", &recordExit);
  auto [first, firstUri] = peerPublisher();
  auto [second, secondUri] = peerPublisher();

  publisher_->handleNotifyDeviceAddResponse(notice::DeviceAddResponse{{deviceAt(firstUri)}});
  ASSERT_TRUE(deliver(*first, "at the first address"));

  publisher_->handleNotifyDeviceAddResponse(notice::DeviceAddResponse{{deviceAt(secondUri)}});
  ASSERT_TRUE(deliver(*second, "at the second address"));
  EXPECT_EQ(publisher_->onlineDevices(), (std::map<std::string, std::string>{{kBravoUuid, secondUri}}));

  // The old address is no longer listened to.
  for (int i = 0; i < 5; ++i) plainExit("old address").sendToSocket(*first);
  ASSERT_TRUE(deliver(*second, "after the old address spoke"));
  EXPECT_FALSE(handled("old address"));

  publisher_->handleNotifyDeviceOffLine(notice::DeviceOffLine{{deviceAt(secondUri)}});
  for (int i = 0; i < kAttempts && publisher_->isOnlineDevice(kBravoUuid); ++i) std::this_thread::sleep_for(kPause);
  EXPECT_FALSE(publisher_->isOnlineDevice(kBravoUuid));
}

// Peers keep publishing notices of several frames while the devices come, go and move: the
// SUB socket's connections change only between whole notices (libzmq aborts when the
// connection a message is being read from goes in the middle of it).
TEST_F(PublisherTest, ConnectionsChangeOnlyBetweenWholeNotices) {
  QoHandlerTable::ScopedOverride exits("PubExit", &recordExit);
  auto [first, firstUri] = peerPublisher();
  auto [second, secondUri] = peerPublisher();
  std::atomic<bool> flooding{true};
  std::thread flood([&, first = first, second = second] {
    while (flooding) {
      for (ZMQSocket* socket : {first.get(), second.get()}) plainExit("flood").sendToSocket(*socket);
    }
  });
  for (int i = 0; i < 1500; ++i) {
    auto device = deviceAt(i % 2 == 0 ? firstUri : secondUri);
    if (i % 3 == 2) {
      publisher_->handleNotifyDeviceOffLine(notice::DeviceOffLine{{device}});
    } else {
      publisher_->handleNotifyDeviceAddResponse(notice::DeviceAddResponse{{device}});
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  flooding = false;
  flood.join();
  publisher_->handleNotifyDeviceAddResponse(notice::DeviceAddResponse{{deviceAt(firstUri)}});
  EXPECT_TRUE(deliver(*first, "after the moves"));
}

// A notice of more frames than a notice has never reaches a worker: each worker still
// handles the next notice.
TEST_F(PublisherTest, NoticesOfTooManyFramesEndNoWorker) {
  QoHandlerTable::ScopedOverride exits("PubExit", &recordExit);
  auto [peer, peerUri] = peerPublisher();
  publisher_->handleNotifyDeviceAddResponse(notice::DeviceAddResponse{{deviceAt(peerUri)}});
  ASSERT_TRUE(deliver(*peer, "before"));
  const int workers = QoConfig::sharedQoConfig().publisherWorkerCount();
  for (int i = 0; i < 2 * workers + 2; ++i) {
    ZMQMessage notice = plainExit("too many frames");
    for (size_t frames = 2; frames < 15 + static_cast<size_t>(i % 2); ++frames) notice.addFrame("x");
    ASSERT_EQ(notice.frameCount(), 15u + static_cast<size_t>(i % 2));
    notice.sendToSocket(*peer);
  }
  EXPECT_TRUE(deliver(*peer, "after"));
  EXPECT_FALSE(handled("too many frames"));
}

// What a subscriber can make this device hold: a subscription to everything, as every
// peer sends it, and nothing else. A connection that asks for more is dropped; the peers
// that ask for everything still get each notice, byte for byte as before.
TEST_F(PublisherTest, SubscribersHoldNothingButTheSubscriptionToEverything) {
  const uint16_t port = portOf(publisher_->publisherEndpoint());
  constexpr auto kBound = std::chrono::seconds(20);
  // Another host: a cut is for the host that sent what is refused.
  const std::string kHostile = "127.0.0.2";

  // Behind the guard every connection comes from loopback, and a frame still waiting from a
  // connection already cut may end a later one that took its descriptor: a peer whose
  // handshake was cut that way connects again.
  auto handshaken = [&](const std::string& type, const std::string& source) -> std::unique_ptr<ZmtpTestPeer> {
    for (int attempt = 0; attempt < 3; ++attempt) {
      auto peer = std::make_unique<ZmtpTestPeer>(port, source);
      if (peer->handshake(type, kBound)) return peer;
    }
    return nullptr;
  };

  auto huge = handshaken("SUB", kHostile);
  ASSERT_NE(huge, nullptr);
  // The head of an 8 MiB subscription and a part of it.
  huge->sendFrameHead(8 << 20, false);
  huge->sendBytes("\x01" + std::string(64 * 1024, 'p'));
  EXPECT_TRUE(huge->closedWithin(kBound));

  auto many = handshaken("SUB", kHostile);
  ASSERT_NE(many, nullptr);
  many->sendFrame("\x01", false);
  for (int i = 0; i < 200; ++i) {
    if (!many->sendFrame("\x01prefix-" + std::to_string(i), false)) break;
  }
  EXPECT_TRUE(many->closedWithin(kBound));

  // Subscribing and cancelling without end only makes ZeroMQ queue it all for the broker.
  auto looping = handshaken("SUB", kHostile);
  ASSERT_NE(looping, nullptr);
  for (int i = 0; i < 2000; ++i) {
    if (!looping->sendFrame("\x01", false) || !looping->sendFrame(std::string(1, '\0'), false)) break;
  }
  EXPECT_TRUE(looping->closedWithin(kBound));

  // The same as commands (ZMTP 3.1, as libzmq's own SUB sockets send them), and heartbeats
  // without end.
  for (const std::string& loop : {std::string("\x04\x0a\x09SUBSCRIBE\x04\x07\x06"
                                              "CANCEL"),
                                  std::string("\x04\x07\x04PING\0\0", 9)}) {
    auto commands = handshaken("SUB", kHostile);
    ASSERT_NE(commands, nullptr);
    for (int i = 0; i < 2000; ++i) {
      if (!commands->sendBytes(loop)) break;
    }
    EXPECT_TRUE(commands->closedWithin(kBound)) << loop;
  }

  auto talking = handshaken("XSUB", kHostile);
  ASSERT_NE(talking, nullptr);
  talking->sendFrame("not a subscription", true);
  talking->sendFrame("", false);
  EXPECT_TRUE(talking->closedWithin(kBound));

  // A peer that subscribes as every peer does.
  auto good = handshaken("SUB", "127.0.0.1");
  ASSERT_NE(good, nullptr);
  ASSERT_TRUE(good->sendFrame("\x01", false));
  auto subscriber = listen();
  const std::string expected = PbMessage::data(*plainExitBody("good"));
  bool received = false;
  for (int i = 0; i < kAttempts && !received; ++i) {
    publisher_->sendQoMessageToPusher(QoMessage::qoMessageWithMsgCode(pb::MsgCodePubExit, plainExitBody("good")));
    while (auto frame = good->receiveFrame(kPause)) {
      if (*frame == expected) received = true;
    }
  }
  EXPECT_TRUE(received);
  EXPECT_TRUE(receive(*subscriber, kBound).has_value());
}

// Any host can announce devices at any address: only a few that are not trusted are
// listened to, and every trusted one still is.
TEST_F(PublisherTest, FewUntrustedPublishersAreListenedTo) {
  QoHandlerTable::ScopedOverride exits("PubExit", &recordExit);
  const std::vector<QoDevice::Ptr> strangers = strangersAt(40);
  publisher_->handleNotifyDeviceAddResponse(notice::DeviceAddResponse{strangers});
  auto [peer, peerUri] = peerPublisher();
  auto trusted = deviceAt(peerUri);
  trusted->setStatus(1);
  publisher_->handleNotifyDeviceAddResponse(notice::DeviceAddResponse{{trusted}});
  ASSERT_TRUE(deliver(*peer, "trusted"));
  EXPECT_EQ(publisher_->onlineDevices().size(), QoPublisher::kMaxUntrustedPublishers + 1);

  // A stranger that goes frees its place for one that waits.
  publisher_->handleNotifyDeviceOffLine(notice::DeviceOffLine{{strangers.front()}});
  for (int i = 0; i < kAttempts && publisher_->isOnlineDevice(strangers.front()->uuid()); ++i) {
    std::this_thread::sleep_for(kPause);
  }
  EXPECT_FALSE(publisher_->isOnlineDevice(strangers.front()->uuid()));
  EXPECT_EQ(publisher_->onlineDevices().size(), QoPublisher::kMaxUntrustedPublishers + 1);
}

// A device not trusted announced at a trusted device's publisher (a datagram with a forged
// source, or a reinstalled device with a new uuid) shares its connection: when it goes, or
// overruns, the trusted device is still listened to.
TEST_F(PublisherTest, AStrangerAtATrustedDevicesPublisherDoesNotTakeItsNotices) {
  QoHandlerTable::ScopedOverride exits("PubExit", &recordExit);
  auto [peer, peerUri] = peerPublisher();
  auto trusted = deviceAt(peerUri);
  trusted->setStatus(1);
  auto stranger = std::make_shared<QoDevice>();
  stranger->setUuid("5a0c1e2f-0000-4000-8000-0000000000aa");
  stranger->setName("stranger");
  stranger->setPubUri(peerUri);
  publisher_->handleNotifyDeviceAddResponse(notice::DeviceAddResponse{{stranger}});
  publisher_->handleNotifyDeviceAddResponse(notice::DeviceAddResponse{{trusted}});
  ASSERT_TRUE(deliver(*peer, "both listened to"));

  publisher_->handleNotifyDeviceOffLine(notice::DeviceOffLine{{stranger}});
  for (int i = 0; i < kAttempts && publisher_->isOnlineDevice(stranger->uuid()); ++i) {
    std::this_thread::sleep_for(kPause);
  }
  ASSERT_FALSE(publisher_->isOnlineDevice(stranger->uuid()));
  EXPECT_TRUE(deliver(*peer, "the stranger went"));
  EXPECT_TRUE(publisher_->isOnlineDevice(kBravoUuid));
}

// A device paired while strangers hold every place for untrusted publishers is listened to
// once it is trusted, though nothing announces it again (it stays online): at discovery's
// next refresh, or at once when folders are paired with it.
TEST_F(PublisherTest, ADevicePairedWhileStrangersHoldEveryPlaceIsListenedTo) {
  QoHandlerTable::ScopedOverride exits("PubExit", &recordExit);
  const std::vector<QoDevice::Ptr> strangers = strangersAt(QoPublisher::kMaxUntrustedPublishers);
  publisher_->handleNotifyDeviceAddResponse(notice::DeviceAddResponse{strangers});
  for (int i = 0; i < kAttempts && publisher_->onlineDevices().size() < strangers.size(); ++i) {
    std::this_thread::sleep_for(kPause);
  }
  ASSERT_EQ(publisher_->onlineDevices().size(), strangers.size());
  auto [peer, peerUri] = peerPublisher();
  auto paired = addDevice(kBravoUuid, "bravo", "", 0);
  paired->setPubUri(peerUri);
  publisher_->handleNotifyDeviceAddResponse(notice::DeviceAddResponse{{paired}});
  ASSERT_FALSE(deliver(*peer, "not yet paired"));
  ASSERT_FALSE(publisher_->isOnlineDevice(kBravoUuid));

  // The pairing changes only the stored status; discovery's refresh comes each minute.
  paired->setStatus(1);
  paired->save();
  publisher_->syncAddHandler(notice::SyncAddResponse{});
  EXPECT_TRUE(deliver(*peer, "paired"));
  EXPECT_TRUE(publisher_->isOnlineDevice(kBravoUuid));
}

// A publisher of a device not trusted that sends a notice without end is no longer listened
// to once its connection has brought more than a few notices can be.
TEST_F(PublisherTest, AnUntrustedPublisherWhoseNoticeNeverEndsIsLeft) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::string endpoint = fmt::format("tcp://127.0.0.1:{}", ntohs(address.sin_port));
  publisher_->handleNotifyDeviceAddResponse(notice::DeviceAddResponse{{deviceAt(endpoint)}});

  constexpr auto kBound = std::chrono::seconds(20);
  auto peer = ZmtpTestPeer::accept(listener, kBound);
  ::close(listener);
  ASSERT_NE(peer, nullptr);
  ASSERT_TRUE(peer->handshake("PUB", kBound));
  ASSERT_TRUE(peer->receiveFrame(kBound).has_value());
  const std::string frame(1024, 'n');
  uint64_t sent = 0;
  constexpr uint64_t kCap = uint64_t{512} << 20;
  while (sent < kCap && peer->sendFrame(frame, true)) sent += frame.size();
  EXPECT_LT(sent, kCap);
  EXPECT_TRUE(peer->closedWithin(kBound));
  for (int i = 0; i < kAttempts && publisher_->isOnlineDevice(kBravoUuid); ++i) std::this_thread::sleep_for(kPause);
  EXPECT_FALSE(publisher_->isOnlineDevice(kBravoUuid));
}

// A trusted device's publisher whose notice never ends (empty frames, each of which would
// cost ZeroMQ 30 times its bytes) loses its connection as soon as it is no notice, and is
// heard again on the next one.
TEST_F(PublisherTest, ATrustedPublisherWhoseNoticeNeverEndsIsCutAndHeardAgain) {
  QoHandlerTable::ScopedOverride exits("PubExit", &recordExit);
  uint16_t port = 0;
  const int listener = listenOnLoopback(port);
  auto trusted = deviceAt(fmt::format("tcp://127.0.0.1:{}", port));
  trusted->setStatus(1);
  publisher_->handleNotifyDeviceAddResponse(notice::DeviceAddResponse{{trusted}});

  constexpr auto kBound = std::chrono::seconds(20);
  auto endless = ZmtpTestPeer::accept(listener, kBound);
  ASSERT_NE(endless, nullptr);
  ASSERT_TRUE(endless->handshake("PUB", kBound));
  ASSERT_TRUE(endless->receiveFrame(kBound).has_value());
  const std::string empties = ZmtpTestPeer::endlessEmptyFrames();
  for (int i = 0; i < 64 && endless->sendBytes(empties); ++i) {
  }
  EXPECT_TRUE(endless->closedWithin(kBound));

  auto again = ZmtpTestPeer::accept(listener, kBound);
  ::close(listener);
  ASSERT_NE(again, nullptr);
  ASSERT_TRUE(again->handshake("PUB", kBound));
  ASSERT_TRUE(again->receiveFrame(kBound).has_value());
  for (int i = 0; i < kAttempts && !handled("heard again"); ++i) {
    ZMQMessage notice = plainExit("heard again");
    while (auto frame = notice.getNextFrame()) again->sendFrame(*frame, notice.ifMoreFrame());
    std::this_thread::sleep_for(kPause);
  }
  EXPECT_TRUE(handled("heard again"));
  EXPECT_TRUE(publisher_->isOnlineDevice(kBravoUuid));
}

TEST_F(PublisherTest, AChangeOfACopyWithoutADeviceIsNotAnnounced) {
  auto subscriber = listen();
  auto removed = std::make_shared<QoSyncdirCopy>();
  removed->setUuid("4b1d2c3e-0000-4000-8000-000000000001");
  removed->setPath("/removed");
  auto local = std::make_shared<QoSyncdirCopy>();
  local->setUuid("4b1d2c3e-0000-4000-8000-000000000002");
  local->setSyncdirUuid("4b1d2c3e-0000-4000-8000-000000000003");
  local->setPath("/local");
  local->setDevice(QoDevice::getDeviceLocal());

  publisher_->handleNotifyFileChanged(notice::FileChanged{removed});
  publisher_->handleNotifyFileChanged(notice::FileChanged{local});

  auto first = receive(*subscriber, std::chrono::seconds(20));
  ASSERT_TRUE(first.has_value());
  auto body = (*first)->pbBodyAs<pb::MsgPubFileChange>();
  ASSERT_NE(body, nullptr);
  EXPECT_EQ(body->tree_uuid(), local->uuid());
  EXPECT_EQ(body->publisher(), QoConfig::sharedQoConfig().deviceUuid());
  EXPECT_EQ(body->sync_uuid(), local->syncdirUuid());
  // Unsigned: a signed body could be relabelled as another request of this device's.
  EXPECT_EQ((*first)->level(), QoMessage::kLevelNone);
  EXPECT_FALSE((*first)->sign().has_value());
}

TEST_F(PublisherTest, TheExitNoticeIsOutBeforeStopReturns) {
  auto subscriber = listen();
  QoNotices::post(notice::ProcessExit{});
  ASSERT_TRUE(publisher_->waitForExitPublished(std::chrono::seconds(20)));
  publisher_->stop();

  auto exit = receive(*subscriber, std::chrono::seconds(20));
  ASSERT_TRUE(exit.has_value());
  auto body = (*exit)->pbBodyAs<pb::MsgPubExit>();
  ASSERT_NE(body, nullptr);
  EXPECT_EQ(body->publisher(), QoConfig::sharedQoConfig().deviceUuid());
  // Unsigned: signed, its body would be this device's distrust, for anyone to replay.
  EXPECT_EQ((*exit)->level(), QoMessage::kLevelNone);
  EXPECT_FALSE((*exit)->sign().has_value());
  // Nothing is taken once stopped, and nothing waits for it.
  EXPECT_FALSE(publisher_->sendQoMessageToPusher(QoMessage::qoMessageWithMsgCode(pb::MsgCodeScanRequest, nullptr)));
}

TEST_F(PublisherTest, NoticesFromManyThreadsAllReachTheBroker) {
  // Observers on the notification queue, monitor and pull threads all post at once; each
  // notice is handed over, never sent on a socket of the poster's thread.
  std::vector<std::thread> posters;
  for (int t = 0; t < 8; ++t) {
    posters.emplace_back([this] {
      for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(
            publisher_->sendQoMessageToPusher(QoMessage::qoMessageWithMsgCode(pb::MsgCodeScanRequest, nullptr)));
      }
    });
  }
  for (auto& poster : posters) poster.join();
  publisher_->handleNotifyProcessExit();
  EXPECT_TRUE(publisher_->waitForExitPublished(std::chrono::seconds(20)));
}

TEST_F(PublisherTest, OnlyNoticesAndTrustOffersPassUnsigned) {
  EXPECT_TRUE(publisher_->isEncryptAuthExclude(pb::MsgCodePubExit, 0));
  EXPECT_TRUE(publisher_->isEncryptAuthExclude(pb::MsgCodePubFileChange, 0));
  EXPECT_TRUE(publisher_->isEncryptAuthExclude(pb::MsgCodeTrustPublishRequest, 0));
  EXPECT_FALSE(publisher_->isEncryptAuthExclude(pb::MsgCodeFindRequest, 0));
  EXPECT_TRUE(publisher_->isEncryptAuthExclude(pb::MsgCodeFindRequest, 1));
}

}  // namespace
}  // namespace velbor::test
