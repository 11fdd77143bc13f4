#include "logger/LoggerWorker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <fmt/format.h>

#include "logger/LoggerBufferFile.h"
#include "logger/LoggerConsole.h"
#include "logger/LoggerQueue.h"
#include "logger/LoggerServiceName.h"

namespace velbor {

namespace {

constexpr auto kReconnectInterval = std::chrono::seconds(5);
// A viewer that cannot be found and connected in this time counts as failed.
constexpr auto kLookupTimeLimit = std::chrono::seconds(10);
// A viewer that does not finish the TLS handshake in this time counts as failed.
constexpr auto kHandshakeTimeLimit = std::chrono::seconds(10);

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Whole writes to the buffer file; false when the file took less.
bool writeAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

LoggerWorker::~LoggerWorker() {
  if (stream_) closeFd(stream_->fd);
  closeFd(bufferWriteFd_);
  closeFd(bufferReadFd_);
}

bool LoggerWorker::hasHost() {
  std::lock_guard lock(logger_->settingsMutex);
  return logger_->host.has_value() && logger_->port != 0;
}

std::optional<std::string> LoggerWorker::bufferFilePath() {
  std::lock_guard lock(logger_->settingsMutex);
  return logger_->bufferFile;
}

void LoggerWorker::run() {
  if (bufferFilePath()) openBufferWrite();
  startReachability();
  int timeoutMs = 100;
  while (!logger_->quit.load()) {
    pollOnce(nextTimeoutMs(timeoutMs));
    timeoutMs = 1000;
  }
  stopBonjour();
  stopReachability();
  reconnectAt_.reset();
  if (stream_) {
    if (stream_->secure && stream_->stage == Stream::Stage::open) stream_->secure->shutdown();
    closeFd(stream_->fd);
    stream_.reset();
    logger_->connected = false;
  }
  closeFd(bufferReadFd_);
  {
    std::lock_guard lock(logger_->logQueueMutex);
    returnUnsentLocked();
  }
  bool queued;
  {
    std::lock_guard lock(logger_->logQueueMutex);
    queued = !logger_->logQueue.empty();
  }
  if (bufferWriteFd_ < 0 && bufferFilePath() && queued) openBufferWrite();
  closeBufferWrite();
  logger_->options.fetch_or(LoggerOptionEchoToConsole);
  logger_->workerRunning = false;
  logger_->logQueueEmpty.notify_all();
}

int LoggerWorker::nextTimeoutMs(int idleMs) const {
  auto now = Clock::now();
  auto limit = now + std::chrono::milliseconds(idleMs);
  if (reconnectAt_) limit = std::min(limit, *reconnectAt_);
  if (stream_ && stream_->stage != Stream::Stage::open) limit = std::min(limit, stream_->deadline);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(limit - now).count();
  return static_cast<int>(std::max<long long>(ms, 0));
}

void LoggerWorker::pollOnce(int timeoutMs) {
  std::vector<pollfd> fds;
  enum class Kind { wake, reachability, domains, browser, lookup, stream };
  std::vector<std::pair<Kind, size_t>> kinds;
  auto watch = [&](int fd, short events, Kind kind, size_t index = 0) {
    if (fd < 0) return;
    fds.push_back(pollfd{fd, events, 0});
    kinds.emplace_back(kind, index);
  };
  watch(logger_->wakeFd, POLLIN, Kind::wake);
  if (reachability_) watch(reachability_->fd(), POLLIN, Kind::reachability);
  if (domainBrowser_) watch(domainBrowser_->fd(), POLLIN, Kind::domains);
  for (size_t i = 0; i < serviceBrowsers_.size(); ++i) watch(serviceBrowsers_[i]->fd(), POLLIN, Kind::browser, i);
  if (stream_ && stream_->lookup) watch(stream_->lookup->fd(), POLLIN, Kind::lookup);
  if (stream_ && stream_->fd >= 0) {
    bool wantsOut = stream_->stage == Stream::Stage::connecting ||
                    (stream_->stage == Stream::Stage::handshaking && stream_->handshakeWantsWrite);
    if (stream_->stage == Stream::Stage::open) {
      std::lock_guard lock(logger_->logQueueMutex);
      wantsOut =
          !logger_->logQueue.empty() || logger_->sendBufferOffset < logger_->sendBuffer.size() || bufferReadFd_ >= 0;
    }
    watch(stream_->fd, static_cast<short>(POLLIN | (wantsOut ? POLLOUT : 0)), Kind::stream);
  }

  int ready = ::poll(fds.data(), fds.size(), timeoutMs);
  if (ready < 0 && errno != EINTR) return;

  for (size_t i = 0; ready > 0 && i < fds.size(); ++i) {
    short revents = fds[i].revents;
    if (!revents) continue;
    switch (kinds[i].first) {
      case Kind::wake: {
        uint64_t count;
        (void)!::read(logger_->wakeFd, &count, sizeof count);
        handleSources(logger_->pendingSources.exchange(0));
        break;
      }
      case Kind::reachability:
        if (reachability_) {
          reachability_->update();
          reachabilityChanged(NetworkReachability::flags());
        }
        break;
      case Kind::domains:
        if (domainBrowser_ && !domainBrowser_->process()) deferred_.push_back([this] { stopBonjour(); });
        break;
      case Kind::browser:
        if (kinds[i].second < serviceBrowsers_.size()) serviceBrowsers_[kinds[i].second]->process();
        break;
      case Kind::lookup:
        if (stream_ && stream_->lookup && !stream_->lookup->process()) stream_->failed = true;
        break;
      case Kind::stream:
        if (!stream_) break;
        if (stream_->stage == Stream::Stage::handshaking) {
          continueHandshake();
          break;
        }
        if (revents & (POLLIN | POLLHUP | POLLERR)) streamReadable();
        if (stream_ && (revents & POLLOUT)) streamWritable();
        break;
    }
    runDeferred();
  }
  if (stream_ && stream_->lookup) advanceLookup();
  if (stream_ && stream_->stage != Stream::Stage::open && Clock::now() >= stream_->deadline) endConnection();
  if (reconnectAt_ && Clock::now() >= *reconnectAt_) {
    if (!stream_) tryConnect();
    reconnectAt_ = stream_ ? std::nullopt : std::optional(Clock::now() + kReconnectInterval);
  }
}

void LoggerWorker::runDeferred() {
  while (!deferred_.empty()) {
    auto actions = std::move(deferred_);
    deferred_.clear();
    for (auto& action : actions) action();
  }
}

void LoggerWorker::handleSources(uint32_t sources) {
  if (sources & kLoggerSourceBufferFileChanged) {
    closeBufferWrite();
    if (bufferFilePath() && !logger_->connected) openBufferWrite();
  }
  if (sources & kLoggerSourceRemoteSettingsChanged) {
    endConnection();
    if (!hasHost() && !(logger_->options.load() & LoggerOptionBrowseServices)) {
      stopBonjour();
      reconnectAt_.reset();
      stopReachability();
    } else {
      startReachability();
      if (targetReachable_) {
        if (logger_->options.load() & LoggerOptionBrowseServices)
          startBonjour();
        else
          stopBonjour();
      }
      tryConnect();
    }
  }
  if (sources & kLoggerSourceMessagePushed) send();
}

// ---- reachability

void LoggerWorker::startReachability() {
  if (reachability_) return;
  reachability_ = std::make_unique<NetworkReachability>();
  reachabilityChanged(NetworkReachability::flags());
}

void LoggerWorker::stopReachability() {
  reachability_.reset();
  reconnectAt_.reset();
  targetReachable_ = false;
}

void LoggerWorker::reachabilityChanged(uint32_t flags) {
  bool changed = flags != reachabilityFlags_;
  reachabilityFlags_ = flags;
  if (flags & NetworkReachability::kReachable) {
    targetReachable_ = true;
    if (changed && stream_)
      endConnection();
    else
      tryConnect();
    return;
  }
  if (!logger_->connected && !stream_) return;
  targetReachable_ = false;
  if (changed && stream_) endConnection();
  stopBonjour();
  reconnectAt_.reset();
}

// ---- browsing

void LoggerWorker::startBonjour() {
  uint32_t options = logger_->options.load();
  if (!targetReachable_ || domainBrowser_ || !serviceBrowsers_.empty() || !(options & LoggerOptionBrowseServices))
    return;
  if (options & LoggerOptionLocalDomainOnly) {
    browseDomain("local.");
  } else {
    // Avahi does not report the local domain among the browse domains, as other DNS-SD
    // implementations do: it is browsed in any case.
    browseDomain("local.");
    domainBrowser_ = DnsService::enumerateBrowseDomains([this](const DnsService::Found& found) {
      bool local = found.domain == "local" || found.domain == "local.";
      if (found.added && !local) deferred_.push_back([this, domain = found.domain] { browseDomain(domain); });
    });
  }
  if (!domainBrowser_ && serviceBrowsers_.empty() && !hasHost()) {
    logger_->options.fetch_or(LoggerOptionEchoToConsole);
  }
}

void LoggerWorker::stopBonjour() {
  domainBrowser_.reset();
  serviceBrowsers_.clear();
  services_.clear();
}

void LoggerWorker::browseDomain(const std::string& domain) {
  std::string type;
  {
    std::lock_guard lock(logger_->settingsMutex);
    type = logger_->bonjourServiceType.value_or(
        (logger_->options.load() & LoggerOptionSecureStream) ? kLoggerServiceTypeSSL : kLoggerServiceType);
  }
  auto browser = DnsService::browse(type, domain, [this](const DnsService::Found& found) {
    deferred_.push_back([this, found] { serviceFound(found); });
  });
  if (browser) serviceBrowsers_.push_back(std::move(browser));
}

void LoggerWorker::serviceFound(const DnsService::Found& found) {
  auto same = [&](const DnsService::Found& s) {
    return s.name == found.name && s.type == found.type && s.domain == found.domain;
  };
  if (!found.added) {
    services_.erase(std::remove_if(services_.begin(), services_.end(), same), services_.end());
    return;
  }
  std::optional<std::string> wanted;
  {
    std::lock_guard lock(logger_->settingsMutex);
    wanted = logger_->bonjourServiceName;
  }
  if (wanted && !LoggerServiceNameMatches(found.name, *wanted)) return;
  if (std::none_of(services_.begin(), services_.end(), same)) services_.push_back(found);
  tryConnect();
}

// ---- connecting

void LoggerWorker::tryConnect() {
  if (stream_ || !targetReachable_) return;
  while (!services_.empty()) {
    DnsService::Found service = services_.front();
    services_.erase(services_.begin());
    if (openStreamToService(service)) return;
  }
  std::optional<std::string> host;
  uint32_t port;
  {
    std::lock_guard lock(logger_->settingsMutex);
    host = logger_->host;
    port = logger_->port;
  }
  if (host && port != 0) {
    if (openStreamToHost(*host, port)) return;
    if (!reconnectAt_) reconnectAt_ = Clock::now() + kReconnectInterval;
  }
  uint32_t options = logger_->options.load();
  if (options & LoggerOptionBrowseServices) {
    bool browsing = (options & LoggerOptionLocalDomainOnly) ? !serviceBrowsers_.empty()
                                                            : domainBrowser_ && !serviceBrowsers_.empty();
    if (!browsing) {
      stopBonjour();
      startBonjour();
    }
  }
}

bool LoggerWorker::openStreamToService(const DnsService::Found& service) {
  auto stream = std::make_unique<Stream>();
  stream->service = service;
  stream->deadline = Clock::now() + kLookupTimeLimit;
  Stream* raw = stream.get();
  stream->lookup = DnsService::resolve(service, [raw](const DnsService::Resolved& resolved) {
    if (!raw->resolved) raw->resolved = resolved;
  });
  if (!stream->lookup) return false;
  stream->lookup->setErrorHandler([raw](int32_t) { raw->failed = true; });
  stream_ = std::move(stream);
  return true;
}

bool LoggerWorker::openStreamToHost(const std::string& host, uint32_t port) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || !list) return false;
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr, text, sizeof text);
  ::freeaddrinfo(list);
  stream_ = std::make_unique<Stream>();
  stream_->deadline = Clock::now() + kLookupTimeLimit;
  if (connectTo(text, static_cast<uint16_t>(port))) return true;
  stream_.reset();
  return false;
}

