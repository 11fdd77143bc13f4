#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "framework/network/BonjourClient.h"
#include "framework/network/BonjourServer.h"
#include "platform/Dispatch.h"
#include "platform/DispatchReactor.h"
#include "support/AvahiNamespace.h"
#include "support/Eventually.h"

namespace velbor {
namespace {

using test::AvahiNamespace;
using test::eventually;
using test::NetnsScope;

constexpr auto kPatience = std::chrono::seconds(30);

// Everything a server received, by connection order.
class Receiver : public BonjourSeverDelegate {
 public:
  void bonjourServer(BonjourServer&, const std::string& data) override {
    std::lock_guard lock(mutex_);
    received_ += data;
  }
  std::string received() {
    std::lock_guard lock(mutex_);
    return received_;
  }

 private:
  std::mutex mutex_;
  std::string received_;
};

// Connects to the services of one name only and sends a fixed record.
class Sender : public BonjourClientDelegate {
 public:
  Sender(std::string wanted, std::string data) : wanted_(std::move(wanted)), data_(std::move(data)) {}
  std::string bonjourClientKeepAliveData() override { return data_; }
  bool bonjourClientWillFindService(const DnsService::Found& service) override {
    std::lock_guard lock(mutex_);
    offered_.insert(service.name);
    return service.name == wanted_;
  }
  void bonjourClientDidFindService(const DnsService::Found& service) override {
    std::lock_guard lock(mutex_);
    found_.insert(service.name);
  }
  bool bonjourClientDidRemoveService(const DnsService::Found&) override { return true; }
  std::set<std::string> offered() {
    std::lock_guard lock(mutex_);
    return offered_;
  }
  std::set<std::string> found() {
    std::lock_guard lock(mutex_);
    return found_;
  }

 private:
  std::string wanted_, data_;
  std::mutex mutex_;
  std::set<std::string> offered_, found_;
};

// A StreamPeer String: byte count as eight bytes in host order, then the bytes.
std::string peerString(const std::string& text) {
  int64_t length = static_cast<int64_t>(text.size());
  std::string bytes(8, '\0');
  std::memcpy(bytes.data(), &length, 8);
  return bytes + text;
}

class BonjourTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto why = AvahiNamespace::unavailable()) GTEST_SKIP() << "no Avahi in a namespace: " << *why;
    avahi_ = std::make_unique<AvahiNamespace>();
    ASSERT_TRUE(avahi_->ready()) << avahi_->error();
    // The process-wide reactor thread starts outside: started from the queue's thread it
    // would stay in the daemon's namespace for the rest of the process.
    DispatchReactor::shared();
    queue_ = DispatchQueue::createSerial("bonjour-test");
    // Every socket made on the queue lives in the daemon's namespace.
    int ns = avahi_->netnsFd();
    int result = -1;
    queue_->sync([&] { result = ::setns(ns, CLONE_NEWNET); });
    ASSERT_EQ(result, 0);
  }
  void TearDown() override {
    // The objects go on the queue they run on.
    if (queue_)
      queue_->sync([&] {
        clients_.clear();
        servers_.clear();
      });
    queue_.reset();
    avahi_.reset();
  }
  std::shared_ptr<BonjourServer> startServer(const std::string& name, std::shared_ptr<Receiver> receiver) {
    std::shared_ptr<BonjourServer> server;
    queue_->sync([&] {
      server = BonjourServer::initWithDomain("", "velbortest", name);
      server->setBonjourServerDelegate(receiver);
      server->startServer();
    });
    servers_.push_back(server);
    return server;
  }
  // Opens a TCP connection to the server's port inside the namespace.
  int connectTo(uint64_t port) {
    NetnsScope inside(avahi_->netnsFd());
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(static_cast<uint16_t>(port));
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target), 0);
    return fd;
  }

  std::unique_ptr<AvahiNamespace> avahi_;
  std::shared_ptr<DispatchQueue> queue_;
  std::vector<std::shared_ptr<BonjourServer>> servers_;
  std::vector<std::shared_ptr<BonjourClient>> clients_;
};

