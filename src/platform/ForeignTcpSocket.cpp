#include "platform/ForeignTcpSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace velbor {

std::optional<std::string> ForeignTcpSocket::peerAddress(int fd) {
  if (fd < 0) return std::nullopt;
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return std::nullopt;
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(address);
    if (::inet_ntop(AF_INET, &in.sin_addr, text, sizeof text) == nullptr) return std::nullopt;
    std::string result(text);
    result.append(":").append(std::to_string(ntohs(in.sin_port)));
    return result;
  }
  if (address.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
    if (::inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text) == nullptr) return std::nullopt;
    std::string result(1, '[');
    result.append(text).append("]:").append(std::to_string(ntohs(in6.sin6_port)));
    return result;
  }
  return std::nullopt;
}

std::optional<size_t> ForeignTcpSocket::unsentBytes(int fd) {
  int bytes = 0;
  if (fd < 0 || ::ioctl(fd, SIOCOUTQ, &bytes) != 0 || bytes < 0) return std::nullopt;
  return static_cast<size_t>(bytes);
}

std::optional<uint64_t> ForeignTcpSocket::receivedBytes(int fd) {
  tcp_info info{};
  socklen_t length = sizeof info;
  if (fd < 0 || ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return std::nullopt;
  // Older kernels fill less of the structure.
  if (length < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received) return std::nullopt;
  return info.tcpi_bytes_received;
}

bool ForeignTcpSocket::cut(int fd) {
  if (fd < 0) return false;
  // A reset rather than a close handshake: a peer that reads nothing would keep the queued
  // bytes in the system for minutes.
  const linger reset{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  return ::shutdown(fd, SHUT_RDWR) == 0;
}

bool ForeignTcpSocket::cutIfConnectedTo(int fd, const std::string& address) {
  if (fd < 0) return false;
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return false;
  const bool same = peerAddress(copy) == address;
  const bool done = same && cut(copy);
  ::close(copy);
  return done;
}

}  // namespace velbor
