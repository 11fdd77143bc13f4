#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "framework/network/ZMQContext.h"
#include "framework/network/ZMQFrameCounter.h"
#include "framework/network/ZMQFrameGuard.h"
#include "framework/network/ZMQMessage.h"
#include "framework/network/ZMQSocket.h"
#include "platform/ForeignTcpSocket.h"
#include "support/Eventually.h"
#include "support/LoopbackListener.h"
#include "support/ZmtpTestPeer.h"

namespace velbor {
namespace {

constexpr auto kBound = std::chrono::seconds(20);

std::string greeting(char major) {
  std::string bytes(64, '\0');
  bytes[0] = '\xff';
  bytes[9] = '\x7f';
  bytes[10] = major;
  bytes.replace(12, 4, "NULL");
  return bytes;
}

std::string frame(std::string_view body, bool more, bool command = false) {
  std::string bytes;
  const char flags = static_cast<char>((more ? 1 : 0) | (command ? 4 : 0) | (body.size() > 255 ? 2 : 0));
  bytes += flags;
  if (body.size() > 255) {
    for (int shift = 56; shift >= 0; shift -= 8) bytes += static_cast<char>((body.size() >> shift) & 0xff);
  } else {
    bytes += static_cast<char>(body.size());
  }
  bytes += body;
  return bytes;
}

// What the counter makes of `stream`, given all at once and byte by byte.
std::string verdict(const std::string& stream, ZMQFrameCounter::Bounds bounds,
                    uint64_t messages = std::numeric_limits<uint64_t>::max(),
                    uint64_t commands = std::numeric_limits<uint64_t>::max()) {
  ZMQFrameCounter whole(bounds);
  ZMQFrameCounter bytewise(bounds);
  for (ZMQFrameCounter* counter : {&whole, &bytewise}) {
    counter->allowMessages(messages);
    counter->allowCommands(commands);
  }
  whole.take(stream.data(), stream.size());
  for (char byte : stream) bytewise.take(&byte, 1);
  EXPECT_EQ(whole.reason(), bytewise.reason());
  EXPECT_EQ(whole.messages(), bytewise.messages());
  return whole.broken() ? whole.reason() : "ok";
}

TEST(ZMQFrameCounterTest, CountsEachMessageAgainstItsBounds) {
  const ZMQFrameCounter::Bounds bounds{4, 1000};
  const std::string ready = frame("\x05READY", false, true);
  const std::string start = greeting(3) + ready;

  // Messages within the bounds, heartbeats between them.
  std::string good = start + frame("a", true) + frame("", true) + frame(std::string(300, 'b'), true) +
                     frame(std::string(699, 'c'), false) + frame("\x04PING", false, true) + frame("d", false);
  EXPECT_EQ(verdict(good, bounds), "ok");
  ZMQFrameCounter counter(bounds);
  counter.take(good.data(), good.size());
  EXPECT_EQ(counter.messages(), 2u);

  // Empty frames without end: cut at the first frame beyond the bound.
  std::string empties = start;
  for (int i = 0; i < 5; ++i) empties += frame("", true);
  EXPECT_EQ(verdict(empties, bounds), "message of more than 4 frames");
  // What came before the frame that broke the bound may still go on.
  ZMQFrameCounter passing(bounds);
  EXPECT_EQ(passing.take(empties.data(), empties.size()), start.size() + 4 * 2);
  EXPECT_EQ(passing.take(empties.data(), empties.size()), 0u);
  EXPECT_EQ(verdict(empties.substr(0, empties.size() - 2), bounds), "ok");

  // Too many bytes in all, and a head that only claims them: cut at the head.
  EXPECT_EQ(verdict(start + frame(std::string(600, 'x'), true) + frame(std::string(401, 'y'), false), bounds),
            "message of more than 1000 bytes");
  std::string claim = start + "\x02" + std::string("\xff\xff\xff\xff\xff\xff\xff\xff", 8);
  EXPECT_EQ(verdict(claim, bounds), "message of more than 1000 bytes");

  // A stream allowed one message brings no second one.
  ZMQFrameCounter one(bounds);
  one.allowMessages(1);
  const std::string two = start + frame("a", true) + frame("b", false) + frame("c", false);
  EXPECT_TRUE(one.take(two.data(), two.size() - 3));
  EXPECT_FALSE(one.take(two.data() + two.size() - 3, 3));
  EXPECT_EQ(one.reason(), "a message beyond the 1 allowed");

  // Older protocols, unknown flags and oversized commands are refused.
  EXPECT_EQ(verdict(greeting(2), bounds), "ZMTP version 2");
  EXPECT_EQ(verdict(std::string("\x01\x00", 2) + std::string(62, '\0'), bounds), "no ZMTP 3 greeting");
  EXPECT_EQ(verdict(start + "\x08\x00", bounds), "frame flags 0x8");
  EXPECT_EQ(verdict(start + frame(std::string(5000, 'c'), false, true), bounds), "command of 5000 bytes");

  // Which message is unfinished: the last frame's head counts it whole, but not its body.
  struct Mid {
    std::string sent;
    bool mid;
    uint64_t begun;
  };
  for (const Mid& test :
       std::vector<Mid>{{start, false, 0},
                        {start + frame("a", true), true, 1},
                        {start + frame("a", false) + frame("\x04PING", false, true), false, 1},
                        {start + frame("a", false) + frame(std::string(300, 'z'), false).substr(0, 99), true, 2},
                        {start + frame("\x04PING", false, true).substr(0, 3), false, 0}}) {
    ZMQFrameCounter counter(bounds);
    counter.take(test.sent.data(), test.sent.size());
    EXPECT_EQ(counter.midMessage(), test.mid) << test.sent.size();
    EXPECT_EQ(counter.messagesBegun(), test.begun) << test.sent.size();
  }
}

std::string command(std::string_view name, std::string_view data = {}) {
  return frame(std::string(1, static_cast<char>(name.size())) + std::string(name) + std::string(data), false, true);
}

// A subscription counts whatever its form (a message, or a ZMTP 3.1 command), and commands
// of every name count in number: what broke a bound is passed on to no byte of its frame.
TEST(ZMQFrameCounterTest, CountsSubscriptionsInEveryFormAndCommandsInNumber) {
  const ZMQFrameCounter::Bounds bounds{1, 100};
  const std::string start = greeting(3) + frame("\x05READY", false, true);
  const std::string sub = command("SUBSCRIBE"), cancel = command("CANCEL"), ping = command("PING", "ab");
  const auto times = [](const std::string& piece, int count) {
    std::string all;
    for (int i = 0; i < count; ++i) all += piece;
    return all;
  };
  struct Case {
    const char* what;
    std::string before, last;
    uint64_t commands;
    std::string verdict;
  };
  const uint64_t any = std::numeric_limits<uint64_t>::max();
  const std::vector<Case> cases = {
      {"four subscriptions as commands", start + sub + cancel + sub, cancel, any, "ok"},
      {"a fifth as a command", start + sub + cancel + sub + cancel, sub, any,
       "a subscription beyond the 4 messages allowed"},
      {"forms mixed", start + frame("\x01", false) + sub + frame(std::string(1, '\0'), false) + cancel,
       command("SUBSCRIBE", "topic"), any, "a subscription beyond the 4 messages allowed"},
      {"a fifth as a message", start + times(sub, 4), frame("\x01", false), any, "a message beyond the 4 allowed"},
      {"a subscription beyond the bytes", start, command("SUBSCRIBE", std::string(101, 't')), any,
       "subscription of more than 100 bytes"},
      {"PINGs within the count", start + times(ping, 6), ping, 8, "ok"},
      {"PINGs beyond it", start + times(ping, 7), ping, 8, "more than 8 commands"},
      {"unknown commands beyond it", start + times(command("HELLO"), 7), command("HELLO"), 8, "more than 8 commands"},
      {"a command without a name", start, frame("", false, true), any, "command without a name"},
      {"a name longer than its command", start, frame("\x09SUB", false, true), any,
       "command of a name longer than itself"},
  };
  for (const Case& test : cases) {
    const std::string stream = test.before + test.last;
    EXPECT_EQ(verdict(stream, bounds, 4, test.commands), test.verdict) << test.what;
    ZMQFrameCounter counter(bounds);
    counter.allowMessages(4);
    counter.allowCommands(test.commands);
    const size_t passed = counter.take(stream.data(), stream.size());
    EXPECT_EQ(passed, test.verdict == "ok" ? stream.size() : test.before.size()) << test.what;
  }
}

// A host serving a DEALER: handshake, one good message, then a message of empty frames
// without end, `cap` bytes at most; answers what it managed to send.
uint64_t serveEndlessFrames(int listener, uint64_t cap) {
  auto peer = test::ZmtpTestPeer::accept(listener, kBound);
  if (!peer || !peer->handshake("ROUTER", kBound)) return 0;
  if (!peer->sendFrame("good", false)) return 0;
  const std::string chunk = test::ZmtpTestPeer::endlessEmptyFrames();
  uint64_t sent = 0;
  while (sent < cap && peer->sendBytes(chunk)) sent += chunk.size();
  return sent;
}

TEST(ZMQFrameGuardTest, CutsAConnectionWhoseMessageNeverEnds) {
  uint16_t port = 0;
  const int listener = test::listenOnLoopback(port);
  const std::string endpoint = fmt::format("tcp://127.0.0.1:{}", port);
  // Far more than the system buffers between the two ends could take.
  constexpr uint64_t kCap = 64 << 20;
  std::atomic<uint64_t> sent{0};
  std::thread host([&] { sent = serveEndlessFrames(listener, kCap); });
  {
    auto context = std::make_shared<ZMQContext>(1);
    auto socket = context->socketWithType(ZMQ_DEALER);
    socket->guardConnections("test", ZMQFrameCounter::Bounds{16, 64 * 1024}, false);
    socket->connectToEndpoint(endpoint);
    const std::string local = socket->dataForOption(ZMQ_LAST_ENDPOINT).value();
    EXPECT_EQ(socket->connectedEndpointOf(local.c_str()), endpoint);
    // What came before the endless message comes through.
    EXPECT_EQ(socket->receiveDataWithFlags(0), "good");
    host.join();
    EXPECT_LT(sent.load(), kCap);
    EXPECT_GE(socket->guardCutConnections(), 1u);
    context->terminate();
  }
  ::close(listener);
}

// Runs `body` in a child process and answers its exit status; 99 for a child that did not exit.
int exitOfChild(const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child < 0) return 98;
  if (child == 0) ::_exit(body());
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return 99;
  return WEXITSTATUS(status);
}

// The loopback address of an endpoint the guard bound ("tcp://127.0.0.1:PORT").
sockaddr_in loopbackAddressOf(const std::string& bound) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(test::portOf(bound));
  return address;
}

