#include <cerrno>
#include <condition_variable>
#include <mutex>

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "UdpTestSupport.h"

namespace velbor {
namespace {

using test::Kind, test::UdpTestDelegate;

std::vector<std::string> dataOf(const std::vector<UdpTestDelegate::Event>& events) {
  std::vector<std::string> result;
  for (const auto& event : events) result.push_back(event.data);
  return result;
}

// A send filter that holds every datagram until the test opens the gate.
class SendGate {
 public:
  void install(DispatchUdpSocket& socket) {
    socket.setSendFilter(
        [this](const std::string&, const std::string&, int64_t) {
          std::unique_lock lock(mutex_);
          released_.wait_for(lock, std::chrono::seconds(20), [this] { return open_; });
          return true;
        },
        queue_);
  }
  void open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    released_.notify_all();
    queue_->sync([] {});
  }

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  bool open_ = false;
  std::shared_ptr<DispatchQueue> queue_ = DispatchQueue::createSerial("udp-test-gate");
};

class DispatchUdpSocketTrafficTest : public ::testing::Test, protected test::UdpFixture {};

TEST_F(DispatchUdpSocketTrafficTest, SendsInOrderWithOneOutcomeEach) {
  auto receiver = makeReceiver();
  uint16_t port = receiver->localPort();
  ASSERT_TRUE(receiver->beginReceiving());
  ASSERT_TRUE(receiver->beginReceiving());

  auto sender = makeSocket();
  sender->sendDataToHost("one", "localhost", port, -1, 1);
  sender->sendDataToHost("", "localhost", port, -1, 99);
  sender->sendDataWithTimeout("no destination", -1, 2);
  sender->sendDataToHost("no host", "", port, -1, 3);
  sender->sendDataToHost("two", "127.0.0.1", port, -1, 4);
  sender->sendDataToAddress("three", test::ipv4Address("127.0.0.1", port), -1, 5);
  // Without the broadcast switch the system refuses this one; the queue goes on.
  sender->sendDataToAddress("refused", test::ipv4Address("255.255.255.255", port), -1, 6);
  sender->sendDataToHost("four", "localhost", port, 5.0, 7);

  ASSERT_TRUE(delegate->waitFor(Kind::sent, 4));
  ASSERT_TRUE(delegate->waitFor(Kind::notSent, 3));
  ASSERT_TRUE(delegate->waitFor(Kind::received, 4));
  flush(sender);

  std::vector<int64_t> outcomeTags;
  std::vector<int64_t> sentTags;
  for (const auto& event : delegate->events()) {
    if (event.socket != sender.get()) continue;
    ASSERT_TRUE(event.kind == Kind::sent || event.kind == Kind::notSent) << static_cast<int>(event.kind);
    outcomeTags.push_back(event.tag);
    if (event.kind == Kind::sent) sentTags.push_back(event.tag);
  }
  EXPECT_EQ(outcomeTags, (std::vector<int64_t>{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(sentTags, (std::vector<int64_t>{1, 4, 5, 7}));

  auto failures = delegate->eventsOf(Kind::notSent);
  EXPECT_EQ(failures[0].error->localizedDescription(),
            "You must specify destination of packet for a non-connected socket");
  EXPECT_EQ(failures[1].error->code(), DispatchUdpSocketBadParamError);
  EXPECT_EQ(failures[2].error->domain(), DispatchUdpSocketPosixErrorDomain);
  EXPECT_EQ(failures[2].error->code(), EACCES);
  EXPECT_EQ(failures[2].error->localizedFailureReason(), "Error in send() function.");

  auto received = delegate->eventsOf(Kind::received);
  EXPECT_EQ(dataOf(received), (std::vector<std::string>{"one", "two", "three", "four"}));
  EXPECT_EQ(DispatchUdpSocket::hostFromAddress(received[0].address), "127.0.0.1");
  EXPECT_EQ(DispatchUdpSocket::portFromAddress(received[0].address), sender->localPort_IPv4());

  EXPECT_FALSE(sender->isClosed());
  DispatchUdpSocketError error;
  EXPECT_FALSE(sender->bindToPort(0, &error));
  EXPECT_EQ(error.localizedDescription(), "Cannot bind a socket more than once.");
}

TEST_F(DispatchUdpSocketTrafficTest, ReceiveOnceAndPauseKeepTheBacklog) {
  auto receiver = makeReceiver();
  auto destination = test::ipv4Address("127.0.0.1", receiver->localPort());
  auto sender = makeSocket();
  for (int i = 1; i <= 3; ++i) sender->sendDataToAddress("d" + std::to_string(i), destination, -1, i);
  ASSERT_TRUE(delegate->waitFor(Kind::sent, 3));

  ASSERT_TRUE(receiver->receiveOnce());
  ASSERT_TRUE(delegate->waitFor(Kind::received, 1));
  flush(receiver);
  EXPECT_EQ(dataOf(delegate->eventsOf(Kind::received)), (std::vector<std::string>{"d1"}));

  ASSERT_TRUE(receiver->receiveOnce());
  ASSERT_TRUE(delegate->waitFor(Kind::received, 2));

  receiver->pauseReceiving();
  for (int i = 4; i <= 5; ++i) sender->sendDataToAddress("d" + std::to_string(i), destination, -1, i);
  ASSERT_TRUE(delegate->waitFor(Kind::sent, 5));
  flush(receiver);
  EXPECT_EQ(delegate->eventsOf(Kind::received).size(), 2u);

  ASSERT_TRUE(receiver->beginReceiving());
  ASSERT_TRUE(delegate->waitFor(Kind::received, 5));
  EXPECT_EQ(dataOf(delegate->eventsOf(Kind::received)), (std::vector<std::string>{"d1", "d2", "d3", "d4", "d5"}));
}

TEST_F(DispatchUdpSocketTrafficTest, EmptyAndOversizedDatagramsAreDroppedAndReadingGoesOn) {
  auto receiver = makeReceiver();
  auto destination = test::ipv4Address("127.0.0.1", receiver->localPort());
  receiver->setMaxReceiveIPv4BufferSize(100);
  ASSERT_TRUE(receiver->beginReceiving());

  int raw = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(raw, 0);
  auto send = [&](const std::string& data) {
    ASSERT_EQ(::sendto(raw, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(destination.data()),
                       destination.size()),
              static_cast<ssize_t>(data.size()));
  };
  send("");
  send(std::string(101, 'x'));
  send(std::string(100, 'y'));
  ASSERT_TRUE(delegate->waitFor(Kind::received, 1));

  receiver->setMaxReceiveIPv4BufferSize(9216);
  receiver->performBlock([] {});  // the setter is queued: let it land before the next datagrams
  send(std::string(10000, 'z'));
  send(std::string(9216, 'w'));
  send("");
  send("after");
  ASSERT_TRUE(delegate->waitFor(Kind::received, 3));
  ::close(raw);
  flush(receiver);

  EXPECT_EQ(dataOf(delegate->eventsOf(Kind::received)),
            (std::vector<std::string>{std::string(100, 'y'), std::string(9216, 'w'), "after"}));
  EXPECT_TRUE(delegate->eventsOf(Kind::closed).empty());
  EXPECT_FALSE(receiver->isClosed());
}

// Anyone can send oversized datagrams: their log lines are bounded, not one per datagram.
TEST_F(DispatchUdpSocketTrafficTest, AFloodOfDroppedDatagramsLogsABoundedNumberOfLines) {
  auto receiver = makeReceiver();
  auto destination = test::ipv4Address("127.0.0.1", receiver->localPort());
  receiver->setMaxReceiveIPv4BufferSize(100);
  int raw = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(raw, 0);
  constexpr int kFlood = 40;
  for (int i = 0; i <= kFlood; ++i) {
    std::string data = i < kFlood ? std::string(101, 'x') : "after";
    ASSERT_EQ(::sendto(raw, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(destination.data()),
                       destination.size()),
              static_cast<ssize_t>(data.size()));
  }
  ::close(raw);

  ::testing::internal::CaptureStderr();
  ASSERT_TRUE(receiver->beginReceiving());
  const bool arrived = delegate->waitFor(Kind::received, 1);
  const std::string log = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(arrived);
  size_t lines = 0;
  for (size_t at = log.find("dropped a datagram"); at != std::string::npos;
       at = log.find("dropped a datagram", at + 1)) {
    ++lines;
  }
  EXPECT_GT(lines, 0u);
  EXPECT_LE(lines, 10u);
}

class DispatchUdpSocketFilterTest : public DispatchUdpSocketTrafficTest, public ::testing::WithParamInterface<bool> {};

TEST_P(DispatchUdpSocketFilterTest, FiltersDecideWhatPasses) {
  bool asynchronous = GetParam();
  auto filterQueue = DispatchQueue::createSerial("udp-test-filter");
  auto receiver = makeReceiver();
  receiver->setReceiveFilter(
      [](const std::string& data, const std::string&, std::any& context) {
        if (data.rfind("ok", 0) != 0) return false;
        context = std::string("ctx:" + data);
        return true;
      },
      filterQueue, asynchronous);
  ASSERT_TRUE(receiver->beginReceiving());

  auto sender = makeSocket();
  sender->setSendFilter([](const std::string& data, const std::string&, int64_t) { return data != "secret"; },
                        filterQueue, asynchronous);
  auto destination = test::ipv4Address("127.0.0.1", receiver->localPort());
  int64_t tag = 0;
  for (const char* data : {"drop1", "ok1", "secret", "drop2", "ok2"})
    sender->sendDataToAddress(data, destination, -1, ++tag);

  ASSERT_TRUE(delegate->waitFor(Kind::sent, 5));
  ASSERT_TRUE(delegate->waitFor(Kind::received, 2));
  // What passed the receive filter is all there is.
  sender->sendDataToAddress("ok-last", destination, -1, ++tag);
  ASSERT_TRUE(delegate->waitFor(Kind::received, 3));
  flush(receiver);
  EXPECT_EQ(dataOf(delegate->eventsOf(Kind::received)), (std::vector<std::string>{"ok1", "ok2", "ok-last"}));
  EXPECT_EQ(delegate->contexts(), (std::vector<std::string>{"ctx:ok1", "ctx:ok2", "ctx:ok-last"}));
}

INSTANTIATE_TEST_SUITE_P(Modes, DispatchUdpSocketFilterTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Asynchronous" : "Synchronous"; });

TEST_F(DispatchUdpSocketTrafficTest, ConnectedSocketTalksToItsPeerOnly) {
  auto peer = makeReceiver();
  uint16_t peerPort = peer->localPort();
  auto socket = makeSocket();
  DispatchUdpSocketError error;
  ASSERT_TRUE(socket->connectToHost("localhost", peerPort, &error)) << error.description();
  EXPECT_FALSE(socket->connectToHost("localhost", peerPort, &error));
  EXPECT_EQ(error.localizedDescription(), "Cannot connect a socket more than once.");
  ASSERT_TRUE(delegate->waitFor(Kind::connected, 1));
  EXPECT_TRUE(socket->isConnected());
  EXPECT_EQ(socket->connectedHost(), "127.0.0.1");
  EXPECT_EQ(socket->connectedPort(), peerPort);
  EXPECT_FALSE(socket->isIPv6());

  ASSERT_TRUE(socket->beginReceiving());
  ASSERT_TRUE(peer->beginReceiving());
  socket->sendDataWithTag("hello", 1);
  socket->sendDataToHost("elsewhere", "localhost", peerPort, -1, 2);
  ASSERT_TRUE(delegate->waitFor(Kind::received, 1));
  ASSERT_TRUE(delegate->waitFor(Kind::notSent, 1));
  EXPECT_EQ(delegate->eventsOf(Kind::notSent)[0].error->localizedDescription(),
            "Cannot specify destination of packet for connected socket");

  auto socketAddress = test::ipv4Address("127.0.0.1", socket->localPort());
  auto stranger = makeReceiver();
  stranger->sendDataToAddress("from a stranger", socketAddress, -1, 3);
  peer->sendDataToAddress("from the peer", socketAddress, -1, 4);
  ASSERT_TRUE(delegate->waitFor(Kind::received, 2));
  flush(stranger);
  flush(socket);
  EXPECT_EQ(dataOf(delegate->eventsOf(Kind::received)), (std::vector<std::string>{"hello", "from the peer"}));
}

TEST_F(DispatchUdpSocketTrafficTest, CloseReportsOnceAndDropsWhatWaits) {
  auto neverOpened = makeSocket();
  neverOpened->close();
  flush(neverOpened);
  EXPECT_TRUE(delegate->events().empty());

  // A send filter that waits for the test holds the first datagram as the current entry.
  SendGate gate;
  auto receiver = makeReceiver();
  auto destination = test::ipv4Address("127.0.0.1", receiver->localPort());
  auto socket = makeSocket();
  gate.install(*socket);
  for (int tag = 1; tag <= 3; ++tag) socket->sendDataToAddress("queued", destination, -1, tag);
  flush(socket);
  socket->close();
  socket->close();
  gate.open();
  flush(socket);
  auto events = delegate->events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, Kind::closed);
  EXPECT_FALSE(events[0].error.has_value());

  auto draining = makeSocket();
  draining->sendDataToAddress("a", destination, -1, 10);
  draining->sendDataToAddress("b", destination, -1, 11);
  draining->closeAfterSending();
  ASSERT_TRUE(delegate->waitFor(Kind::closed, 2));
  flush(draining);
  std::vector<Kind> kinds;
  for (const auto& event : delegate->events()) {
    if (event.socket == draining.get()) kinds.push_back(event.kind);
  }
  EXPECT_EQ(kinds, (std::vector<Kind>{Kind::sent, Kind::sent, Kind::closed}));

  // Destroying an open socket closes it without a report about a socket that is gone.
  auto doomed = makeReceiver();
  ASSERT_TRUE(doomed->beginReceiving());
  doomed.reset();
  delegateQueue->sync([] {});
  EXPECT_EQ(delegate->eventsOf(Kind::closed).size(), 2u);
}

TEST_F(DispatchUdpSocketTrafficTest, ALongBacklogDrainsWithoutGrowingTheStack) {
  // The first datagram is held by a send filter while many more queue up behind it; once it
  // goes, the backlog must drain in a loop, not one nested call per datagram.
  SendGate gate;
  auto receiver = makeReceiver();
  auto destination = test::ipv4Address("127.0.0.1", receiver->localPort());
  auto socket = makeSocket();
  gate.install(*socket);
  socket->sendDataToAddress("held", destination, -1, 0);
  socket->setSendFilter(nullptr, nullptr);
  constexpr int kBacklog = 100000;
  for (int tag = 1; tag <= kBacklog; ++tag) socket->sendDataToAddress("x", destination, -1, tag);
  flush(socket);
  gate.open();
  flush(socket);
  EXPECT_EQ(delegate->eventsOf(Kind::sent).size(), static_cast<size_t>(kBacklog + 1));
  EXPECT_TRUE(delegate->eventsOf(Kind::notSent).empty());
}

}  // namespace
}  // namespace velbor