bool LoggerWorker::connectTo(const std::string& address, uint16_t port) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &target.sin_addr) != 1) return false;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0 && errno != EINPROGRESS) {
    ::close(fd);
    return false;
  }
  stream_->fd = fd;
  stream_->stage = Stream::Stage::connecting;
  return true;
}

// Moves a viewer found by DNS-SD from its resolution to its address to the connection.
void LoggerWorker::advanceLookup() {
  Stream& stream = *stream_;
  if (stream.failed) return endConnection();
  if (stream.stage == Stream::Stage::resolving && stream.resolved) {
    bool wantedByName;
    {
      std::lock_guard lock(logger_->settingsMutex);
      wantedByName = logger_->bonjourServiceName.has_value();
    }
    std::string filter;
    if (!wantedByName && DnsService::txtValue(stream.resolved->txtRecord, "filterClients", &filter) && filter != "1")
      return endConnection();
    in_addr literal{};
    if (::inet_pton(AF_INET, stream.resolved->hostTarget.c_str(), &literal) == 1) {
      stream.address = stream.resolved->hostTarget;
    } else {
      Stream* raw = &stream;
      stream.lookup.reset();
      stream.lookup = DnsService::queryAddress(stream.resolved->hostTarget, stream.resolved->interfaceIndex,
                                               [raw](const std::string& address) {
                                                 if (!raw->address) raw->address = address;
                                               });
      if (!stream.lookup) return endConnection();
      stream.lookup->setErrorHandler([raw](int32_t) { raw->failed = true; });
      stream.stage = Stream::Stage::querying;
    }
  }
  if (stream.address && (stream.stage == Stream::Stage::resolving || stream.stage == Stream::Stage::querying)) {
    stream.lookup.reset();
    if (!connectTo(*stream.address, stream.resolved->port)) endConnection();
  }
}

