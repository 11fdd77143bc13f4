// The program's start-up and shutdown as the test peer runs them: a termination signal
// announces the device's exit to its subscribers, with its router no longer taking
// connections by then, and ends the process with status 0; a
// port that cannot be bound ends it at start-up with a status that is not 0 and the reason.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zmq.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/PeerProcess.h"
#include "proto/VelborProto.pb.h"
#include "support/TempDir.h"

namespace velbor::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// A SUB socket subscribed to everything a publisher sends.
class Subscriber {
 public:
  explicit Subscriber(int port) : context_(zmq_ctx_new()), socket_(zmq_socket(context_, ZMQ_SUB)) {
    zmq_setsockopt(socket_, ZMQ_SUBSCRIBE, "", 0);
    const std::string endpoint = "tcp://127.0.0.1:" + std::to_string(port);
    zmq_connect(socket_, endpoint.c_str());
  }
  ~Subscriber() {
    const int linger = 0;
    zmq_setsockopt(socket_, ZMQ_LINGER, &linger, sizeof linger);
    zmq_close(socket_);
    zmq_ctx_term(context_);
  }
  Subscriber(const Subscriber&) = delete;
  Subscriber& operator=(const Subscriber&) = delete;

  // The message code of the next notice, if one comes within `waitMs`.
  std::optional<int32_t> nextCode(int waitMs) {
    zmq_pollitem_t item{socket_, 0, ZMQ_POLLIN, 0};
    if (zmq_poll(&item, 1, waitMs) <= 0) return std::nullopt;
    std::vector<std::string> frames;
    int more = 1;
    while (more != 0) {
      zmq_msg_t frame;
      zmq_msg_init(&frame);
      if (zmq_msg_recv(&frame, socket_, 0) < 0) {
        zmq_msg_close(&frame);
        return std::nullopt;
      }
      frames.emplace_back(static_cast<const char*>(zmq_msg_data(&frame)), zmq_msg_size(&frame));
      more = zmq_msg_more(&frame);
      zmq_msg_close(&frame);
    }
    pb::MsgHead head;
    if (frames.empty() || !head.ParseFromString(frames[0])) return -1;
    return head.code();
  }

  // Waits, at most `waitMs` in all, for a notice of `code`; the ones before it are skipped.
  bool waitFor(int32_t code, int waitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (auto now = std::chrono::steady_clock::now(); now < deadline; now = std::chrono::steady_clock::now()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
      if (nextCode(static_cast<int>(left.count())) == code) return true;
    }
    return false;
  }

 private:
  void* context_;
  void* socket_;
};

// A socket of `type` holding a port of the test's own network (a free one the system picks),
// without SO_REUSEADDR, so nothing else can bind it while this lives.
class PortHolder {
 public:
  explicit PortHolder(int type) : fd_(::socket(AF_INET, type | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t size = sizeof address;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0) return;
    if (type == SOCK_STREAM && ::listen(fd_, 1) != 0) return;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) == 0) port_ = ntohs(address.sin_port);
  }
  ~PortHolder() {
    if (fd_ >= 0) ::close(fd_);
  }
  PortHolder(const PortHolder&) = delete;
  PortHolder& operator=(const PortHolder&) = delete;

  int port() const { return port_; }

 private:
  int fd_;
  int port_ = 0;
};

// Whether a tcp connection to `port` on loopback is taken (refused once nothing listens).
bool takesConnections(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const bool taken = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return taken;
}

std::vector<std::string> ports(int router, int publisher, int udp) {
  return {"--router-port",           std::to_string(router), "--publisher-port",
          std::to_string(publisher), "--udp-port",           std::to_string(udp)};
}

