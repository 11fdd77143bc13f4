#include "framework/network/BonjourServer.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fmt/format.h>

#include "platform/Dispatch.h"
#include "platform/QoLog.h"

namespace velbor {

std::shared_ptr<BonjourServer> BonjourServer::initWithDomain(std::string domain, std::string type, std::string name) {
  return std::shared_ptr<BonjourServer>(new BonjourServer(std::move(domain), std::move(type), std::move(name)));
}

BonjourServer::~BonjourServer() { stopServer(); }

void BonjourServer::startServer() {
  port_ = 0;
  queue_ = DispatchQueue::current();
  int fd = queue_ ? ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t length = sizeof local;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || ::listen(fd, 5) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    if (fd >= 0) ::close(fd);
    stopServer();
    return;
  }
  port_ = ntohs(local.sin_port);
  listenFd_ = fd;
  listenSource_ = DispatchSource::makeReadSource(listenFd_, queue_);
  std::weak_ptr<BonjourServer> weak = weak_from_this();
  listenSource_->setEventHandler([weak] {
    if (auto self = weak.lock()) self->acceptPending();
  });
  listenSource_->resume();
  if (!publish()) stopServer();
}

bool BonjourServer::publish() {
  QoLog("netServiceWillPublish");
  int32_t error = 0;
  netService_ = DnsService::registerService(
      name_, fmt::format("_{}._udp.", type_), domain_, static_cast<uint16_t>(port_),
      [](bool ok, const std::string&) { QoLog("{}", ok ? "netServiceDidPublish" : "didNotPublish"); }, &error);
  if (!netService_) {
    QoLog("didNotPublish");
    return false;
  }
  netService_->setErrorHandler([](int32_t) { QoLog("didNotPublish"); });
  netServiceSource_ = DispatchSource::makeReadSource(netService_->fd(), queue_);
  std::weak_ptr<BonjourServer> weak = weak_from_this();
  netServiceSource_->setEventHandler([weak] {
    auto self = weak.lock();
    if (self && self->netService_ && !self->netService_->process()) {
      // The connection to the discovery daemon is gone: stop watching it.
      self->netServiceSource_->cancel();
    }
  });
  netServiceSource_->resume();
  return true;
}

void BonjourServer::acceptPending() {
  int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd >= 0) acceptConnection(fd);
}

void BonjourServer::stopServer() {
  closeStreams();
  if (netServiceSource_) netServiceSource_->cancel();
  netServiceSource_.reset();
  if (netService_) QoLog("netServiceDidStop");
  netService_.reset();
  if (listenSource_) listenSource_->cancel();
  listenSource_.reset();
  if (listenFd_ >= 0) ::close(listenFd_);
  listenFd_ = -1;
}

void BonjourServer::acceptConnection(int fd) {
  if (networkStream_) {
    // One connection at a time.
    ::close(fd);
    return;
  }
  networkStream_ = SocketStream::createWithSocket(fd, SocketStream::Direction::input, true);
  networkStream_->setDelegate(weak_from_this());
  networkStream_->scheduleInRunLoop(queue_);
  networkStream_->open();
}

void BonjourServer::closeStreams() {
  if (!networkStream_) return;
  networkStream_->setDelegate({});
  networkStream_->removeFromRunLoop();
  networkStream_->close();
  networkStream_.reset();
}

void BonjourServer::stream(const std::shared_ptr<SocketStream>& stream, uint32_t handleEvent) {
  if (stream != networkStream_) return;
  switch (handleEvent) {
    case kStreamEventOpenCompleted:
      QoLog("Server NSStreamEventOpenCompleted");
      break;
    case kStreamEventHasBytesAvailable:
      _streamHasBytes(*stream);
      break;
    case kStreamEventErrorOccurred:
      closeStreams();
      break;
    case kStreamEventEndEncountered:
      QoLog("Server NSStreamEventEndEncountered");
      // The client is gone: make room for the next one.
      closeStreams();
      break;
    default:
      break;
  }
}

void BonjourServer::_streamHasBytes(SocketStream& stream) {
  std::string buffer;
  ssize_t last = 0;
  char chunk[1024];
  while (buffer.size() < kMaxBytesPerEvent && stream.hasBytesAvailable()) {
    last = stream.read(chunk, sizeof chunk);
    if (last <= 0) break;
    buffer.append(chunk, static_cast<size_t>(last));
  }
  // Bytes gathered before the connection ended still go to the delegate.
  if (!buffer.empty() && bonjourServerDelegate_) bonjourServerDelegate_->bonjourServer(*this, buffer);
  if (last <= 0) closeStreams();
}

}  // namespace velbor