// Whether the connection `fd` is ended by its far side within kBound.
bool endedByFarSide(int fd) {
  pollfd polled{fd, POLLIN, 0};
  if (::poll(&polled, 1, static_cast<int>(std::chrono::milliseconds(kBound).count())) != 1) return false;
  char byte = 0;
  return ::recv(fd, &byte, 1, MSG_DONTWAIT) <= 0;
}

// A process out of descriptors (a host holding many connections open) cannot take a waiting
// connection: the guard ends it rather than finding it waiting again at once, without end.
TEST(ZMQFrameGuardTest, AConnectionThatFindsNoDescriptorIsEnded) {
  const int status = exitOfChild([] {
    uint16_t port = 0;
    const int target = test::listenOnLoopback(port);
    ZMQFrameGuard guard("test", ZMQFrameCounter::Bounds{16, 64 * 1024}, false);
    const std::string bound = guard.listenFor("tcp://127.0.0.1:0", fmt::format("tcp://127.0.0.1:{}", port), 1);
    const sockaddr_in address = loopbackAddressOf(bound);
    // Every descriptor the process may have taken, but one for the connection.
    const rlimit limit{256, 256};
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return 2;
    int last = -1;
    while (true) {
      const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (fd < 0) break;
      last = fd;
    }
    if (last < 0) return 3;
    ::close(last);
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (client < 0 || ::connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return 4;
    const bool ended = endedByFarSide(client);
    ::close(target);
    return ended ? 0 : 1;
  });
  EXPECT_EQ(status, 0);
}

// A round of the guard that fails (here its poll, refused while the process may have fewer
// descriptors than it polls) ends the connections it was relaying, which connect again, and
// never the guard: once rounds work again it relays as before.
TEST(ZMQFrameGuardTest, ARoundThatFailsEndsItsConnectionsAndNotTheGuard) {
  const int status = exitOfChild([] {
    // Low descriptors kept free under the lowered limit: the sanitizers make pipes of their own.
    std::vector<int> room;
    for (int i = 0; i < 8; ++i) room.push_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    uint16_t port = 0;
    const int target = test::listenOnLoopback(port);
    ZMQFrameGuard guard("test", ZMQFrameCounter::Bounds{16, 64 * 1024}, false);
    ZMQFrameGuard::Connections many;
    many.perHost = 1000;
    guard.setConnections(many);
    const std::string bound = guard.listenFor("tcp://127.0.0.1:0", fmt::format("tcp://127.0.0.1:{}", port), 1);
    const sockaddr_in address = loopbackAddressOf(bound);
    const auto connectToGuard = [&address](int fd) {
      return ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    };
    const auto relayed = [target] {
      pollfd polled{target, POLLIN, 0};
      if (::poll(&polled, 1, static_cast<int>(std::chrono::milliseconds(kBound).count())) != 1) return -1;
      return ::accept4(target, nullptr, nullptr, SOCK_CLOEXEC);
    };
    // More connections relayed than the lowered limit lets the guard poll.
    std::vector<int> clients;
    std::vector<int> farSides;
    for (int i = 0; i < 64; ++i) {
      const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      const int far = connectToGuard(client) ? relayed() : -1;
      if (far < 0) return 2;
      clients.push_back(client);
      farSides.push_back(far);
    }
    const int waker = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int later = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    rlimit saved{};
    if (waker < 0 || later < 0 || ::getrlimit(RLIMIT_NOFILE, &saved) != 0) return 3;
    const int highestRoom = *std::max_element(room.begin(), room.end());
    for (const int fd : room) ::close(fd);
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(highestRoom) + 1;
    if (::setrlimit(RLIMIT_NOFILE, &low) != 0 || !connectToGuard(waker)) return 4;
    const bool ended = endedByFarSide(clients.front());
    if (::setrlimit(RLIMIT_NOFILE, &saved) != 0) return 5;
    if (!ended) return 1;
    // A connection made now reaches the far side with what it sends (the waker's, relayed
    // or not, ends).
    ::close(waker);
    const std::string hello = greeting(3);
    if (!connectToGuard(later) || ::send(later, hello.data(), hello.size(), MSG_NOSIGNAL) != 64) return 6;
    for (int attempt = 0; attempt < 8; ++attempt) {
      const int far = relayed();
      if (far < 0) return 7;
      std::string got(64, '\0');
      pollfd polled{far, POLLIN, 0};
      const bool read = ::poll(&polled, 1, static_cast<int>(std::chrono::milliseconds(kBound).count())) == 1 &&
                        ::recv(far, got.data(), got.size(), MSG_WAITALL) == 64;
      ::close(far);
      if (read && got == hello) return 0;
    }
    return 8;
  });
  EXPECT_EQ(status, 0);
}

// A DEALER's greeting and READY.
std::string dealerHandshake() {
  return greeting(3) +
         frame(std::string("\x05READY\x0bSocket-Type") + std::string("\0\0\0\x06", 4) + "DEALER", false, true);
}

// A ROUTER bound behind a guard with `connections` on loopback; its port.
uint16_t routerBehindGuard(ZMQSocket& router, const ZMQFrameGuard::Connections& connections) {
  const std::string bound = router.bindBehindGuard("tcp://127.0.0.1:0", "test", ZMQFrameCounter::Bounds{16, 64 * 1024},
                                                   std::numeric_limits<uint64_t>::max(), true, connections);
  return test::portOf(bound);
}

// A connection that brings no whole message in time is ended, whatever state it sits in;
// one that brought a message may then stay idle (a request client between requests).
TEST(ZMQFrameGuardTest, EndsConnectionsThatBringNoWholeMessageInTime) {
  auto context = std::make_shared<ZMQContext>(1);
  auto router = context->socketWithType(ZMQ_ROUTER);
  ZMQFrameGuard::Connections connections;
  connections.idle = std::chrono::milliseconds(500);
  const uint16_t port = routerBehindGuard(*router, connections);
  struct State {
    const char* what;
    // Sent before the handshake, or after it when there is one.
    std::string sent;
    bool handshaken;
    bool ended;
  };
  // Those kept first: had they been ended, it would have been before the others.
  const std::vector<State> states = {
      {"a whole message, then idle", frame("", true) + frame("hello", false), true, false},
      {"connected, nothing sent", "", false, true},
      {"half a greeting", greeting(3).substr(0, 30), false, true},
      {"a greeting, no READY", greeting(3), false, true},
      {"handshaken and idle", "", true, true},
      {"in the middle of a message", frame("", true) + frame("a", true), true, true},
      {"a whole message, then half of one", frame("", true) + frame("a", false) + frame("b", true), true, true},
      {"a whole message, then half a frame", frame("a", false) + frame(std::string(300, 'z'), false).substr(0, 99),
       true, true},
      {"heartbeats only", command("PING", "ab") + command("PING", "cd"), true, true},
  };
  std::vector<std::unique_ptr<test::ZmtpTestPeer>> peers;
  for (const State& state : states) {
    peers.push_back(std::make_unique<test::ZmtpTestPeer>(port, "127.0.0.2"));
    ASSERT_TRUE(peers.back()->connected()) << state.what;
    const bool sent =
        (!state.handshaken || peers.back()->handshake("DEALER", kBound)) && peers.back()->sendBytes(state.sent);
    ASSERT_TRUE(sent) << state.what;
  }
  for (size_t i = 0; i < states.size(); ++i) {
    if (states[i].ended) {
      EXPECT_TRUE(peers[i]->closedWithin(kBound)) << states[i].what;
    }
  }
  for (size_t i = 0; i < states.size(); ++i) {
    if (!states[i].ended) {
      EXPECT_FALSE(peers[i]->closedWithin(connections.idle * 2)) << states[i].what;
    }
  }
  peers.clear();
  router.reset();
  context->terminate();
}

// A connection earns commands as it lasts, but one that waited saves up no more than a burst.
TEST(ZMQFrameGuardTest, ACommandBurstIsBoundedHoweverLongTheConnectionWaited) {
  auto context = std::make_shared<ZMQContext>(1);
  auto router = context->socketWithType(ZMQ_ROUTER);
  const uint16_t port = routerBehindGuard(*router, {});
  std::vector<std::unique_ptr<test::ZmtpTestPeer>> peers;
  for (int i = 0; i < 2; ++i) {
    peers.push_back(std::make_unique<test::ZmtpTestPeer>(port, "127.0.0.2"));
    ASSERT_TRUE(peers.back()->handshake("DEALER", kBound) && peers.back()->sendBytes(frame("a", false)));
  }
  // Time to earn more than a burst, were it saved up (the READY was a command).
  std::this_thread::sleep_for(std::chrono::seconds(3));
  // No time to live: ZeroMQ would end a connection silent for that long itself.
  const std::string ping = command("PING", std::string(2, '\0'));
  std::string burst;
  for (uint64_t i = 1; i < ZMQFrameGuard::kCommandBurst; ++i) burst += ping;
  ASSERT_TRUE(peers[0]->sendBytes(burst + ping + ping));
  ASSERT_TRUE(peers[1]->sendBytes(burst));
  EXPECT_TRUE(peers[0]->closedWithin(kBound));
  EXPECT_FALSE(peers[1]->closedWithin(std::chrono::milliseconds(500)));
  peers.clear();
  router.reset();
  context->terminate();
}

// One host has a few connections at most; when the table is full, the newest connection of
// the busiest host makes room for a host with fewer, never for one that would be as busy,
// and a trusted host's connection is never the one ended.
TEST(ZMQFrameGuardTest, BoundsTheConnectionsOfEachHostAndInAll) {
  auto context = std::make_shared<ZMQContext>(1);
  auto router = context->socketWithType(ZMQ_ROUTER);
  ZMQFrameGuard::Connections connections;
  connections.perHost = 3;
  connections.inAll = 5;
  connections.trusted = [](const std::string& host) { return host == "127.0.0.9"; };
  const uint16_t port = routerBehindGuard(*router, connections);
  struct Step {
    const char* host;
    bool relayed;
    // The earlier step whose connection was ended to make room; -1 for none.
    int ended;
  };
  const std::vector<Step> steps = {
      {"127.0.0.2", true, -1},  {"127.0.0.2", true, -1},  {"127.0.0.2", true, -1},
      {"127.0.0.2", false, -1},                           // beyond its host's bound
      {"127.0.0.3", true, -1},  {"127.0.0.4", true, -1},  // the table is full
      {"127.0.0.4", true, 2},                             // the busiest host's newest makes room
      {"127.0.0.5", true, 1},   {"127.0.0.9", true, 6},   {"127.0.0.9", true, 0},
      {"127.0.0.9", true, 4},   {"127.0.0.6", false, -1},  // it would be as busy as any
      {"127.0.0.9", false, -1},                            // beyond its host's bound
  };
  std::vector<std::unique_ptr<test::ZmtpTestPeer>> peers;
  for (size_t i = 0; i < steps.size(); ++i) {
    peers.push_back(std::make_unique<test::ZmtpTestPeer>(port, steps[i].host));
    auto& peer = *peers.back();
    const bool relayed =
        peer.handshake("DEALER", kBound) && peer.sendFrame("", true) && peer.sendFrame(std::to_string(i), false);
    EXPECT_EQ(relayed, steps[i].relayed) << "step " << i;
    if (relayed) {
      // Relayed to the router: the next step finds it counted.
      router->receiveDataWithFlags(0);
      router->receiveDataWithFlags(0);
      EXPECT_EQ(router->receiveDataWithFlags(0), std::to_string(i)) << "step " << i;
    } else {
      EXPECT_TRUE(peer.closedWithin(kBound)) << "step " << i;
    }
    if (steps[i].ended >= 0) {
      EXPECT_TRUE(peers[steps[i].ended]->closedWithin(kBound)) << "step " << i;
    }
  }
  EXPECT_EQ(ZMQFrameGuard::relayedInAll(), 5u);
  peers.clear();
  router.reset();
  context->terminate();
}

// Listening guards take connections on threads of their own: while hosts connect to all of
// them at once, again and again, each place freed is taken by one guard only, and together
// they never relay more than the bound of all.
TEST(ZMQFrameGuardTest, GuardsAcceptingAtOnceNeverPassTheBoundInAll) {
  constexpr size_t kGuards = 8, kClients = 2;
  auto context = std::make_shared<ZMQContext>(1);
  ZMQFrameGuard::Connections connections;
  connections.perHost = 1000;
  connections.inAll = 6;
  std::vector<std::shared_ptr<ZMQSocket>> routers;
  std::vector<sockaddr_in> addresses;
  for (size_t i = 0; i < kGuards; ++i) {
    routers.push_back(context->socketWithType(ZMQ_ROUTER));
    addresses.push_back(loopbackAddressOf(":" + std::to_string(routerBehindGuard(*routers.back(), connections))));
  }
  std::atomic<bool> running{true};
  std::atomic<size_t> most{0}, relayed{0};
  std::vector<std::thread> threads;
  for (size_t i = 0; i < kGuards * kClients; ++i) {
    // Connects, waits to be greeted by ZeroMQ (relayed) or ended (refused), and leaves.
    threads.emplace_back([&, address = addresses[i % kGuards]] {
      while (running) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
          pollfd polled{fd, POLLIN, 0};
          char byte = 0;
          if (::poll(&polled, 1, 1000) == 1 && ::recv(fd, &byte, 1, MSG_PEEK) == 1) ++relayed;
        }
        ::close(fd);
      }
    });
  }
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (std::chrono::steady_clock::now() < until) {
    const size_t now = ZMQFrameGuard::relayedInAll();
    if (now > most) most = now;
  }
  running = false;
  for (std::thread& thread : threads) thread.join();
  EXPECT_GT(relayed.load(), 0u);
  EXPECT_LE(most.load(), connections.inAll);
  EXPECT_TRUE(test::eventually([] { return ZMQFrameGuard::relayedInAll() == 0; }));
  routers.clear();
  context->terminate();
}