void LoggerWorker::streamWritable() {
  if (stream_->stage == Stream::Stage::connecting) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(stream_->fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return endConnection();
    if (logger_->options.load() & LoggerOptionSecureStream) {
      stream_->secure = LoggerSecureStream::create(stream_->fd);
      if (!stream_->secure) return endConnection();
      stream_->stage = Stream::Stage::handshaking;
      stream_->deadline = Clock::now() + kHandshakeTimeLimit;
      return continueHandshake();
    }
    openCompleted();
    return;
  }
  send();
}

// The connection counts as open only once the TLS session is up; a viewer that breaks off
// or answers with something else ends it like a refused connection, before anything is sent.
void LoggerWorker::continueHandshake() {
  switch (stream_->secure->handshake()) {
    case LoggerSecureStream::Result::done:
      return openCompleted();
    case LoggerSecureStream::Result::wantRead:
      stream_->handshakeWantsWrite = false;
      return;
    case LoggerSecureStream::Result::wantWrite:
      stream_->handshakeWantsWrite = true;
      return;
    case LoggerSecureStream::Result::failed:
      return endConnection();
  }
}

void LoggerWorker::streamReadable() {
  // A viewer sends nothing we use; what matters is whether it went away.
  if (stream_->secure) {
    if (stream_->secure->drain() == LoggerSecureStream::Result::failed) endConnection();
    return;
  }
  char scratch[512];
  // Bounded as the TLS stream's: the rest waits for the next turn of the loop.
  for (size_t read = 0; read < LoggerSecureStream::kDrainLimit;) {
    ssize_t n = ::recv(stream_->fd, scratch, sizeof scratch, MSG_DONTWAIT);
    if (n > 0) {
      read += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n < 0 && errno == ENOTCONN && stream_->stage == Stream::Stage::connecting) return;
    return endConnection();
  }
}

