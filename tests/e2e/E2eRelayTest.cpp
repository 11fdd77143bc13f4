// A host that replays a trusted device's discovery datagram from its own address and relays
// TCP to the real device; the same device moving to a new address for real; and a host at a
// trusted device's address that answers with what the device once answered.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <zmq.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "e2e/E2eNetwork.h"
#include "e2e/E2eSupport.h"
#include "e2e/PeerProcess.h"
#include "e2e/TcpRelay.h"
#include "e2e/WireRecorder.h"
#include "proto/VelborProto.pb.h"

namespace velbor::test {
namespace {

using nlohmann::json;
using E2eRelayTest = E2eFixture;

// The ports of portOptions().
constexpr uint16_t kRouterPort = 29527;
constexpr uint16_t kUdpPort = 29525;

// The first discovery datagram from `sender` heard in the namespace, at the discovery port.
std::optional<std::string> captureDatagram(const std::string& netns, const std::string& sender) {
  std::optional<std::string> datagram;
  runInNamespace(netns, [&] {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(kUdpPort);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (!datagram && std::chrono::steady_clock::now() < deadline) {
        pollfd item{fd, POLLIN, 0};
        if (::poll(&item, 1, 500) != 1) continue;
        char buffer[9216];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t count = ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        if (count > 0 && sender == text) datagram = std::string(buffer, static_cast<size_t>(count));
      }
    }
    ::close(fd);
  });
  return datagram;
}

// Sends `datagram` from the namespace to `host` at the discovery port.
void replay(const std::string& netns, const std::string& datagram, const std::string& host) {
  runInNamespace(netns, [&] {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kUdpPort);
    ::inet_pton(AF_INET, host.c_str(), &to.sin_addr);
    ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    ::close(fd);
  });
}

std::string routeOf(PeerProcess& peer, const std::string& uuid) {
  const json device = deviceIn(peer, uuid);
  return device.is_object() ? device.value("routeUri", "") : "";
}

std::string endpointAt(const std::string& address) { return "tcp://" + address + ":" + std::to_string(kRouterPort); }

// The frames of the first answer of `code` among recorded messages (its leading empty frame
// left out: a REP socket puts one back).
std::optional<WireRecorder::Frames> answerIn(const std::vector<WireRecorder::Frames>& messages, pb::MsgCode code) {
  for (const auto& frames : messages) {
    pb::MsgHead head;
    if (frames.size() < 2 || !frames[0].empty() || !head.ParseFromString(frames[1])) continue;
    if (head.code() == code) return WireRecorder::Frames(frames.begin() + 1, frames.end());
  }
  return std::nullopt;
}

// A signed answer without a body sent again as a status answer: its signature covers the empty
// body, the same in every answer without one, and an empty body reads as a list of no pairing.
WireRecorder::Frames relabelledAsStatus(const WireRecorder::Frames& bodiless) {
  pb::MsgHead head;
  head.ParseFromString(bodiless[0]);
  head.set_code(pb::MsgCodeStatusResponse);
  head.set_level(pb::EncryptLevelAuth);
  head.clear_key();
  return {head.SerializeAsString(), std::string()};
}

// A process at a device's address with none of its keys: answers every request at the router
// port with the frames it was given.
class RecordedAnswerer {
 public:
  RecordedAnswerer(const std::string& netns, WireRecorder::Frames answer)
      : answer_(std::move(answer)), thread_([this, netns] { runInNamespace(netns, [this] { serve(); }); }) {}
  ~RecordedAnswerer() {
    stopping_ = true;
    thread_.join();
  }
  int answered() const { return answered_; }

 private:
  void serve() {
    void* context = zmq_ctx_new();
    void* socket = zmq_socket(context, ZMQ_REP);
    const int linger = 0;
    zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof linger);
    if (zmq_bind(socket, ("tcp://0.0.0.0:" + std::to_string(kRouterPort)).c_str()) == 0) {
      while (!stopping_) {
        zmq_pollitem_t item{socket, 0, ZMQ_POLLIN, 0};
        if (zmq_poll(&item, 1, 100) != 1) continue;
        int more = 1;
        while (more) {
          zmq_msg_t part;
          zmq_msg_init(&part);
          zmq_msg_recv(&part, socket, 0);
          more = zmq_msg_more(&part);
          zmq_msg_close(&part);
        }
        for (size_t i = 0; i < answer_.size(); ++i) {
          zmq_send(socket, answer_[i].data(), answer_[i].size(), i + 1 < answer_.size() ? ZMQ_SNDMORE : 0);
        }
        ++answered_;
      }
    }
    zmq_close(socket);
    zmq_ctx_term(context);
  }

  const WireRecorder::Frames answer_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> answered_{0};
  std::thread thread_;
};

size_t pairingsOf(PeerProcess& peer) {
  const json status = peer.command("status");
  return status.value("ok", false) ? status.value("pairings", json::array()).size() : 0;
}

