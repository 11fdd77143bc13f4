#include "HttpStub.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include <fmt/format.h>

#include "support/LoopbackListener.h"

namespace velbor::test {

HttpStub::HttpStub() {
  uint16_t port = 0;
  listener_ = listenOnLoopback(port);
  if (::pipe2(wake_, O_CLOEXEC) != 0) {
    ::close(listener_);
    throw std::runtime_error("HTTP stub cannot make its wake-up pipe");
  }
  baseURL_ = fmt::format("http://127.0.0.1:{}", port);
  thread_ = std::thread([this] { serve(); });
}

HttpStub::~HttpStub() {
  const char byte = 0;
  (void)!::write(wake_[1], &byte, 1);
  thread_.join();
  ::close(listener_);
  ::close(wake_[0]);
  ::close(wake_[1]);
}

void HttpStub::answer(int status, std::string body) {
  std::lock_guard lock(lock_);
  status_ = status;
  body_ = std::move(body);
  silent_ = false;
}

void HttpStub::beSilent() {
  std::lock_guard lock(lock_);
  silent_ = true;
}

std::vector<std::string> HttpStub::targets() const {
  std::lock_guard lock(lock_);
  return targets_;
}

void HttpStub::serve() {
  for (;;) {
    pollfd items[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(items, 2, -1) < 0) continue;
    if (items[1].revents != 0) return;
    const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    handle(connection);
    ::close(connection);
  }
}

void HttpStub::handle(int connection) {
  std::string request;
  char buffer[4096];
  while (request.find("\r\n\r\n") == std::string::npos) {
    const ssize_t count = ::recv(connection, buffer, sizeof buffer, 0);
    if (count <= 0) return;
    request.append(buffer, static_cast<size_t>(count));
  }
  const size_t start = request.find(' ') + 1;
  const std::string target = request.substr(start, request.find(' ', start) - start);
  int status;
  std::string body;
  bool silent;
  {
    std::lock_guard lock(lock_);
    targets_.push_back(target);
    status = status_;
    body = body_;
    silent = silent_;
  }
  if (silent) {
    // Holds the connection until the client gives up (it closes) or the stub goes.
    pollfd items[2] = {{connection, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    ::poll(items, 2, -1);
    return;
  }
  const std::string reply = fmt::format(
      "HTTP/1.1 {} X\r\nContent-Type: application/json\r\nContent-Length: {}\r\n"
      "Connection: close\r\n\r\n{}",
      status, body.size(), body);
  (void)!::send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
}

}  // namespace velbor::test