// Processor time of the whole process.
std::chrono::microseconds cpuTime() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

// A host that opens more connections than the process has descriptors for: the guard relays
// only as many as leave a reserve, so that ZeroMQ (which tries again without end when it
// cannot accept one) and the guard do not spin while they are held.
TEST(ZMQFrameGuardTest, ConnectionsBeyondTheDescriptorsSpinNoThread) {
  const int status = exitOfChild([] {
    const rlimit limit{384, 384};
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return 2;
    auto context = std::make_shared<ZMQContext>(1);
    auto router = context->socketWithType(ZMQ_ROUTER);
    ZMQFrameGuard::Connections connections;
    connections.perHost = 1000;
    const uint16_t port = routerBehindGuard(*router, connections);
    // Handshaken, more than the descriptors the host's own leave to the guard and ZeroMQ.
    std::vector<std::unique_ptr<test::ZmtpTestPeer>> peers;
    for (int i = 0; i < 200; ++i) {
      peers.push_back(std::make_unique<test::ZmtpTestPeer>(port, "127.0.0.2"));
      peers.back()->sendBytes(dealerHandshake());
    }
    // The connections are held: nothing is left to do.
    const auto before = cpuTime();
    ::poll(nullptr, 0, 2000);
    return cpuTime() - before < std::chrono::milliseconds(400) ? 0 : 1;
  });
  EXPECT_EQ(status, 0);
}

