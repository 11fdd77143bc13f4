// A host that replays a trusted device's discovery datagram from its own address and relays
// TCP to the real device; and the same device moving to a new address for real.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "e2e/E2eNetwork.h"
#include "e2e/E2eSupport.h"
#include "e2e/PeerProcess.h"
#include "e2e/TcpRelay.h"

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