// The device checks a trusted device's status when it hears it again: a signed answer recorded
// then (no folder paired yet) and sent again later, by a host at that device's address, must not
// drop the pairing made since, nor may any other signed answer of the device sent as one.
TEST_F(E2eRelayTest, ARecordedStatusAnswerSentAgainDropsNoPairing) {
  E2eNetwork network(3);
  ASSERT_TRUE(network.ready());
  const TwoHomes homes = twoHomes();
  const std::string logA = (root_.path() / "a.log").string();
  const std::vector<std::string> optionsA = with(portOptions(), {"--token", "one"});
  auto a = std::make_unique<PeerProcess>(network.host(0), homes.homeA, optionsA, logA);
  PeerProcess d(network.host(1), homes.homeB, with(portOptions(), {"--token", "one", "--accept-trust"}));
  // What d answers is recorded off the wire: its answer to the offer of trust has no body.
  std::optional<WireRecorder::Frames> recorded;
  std::optional<WireRecorder::Frames> bodiless;
  {
    WireRecorder recorder(network.host(1), kRouterPort);
    ASSERT_TRUE(recorder.ready());
    ASSERT_TRUE(trustEachOther(*a, d));
    // Restarted, a hears d again and checks its status.
    a.reset();
    a = std::make_unique<PeerProcess>(network.host(0), homes.homeA, optionsA, logA);
    ASSERT_TRUE(eventually([&] {
      return (recorded = answerIn(recorder.messages(), pb::MsgCodeStatusResponse)).has_value();
    })) << "no status answer of d recorded";
    bodiless = answerIn(recorder.messages(), pb::MsgCodeTrustPublishResponse);
    ASSERT_TRUE(bodiless && bodiless->size() == 1) << "no answer of d without a body recorded";
  }
  const std::optional<std::string> datagram = captureDatagram(network.host(2), network.address(1));
  ASSERT_TRUE(datagram) << "no announcement of d heard";

  std::ofstream(homes.folderB / "kept.txt") << "kept";
  ASSERT_TRUE(pairFolder(*a, homes.folderA, d.uuid(), homes.folderB));
  ASSERT_TRUE(eventually([&] { return sameFile(homes.folderA / "kept.txt", "kept"); }));
  ASSERT_EQ(pairingsOf(*a), 1U);
  d.kill();

  // d is away; a restarts each time; a process at d's address announces d and answers with
  // what d once signed. After a restart a knows of no answer of d's with a challenge: one
  // without is taken as an earlier version's, whose omissions count only over time.
  const struct {
    const char* what;
    WireRecorder::Frames answer;
    const char* decision;
  } rows[] = {
      {"its status answer to another request", *recorded, "the answer is one to another request"},
      {"its answer without a body, as a status answer", relabelledAsStatus(*bodiless),
       "left out by an answer without this request's challenge"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    a.reset();
    const size_t decidedBefore = timesIn(logA, row.decision);
    a = std::make_unique<PeerProcess>(network.host(0), homes.homeA, optionsA, logA);
    const size_t checksBefore = timesIn(logA, "SendStatusRequest message to");
    RecordedAnswerer answerer(network.host(1), row.answer);
    const auto decided = [&] {
      return timesIn(logA, "Check Status: Clear") > 0 || timesIn(logA, row.decision) > decidedBefore;
    };
    for (int round = 0; round < 120 && !decided(); ++round) {
      replay(network.host(1), *datagram, network.address(0));
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    EXPECT_GT(timesIn(logA, "SendStatusRequest message to"), checksBefore);
    EXPECT_GT(answerer.answered(), 0);
    EXPECT_TRUE(decided());
    EXPECT_EQ(timesIn(logA, "Check Status: Clear"), 0U);
    EXPECT_EQ(pairingsOf(*a), 1U);
    EXPECT_EQ(deviceIn(*a, d.uuid()).value("status", -1), 1);
  }
}

TEST_F(E2eRelayTest, ARelayDoesNotMoveATrustedDeviceWhileARealMoveDoes) {
  E2eNetwork network(3);
  ASSERT_TRUE(network.ready());
  PeerProcess a(network.host(0), home("a"), with(portOptions(), {"--token", "one"}));
  PeerProcess b(network.host(1), home("b"), with(portOptions(), {"--token", "one", "--accept-trust"}));
  ASSERT_TRUE(eventually([&] { return listed(deviceIn(a, b.uuid())); }));
  ASSERT_EQ(a.command("trust " + b.uuid()).value("result", ""), "accepted");
  ASSERT_TRUE(eventually([&] { return routeOf(a, b.uuid()) == endpointAt(network.address(1)); }));

  // The third host passes its router port on to b and replays b's announcement as its own.
  const std::string relayHost = network.host(2);
  TcpRelay relay(relayHost, kRouterPort, network.address(1), kRouterPort);
  ASSERT_TRUE(relay.ready());
  const std::optional<std::string> datagram = captureDatagram(relayHost, network.address(1));
  ASSERT_TRUE(datagram) << "no announcement of b heard";
  const std::string relayed = endpointAt(network.address(2));
  bool movedToRelay = false;
  for (int round = 0; round < 40 && !movedToRelay; ++round) {
    replay(relayHost, *datagram, network.address(0));
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    movedToRelay = routeOf(a, b.uuid()) == relayed;
  }
  EXPECT_GT(relay.connections(), 0) << "the relay was never challenged";
  EXPECT_FALSE(movedToRelay) << "b's endpoint moved to the relay";
  EXPECT_EQ(routeOf(a, b.uuid()), endpointAt(network.address(1)));

  // b itself at a new address is followed.
  ASSERT_TRUE(network.readdress(1, 20));
  EXPECT_TRUE(eventually([&] { return routeOf(a, b.uuid()) == endpointAt(network.address(1)); }))
      << routeOf(a, b.uuid());
  EXPECT_EQ(deviceIn(a, b.uuid()).value("status", -1), 1);
}

}  // namespace
}  // namespace velbor::test
