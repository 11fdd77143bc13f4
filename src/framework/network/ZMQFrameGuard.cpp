#include "framework/network/ZMQFrameGuard.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <tuple>
#include <utility>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "framework/network/ZMQException.h"
#include "platform/LogRateLimiter.h"
#include "platform/LoopRoundFailures.h"
#include "platform/QoLog.h"

namespace velbor {

struct ZMQFrameGuard::Route {
  std::string endpoint;
  std::string local;
  int listener = -1;
  sockaddr_storage target{};
  socklen_t targetLength = 0;
  // A listening route takes the far side's connections and makes ZeroMQ's.
  bool listening = false;
  bool sourcePerHost = false;
  uint64_t messagesAllowed = std::numeric_limits<uint64_t>::max();
};

struct ZMQFrameGuard::Link {
  explicit Link(ZMQFrameCounter::Bounds bounds) : counter(bounds), sent(ZMQFrameCounter::kUnbounded) {}
  std::string endpoint;
  // ZeroMQ's side and the far side; -1 once closed.
  int local = -1;
  int remote = -1;
  bool connecting = true;
  // Whether the connection being made is ZeroMQ's (a listening route) or the far side's.
  bool connectsLocal = false;
  ZMQFrameCounter counter;
  // What ZeroMQ sent on it, for answersOnly.
  ZMQFrameCounter sent;
  // What one side sent that the other has not taken yet: at most one read's worth.
  std::string in, out;
  bool remoteEnded = false, localEnded = false;
  // With a source of its host's own: the far host, and ZeroMQ's side as it sees it.
  std::string sourceHost;
  std::string source;
  // Of a listening route: the far host it is counted for, until it is closed.
  std::string host;
  std::chrono::steady_clock::time_point started;
  // The far side's message being received (counter.messagesBegun()), and since when.
  uint64_t midBegun = 0;
  std::chrono::steady_clock::time_point midSince;
  // Commands the far side may send in all, and when it last earned one.
  uint64_t commandsAllowed = kCommandBurst;
  std::chrono::steady_clock::time_point creditAt;
};

namespace {

[[noreturn]] void refuse(const std::string& endpoint) {
  QoLog("*** Frame guard: endpoint({}) names no host and port", endpoint);
  throw ZMQException(std::strerror(EINVAL), EINVAL);
}

[[noreturn]] void raiseErrno() {
  const int error = errno;
  throw ZMQException(std::strerror(error), error);
}

void noDelay(int fd) {
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// The address of "tcp://host:port" ("*" for any host with `passive`); refuses what names none.
std::pair<sockaddr_storage, socklen_t> addressOf(const std::string& endpoint, bool passive) {
  constexpr std::string_view kScheme = "tcp://";
  if (endpoint.rfind(kScheme, 0) != 0) refuse(endpoint);
  const std::string address = endpoint.substr(kScheme.size());
  const size_t colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0 || address.find(';') != std::string::npos) refuse(endpoint);
  std::string host = address.substr(0, colon);
  std::string port = address.substr(colon + 1);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (passive && port == "*") port = "0";
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
  if (passive && host == "*") hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (port.empty() ||
      ::getaddrinfo(passive && host == "*" ? nullptr : host.c_str(), port.c_str(), &hints, &found) != 0 ||
      found == nullptr) {
    refuse(endpoint);
  }
  std::pair<sockaddr_storage, socklen_t> result{};
  std::memcpy(&result.first, found->ai_addr, found->ai_addrlen);
  result.second = found->ai_addrlen;
  ::freeaddrinfo(found);
  return result;
}

// The host ("192.168.1.7", "::1") and port of an address; an empty host when it is none.
std::pair<std::string, uint16_t> hostAndPort(const sockaddr_storage& address) {
  char host[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET6) {
    const auto& six = reinterpret_cast<const sockaddr_in6&>(address);
    ::inet_ntop(AF_INET6, &six.sin6_addr, host, sizeof host);
    return {host, ntohs(six.sin6_port)};
  }
  if (address.ss_family != AF_INET) return {};
  const auto& four = reinterpret_cast<const sockaddr_in&>(address);
  ::inet_ntop(AF_INET, &four.sin_addr, host, sizeof host);
  return {host, ntohs(four.sin_port)};
}

// "192.168.1.7:40312", "[::1]:40312".
std::string addressText(const std::pair<std::string, uint16_t>& hostPort) {
  if (hostPort.first.find(':') != std::string::npos) return fmt::format("[{}]:{}", hostPort.first, hostPort.second);
  return fmt::format("{}:{}", hostPort.first, hostPort.second);
}

// A listening socket bound at `address`; its endpoint as bound ("tcp://0.0.0.0:9526") in `bound`.
int listenAt(const sockaddr_storage& address, socklen_t length, std::string& bound) {
  const int listener = ::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listener < 0) raiseErrno();
  const int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_storage actual{};
  socklen_t actualLength = sizeof actual;
  if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
      ::listen(listener, SOMAXCONN) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&actual), &actualLength) != 0) {
    const int error = errno;
    ::close(listener);
    errno = error;
    raiseErrno();
  }
  bound = "tcp://" + addressText(hostAndPort(actual));
  return listener;
}

