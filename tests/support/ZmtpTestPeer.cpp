#include "support/ZmtpTestPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace velbor::test {

namespace {

constexpr uint8_t kMoreFlag = 0x01;
constexpr uint8_t kLongFlag = 0x02;
constexpr uint8_t kCommandFlag = 0x04;

std::string bigEndian(uint64_t value, size_t bytes) {
  std::string out(bytes, '\0');
  for (size_t i = 0; i < bytes; ++i) out[bytes - 1 - i] = static_cast<char>((value >> (8 * i)) & 0xff);
  return out;
}

int remainingMs(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

ZmtpTestPeer::ZmtpTestPeer(uint16_t port, const std::string& source) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  sockaddr_in from{};
  from.sin_family = AF_INET;
  if (::inet_pton(AF_INET, source.c_str(), &from.sin_addr) != 1 ||
      ::bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
    ::close(fd_);
    fd_ = -1;
    return;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

std::unique_ptr<ZmtpTestPeer> ZmtpTestPeer::accept(int listener, std::chrono::milliseconds bound) {
  pollfd item{listener, POLLIN, 0};
  if (::poll(&item, 1, static_cast<int>(bound.count())) <= 0) return nullptr;
  const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return nullptr;
  std::unique_ptr<ZmtpTestPeer> peer(new ZmtpTestPeer());
  peer->fd_ = fd;
  return peer;
}

ZmtpTestPeer::~ZmtpTestPeer() {
  if (fd_ >= 0) ::close(fd_);
}

bool ZmtpTestPeer::handshake(const std::string& socketType, std::chrono::milliseconds bound) {
  std::string greeting;
  greeting += '\xff';
  greeting += std::string(8, '\0');
  greeting += '\x7f';
  greeting += '\x03';
  greeting += '\x00';
  greeting += std::string("NULL") + std::string(16, '\0');
  greeting += '\x00';
  greeting += std::string(31, '\0');
  const auto deadline = std::chrono::steady_clock::now() + bound;
  std::string theirs;
  if (!sendBytes(greeting) || !readExactly(64, theirs, deadline)) return false;
  std::string ready = "\x05READY";
  ready += "\x0bSocket-Type" + bigEndian(socketType.size(), 4) + socketType;
  std::string head = {static_cast<char>(kCommandFlag), static_cast<char>(ready.size())};
  if (!sendBytes(head + ready)) return false;
  // Their READY.
  return receiveFrame(std::chrono::milliseconds(remainingMs(deadline))).has_value();
}

bool ZmtpTestPeer::sendFrameHead(uint64_t size, bool more) {
  const uint8_t flags = static_cast<uint8_t>((more ? kMoreFlag : 0) | (size > 255 ? kLongFlag : 0));
  return sendBytes(std::string(1, static_cast<char>(flags)) + bigEndian(size, size > 255 ? 8 : 1));
}

bool ZmtpTestPeer::sendFrame(std::string_view body, bool more) {
  return sendFrameHead(body.size(), more) && sendBytes(body);
}

bool ZmtpTestPeer::sendBytes(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

std::optional<std::string> ZmtpTestPeer::receiveFrame(std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  std::string flags;
  std::string size;
  if (!readExactly(1, flags, deadline)) return std::nullopt;
  const bool isLong = (static_cast<uint8_t>(flags[0]) & kLongFlag) != 0;
  lastMore_ = (static_cast<uint8_t>(flags[0]) & kMoreFlag) != 0;
  if (!readExactly(isLong ? 8 : 1, size, deadline)) return std::nullopt;
  uint64_t length = 0;
  for (char byte : size) length = (length << 8) | static_cast<uint8_t>(byte);
  if (length > (uint64_t{1} << 26)) return std::nullopt;
  std::string body;
  if (!readExactly(length, body, deadline)) return std::nullopt;
  return body;
}

bool ZmtpTestPeer::readExactly(size_t size, std::string& out, std::chrono::steady_clock::time_point deadline) {
  out.clear();
  char buffer[65536];
  while (out.size() < size) {
    pollfd item{fd_, POLLIN, 0};
    if (::poll(&item, 1, remainingMs(deadline)) <= 0) return false;
    const size_t wanted = std::min(sizeof buffer, size - out.size());
    const ssize_t got = ::recv(fd_, buffer, wanted, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    out.append(buffer, static_cast<size_t>(got));
  }
  return true;
}

bool ZmtpTestPeer::closedWithin(std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  char buffer[65536];
  for (;;) {
    pollfd item{fd_, POLLIN, 0};
    const int ready = ::poll(&item, 1, remainingMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return true;
  }
}

}  // namespace velbor::test