void LoggerWorker::openCompleted() {
  stream_->stage = Stream::Stage::open;
  logger_->connected = true;
  stopBonjour();
  reconnectAt_.reset();
  closeBufferWrite();
  if (auto path = bufferFilePath()) {
    bufferReadFd_ = LoggerBufferFile::openForReading(*path, &bufferReadLeft_);
    bufferReadPath_ = *path;
  }
  LoggerPushClientInfoToFrontOfQueue(logger_);
  send();
}

void LoggerWorker::endConnection() {
  logger_->connected = false;
  // A viewer host that refused the connection is tried again by the timer, not at once.
  bool hostRefused = stream_ && stream_->stage != Stream::Stage::open && !stream_->service;
  if (stream_) {
    closeFd(stream_->fd);
    stream_.reset();
  }
  // An unfinished replay starts again from the top of the file at the next connection.
  closeFd(bufferReadFd_);
  {
    std::lock_guard lock(logger_->logQueueMutex);
    returnUnsentLocked();
  }
  if (bufferFilePath() && bufferWriteFd_ < 0) openBufferWrite();
  logger_->logQueueEmpty.notify_all();
  if (hostRefused) {
    if (!reconnectAt_) reconnectAt_ = Clock::now() + kReconnectInterval;
    return;
  }
  if (targetReachable_ && (hasHost() || (logger_->options.load() & LoggerOptionBrowseServices))) tryConnect();
}

