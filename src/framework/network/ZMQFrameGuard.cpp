#include "framework/network/ZMQFrameGuard.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "framework/network/ZMQException.h"
#include "platform/LogRateLimiter.h"
#include "platform/QoLog.h"

namespace velbor {

struct ZMQFrameGuard::Route {
  std::string endpoint;
  std::string local;
  int listener = -1;
  sockaddr_storage target{};
  socklen_t targetLength = 0;
};

struct ZMQFrameGuard::Link {
  explicit Link(ZMQFrameCounter::Bounds bounds) : counter(bounds), sent(ZMQFrameCounter::kUnbounded) {}
  std::string endpoint;
  int local = -1;
  int remote = -1;
  bool connecting = true;
  ZMQFrameCounter counter;
  // What ZeroMQ sent on it, for answersOnly.
  ZMQFrameCounter sent;
  // What the far side sent, for ZeroMQ; and what ZeroMQ sent, for the far side.
  std::string in, out;
  size_t inAt = 0, outAt = 0;
  bool remoteEnded = false, localEnded = false;
};

namespace {

[[noreturn]] void refuse(const std::string& endpoint) {
  QoLog("*** Frame guard: endpoint({}) names no host and port", endpoint);
  throw ZMQException(std::strerror(EINVAL), EINVAL);
}

void noDelay(int fd) {
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// Reads into `buffer` (emptied first); the bytes read, 0 at the end, -1 for nothing now or a failure
// (`failed` then tells).
ssize_t readInto(int fd, std::string& buffer, bool& failed) {
  buffer.resize(ZMQFrameGuard::kBufferBytes);
  ssize_t got;
  do {
    got = ::recv(fd, buffer.data(), buffer.size(), 0);
  } while (got < 0 && errno == EINTR);
  failed = got < 0 && errno != EAGAIN && errno != EWOULDBLOCK;
  buffer.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return got;
}

// Writes what is left of `buffer` from `at`; false on a failure.
bool writeFrom(int fd, const std::string& buffer, size_t& at) {
  while (at < buffer.size()) {
    ssize_t sent = ::send(fd, buffer.data() + at, buffer.size() - at, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
    at += static_cast<size_t>(sent);
  }
  return true;
}

LogRateLimiter& cutLog() {
  // Any host can make its connections be cut at will.
  static LogRateLimiter log("Frame guard: cut connections", 10, std::chrono::minutes(1));
  return log;
}

}  // namespace

ZMQFrameGuard::ZMQFrameGuard(std::string name, ZMQFrameCounter::Bounds bounds, bool answersOnly)
    : name_(std::move(name)), bounds_(bounds), answersOnly_(answersOnly) {
  if (::pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    const int error = errno;
    throw ZMQException(std::strerror(error), error);
  }
  cutFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (cutFd_ < 0) {
    const int error = errno;
    ::close(wakePipe_[0]);
    ::close(wakePipe_[1]);
    throw ZMQException(std::strerror(error), error);
  }
  thread_ = std::thread([this] { run(); });
}

ZMQFrameGuard::~ZMQFrameGuard() {
  stopping_ = true;
  wake();
  thread_.join();
  for (Route& route : added_) ::close(route.listener);
  ::close(wakePipe_[0]);
  ::close(wakePipe_[1]);
  ::close(cutFd_);
}

void ZMQFrameGuard::wake() {
  const char byte = 0;
  [[maybe_unused]] ssize_t written = ::write(wakePipe_[1], &byte, 1);
}

std::string ZMQFrameGuard::routeTo(const std::string& endpoint) {
  {
    std::lock_guard lock(lock_);
    auto known = locals_.find(endpoint);
    if (known != locals_.end()) return known->second;
  }
  constexpr std::string_view kScheme = "tcp://";
  if (endpoint.rfind(kScheme, 0) != 0) refuse(endpoint);
  const std::string address = endpoint.substr(kScheme.size());
  const size_t colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0 || address.find(';') != std::string::npos) refuse(endpoint);
  std::string host = address.substr(0, colon);
  const std::string port = address.substr(colon + 1);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (port.empty() || ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr) {
    refuse(endpoint);
  }
  Route route;
  route.endpoint = endpoint;
  std::memcpy(&route.target, found->ai_addr, found->ai_addrlen);
  route.targetLength = found->ai_addrlen;
  ::freeaddrinfo(found);

  route.listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in loopback{};
  loopback.sin_family = AF_INET;
  loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof loopback;
  if (route.listener < 0 || ::bind(route.listener, reinterpret_cast<sockaddr*>(&loopback), sizeof loopback) != 0 ||
      ::listen(route.listener, 16) != 0 ||
      ::getsockname(route.listener, reinterpret_cast<sockaddr*>(&loopback), &length) != 0) {
    const int error = errno;
    if (route.listener >= 0) ::close(route.listener);
    throw ZMQException(std::strerror(error), error);
  }
  route.local = "tcp://127.0.0.1:" + std::to_string(ntohs(loopback.sin_port));
  const std::string local = route.local;
  {
    std::lock_guard lock(lock_);
    locals_[endpoint] = local;
    endpoints_[local] = endpoint;
    added_.push_back(std::move(route));
  }
  wake();
  return local;
}

void ZMQFrameGuard::dropRoute(const std::string& endpoint) {
  {
    std::lock_guard lock(lock_);
    auto known = locals_.find(endpoint);
    if (known == locals_.end()) return;
    endpoints_.erase(known->second);
    dropped_.push_back(known->second);
    locals_.erase(known);
  }
  wake();
}

std::optional<std::string> ZMQFrameGuard::localOf(const std::string& endpoint) const {
  std::lock_guard lock(lock_);
  auto known = locals_.find(endpoint);
  if (known == locals_.end()) return std::nullopt;
  return known->second;
}

std::optional<std::string> ZMQFrameGuard::endpointOf(const std::string& local) const {
  std::lock_guard lock(lock_);
  auto known = endpoints_.find(local);
  if (known == endpoints_.end()) return std::nullopt;
  return known->second;
}

std::vector<std::string> ZMQFrameGuard::takeCutEndpoints() {
  std::lock_guard lock(lock_);
  return std::exchange(cutEndpoints_, {});
}

void ZMQFrameGuard::run() {
  try {
    serve();
  } catch (const std::exception& e) {
    QoLog("*** Frame guard {} stopped, {}", name_, e.what());
  }
}

void ZMQFrameGuard::applyChanges(std::vector<Route>& routes) {
  std::lock_guard lock(lock_);
  for (Route& route : added_) routes.push_back(std::move(route));
  added_.clear();
  for (const std::string& local : dropped_) {
    for (auto it = routes.begin(); it != routes.end(); ++it) {
      if (it->local != local) continue;
      ::close(it->listener);
      routes.erase(it);
      break;
    }
  }
  dropped_.clear();
}

void ZMQFrameGuard::serve() {
  std::vector<Route> routes;
  std::vector<Link> links;
  std::vector<pollfd> polled;
  auto closeLink = [](Link& link) {
    ::close(link.local);
    if (link.remote >= 0) ::close(link.remote);
  };
  while (!stopping_) {
    applyChanges(routes);
    polled.clear();
    polled.push_back({wakePipe_[0], POLLIN, 0});
    for (const Route& route : routes) polled.push_back({route.listener, POLLIN, 0});
    for (const Link& link : links) {
      short local = 0, remote = 0;
      if (link.connecting) {
        remote = POLLOUT;
      } else {
        // A side is read only once what it sent before has gone on.
        if (link.inAt < link.in.size()) local |= POLLOUT;
        if (link.outAt < link.out.size()) remote |= POLLOUT;
        if (link.inAt == link.in.size() && !link.remoteEnded) remote |= POLLIN;
        if (link.outAt == link.out.size() && !link.localEnded) local |= POLLIN;
      }
      // A side with nothing asked of it is left out: poll would report its hang-up at once, again and again.
      polled.push_back({local != 0 ? link.local : -1, local, 0});
      polled.push_back({remote != 0 ? link.remote : -1, remote, 0});
    }
    if (::poll(polled.data(), polled.size(), -1) < 0) {
      if (errno == EINTR) continue;
      throw ZMQException(std::strerror(errno), errno);
    }
    if (polled[0].revents & POLLIN) {
      char drain[64];
      while (::read(wakePipe_[0], drain, sizeof drain) > 0) {
      }
    }
    // Links first: those accepted below have no entries in `polled` yet.
    size_t at = 1 + routes.size();
    std::vector<Link> kept;
    kept.reserve(links.size());
    for (Link& link : links) {
      const short localEvents = polled[at].revents, remoteEvents = polled[at + 1].revents;
      at += 2;
      if (step(link, localEvents, remoteEvents)) {
        kept.push_back(std::move(link));
      } else {
        closeLink(link);
      }
    }
    links.swap(kept);
    for (size_t i = 0; i < routes.size(); ++i) {
      if (polled[1 + i].revents & POLLIN) accept(routes[i], links);
    }
  }
  for (Link& link : links) closeLink(link);
  for (Route& route : routes) ::close(route.listener);
}

void ZMQFrameGuard::accept(const Route& route, std::vector<Link>& links) {
  for (;;) {
    const int local = ::accept4(route.listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (local < 0) return;
    const int remote = ::socket(route.target.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (remote < 0) {
      ::close(local);
      return;
    }
    noDelay(local);
    noDelay(remote);
    if (::connect(remote, reinterpret_cast<const sockaddr*>(&route.target), route.targetLength) != 0 &&
        errno != EINPROGRESS) {
      // ZeroMQ sees its connection end and tries again later, as it would have itself.
      ::close(local);
      ::close(remote);
      continue;
    }
    Link link(bounds_);
    if (answersOnly_) link.counter.allowMessages(0);
    link.endpoint = route.endpoint;
    link.local = local;
    link.remote = remote;
    links.push_back(std::move(link));
  }
}

bool ZMQFrameGuard::step(Link& link, short localEvents, short remoteEvents) {
  if (link.connecting) {
    if (remoteEvents == 0) return true;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(link.remote, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return false;
    link.connecting = false;
    return true;
  }
  bool failed = false;
  if ((remoteEvents & (POLLIN | POLLHUP | POLLERR)) && link.inAt == link.in.size() && !link.remoteEnded) {
    const ssize_t got = readInto(link.remote, link.in, failed);
    link.inAt = 0;
    if (got == 0) link.remoteEnded = true;
    const size_t passed = got > 0 ? link.counter.take(link.in.data(), link.in.size()) : 0;
    if (link.counter.broken()) {
      if (link.counter.messages() < link.sent.messages()) ++cutOwing_;
      ++cut_;
      const uint64_t one = 1;
      [[maybe_unused]] ssize_t written = ::write(cutFd_, &one, sizeof one);
      {
        std::lock_guard lock(lock_);
        if (std::find(cutEndpoints_.begin(), cutEndpoints_.end(), link.endpoint) == cutEndpoints_.end()) {
          cutEndpoints_.push_back(link.endpoint);
        }
      }
      cutLog().log("*** {}: connection to ({}) cut, {}", name_, link.endpoint, link.counter.reason());
      // The far side hears of it at once; what came whole before still goes on to ZeroMQ.
      ::close(link.remote);
      link.remote = -1;
      link.remoteEnded = true;
      link.in.resize(passed);
    }
  }
  if (!failed && (localEvents & (POLLIN | POLLHUP | POLLERR)) && link.outAt == link.out.size() && !link.localEnded) {
    const ssize_t got = readInto(link.local, link.out, failed);
    link.outAt = 0;
    if (got == 0) link.localEnded = true;
    // Counted before the far side can have it: an answer never comes ahead of its request.
    if (got > 0 && answersOnly_) {
      link.sent.take(link.out.data(), link.out.size());
      link.counter.allowMessages(link.sent.messages());
    }
  }
  if (failed || (localEvents & POLLNVAL) || (remoteEvents & POLLNVAL)) return false;
  if (!writeFrom(link.local, link.in, link.inAt)) return false;
  if (link.remote >= 0 && !writeFrom(link.remote, link.out, link.outAt)) return false;
  if (link.remote < 0) {
    link.out.clear();
    link.outAt = 0;
  }
  // A side that ended ends the link once what it sent has gone on.
  if (link.remoteEnded && link.inAt == link.in.size()) return false;
  if (link.localEnded && link.outAt == link.out.size()) return false;
  return true;
}

}  // namespace velbor
