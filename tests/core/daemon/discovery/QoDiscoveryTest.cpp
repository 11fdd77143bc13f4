#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/daemon/client/ClientTestBase.h"
#include "core/daemon/discovery/QoDiscovery.h"
#include "core/daemon/router/EndpointChallengeAnswer.h"
#include "core/state/PullsAwaitingPeer.h"
#include "framework/crypto/QoEncrypt.h"
#include "framework/errors/QoException.h"
#include "proto/VelborProto.pb.h"
#include "support/Eventually.h"
#include "support/LoopbackListener.h"

namespace velbor::test {
namespace {

constexpr const char* kToken = "shared-token";

// A UDP socket of the test on loopback: where this device's replies arrive.
class UdpReceiver {
 public:
  UdpReceiver() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~UdpReceiver() { ::close(fd_); }
  UdpReceiver(const UdpReceiver&) = delete;
  UdpReceiver& operator=(const UdpReceiver&) = delete;

  uint16_t port() const { return port_; }
  // The next datagram; nothing when none came within the guard.
  std::optional<std::string> next() {
    pollfd item{fd_, POLLIN, 0};
    if (::poll(&item, 1, 20000) != 1) return std::nullopt;
    char buffer[9216];
    const ssize_t count = ::recv(fd_, buffer, sizeof buffer, 0);
    if (count < 0) return std::nullopt;
    return std::string(buffer, static_cast<size_t>(count));
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

std::string socketAddress(const std::string& ip, uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  ::inet_pton(AF_INET, ip.c_str(), &address.sin_addr);
  return std::string(reinterpret_cast<const char*>(&address), sizeof address);
}

class QoDiscoveryTest : public ClientTestBase {
 protected:
  void SetUp() override {
    ClientTestBase::SetUp();
    QoConfig& config = QoConfig::sharedQoConfig();
    config.setDeviceToken(kToken);
    config.setPortUdp(receiver_.port());
    // The peers of these tests all sit on this host's loopback.
    discovery().setAddressOfThisHost([](const std::string&) { return false; });
  }
  void TearDown() override {
    discovery().stop();
    discovery().setAddressOfThisHost(nullptr);
    ClientTestBase::TearDown();
  }

  static QoDiscovery& discovery() { return QoDiscovery::sharedQoDiscovery(); }

  static pb::MsgDiscover announcement(const std::string& uuid, const DeviceKeys& keys, int32_t routePort = 4000,
                                      int32_t pubPort = 4001, const std::string& name = "bravo") {
    pb::MsgDiscover body;
    body.set_is_response(pb::PbBoolFalse);
    body.set_device_uuid(uuid);
    body.set_device_name(name);
    body.set_device_type(pb::DeviceTypeLinux);
    body.set_route_port(routePort);
    body.set_pub_port(pubPort);
    body.set_public_key(QoEncrypt::convertPublicKeyFromPemToDer(keys.publicKey));
    return body;
  }
  // Hands the datagram of `body` sealed under `token` to the receive path, as sent from `ip`.
  static void feed(const pb::MsgDiscover& body, const std::string& token = kToken,
                   const std::string& ip = "127.0.0.1") {
    auto message = QoMessage::qoMessageWithMsgCode(pb::MsgCodeDiscover, std::make_shared<pb::MsgDiscover>(body));
    discovery().didReceiveData(message->discoverDatagram(token), socketAddress(ip, 34567));
    discovery().waitForJobs();
  }
  // A request endpoint that answers every challenge as the device does there, sealed by it.
  static std::unique_ptr<FakePeer> provingAs(RouterTestClient* device) {
    return std::make_unique<FakePeer>([device](const FakePeer::Frames& request) -> std::optional<FakePeer::Frames> {
      pb::MsgGetRequest challenge;
      challenge.ParseFromString(request.at(1));
      return device->seal(pb::MsgCodeGetError,
                          std::make_shared<pb::MsgGetError>(EndpointChallengeAnswer::answerFor(
                              challenge, EndpointChallengeAnswer::endpointNamedBy(challenge).value_or(""))),
                          QoMessage::kLevelAuth);
    });
  }
  static void setRegisterTime(const QoDevice::Ptr& device, int64_t time) {
    device->setRegisterTime(time);
    device->save();
  }

  UdpReceiver receiver_;
};

TEST_F(QoDiscoveryTest, NewDeviceIsStoredUntrustedOnlineAndAnswered) {
  NoticeLog<notice::DeviceAddResponse> added;
  const std::string uuid = QoUtils::generateUuid();
  const pb::MsgDiscover body = announcement(uuid, keysBravo());
  feed(body);

  const auto device = QoDevice::getDeviceWithUuid(uuid);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->status(), 0);
  EXPECT_TRUE(device->isOnline());
  EXPECT_EQ(device->name(), "bravo");
  EXPECT_EQ(device->routeUri(), "tcp://127.0.0.1:4000");
  EXPECT_EQ(device->pubUri(), "tcp://127.0.0.1:4001");
  EXPECT_EQ(device->pubKey(), QoEncrypt::convertPublicKeyFromDerToPem(body.public_key()));
  ASSERT_EQ(added.waitFor(1).size(), 1U);
  EXPECT_EQ(added.delivered()[0].devices.at(0)->uuid(), uuid);

  // The answer goes to the sender's host at this device's own port.
  const auto reply = receiver_.next();
  ASSERT_TRUE(reply);
  const auto answer = QoMessage::qoMessageWithRecvData(*reply, kToken)->pbBodyAs<pb::MsgDiscover>();
  EXPECT_EQ(answer->is_response(), pb::PbBoolTrue);
  EXPECT_EQ(answer->device_uuid(), QoConfig::sharedQoConfig().deviceUuid());

  // The same announcement again changes nothing worth a notice; an untrusted device moves freely.
  feed(body);
  EXPECT_EQ(added.delivered().size(), 1U);
  feed(body, kToken, "127.0.0.2");
  EXPECT_EQ(QoDevice::getDeviceWithUuid(uuid)->routeUri(), "tcp://127.0.0.2:4000");
  EXPECT_EQ(added.delivered().size(), 2U);
}

// Every device without a token would read a datagram sealed under the empty one.
TEST_F(QoDiscoveryTest, WithoutTokenNothingIsSentOrAccepted) {
  QoConfig::sharedQoConfig().setDeviceToken("");
  const std::string ignored = QoUtils::generateUuid();
  feed(announcement(ignored, keysBravo()), "");
  discovery().broadCast();
  EXPECT_EQ(QoDevice::getDeviceWithUuid(ignored), nullptr);

  QoConfig::sharedQoConfig().setDeviceToken(kToken);
  const std::string heard = QoUtils::generateUuid();
  feed(announcement(heard, keysBravo()));
  EXPECT_NE(QoDevice::getDeviceWithUuid(heard), nullptr);
  // The first datagram sent at all is the answer made with the token.
  const auto first = receiver_.next();
  ASSERT_TRUE(first);
  EXPECT_NO_THROW(QoMessage::qoMessageWithRecvData(*first, kToken));
}

TEST_F(QoDiscoveryTest, AnnouncementsWithBadFieldsAreRefused) {
  struct Case {
    std::string label;
    std::function<void(pb::MsgDiscover&)> spoil;
  };
  const std::vector<Case> cases{
      {"uuid", [](pb::MsgDiscover& b) { b.set_device_uuid("../../etc"); }},
      {"empty uuid", [](pb::MsgDiscover& b) { b.set_device_uuid(""); }},
      {"route port 0", [](pb::MsgDiscover& b) { b.set_route_port(0); }},
      {"route port 65536", [](pb::MsgDiscover& b) { b.set_route_port(65536); }},
      {"negative pub port", [](pb::MsgDiscover& b) { b.set_pub_port(-9526); }},
      {"long name", [](pb::MsgDiscover& b) { b.set_device_name(std::string(QoDiscovery::kMaxNameLength + 1, 'n')); }},
      {"name not UTF-8", [](pb::MsgDiscover& b) { b.set_device_name("bad\xFF"); }},
      {"no key", [](pb::MsgDiscover& b) { b.set_public_key(""); }},
      {"key not DER", [](pb::MsgDiscover& b) { b.set_public_key("not a key"); }},
  };
  const size_t before = QoDevice::allObjects().size();
  for (const Case& c : cases) {
    pb::MsgDiscover body = announcement(QoUtils::generateUuid(), keysBravo());
    c.spoil(body);
    feed(body);
    EXPECT_EQ(QoDevice::allObjects().size(), before) << c.label;
  }
  // The bounds themselves are accepted.
  pb::MsgDiscover edge = announcement(QoUtils::generateUuid(), keysBravo(), 65535, 1);
  edge.set_device_name(std::string(QoDiscovery::kMaxNameLength, 'n'));
  feed(edge);
  EXPECT_NE(QoDevice::getDeviceWithUuid(edge.device_uuid()), nullptr);
}

// A datagram naming this device, in whatever letter case, is not another device.
TEST_F(QoDiscoveryTest, AnnouncementOfThisDevicesOwnUuidIsIgnored) {
  const std::string own = QoConfig::sharedQoConfig().deviceUuid();
  std::string upper = own;
  std::string lower = own;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const size_t before = QoDevice::allObjects().size();
  for (const std::string& uuid : {own, upper, lower}) feed(announcement(uuid, keysBravo()));
  EXPECT_EQ(QoDevice::allObjects().size(), before);
  EXPECT_EQ(QoDevice::getDeviceLocal()->uuid(), own);
}

// Registration writes name, endpoints, online flag and time heard; key, type, status and
// token belong to the trust exchange and the status check.
TEST_F(QoDiscoveryTest, StoredDeviceKeepsWhatDiscoveryDoesNotOwn) {
  auto asking = peerAt("tcp://127.0.0.1:4000", keysAlpha(), 3);
  asking->device()->setToken("offer");
  asking->device()->setType(0);
  asking->device()->save();
  pb::MsgDiscover body = announcement(asking->device()->uuid(), keysBravo(), 4100, 4101, "renamed");
  body.set_device_type(pb::DeviceTypeIPhone);
  feed(body);

  const auto stored = QoDevice::getDeviceWithUuid(asking->device()->uuid());
  EXPECT_EQ(stored->name(), "renamed");
  EXPECT_EQ(stored->routeUri(), "tcp://127.0.0.1:4100");
  EXPECT_EQ(stored->status(), 3);
  EXPECT_EQ(stored->token(), "offer");
  EXPECT_EQ(stored->type(), 0);
  EXPECT_EQ(stored->pubKey(), keysAlpha().publicKey);
}

// A trusted device's endpoints move only when the device answers a fresh challenge, signed
// with its own key, at the new address: a replayed datagram or answer redirects nothing.
TEST_F(QoDiscoveryTest, TrustedDeviceMovesOnlyAfterAnsweringTheChallenge) {
  auto peer = peerAt("tcp://127.0.0.9:1", keysAlpha());
  auto other = peerAt("tcp://127.0.0.9:2", keysBravo());
  const std::string oldRoute = peer->device()->routeUri();
  // Answers the challenge as the device does at the endpoint it names (or with other
  // numbers), sealed by `signer` at `level`.
  auto answering = [](RouterTestClient* signer, int level, bool proves) {
    return std::make_unique<FakePeer>([=](const FakePeer::Frames& request) -> std::optional<FakePeer::Frames> {
      pb::MsgGetRequest challenge;
      challenge.ParseFromString(request.at(1));
      auto error = std::make_shared<pb::MsgGetError>(EndpointChallengeAnswer::answerFor(
          challenge, EndpointChallengeAnswer::endpointNamedBy(challenge).value_or("")));
      if (!proves) error->set_transfer(7);
      return signer->seal(pb::MsgCodeGetError, error, level);
    });
  };
  struct Case {
    std::string label;
    std::unique_ptr<FakePeer> at;
  };
  std::vector<Case> refused;
  refused.push_back({"recorded answer", answering(peer.get(), QoMessage::kLevelAuth, false)});
  refused.push_back({"signed by another device", answering(other.get(), QoMessage::kLevelAuth, true)});
  refused.push_back({"unsigned", answering(peer.get(), QoMessage::kLevelNone, true)});
  // A proof of the request endpoint alone says nothing of the publisher port claimed.
  refused.push_back(
      {"publisher endpoint not proved",
       std::make_unique<FakePeer>([&](const FakePeer::Frames& request) -> std::optional<FakePeer::Frames> {
         pb::MsgGetRequest challenge;
         challenge.ParseFromString(request.at(1));
         const std::string route = EndpointChallengeAnswer::endpointNamedBy(challenge).value_or("");
         challenge.clear_uuids();
         challenge.add_uuids(route);
         return peer->seal(pb::MsgCodeGetError,
                           std::make_shared<pb::MsgGetError>(EndpointChallengeAnswer::answerFor(challenge, route)),
                           QoMessage::kLevelAuth);
       })});
  NoticeLog<notice::DeviceAddResponse> added;
  for (const Case& c : refused) {
    feed(announcement(peer->device()->uuid(), keysAlpha(), portOf(c.at->endpoint()), 4001));
    ASSERT_EQ(c.at->heads().size(), 1U) << c.label;
    EXPECT_EQ(c.at->heads()[0].code(), pb::MsgCodeGetRequest);
    EXPECT_EQ(c.at->heads()[0].level(), QoMessage::kLevelAuth);
    EXPECT_EQ(QoDevice::getDeviceWithUuid(peer->device()->uuid())->routeUri(), oldRoute) << c.label;
  }
  EXPECT_TRUE(added.delivered().empty());

  auto moved = answering(peer.get(), QoMessage::kLevelAuth, true);
  feed(announcement(peer->device()->uuid(), keysAlpha(), portOf(moved->endpoint()), 4001));
  const auto stored = QoDevice::getDeviceWithUuid(peer->device()->uuid());
  EXPECT_EQ(stored->routeUri(), moved->endpoint());
  EXPECT_EQ(stored->pubUri(), "tcp://127.0.0.1:4001");
  EXPECT_EQ(stored->status(), 1);
  EXPECT_EQ(added.waitFor(1).size(), 1U);
}

// A datagram claiming an endpoint where nothing answers holds its challenge for the whole
// reply wait: the device's own move, claimed meanwhile, is challenged all the same.
TEST_F(QoDiscoveryTest, AChallengeThatWaitsInVainDoesNotHoldUpTheDevicesOwnMove) {
  auto peer = peerAt("tcp://127.0.0.9:1", keysAlpha());
  SilentPeer silent;
  auto moved = provingAs(peer.get());
  const auto datagram = [&](const std::string& endpoint) {
    auto message = QoMessage::qoMessageWithMsgCode(
        pb::MsgCodeDiscover,
        std::make_shared<pb::MsgDiscover>(announcement(peer->device()->uuid(), keysAlpha(), portOf(endpoint), 4001)));
    return message->discoverDatagram(kToken);
  };
  discovery().didReceiveData(datagram(silent.endpoint()), socketAddress("127.0.0.2", 34567));
  discovery().didReceiveData(datagram(moved->endpoint()), socketAddress("127.0.0.1", 34567));
  ASSERT_TRUE(eventually([&] { return !moved->heads().empty(); }, 30));
  discovery().waitForJobs();
  EXPECT_EQ(QoDevice::getDeviceWithUuid(peer->device()->uuid())->routeUri(), moved->endpoint());
}

// A host claiming a trusted device's move to its own address, port after port, holds one
// challenge at a time: it cannot take every place of the device's challenges, and the
// device's own move from its address is challenged all the same.
TEST_F(QoDiscoveryTest, ClaimsFromOneAddressHoldOneChallengeAtATime) {
  auto peer = peerAt("tcp://127.0.0.9:1", keysAlpha());
  auto moved = provingAs(peer.get());
  const auto datagram = [&](uint16_t port) {
    auto message = QoMessage::qoMessageWithMsgCode(
        pb::MsgCodeDiscover,
        std::make_shared<pb::MsgDiscover>(announcement(peer->device()->uuid(), keysAlpha(), port, port + 1)));
    return message->discoverDatagram(kToken);
  };
  // Nothing answers there: each challenge waits in vain for the whole reply wait.
  for (size_t i = 0; i < QoDiscovery::kMaxChallengesPerDevice * 2; ++i) {
    discovery().didReceiveData(datagram(static_cast<uint16_t>(41000 + 2 * i)), socketAddress("127.0.0.2", 34567));
  }
  discovery().didReceiveData(datagram(portOf(moved->endpoint())), socketAddress("127.0.0.1", 34567));
  ASSERT_TRUE(eventually([&] { return !moved->heads().empty(); }, 30));
  discovery().waitForJobs();
  EXPECT_EQ(QoDevice::getDeviceWithUuid(peer->device()->uuid())->routeUri(), moved->endpoint());
}

// A datagram from this very host (loopback, or an address this host has, such as a container
// bridge every host may share) comes from a process here: a trusted device is not challenged
// there, since it would prove such an address as its own.
TEST_F(QoDiscoveryTest, ATrustedDeviceNeverMovesToAnAddressOfThisHost) {
  discovery().setAddressOfThisHost(nullptr);
  auto peer = peerAt("tcp://192.0.2.9:1", keysAlpha());
  auto at = provingAs(peer.get());
  std::vector<std::string> addresses = {"127.0.0.1", "127.1.2.3"};
  for (const auto& address : EndpointChallengeAnswer::addressesOfThisHost()) addresses.push_back(address);
  for (const auto& address : addresses) {
    EXPECT_TRUE(discovery().isAddressOfThisHost(address)) << address;
    feed(announcement(peer->device()->uuid(), keysAlpha(), portOf(at->endpoint()), 4001), kToken, address);
    EXPECT_EQ(QoDevice::getDeviceWithUuid(peer->device()->uuid())->routeUri(), "tcp://192.0.2.9:1") << address;
  }
  EXPECT_TRUE(at->heads().empty());
  EXPECT_FALSE(discovery().isAddressOfThisHost("192.0.2.10"));
}

// The challenge names the endpoint it goes to, and only the device's proof for that very
// endpoint moves it: numbers merely echoed (a device that does not check where it is asked)
// or a proof for another endpoint (the device's answer to a challenge a relay passed on) are
// refused, and so is the device's refusal.
TEST_F(QoDiscoveryTest, AnAnswerThatDoesNotProveTheEndpointAskedMovesNothing) {
  auto peer = peerAt("tcp://127.0.0.9:1", keysAlpha());
  const std::string oldRoute = peer->device()->routeUri();
  struct Case {
    std::string label;
    std::function<QoMessage::Body(const pb::MsgGetRequest&)> answer;
    int32_t code = pb::MsgCodeGetError;
    int level = QoMessage::kLevelAuth;
  };
  const std::vector<Case> cases = {
      {"numbers echoed",
       [](const pb::MsgGetRequest& challenge) {
         auto error = std::make_shared<pb::MsgGetError>();
         error->set_transfer(challenge.transfer());
         error->set_errcode(pb::ErrorCodeBadTree);
         *error->mutable_part() = challenge.part();
         return error;
       }},
      {"proof for the device's own endpoint",
       [&](const pb::MsgGetRequest& challenge) {
         return std::make_shared<pb::MsgGetError>(EndpointChallengeAnswer::answerFor(challenge, oldRoute));
       }},
      {"refused by the device",
       [](const pb::MsgGetRequest&) {
         auto error = std::make_shared<pb::MsgError>();
         error->set_errcode(pb::ErrorCodePermissionDeny);
         error->set_errstr("QoExceptionZePermissionDeny: not mine");
         return error;
       },
       pb::MsgCodeError, QoMessage::kLevelNone},
  };
  NoticeLog<notice::DeviceAddResponse> added;
  for (const Case& c : cases) {
    auto named = std::make_shared<std::vector<std::string>>();
    FakePeer at([&, named](const FakePeer::Frames& request) -> std::optional<FakePeer::Frames> {
      pb::MsgGetRequest challenge;
      challenge.ParseFromString(request.at(1));
      named->push_back(EndpointChallengeAnswer::endpointNamedBy(challenge).value_or("(none)"));
      return peer->seal(c.code, c.answer(challenge), c.level);
    });
    feed(announcement(peer->device()->uuid(), keysAlpha(), portOf(at.endpoint()), 4001));
    ASSERT_EQ(at.heads().size(), 1U) << c.label;
    EXPECT_EQ(*named, std::vector<std::string>{at.endpoint()}) << c.label;
    EXPECT_EQ(QoDevice::getDeviceWithUuid(peer->device()->uuid())->routeUri(), oldRoute) << c.label;
  }
  EXPECT_TRUE(added.delivered().empty());
}

// Silent devices go offline at the next check; an untrusted one goes with its copies.
TEST_F(QoDiscoveryTest, SilentDevicesGoOfflineAndUntrustedOnesAreRemoved) {
  const int64_t timeout = QoConfig::sharedQoConfig().deviceOnlineTimeOut();
  const int64_t longAgo = QoUtils::timestampNow() - timeout - 10;
  auto trusted = peerAt("tcp://127.0.0.1:1", keysAlpha(), 1);
  auto untrusted = peerAt("tcp://127.0.0.1:2", keysBravo(), 0);
  auto recent = peerAt("tcp://127.0.0.1:3", keysBravo(), 0);
  setRegisterTime(trusted->device(), longAgo);
  setRegisterTime(untrusted->device(), longAgo);
  setRegisterTime(recent->device(), QoUtils::timestampNow());
  const auto pairing = pairWith(untrusted->device(), "untrusted");
  NoticeLog<notice::DeviceOffLine> offline;

  discovery().timeoutCheck();

  const auto stillTrusted = QoDevice::getDeviceWithUuid(trusted->device()->uuid());
  ASSERT_NE(stillTrusted, nullptr);
  EXPECT_FALSE(stillTrusted->isOnline());
  EXPECT_EQ(QoDevice::getDeviceWithUuid(untrusted->device()->uuid()), nullptr);
  // Its copy keeps only its clock slot: no device, no pairing.
  EXPECT_EQ(QoSyncdirCopy::getSyncdirCopyWithUuid(pairing->secondSyncdirCopy()->uuid())->device(), nullptr);
  EXPECT_EQ(QoSyncdirCopyRelation::getSyncdirCopyRelationsWithFirstUuid(pairing->firstSyncdirCopy()->uuid(),
                                                                        pairing->secondSyncdirCopy()->uuid()),
            nullptr);
  EXPECT_TRUE(QoDevice::getDeviceWithUuid(recent->device()->uuid())->isOnline());
  ASSERT_EQ(offline.waitFor(1).size(), 1U);
  EXPECT_EQ(offline.delivered()[0].devices.size(), 2U);

  // Heard again, the removed device comes back as a new untrusted one.
  feed(announcement(untrusted->device()->uuid(), keysBravo()));
  const auto back = QoDevice::getDeviceWithUuid(untrusted->device()->uuid());
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->status(), 0);
}

// Settings below one tick give counts of 1, never a divisor of 0.
// Anyone with the token can announce made-up devices without end: the devices never trusted
// are kept up to a bound, the oldest of them gone offline making room, and every device that
// is trusted, in a trust exchange or holds a copy stays.
TEST_F(QoDiscoveryTest, DevicesNeverTrustedAreKeptUpToABound) {
  auto trusted = peerAt("tcp://127.0.0.1:1", keysAlpha(), 1);
  auto asking = peerAt("tcp://127.0.0.1:2", keysAlpha(), 3);
  auto holding = peerAt("tcp://127.0.0.1:3", keysAlpha(), 1);
  pairWith(holding->device(), "held");
  holding->device()->setStatus(0);
  holding->device()->save();
  std::vector<std::string> offline;
  for (int i = 0; i < 3; ++i) {
    auto device = std::make_shared<QoDevice>();
    device->setUuid(QoUtils::generateUuid());
    device->setName("gone");
    device->setStatus(0);
    device->setPubKey(keysBravo().publicKey);
    device->setRegisterTime(QoUtils::timestampNow() - 100 + i);
    device->setIsOnline(false);
    device->save();
    offline.push_back(device->uuid());
  }
  const auto neverTrusted = [] { return QoDevice::countByCriteria("WHERE pk <> 0 AND status = 0"); };
  const int64_t cap = static_cast<int64_t>(QoDiscovery::kMaxUntrustedDevices);
  while (neverTrusted() - 1 < cap) feed(announcement(QoUtils::generateUuid(), keysBravo()));
  // At the bound, each new device takes the place of one gone offline, the oldest first.
  for (size_t i = 0; i < offline.size(); ++i) {
    const std::string uuid = QoUtils::generateUuid();
    feed(announcement(uuid, keysBravo()));
    EXPECT_NE(QoDevice::getDeviceWithUuid(uuid), nullptr);
    EXPECT_EQ(QoDevice::getDeviceWithUuid(offline[i]), nullptr) << i;
    if (i + 1 < offline.size()) {
      EXPECT_NE(QoDevice::getDeviceWithUuid(offline[i + 1]), nullptr) << i;
    }
  }
  EXPECT_EQ(neverTrusted() - 1, cap);

  const std::string refused = QoUtils::generateUuid();
  feed(announcement(refused, keysBravo()));
  EXPECT_EQ(QoDevice::getDeviceWithUuid(refused), nullptr);
  EXPECT_EQ(neverTrusted() - 1, cap);
  for (const auto* peer : {trusted.get(), asking.get(), holding.get()}) {
    EXPECT_NE(QoDevice::getDeviceWithUuid(peer->device()->uuid()), nullptr);
  }
  // A device already known is still heard.
  const auto known = QoDevice::findByCriteria("WHERE pk <> 0 AND status = 0 AND name = 'bravo' LIMIT 1");
  ASSERT_EQ(known.size(), 1U);
  feed(announcement(known[0]->uuid(), keysBravo(), 4000, 4001, "renamed"));
  EXPECT_EQ(QoDevice::getDeviceWithUuid(known[0]->uuid())->name(), "renamed");
}

TEST_F(QoDiscoveryTest, TickCountsAreAtLeastOne) {
  QoConfig& config = QoConfig::sharedQoConfig();
  config.setBroadCastInterval(3);
  config.setDeviceOnlineTimeOut(2);
  config.setPortUdp(0);
  discovery().run();
  EXPECT_TRUE(discovery().isRunning());
  EXPECT_EQ(discovery().broadCastTTL(), 1);
  EXPECT_EQ(discovery().deviceTimeoutTTL(), 1);

  auto silent = peerAt("tcp://127.0.0.1:1", keysBravo(), 0);
  setRegisterTime(silent->device(), QoUtils::timestampNow() - 10);
  discovery().threadTimerScheduler();
  EXPECT_EQ(QoDevice::getDeviceWithUuid(silent->device()->uuid()), nullptr);
  discovery().stop();
  EXPECT_FALSE(discovery().isRunning());
}

TEST_F(QoDiscoveryTest, RunRaisesWhenThePortIsTaken) {
  // The receiver holds the port on loopback: the wildcard bind cannot have it.
  try {
    discovery().run();
    FAIL() << "run() did not raise";
  } catch (const QoException& e) {
    EXPECT_EQ(e.name(), "Address already in use");
    EXPECT_EQ(e.reason(), "地址已经被占用");
  }
  EXPECT_FALSE(discovery().isRunning());
}

// A trusted device coming online gets one status check, then a sync once of its pairings;
// heard again while online, nothing more.
TEST_F(QoDiscoveryTest, TrustedDeviceComingOnlineIsCheckedThenSynced) {
  std::unique_ptr<RouterTestClient> peer;
  std::shared_ptr<QoSyncdirCopyRelation> pairing;
  FakePeer fake([&](const FakePeer::Frames& request) -> std::optional<FakePeer::Frames> {
    pb::MsgHead head;
    head.ParseFromString(request.at(0));
    if (head.code() != pb::MsgCodeStatusRequest) {
      return framesOf(QoMessage::qoMessageErrorWithErrorCode(pb::ErrorCodeNoent, "none")->getSendZMQMessage());
    }
    auto body = std::make_shared<pb::MsgStatusResponse>();
    pb::SyncInfo* info = body->add_syncs();
    info->set_local_tree_uuid(pairing->secondSyncdirCopy()->uuid());
    info->set_remote_tree_uuid(pairing->firstSyncdirCopy()->uuid());
    info->set_remote_device_uuid(QoConfig::sharedQoConfig().deviceUuid());
    info->set_remote_tree_root(pairing->firstSyncdirCopy()->path());
    return peer->seal(pb::MsgCodeStatusResponse, body, QoMessage::kLevelAuth);
  });
  peer = peerAt(fake.endpoint(), keysAlpha(), 1);
  peer->device()->setPubUri("tcp://127.0.0.1:4001");
  peer->device()->setIsOnline(false);
  peer->device()->save();
  pairing = pairWith(peer->device(), "online");
  auto statusRequests = [&] {
    size_t count = 0;
    for (const auto& head : fake.heads()) count += head.code() == pb::MsgCodeStatusRequest ? 1 : 0;
    return count;
  };

  const pb::MsgDiscover body = announcement(peer->device()->uuid(), keysAlpha(), portOf(fake.endpoint()), 4001);
  ::testing::internal::CaptureStderr();
  feed(body);
  const std::string log = ::testing::internal::GetCapturedStderr();
  ASSERT_FALSE(fake.heads().empty());
  EXPECT_EQ(fake.heads()[0].code(), pb::MsgCodeStatusRequest);
  // The sync once of the pairing is asked of this device, after the check.
  const size_t checked = log.find("SendStatusRequest message to");
  const size_t synced = log.find("SendSyncOnceRequest message to");
  ASSERT_NE(checked, std::string::npos);
  ASSERT_NE(synced, std::string::npos);
  EXPECT_LT(checked, synced);
  EXPECT_NE(QoSyncdirCopyRelation::getSyncdirCopyRelationsWithFirstUuid(pairing->firstSyncdirCopy()->uuid(),
                                                                        pairing->secondSyncdirCopy()->uuid()),
            nullptr);

  feed(body);
  EXPECT_EQ(statusRequests(), 1U);
}

// A pull that stopped because the device did not answer (killed mid-pull, no exit notice: it
// stays online here) is made again at the device's next announcement, once.
TEST_F(QoDiscoveryTest, APullStoppedUnansweredIsMadeAgainWhenTheDeviceIsHeard) {
  FakePeer fake([](const FakePeer::Frames&) -> std::optional<FakePeer::Frames> {
    return framesOf(QoMessage::qoMessageErrorWithErrorCode(pb::ErrorCodeNoent, "none")->getSendZMQMessage());
  });
  auto peer = peerAt(fake.endpoint(), keysAlpha(), 1);
  peer->device()->setPubUri("tcp://127.0.0.1:4001");
  peer->device()->save();
  pairWith(peer->device(), "resumed");
  const pb::MsgDiscover body = announcement(peer->device()->uuid(), keysAlpha(), portOf(fake.endpoint()), 4001);
  auto syncOnceAsked = [&] {
    ::testing::internal::CaptureStderr();
    feed(body);
    return ::testing::internal::GetCapturedStderr().find("SendSyncOnceRequest message to") != std::string::npos;
  };
  ASSERT_TRUE(QoDevice::getDeviceWithUuid(peer->device()->uuid())->isOnline());
  EXPECT_FALSE(syncOnceAsked()) << "heard while online, nothing waits for it";

  PullsAwaitingPeer::shared().add(peer->device()->uuid());
  EXPECT_TRUE(syncOnceAsked());
  EXPECT_FALSE(syncOnceAsked()) << "pulled again once";
  EXPECT_TRUE(fake.heads().empty()) << "no status check for a device that stayed online";
}

TEST_F(QoDiscoveryTest, LinesAPeerCausesAreRateLimited) {
  pb::MsgDiscover body = announcement(QoUtils::generateUuid(), keysBravo());
  body.set_route_port(0);
  ::testing::internal::CaptureStderr();
  for (int i = 0; i < 200; ++i) feed(body);
  const std::string log = ::testing::internal::GetCapturedStderr();
  size_t lines = 0;
  for (size_t at = log.find("refused"); at != std::string::npos; at = log.find("refused", at + 1)) ++lines;
  EXPECT_GE(lines, 1U);
  EXPECT_LE(lines, 20U);
}

}  // namespace
}  // namespace velbor::test