// ---- sending

// Messages that did not go out completely go back to the front of the queue whole, so the
// buffer file and the next viewer get them intact; a chunk of the buffer file is dropped
// (the file is replayed from its start).
void LoggerWorker::returnUnsentLocked() {
  Logger& l = *logger_;
  size_t end = 0;
  std::vector<LoggerMessageRef> unsent;
  for (const auto& message : l.sendBufferMessages) {
    end += message->size();
    if (end > l.sendBufferOffset) unsent.push_back(message);
  }
  l.logQueue.insertFront(unsent);
  l.sendBuffer.clear();
  l.sendBufferMessages.clear();
  l.sendBufferOffset = 0;
  l.incompleteSendOfFirstItem = false;
  l.firstItemSentBytes = 0;
}

void LoggerWorker::send() {
  if (!logger_->connected) {
    uint32_t options = logger_->options.load();
    if (options & LoggerOptionEchoToConsole) {
      std::lock_guard lock(logger_->logQueueMutex);
      for (const auto& message : logger_->logQueue) LoggerLogToConsole(message.get());
      logger_->logQueue.clear();
      logger_->logQueueEmpty.notify_all();
    } else if (bufferWriteFd_ >= 0) {
      writeQueueToFile();
    } else if (!(options & LoggerOptionBufferUntilConnected)) {
      std::lock_guard lock(logger_->logQueueMutex);
      logger_->logQueue.clear();
      logger_->logQueueEmpty.notify_all();
    }
    return;
  }
  while (stream_ && logger_->connected && sendStep()) {
  }
}