// True when the peer closed the connection (within the patience).
bool closedByPeer(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kPatience).count())) <= 0) return false;
  char byte;
  return ::recv(fd, &byte, 1, 0) == 0;
}

TEST_F(BonjourTest, ClientsAndServersOfOneTypeMeetAndExchangeDataBothWays) {
  auto atAlpha = std::make_shared<Receiver>();
  auto atBeta = std::make_shared<Receiver>();
  auto alpha = startServer("alpha", atAlpha);
  auto beta = startServer("beta", atBeta);
  ASSERT_NE(alpha->port(), 0u);
  ASSERT_NE(beta->port(), 0u);
  // Each side's client writes to the other side's server.
  auto toBeta = std::make_shared<Sender>("beta", peerString("from alpha"));
  auto toAlpha = std::make_shared<Sender>("alpha", peerString("from beta"));
  std::shared_ptr<BonjourClient> clientAtAlpha, clientAtBeta;
  queue_->sync([&] {
    clientAtAlpha = BonjourClient::initWithDomain("", "velbortest");
    clientAtAlpha->setBonjourClientDelegate(toBeta);
    clientAtBeta = BonjourClient::initWithDomain("", "velbortest");
    clientAtBeta->setBonjourClientDelegate(toAlpha);
    clients_ = {clientAtAlpha, clientAtBeta};
  });

  ASSERT_TRUE(eventually([&] { return toBeta->found().count("beta") && toAlpha->found().count("alpha"); }))
      << "the clients did not find the servers";
  // Keep-alive data goes out once the connections are open; repeated until it arrived.
  ASSERT_TRUE(eventually([&] {
    queue_->sync([&] {
      if (atBeta->received().empty()) clientAtAlpha->keepAlive();
      if (atAlpha->received().empty()) clientAtBeta->keepAlive();
    });
    return !atAlpha->received().empty() && !atBeta->received().empty();
  }));
  EXPECT_EQ(atBeta->received().substr(0, 18), peerString("from alpha"));
  EXPECT_EQ(atAlpha->received().substr(0, 17), peerString("from beta"));
  queue_->sync([&] { EXPECT_TRUE(clientAtAlpha->isOutPutStreamReady()); });
  // A client whose delegate declined a service never connected to it.
  EXPECT_TRUE(toBeta->offered().count("alpha"));
  EXPECT_EQ(toBeta->found(), std::set<std::string>{"beta"});
  EXPECT_EQ(toAlpha->found(), std::set<std::string>{"alpha"});
}

TEST_F(BonjourTest, ServerTakesOneConnectionAtATimeAndTheNextAfterADisconnect) {
  auto receiver = std::make_shared<Receiver>();
  auto server = startServer("single", receiver);
  ASSERT_NE(server->port(), 0u);

  int first = connectTo(server->port());
  ASSERT_EQ(::send(first, "one;", 4, MSG_NOSIGNAL), 4);
  ASSERT_TRUE(eventually([&] { return receiver->received() == "one;"; }));
  int second = connectTo(server->port());
  EXPECT_TRUE(closedByPeer(second)) << "a second connection is closed at once";
  ::close(second);
  ASSERT_EQ(::send(first, "two;", 4, MSG_NOSIGNAL), 4);
  ASSERT_TRUE(eventually([&] { return receiver->received() == "one;two;"; })) << "the first one goes on";

  // Bytes sent right before a disconnect still arrive, and the next client is taken.
  ASSERT_EQ(::send(first, "last;", 5, MSG_NOSIGNAL), 5);
  ::close(first);
  ASSERT_TRUE(eventually([&] {
    bool receiving = true;
    queue_->sync([&] { receiving = server->isReceiving(); });
    return !receiving;
  }));
  EXPECT_EQ(receiver->received(), "one;two;last;");
  int third = connectTo(server->port());
  ASSERT_EQ(::send(third, "three;", 6, MSG_NOSIGNAL), 6);
  EXPECT_TRUE(eventually([&] { return receiver->received() == "one;two;last;three;"; }));
  ::close(third);
}

}  // namespace
}  // namespace velbor
