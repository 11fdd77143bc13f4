#include "e2e/TcpRelay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace velbor::test {
namespace {

// One relayed connection: what the relay took and what it opened for it.
struct Joined {
  int taken = -1;
  int opened = -1;
};

// Passes what `from` has to `to`; false when either side is done.
bool pass(int from, int to) {
  char buffer[65536];
  const ssize_t count = ::recv(from, buffer, sizeof buffer, 0);
  if (count <= 0) return count < 0 && errno == EINTR;
  for (ssize_t done = 0; done < count;) {
    const ssize_t sent = ::send(to, buffer + done, static_cast<size_t>(count - done), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    done += sent;
  }
  return true;
}

int connectTo(const std::string& address, uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  // A peer that stops reading must not hold the relay for ever.
  const timeval limit{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  ::inet_pton(AF_INET, address.c_str(), &target.sin_addr);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

TcpRelay::TcpRelay(const std::string& netns, uint16_t port, const std::string& targetAddress, uint16_t targetPort)
    : targetAddress_(targetAddress), targetPort_(targetPort) {
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_ < 0) return;
  std::promise<bool> listening;
  std::future<bool> started = listening.get_future();
  thread_ = std::thread([this, netns, port, &listening] { run(netns, port, listening); });
  ready_ = started.get();
}

TcpRelay::~TcpRelay() {
  stopping_ = true;
  if (wake_ >= 0) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake_, &one, sizeof one);
  }
  if (thread_.joinable()) thread_.join();
  if (wake_ >= 0) ::close(wake_);
}

void TcpRelay::run(const std::string& netns, uint16_t port, std::promise<bool>& listening) {
  // The whole thread lives in the namespace: the sockets it makes belong to it.
  const int ns = ::open(("/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
  const bool entered = ns >= 0 && ::setns(ns, CLONE_NEWNET) == 0;
  if (ns >= 0) ::close(ns);
  const int listener = entered ? ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
  bool bound = false;
  if (listener >= 0) {
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(port);
    bound = ::bind(listener, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0 && ::listen(listener, 16) == 0;
  }
  listening.set_value(bound);
  std::vector<Joined> joined;
  while (bound && !stopping_) {
    std::vector<pollfd> items{{wake_, POLLIN, 0}, {listener, POLLIN, 0}};
    for (const Joined& j : joined) {
      items.push_back({j.taken, POLLIN, 0});
      items.push_back({j.opened, POLLIN, 0});
    }
    if (::poll(items.data(), items.size(), 200) < 0 && errno != EINTR) break;
    std::vector<Joined> kept;
    for (size_t i = 0; i < joined.size(); ++i) {
      const pollfd& taken = items[2 + 2 * i];
      const pollfd& opened = items[3 + 2 * i];
      bool open = true;
      if (taken.revents != 0) open = pass(joined[i].taken, joined[i].opened);
      if (open && opened.revents != 0) open = pass(joined[i].opened, joined[i].taken);
      if (open) {
        kept.push_back(joined[i]);
      } else {
        ::close(joined[i].taken);
        ::close(joined[i].opened);
      }
    }
    joined.swap(kept);
    if ((items[1].revents & POLLIN) != 0) {
      const int taken = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (taken >= 0) {
        ++connections_;
        const int opened = connectTo(targetAddress_, targetPort_);
        if (opened >= 0) {
          joined.push_back({taken, opened});
        } else {
          ::close(taken);
        }
      }
    }
  }
  for (const Joined& j : joined) {
    ::close(j.taken);
    ::close(j.opened);
  }
  if (listener >= 0) ::close(listener);
}

}  // namespace velbor::test
