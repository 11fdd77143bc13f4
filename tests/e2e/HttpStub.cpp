#include "e2e/HttpStub.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include <fmt/format.h>

namespace velbor::test {

namespace {

constexpr size_t kMaxRequestBytes = 64 * 1024;
constexpr int kReadWaitMs = 5000;

// A listening socket in the namespace: made on a thread of its own, since entering a
// network namespace changes only the calling thread, and the socket stays in it after.
int listenIn(const std::string& netns, int& port) {
  int result = -1;
  std::thread([&] {
    const int ns = ::open(("/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
    if (ns < 0) return;
    const bool entered = ::setns(ns, CLONE_NEWNET) == 0;
    ::close(ns);
    if (!entered) return;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ::close(fd);
      return;
    }
    port = ntohs(address.sin_port);
    result = fd;
  }).join();
  return result;
}

}  // namespace

HttpStub::HttpStub(const std::string& netns, std::string reply) : reply_(std::move(reply)) {
  listener_ = listenIn(netns, port_);
  if (listener_ < 0) return;
  if (::pipe2(wake_, O_CLOEXEC) != 0) {
    ::close(listener_);
    listener_ = -1;
    return;
  }
  thread_ = std::thread([this] { serve(); });
}

HttpStub::~HttpStub() {
  if (thread_.joinable()) {
    const char stop = 'x';
    [[maybe_unused]] const ssize_t written = ::write(wake_[1], &stop, 1);
    thread_.join();
  }
  for (const int fd : {listener_, wake_[0], wake_[1]}) {
    if (fd >= 0) ::close(fd);
  }
}

std::string HttpStub::url() const { return fmt::format("http://127.0.0.1:{}", port_); }

std::vector<std::string> HttpStub::targets() const {
  std::lock_guard lock(mutex_);
  return targets_;
}

void HttpStub::serve() {
  for (;;) {
    pollfd items[2] = {{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
    if (::poll(items, 2, -1) < 0) continue;
    if (items[0].revents != 0) return;
    if (items[1].revents == 0) continue;
    const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    answer(connection);
    ::close(connection);
  }
}

void HttpStub::answer(int connection) {
  std::string request;
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < kMaxRequestBytes) {
    pollfd item{connection, POLLIN, 0};
    if (::poll(&item, 1, kReadWaitMs) <= 0) return;
    char chunk[4096];
    const ssize_t got = ::read(connection, chunk, sizeof chunk);
    if (got <= 0) return;
    request.append(chunk, static_cast<size_t>(got));
  }
  // "GET <target> HTTP/1.1"
  const size_t first = request.find(' ');
  const size_t second = first == std::string::npos ? first : request.find(' ', first + 1);
  if (second == std::string::npos) return;
  {
    std::lock_guard lock(mutex_);
    targets_.push_back(request.substr(first + 1, second - first - 1));
  }
  const std::string response = fmt::format(
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: {}\r\nConnection: close\r\n\r\n{}",
      reply_.size(), reply_);
  size_t done = 0;
  while (done < response.size()) {
    const ssize_t written = ::send(connection, response.data() + done, response.size() - done, MSG_NOSIGNAL);
    if (written <= 0) return;
    done += static_cast<size_t>(written);
  }
}

}  // namespace velbor::test