TEST(TestPeerLifecycleTest, TerminationSignalPublishesTheExitThenEndsWithStatusZero) {
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(strsignal(signal));
    TempDir home;
    const fs::path folder = home.path() / "sync";
    fs::create_directories(folder);
    PeerProcess peer("", home.str(), ports(0, 0, 0));
    ASSERT_FALSE(peer.uuid().empty()) << peer.readyLine().dump();
    const json info = peer.command("info");
    const int publisherPort = info.value("publisherPort", 0);
    ASSERT_GT(publisherPort, 0) << info.dump();
    const int routerPort = info.value("routerPort", 0);
    ASSERT_GT(routerPort, 0) << info.dump();
    ASSERT_TRUE(takesConnections(routerPort));
    ASSERT_TRUE(peer.command("tree-add " + folder.string()).value("ok", false));

    Subscriber subscriber(publisherPort);
    // A subscription takes effect some time after the connection: once a change notice
    // arrives, the exit notice cannot be missed for want of it.
    bool subscribed = false;
    for (int change = 0; change < 60 && !subscribed; ++change) {
      writeFile(folder / ("change-" + std::to_string(change) + ".txt"), "x");
      subscribed = subscriber.waitFor(pb::MsgCodePubFileChange, 1000);
    }
    ASSERT_TRUE(subscribed) << "no change notice reached the subscriber";

    ASSERT_EQ(::kill(peer.pid(), signal), 0);
    // Bounds against a hung test, not measures of speed.
    EXPECT_TRUE(subscriber.waitFor(pb::MsgCodePubExit, 30000)) << "no exit notice";
    // A peer asks whether the device is still there a while after its notice; however long
    // the publisher then takes to close, nothing may answer it.
    EXPECT_FALSE(takesConnections(routerPort)) << "the router still takes requests after the exit notice";
    EXPECT_EQ(peer.waitExit(std::chrono::seconds(30)), 0);
  }
}

TEST(TestPeerLifecycleTest, QuitPublishesItsOwnExitNoticeAfterAnEarlierOneWentOut) {
  TempDir home;
  const fs::path folder = home.path() / "sync";
  fs::create_directories(folder);
  PeerProcess peer("", home.str(), ports(0, 0, 0));
  ASSERT_FALSE(peer.uuid().empty()) << peer.readyLine().dump();
  const int publisherPort = peer.command("info").value("publisherPort", 0);
  ASSERT_GT(publisherPort, 0);
  ASSERT_TRUE(peer.command("tree-add " + folder.string()).value("ok", false));
  Subscriber subscriber(publisherPort);
  bool subscribed = false;
  for (int change = 0; change < 60 && !subscribed; ++change) {
    writeFile(folder / ("change-" + std::to_string(change) + ".txt"), "x");
    subscribed = subscriber.waitFor(pb::MsgCodePubFileChange, 1000);
  }
  ASSERT_TRUE(subscribed) << "no change notice reached the subscriber";

  // The debug panel's offline button: the device stays up, and comes back with its next
  // broadcast.
  ASSERT_TRUE(peer.command("offline").value("ok", false));
  ASSERT_TRUE(subscriber.waitFor(pb::MsgCodePubExit, 30000)) << "no exit notice for offline";
  // The quit answers once the daemon has stopped: its own exit notice is out by then.
  ASSERT_TRUE(peer.command("quit").value("ok", false));
  EXPECT_TRUE(subscriber.waitFor(pb::MsgCodePubExit, 30000)) << "no exit notice for quit";
  EXPECT_EQ(peer.waitExit(std::chrono::seconds(30)), 0);
}

TEST(TestPeerLifecycleTest, APortThatCannotBeBoundEndsTheStartWithTheReason) {
  struct Case {
    std::string label;
    int type;
    bool udp;
  };
  for (const Case& c : {Case{"udp port taken", SOCK_DGRAM, true}, Case{"router port taken", SOCK_STREAM, false}}) {
    SCOPED_TRACE(c.label);
    PortHolder taken(c.type);
    ASSERT_GT(taken.port(), 0);
    TempDir home;
    PeerProcess peer("", home.str(), c.udp ? ports(0, 0, taken.port()) : ports(taken.port(), 0, 0));
    const json ready = peer.readyLine();
    ASSERT_TRUE(ready.is_object()) << "no ready line";
    EXPECT_FALSE(ready.value("ok", true));
    EXPECT_NE(ready.value("error", "").find("Address already in use"), std::string::npos) << ready.dump();
    const int status = peer.waitExit(std::chrono::seconds(30));
    EXPECT_NE(status, 0);
    EXPECT_NE(status, -1) << "still running";
  }
}

}  // namespace
}  // namespace velbor::test
