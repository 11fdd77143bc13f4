#include "ui/IsolatedNetwork.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>

namespace velbor::test {

namespace {

int boundSocket(int type, uint16_t port) {
  const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// A port below the system's range for ports it hands out by itself: bound and released
// again, it is not given by the system to the next socket bound to port 0, such as the
// loopback side of an engine's guarded endpoints, or another test's.
uint16_t freePort(int type) {
  static std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> below(20000, 32767);
  for (int tries = 0; tries < 1000; ++tries) {
    const auto port = static_cast<uint16_t>(below(random));
    const int fd = boundSocket(type, port);
    if (fd < 0) continue;
    ::close(fd);
    return port;
  }
  return 0;
}

}  // namespace

IsolatedNetwork::IsolatedNetwork() {
  if (::unshare(CLONE_NEWNET) != 0) {
    error_ = std::string("unshare: ") + std::strerror(errno);
    return;
  }
  // `ip` runs as a child of this thread, so inside the new namespace.
  const std::string setup =
      std::string("ip link set lo up && ip link add vb0 type veth peer name vb1 && ip addr add ") + kAddress +
      "/24 brd + dev vb0 && ip link set vb1 up && ip link set vb0 up";
  if (std::system(setup.c_str()) != 0) {
    error_ = "ip could not set up the namespace's interfaces";
    return;
  }
  entered_ = true;
}

uint16_t freeUdpPort() { return freePort(SOCK_DGRAM); }

uint16_t freeTcpPort() { return freePort(SOCK_STREAM); }

bool tcpListening(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return connected;
}

bool udpPortTaken(uint16_t port) {
  const int fd = boundSocket(SOCK_DGRAM, port);
  if (fd < 0) return true;
  ::close(fd);
  return false;
}

UdpListener::UdpListener(uint16_t port) : fd_(boundSocket(SOCK_DGRAM, port)), bound_(fd_ >= 0) {}

UdpListener::~UdpListener() {
  if (fd_ >= 0) ::close(fd_);
}

bool UdpListener::next(int ms) {
  pollfd item{fd_, POLLIN, 0};
  if (fd_ < 0 || ::poll(&item, 1, ms) != 1) return false;
  char buffer[9216];
  return ::recv(fd_, buffer, sizeof buffer, 0) >= 0;
}

}  // namespace velbor::test