// Descriptors the process has open.
int openDescriptors() {
  int open = 0;
  for (int fd = 0; fd < 4096; ++fd) open += ::fcntl(fd, F_GETFD) >= 0 ? 1 : 0;
  return open;
}

// A machine out of threads (many requests at once, a low process limit) refuses a guard's
// thread: the guard raises with nothing of it left open, however often it is tried.
TEST(ZMQFrameGuardTest, AGuardWhoseThreadIsRefusedLeavesNothingOpen) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the child as a user of its own";
  const int status = exitOfChild([] {
    // A user no one else runs as: the child is all it may have.
    constexpr uid_t kLoneUser = 54322;
    const rlimit limit{1, 1};
    if (::setresgid(kLoneUser, kLoneUser, kLoneUser) != 0 || ::setresuid(kLoneUser, kLoneUser, kLoneUser) != 0 ||
        ::setrlimit(RLIMIT_NPROC, &limit) != 0) {
      return 2;
    }
    const int before = openDescriptors();
    for (int attempt = 0; attempt < 3; ++attempt) {
      try {
        ZMQFrameGuard guard("test", ZMQFrameCounter::Bounds{16, 64 * 1024}, true);
        return 3;
      } catch (const std::system_error&) {
      }
    }
    return openDescriptors() == before ? 0 : 1;
  });
  EXPECT_EQ(status, 0);
}