// Reads one buffer's worth into `scratch`: the bytes read, 0 at the end, -1 for nothing now or a
// failure (`failed` then tells).
ssize_t readInto(int fd, std::string& scratch, bool& failed) {
  ssize_t got;
  do {
    got = ::recv(fd, scratch.data(), scratch.size(), 0);
  } while (got < 0 && errno == EINTR);
  failed = got < 0 && errno != EAGAIN && errno != EWOULDBLOCK;
  return got;
}

// Writes as much of `data` as `fd` takes now; the bytes written, or -1 on a failure.
ssize_t writeSome(int fd, const char* data, size_t size) {
  size_t at = 0;
  while (at < size) {
    const ssize_t sent = ::send(fd, data + at, size - at, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? static_cast<ssize_t>(at) : -1;
    at += static_cast<size_t>(sent);
  }
  return static_cast<ssize_t>(at);
}

// Passes `size` bytes on to `fd`, keeping in `left` what it does not take now; false on a failure.
bool pass(int fd, const char* data, size_t size, std::string& left) {
  const ssize_t written = writeSome(fd, data, size);
  if (written < 0) return false;
  left.assign(data + written, size - static_cast<size_t>(written));
  return true;
}

// Passes on what `left` holds; false on a failure.
bool passLeft(int fd, std::string& left) {
  const ssize_t written = writeSome(fd, left.data(), left.size());
  if (written < 0) return false;
  left.erase(0, static_cast<size_t>(written));
  return true;
}

// The far end of a connected socket; an empty host when it cannot be had.
std::pair<std::string, uint16_t> peerHostOf(int fd) {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return {};
  return hostAndPort(peer);
}

// "tcp://192.168.1.7:40312" of a connected socket.
std::string peerOf(int fd) {
  const auto hostPort = peerHostOf(fd);
  if (hostPort.first.empty()) return "tcp://?";
  return "tcp://" + addressText(hostPort);
}

LogRateLimiter& shedLog() {
  // Any host can hold connections open until the process has no descriptor left.
  static LogRateLimiter log("Frame guard: connections ended for want of descriptors", 10, std::chrono::minutes(1));
  return log;
}

LogRateLimiter& refusedLog() {
  // One host can open connections as fast as it likes.
  static LogRateLimiter log("Frame guard: refused connections", 10, std::chrono::minutes(1));
  return log;
}

LogRateLimiter& idleLog() {
  static LogRateLimiter log("Frame guard: idle connections ended", 10, std::chrono::minutes(1));
  return log;
}

// Far sides' connections relayed by every listening guard of the process: each holds three
// of its descriptors.
std::atomic<size_t> relayedLinks{0};

LogRateLimiter& cutLog() {
  // Any host can make its connections be cut at will.
  static LogRateLimiter log("Frame guard: cut connections", 10, std::chrono::minutes(1));
  return log;
}

}  // namespace