// Writes what the viewer's socket takes now. Nothing when it takes nothing now, or when the
// write failed: the connection has then ended (with the queue lock let go for that).
std::optional<size_t> LoggerWorker::sendSome(std::unique_lock<std::mutex>& lock, const char* bytes, size_t size) {
  if (stream_->secure) {
    size_t written = 0;
    auto result = stream_->secure->write(bytes, size, &written);
    if (result == LoggerSecureStream::Result::done) return written;
    if (result != LoggerSecureStream::Result::failed) return std::nullopt;
  } else {
    ssize_t n = ::send(stream_->fd, bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return std::nullopt;
  }
  lock.unlock();
  endConnection();
  return std::nullopt;
}

// One step of sending to the connected viewer; false when nothing more can go now.
bool LoggerWorker::sendStep() {
  Logger& l = *logger_;
  std::unique_lock lock(l.logQueueMutex);
  if (l.sendBuffer.empty()) {
    if (bufferReadFd_ < 0) {
      bool echo = l.options.load() & LoggerOptionEchoToConsole;
      while (!l.logQueue.empty() && !(l.incompleteSendOfFirstItem && l.firstItemSentBytes > 0) &&
             l.sendBuffer.size() + l.logQueue.front()->size() <= kLoggerSendBufferSize) {
        LoggerMessageRef message = l.logQueue.front();
        l.logQueue.pop_front();
        if (echo) LoggerLogToConsole(message.get());
        l.sendBuffer += *message;
        l.sendBufferMessages.push_back(std::move(message));
      }
      if (!l.sendBuffer.empty()) l.incompleteSendOfFirstItem = false;
    } else {
      char chunk[kLoggerSendBufferSize];
      size_t want = static_cast<size_t>(std::min<uint64_t>(sizeof chunk, bufferReadLeft_));
      ssize_t n = want == 0 ? 0 : ::read(bufferReadFd_, chunk, want);
      if (n > 0) {
        bufferReadLeft_ -= static_cast<uint64_t>(n);
        l.sendBuffer.assign(chunk, static_cast<size_t>(n));
      } else {
        if (n < 0 && errno == EINTR) return true;
        if (n < 0) {
          // An unreadable file is not sent as data; what it held cannot be had any more.
          LoggerWriteToConsole(fmt::format("Logger Error: failed reading buffer file: {}\n", bufferReadPath_));
        }
        closeFd(bufferReadFd_);
        ::unlink(bufferReadPath_.c_str());
        return true;
      }
    }
    if (l.sendBuffer.empty()) {
      if (l.logQueue.empty()) {
        l.logQueueEmpty.notify_all();
        return false;
      }
      // A message larger than the send buffer goes out straight from its own bytes.
      l.incompleteSendOfFirstItem = true;
      const LoggerMessageRef& first = l.logQueue.front();
      auto n = sendSome(lock, first->data() + l.firstItemSentBytes, first->size() - l.firstItemSentBytes);
      if (!n) return false;
      l.firstItemSentBytes += *n;
      if (l.firstItemSentBytes < first->size()) return false;
      l.logQueue.pop_front();
      l.incompleteSendOfFirstItem = false;
      l.firstItemSentBytes = 0;
      if (l.logQueue.empty()) l.logQueueEmpty.notify_all();
      return true;
    }
  }
  auto n = sendSome(lock, l.sendBuffer.data() + l.sendBufferOffset, l.sendBuffer.size() - l.sendBufferOffset);
  if (!n) return false;
  l.sendBufferOffset += *n;
  if (l.sendBufferOffset == l.sendBuffer.size()) {
    l.sendBuffer.clear();
    l.sendBufferMessages.clear();
    l.sendBufferOffset = 0;
  }
  if (l.logQueue.empty() && l.sendBuffer.empty()) l.logQueueEmpty.notify_all();
  return l.sendBuffer.empty();
}

// ---- buffer file

void LoggerWorker::openBufferWrite() {
  auto path = bufferFilePath();
  if (!path) return;
  bufferWriteFd_ = LoggerBufferFile::openForAppending(*path, &bufferWriteSize_);
  if (bufferWriteFd_ < 0) {
    LoggerWriteToConsole(fmt::format("Logger Warning: failed opening buffer file for writing: {}\n", *path));
    return;
  }
  bufferFullReported_ = false;
  LoggerPushClientInfoToFrontOfQueue(logger_);
  writeQueueToFile();
}

void LoggerWorker::closeBufferWrite() { closeFd(bufferWriteFd_); }

void LoggerWorker::writeQueueToFile() {
  std::lock_guard lock(logger_->logQueueMutex);
  writeQueueToFileLocked();
}

void LoggerWorker::writeQueueToFileLocked() {
  Logger& l = *logger_;
  returnUnsentLocked();
  uint64_t limit;
  std::string path;
  {
    std::lock_guard settings(l.settingsMutex);
    limit = l.bufferFileMaxSize;
    path = l.bufferFile.value_or(std::string());
  }
  while (!l.logQueue.empty()) {
    const LoggerMessageRef& message = l.logQueue.front();
    if (bufferWriteSize_ + message->size() > limit) {
      if (!bufferFullReported_) {
        LoggerWriteToConsole(fmt::format("Logger Warning: buffer file full, dropping messages: {}\n", path));
        bufferFullReported_ = true;
      }
    } else if (!writeAll(bufferWriteFd_, *message)) {
      // Cut a partly written message away so the file stays readable to its end.
      (void)!::ftruncate(bufferWriteFd_, static_cast<off_t>(bufferWriteSize_));
      LoggerWriteToConsole(fmt::format("Logger Error: failed flushing the whole queue to buffer file: {}\n", path));
      break;
    } else {
      bufferWriteSize_ += message->size();
    }
    l.logQueue.pop_front();
  }
  l.logQueueEmpty.notify_all();
}

}  // namespace velbor