// Behind a listening guard ZeroMQ still tells the far hosts apart by a message's source, and
// the guard names the far side of each connection.
TEST(ZMQFrameGuardTest, ListeningGuardGivesEachFarHostASourceOfItsOwn) {
  auto context = std::make_shared<ZMQContext>(1);
  auto router = context->socketWithType(ZMQ_ROUTER);
  router->setRecordsSources(true);
  const std::string bound = router->bindBehindGuard("tcp://127.0.0.1:0", "test", ZMQFrameCounter::Bounds{16, 64 * 1024},
                                                    std::numeric_limits<uint64_t>::max(), true);
  const std::string port = bound.substr(bound.rfind(':') + 1);
  const std::vector<std::string> hosts = {"127.0.0.2", "127.0.0.2", "127.0.0.3"};
  std::vector<std::shared_ptr<ZMQSocket>> dealers;
  for (size_t i = 0; i < hosts.size(); ++i) {
    auto dealer = context->socketWithType(ZMQ_DEALER);
    dealer->connectToEndpoint(fmt::format("tcp://{}:0;127.0.0.1:{}", hosts[i], port));
    ASSERT_TRUE(dealer->sendData(std::to_string(i), 0));
    dealers.push_back(dealer);
  }
  std::map<std::string, std::string> sourceOf;
  for (size_t received = 0; received < hosts.size(); ++received) {
    router->receiveDataWithFlags(0);
    const std::string sent = router->receiveDataWithFlags(0);
    const std::string source = router->lastSourceAddress();
    EXPECT_NE(source, "127.0.0.1");
    const std::optional<std::string> seen = ForeignTcpSocket::peerAddress(router->lastSourceFd());
    ASSERT_TRUE(seen.has_value());
    const std::optional<std::string> far = router->guardedFarSideOf(*seen);
    ASSERT_TRUE(far.has_value()) << *seen;
    const std::string& host = hosts.at(std::stoul(sent));
    EXPECT_EQ(far->substr(0, far->rfind(':')), host);
    sourceOf[sent] = source;
  }
  EXPECT_EQ(sourceOf["0"], sourceOf["1"]);
  EXPECT_NE(sourceOf["0"], sourceOf["2"]);
  dealers.clear();
  router.reset();
  context->terminate();
}

}  // namespace
}  // namespace velbor