ZMQFrameGuard::ZMQFrameGuard(std::string name, ZMQFrameCounter::Bounds bounds, bool answersOnly)
    : name_(std::move(name)), bounds_(bounds), answersOnly_(answersOnly) {
  if (::pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) raiseErrno();
  cutFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (cutFd_ < 0) {
    const int error = errno;
    ::close(wakePipe_[0]);
    ::close(wakePipe_[1]);
    throw ZMQException(std::strerror(error), error);
  }
  spareFd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  try {
    thread_ = std::thread([this] { run(); });
  } catch (...) {
    // No thread to be had (a process limit): nothing of the guard stays open.
    closeDescriptors();
    throw;
  }
}

ZMQFrameGuard::~ZMQFrameGuard() {
  stopping_ = true;
  wake();
  thread_.join();
  for (Route& route : added_) ::close(route.listener);
  closeDescriptors();
}

void ZMQFrameGuard::closeDescriptors() {
  ::close(wakePipe_[0]);
  ::close(wakePipe_[1]);
  ::close(cutFd_);
  if (spareFd_ >= 0) ::close(spareFd_);
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
  Route route;
  route.endpoint = endpoint;
  std::tie(route.target, route.targetLength) = addressOf(endpoint, false);
  sockaddr_storage loopback{};
  auto& four = reinterpret_cast<sockaddr_in&>(loopback);
  four.sin_family = AF_INET;
  four.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  route.listener = listenAt(loopback, sizeof four, route.local);
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

void ZMQFrameGuard::setConnections(Connections connections) { connections_ = std::move(connections); }

size_t ZMQFrameGuard::relayedInAll() { return relayedLinks.load(); }

bool ZMQFrameGuard::refuseHost(const std::string& host, std::chrono::milliseconds duration) {
  if (host.empty() || trusted(host)) return false;
  {
    std::lock_guard lock(lock_);
    refusals_.emplace_back(host, std::chrono::steady_clock::now() + duration);
  }
  wake();
  return true;
}

std::string ZMQFrameGuard::listenFor(const std::string& endpoint, const std::string& local, uint64_t messagesAllowed,
                                     bool sourcePerHost) {
  Route route;
  route.listening = true;
  route.sourcePerHost = sourcePerHost;
  route.messagesAllowed = messagesAllowed;
  route.local = local;
  std::tie(route.target, route.targetLength) = addressOf(local, false);
  const auto [address, length] = addressOf(endpoint, true);
  route.listener = listenAt(address, length, route.endpoint);
  const std::string bound = route.endpoint;
  {
    std::lock_guard lock(lock_);
    added_.push_back(std::move(route));
  }
  wake();
  return bound;
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

std::optional<std::string> ZMQFrameGuard::farSideOf(const std::string& source) const {
  std::lock_guard lock(lock_);
  auto known = farSides_.find(source);
  if (known == farSides_.end()) return std::nullopt;
  return known->second;
}

std::optional<std::string> ZMQFrameGuard::farHostOfSource(const std::string& sourceHost) const {
  std::lock_guard lock(lock_);
  auto known = sourceHosts_.find(sourceHost);
  if (known == sourceHosts_.end()) return std::nullopt;
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

void ZMQFrameGuard::applyRefusals(std::vector<Link>& links) {
  std::vector<std::pair<std::string, std::chrono::steady_clock::time_point>> taken;
  {
    std::lock_guard lock(lock_);
    taken.swap(refusals_);
  }
  if (taken.empty()) return;
  const auto now = std::chrono::steady_clock::now();
  std::erase_if(refused_, [now](const auto& entry) { return entry.second <= now; });
  for (const auto& [host, until] : taken) {
    auto& kept = refused_[host];
    kept = std::max(kept, until);
    size_t ended = 0;
    for (Link& link : links) {
      if (link.host != host) continue;
      closeLink(link);
      ++ended;
    }
    refusedLog().log("*** {}: connections of ({}) refused for {:g} s, {} ended", name_, host,
                     std::chrono::duration<double>(until - now).count(), ended);
  }
  std::erase_if(links, [](const Link& link) { return link.local < 0 && link.remote < 0; });
}

void ZMQFrameGuard::serve() {
  std::vector<Route> routes;
  std::vector<Link> links;
  std::string scratch(kBufferBytes, '\0');
  // One round that fails never ends the guard: every connection through it would hang.
  LoopRoundFailures failures("Frame guard " + name_);
  while (!stopping_) {
    try {
      applyChanges(routes);
      applyRefusals(links);
      pump(routes, links, scratch, -1);
      failures.succeeded();
    } catch (const std::exception& e) {
      // What the round had read may not have been passed on: its connections end, and their
      // sides connect again.
      for (Link& link : links) closeLink(link);
      links.clear();
      failures.failed(e.what());
    }
  }
  // What ZeroMQ still sends as its sockets close (a lingering exit notice) goes on, for a while.
  for (Route& route : routes) ::close(route.listener);
  routes.clear();
  std::erase_if(links, [this](Link& link) {
    if (!link.connecting) return false;
    closeLink(link);
    return true;
  });
  const auto deadline = std::chrono::steady_clock::now() + kDrainTime;
  while (!links.empty()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    try {
      pump(routes, links, scratch, static_cast<int>(left));
    } catch (const std::exception& e) {
      QoLog("*** Frame guard {}: connections ended early, {}", name_, e.what());
      break;
    }
  }
  for (Link& link : links) closeLink(link);
}

void ZMQFrameGuard::closeLink(Link& link, bool keepPlace) {
  if (link.local >= 0) ::close(link.local);
  if (link.remote >= 0) ::close(link.remote);
  link.local = link.remote = -1;
  if (!link.host.empty()) {
    auto counted = hostLinks_.find(link.host);
    if (counted != hostLinks_.end() && --counted->second == 0) hostLinks_.erase(counted);
    if (!keepPlace) --relayedLinks;
    link.host.clear();
  }
  if (link.sourceHost.empty()) return;
  {
    std::lock_guard lock(lock_);
    farSides_.erase(link.source);
  }
  sources_.give(link.sourceHost);
  link.sourceHost.clear();
}

bool ZMQFrameGuard::bindSource(Link& link, int accepted, int made) {
  const auto far = peerHostOf(accepted);
  if (far.first.empty()) return false;
  const std::optional<in_addr> address = sources_.take(far.first);
  if (!address) return false;
  link.sourceHost = far.first;
  // The port is chosen at connect(): many connections of one host may share its address.
  const int on = 1;
  setsockopt(made, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
  sockaddr_in source{};
  source.sin_family = AF_INET;
  source.sin_addr = *address;
  return ::bind(made, reinterpret_cast<const sockaddr*>(&source), sizeof source) == 0;
}

void ZMQFrameGuard::pump(const std::vector<Route>& routes, std::vector<Link>& links, std::string& scratch,
                         int timeoutMs) {
  const auto now = std::chrono::steady_clock::now();
  const int idleDue = endIdle(links, now);
  if (idleDue >= 0) timeoutMs = timeoutMs < 0 ? idleDue : std::min(timeoutMs, idleDue);
  std::vector<pollfd> polled;
  polled.reserve(1 + routes.size() + 2 * links.size());
  polled.push_back({wakePipe_[0], POLLIN, 0});
  // Out of descriptors with no spare to make room: connections wait in the listeners' queues.
  const auto paused = std::chrono::ceil<std::chrono::milliseconds>(acceptPausedUntil_ - now);
  if (paused.count() > 0)
    timeoutMs = timeoutMs < 0 ? static_cast<int>(paused.count()) : std::min<int>(timeoutMs, paused.count());
  for (const Route& route : routes) polled.push_back({paused.count() > 0 ? -1 : route.listener, POLLIN, 0});
  for (const Link& link : links) {
    short local = 0, remote = 0;
    if (link.connecting) {
      (link.connectsLocal ? local : remote) = POLLOUT;
    } else {
      // A side is read only once what it sent before has gone on.
      if (!link.in.empty()) local |= POLLOUT;
      if (!link.out.empty()) remote |= POLLOUT;
      if (link.in.empty() && !link.remoteEnded) remote |= POLLIN;
      if (link.out.empty() && !link.localEnded && link.remote >= 0) local |= POLLIN;
    }
    // A side with nothing asked of it is left out: poll would report its hang-up at once, again and again.
    polled.push_back({local != 0 ? link.local : -1, local, 0});
    polled.push_back({remote != 0 ? link.remote : -1, remote, 0});
  }
  if (::poll(polled.data(), polled.size(), timeoutMs) < 0) {
    if (errno == EINTR) return;
    raiseErrno();
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
    if (step(link, localEvents, remoteEvents, scratch)) {
      kept.push_back(std::move(link));
    } else {
      closeLink(link);
    }
  }
  links.swap(kept);
  for (size_t i = 0; i < routes.size(); ++i) {
    if (polled[1 + i].revents & POLLIN) accept(routes[i], links);
  }
  // Those ended to make room.
  std::erase_if(links, [](const Link& link) { return link.local < 0 && link.remote < 0; });
}

int ZMQFrameGuard::endIdle(std::vector<Link>& links, std::chrono::steady_clock::time_point now) {
  int due = -1;
  for (Link& link : links) {
    if (link.host.empty() || link.remote < 0) continue;
    // Unfinished while ZeroMQ has not taken what came: the far side is not the one that waits.
    const bool mid = link.counter.midMessage() && link.in.empty();
    if (link.counter.messages() > 0 && !mid) continue;
    const auto since = mid ? link.midSince : link.started;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(since + connections_.idle - now).count();
    if (left > 0) {
      due = due < 0 ? static_cast<int>(left) : std::min(due, static_cast<int>(left));
      continue;
    }
    idleLog().log("*** {}: connection of ({}) ended, {} in {:g} s", name_, link.endpoint,
                  mid ? "a message unfinished" : "no whole message",
                  std::chrono::duration<double>(connections_.idle).count());
    closeLink(link);
    ++strikes_;
  }
  std::erase_if(links, [](const Link& link) { return link.local < 0 && link.remote < 0; });
  return due;
}

void ZMQFrameGuard::accept(const Route& route, std::vector<Link>& links) {
  // The queue is taken whole (a trusted device's connection may wait behind a host's
  // thousands), a bounded number at a time.
  for (size_t taken = 0; taken < kAcceptsPerRound; ++taken) {
    const int accepted = ::accept4(route.listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (accepted < 0) {
      if (errno == EMFILE || errno == ENFILE) shed(route, links);
      break;
    }
    const std::string host = route.listening ? peerHostOf(accepted).first : std::string();
    if (route.listening && !admit(host, links)) {
      ::close(accepted);
      ++strikes_;
      continue;
    }
    if (!relay(route, accepted, host, links)) return;
  }
  if (strikes_ >= kStrikesPerPause) {
    strikes_ = 0;
    acceptPausedUntil_ = std::chrono::steady_clock::now() + kStrikePause;
  }
}

bool ZMQFrameGuard::admit(const std::string& host, std::vector<Link>& links) {
  if (host.empty()) return false;
  if (const auto refused = refused_.find(host); refused != refused_.end()) {
    if (refused->second > std::chrono::steady_clock::now()) {
      refusedLog().log("*** {}: connection of ({}) refused, the host is refused for a while", name_, host);
      return false;
    }
    refused_.erase(refused);
  }
  const auto counted = hostLinks_.find(host);
  const size_t ofHost = counted == hostLinks_.end() ? 0 : counted->second;
  if (ofHost >= connections_.perHost) {
    refusedLog().log("*** {}: connection of ({}) refused, it has {} open", name_, host, ofHost);
    return false;
  }
  if (reservePlace() || makeRoom(host, links)) return true;
  refusedLog().log("*** {}: connection of ({}) refused, {} connections are open", name_, host, relayedLinks.load());
  return false;
}

bool ZMQFrameGuard::reservePlace() const {
  // Several listening guards take connections at once: the total is checked and raised in
  // one step, or one of them could pass it.
  const size_t bound = budget();
  size_t relayed = relayedLinks.load();
  while (relayed < bound) {
    if (relayedLinks.compare_exchange_weak(relayed, relayed + 1)) return true;
  }
  return false;
}

bool ZMQFrameGuard::trusted(const std::string& host) const {
  return connections_.trusted && connections_.trusted(host);
}

bool ZMQFrameGuard::makeRoom(const std::string& host, std::vector<Link>& links) {
  std::string busiest;
  size_t most = 0;
  for (const auto& [other, count] : hostLinks_) {
    if (count > most && !trusted(other)) {
      busiest = other;
      most = count;
    }
  }
  if (most == 0) return false;
  if (!trusted(host)) {
    const auto counted = hostLinks_.find(host);
    // The newcomer's host would be the busiest: the newest of its connections, the newcomer, goes.
    if (busiest == host || (counted == hostLinks_.end() ? 0 : counted->second) + 1 >= most) return false;
  }
  for (auto newest = links.rbegin(); newest != links.rend(); ++newest) {
    if (newest->host != busiest) continue;
    shedLog().log("*** {}: connection of ({}) ended to make room for one of ({})", name_, newest->endpoint, host);
    // Its place goes to the newcomer: another guard cannot take it meanwhile.
    closeLink(*newest, true);
    return true;
  }
  return false;
}

size_t ZMQFrameGuard::budget() const {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return connections_.inAll;
  const auto soft = static_cast<size_t>(std::min<rlim_t>(limit.rlim_cur, rlim_t{1} << 30));
  const size_t reserved = std::max(kReservedDescriptors, soft / 4);
  return std::min(connections_.inAll, soft > reserved ? (soft - reserved) / 3 : 0);
}

bool ZMQFrameGuard::relay(const Route& route, int accepted, const std::string& host, std::vector<Link>& links) {
  const int made = ::socket(route.target.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (made < 0) {
    ::close(accepted);
    if (!host.empty()) --relayedLinks;
    // Out of descriptors: the next waiting connection would find none either.
    acceptPausedUntil_ = std::chrono::steady_clock::now() + kAcceptPause;
    return false;
  }
  noDelay(accepted);
  noDelay(made);
  Link link(bounds_);
  link.local = route.listening ? made : accepted;
  link.remote = route.listening ? accepted : made;
  link.started = std::chrono::steady_clock::now();
  link.creditAt = link.started;
  if (!host.empty()) {
    link.host = host;
    ++hostLinks_[host];
  }
  if ((route.sourcePerHost && !bindSource(link, accepted, made)) ||
      (::connect(made, reinterpret_cast<const sockaddr*>(&route.target), route.targetLength) != 0 &&
       errno != EINPROGRESS)) {
    // The side that connected sees its connection end, and tries again later if it will.
    closeLink(link);
    return true;
  }
  if (!link.sourceHost.empty()) {
    sockaddr_storage source{};
    socklen_t length = sizeof source;
    if (::getsockname(made, reinterpret_cast<sockaddr*>(&source), &length) == 0) {
      const auto sourceHostPort = hostAndPort(source);
      link.source = addressText(sourceHostPort);
      std::lock_guard lock(lock_);
      farSides_[link.source] = addressText(peerHostOf(accepted));
      sourceHosts_[sourceHostPort.first] = link.sourceHost;
    }
  }
  link.counter.allowMessages(answersOnly_ ? 0 : route.messagesAllowed);
  link.counter.allowCommands(kCommandBurst);
  link.endpoint = route.listening ? peerOf(accepted) : route.endpoint;
  link.connectsLocal = route.listening;
  links.push_back(std::move(link));
  return true;
}

void ZMQFrameGuard::shed(const Route& route, std::vector<Link>& links) {
  // The connection that found no descriptor would be found waiting again at once, for as long
  // as none is freed: the spare one makes room to take it, and to end it unless room is made
  // for it by ending the busiest host's newest.
  if (spareFd_ < 0) spareFd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (spareFd_ >= 0) {
    ::close(spareFd_);
    spareFd_ = -1;
    const int accepted = ::accept4(route.listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (accepted >= 0) {
      const std::string host = route.listening ? peerHostOf(accepted).first : std::string();
      if (route.listening && !host.empty() && makeRoom(host, links)) {
        if (relay(route, accepted, host, links)) spareFd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        return;
      }
      ::close(accepted);
      spareFd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      shedLog().log("*** {}: a connection ended, no descriptor is left to relay it", name_);
      return;
    }
    spareFd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  }
  acceptPausedUntil_ = std::chrono::steady_clock::now() + kAcceptPause;
}

void ZMQFrameGuard::allowCommands(Link& link, std::chrono::steady_clock::time_point now) {
  constexpr std::chrono::milliseconds kEach(1000 / kCommandsPerSecond);
  const auto earned = static_cast<uint64_t>((now - link.creditAt) / kEach);
  if (earned == 0) return;
  const uint64_t full = link.counter.commands() + kCommandBurst;
  link.commandsAllowed = std::min(link.commandsAllowed + earned, full);
  // A full hand earns nothing while it waits.
  link.creditAt = link.commandsAllowed == full ? now : link.creditAt + kEach * static_cast<int64_t>(earned);
  link.counter.allowCommands(link.commandsAllowed);
}

bool ZMQFrameGuard::step(Link& link, short localEvents, short remoteEvents, std::string& scratch) {
  if (link.connecting) {
    const short events = link.connectsLocal ? localEvents : remoteEvents;
    if (events == 0) return true;
    int error = 0;
    socklen_t length = sizeof error;
    const int fd = link.connectsLocal ? link.local : link.remote;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return false;
    link.connecting = false;
    return true;
  }
  if ((localEvents & POLLNVAL) || (remoteEvents & POLLNVAL)) return false;
  bool failed = false;
  if ((remoteEvents & (POLLIN | POLLHUP | POLLERR)) && link.in.empty() && !link.remoteEnded) {
    const ssize_t got = readInto(link.remote, scratch, failed);
    if (got == 0) link.remoteEnded = true;
    if (got > 0) {
      const auto now = std::chrono::steady_clock::now();
      allowCommands(link, now);
      const size_t passed = link.counter.take(scratch.data(), static_cast<size_t>(got));
      if (link.counter.midMessage() && link.counter.messagesBegun() != link.midBegun) {
        link.midBegun = link.counter.messagesBegun();
        link.midSince = now;
      }
      if (link.counter.broken()) cut(link);
      // What came whole before a cut still goes on to ZeroMQ.
      if (!pass(link.local, scratch.data(), passed, link.in)) return false;
    }
  } else if ((localEvents & POLLOUT) && !link.in.empty() && !passLeft(link.local, link.in)) {
    return false;
  }
  if (link.remote < 0) {
    link.out.clear();
  } else if (!failed && (localEvents & (POLLIN | POLLHUP | POLLERR)) && link.out.empty() && !link.localEnded) {
    const ssize_t got = readInto(link.local, scratch, failed);
    if (got == 0) link.localEnded = true;
    if (got > 0) {
      // Counted before the far side can have it: an answer never comes ahead of its request.
      if (answersOnly_) {
        link.sent.take(scratch.data(), static_cast<size_t>(got));
        link.counter.allowMessages(link.sent.messages());
      }
      if (!pass(link.remote, scratch.data(), static_cast<size_t>(got), link.out)) return false;
    }
  } else if ((remoteEvents & POLLOUT) && !link.out.empty() && !passLeft(link.remote, link.out)) {
    return false;
  }
  if (failed) return false;
  // A side that ended ends the link once what it sent has gone on.
  if (link.remoteEnded && link.in.empty()) return false;
  if (link.localEnded && link.out.empty()) return false;
  return true;
}

void ZMQFrameGuard::cut(Link& link) {
  if (link.counter.messages() < link.sent.messages()) ++cutOwing_;
  ++cut_;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t written = ::write(cutFd_, &one, sizeof one);
  if (link.connectsLocal) ++strikes_;
  // Endpoints connected to are few; the far sides of a listening route are any number.
  if (!link.connectsLocal) {
    std::lock_guard lock(lock_);
    if (std::find(cutEndpoints_.begin(), cutEndpoints_.end(), link.endpoint) == cutEndpoints_.end()) {
      cutEndpoints_.push_back(link.endpoint);
    }
  }
  cutLog().log("*** {}: connection of ({}) cut, {}", name_, link.endpoint, link.counter.reason());
  // The far side hears of it at once.
  ::close(link.remote);
  link.remote = -1;
  link.remoteEnded = true;
}

}  // namespace velbor
