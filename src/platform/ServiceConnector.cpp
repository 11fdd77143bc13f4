#include "platform/ServiceConnector.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Dispatch.h"

namespace velbor {

ServiceConnector::~ServiceConnector() {
  dropSources();
  if (fd_ >= 0) ::close(fd_);
}

void ServiceConnector::dropSources() {
  for (auto* source : {&lookupSource_, &connectSource_, &timer_}) {
    if (*source) (*source)->cancel();
    source->reset();
  }
}

void ServiceConnector::connect(std::shared_ptr<DispatchQueue> queue, Handler handler) {
  if (done_) {
    // Already settled: answer on the queue, as a fresh connection would.
    int fd = fd_ >= 0 ? ::fcntl(fd_, F_DUPFD_CLOEXEC, 0) : -1;
    int error = fd >= 0 ? 0 : (error_ ? error_ : errno);
    queue->async([handler = std::move(handler), fd, error] { handler(fd, error); });
    return;
  }
  waiting_.push_back(std::move(handler));
  if (started_) return;
  started_ = true;
  queue_ = std::move(queue);
  std::weak_ptr<ServiceConnector> weak = weak_from_this();
  timer_ = DispatchSource::makeTimer(kTimeLimit, std::chrono::nanoseconds(0), queue_);
  timer_->setEventHandler([weak] {
    if (auto self = weak.lock()) self->finish(-1, ETIMEDOUT);
  });
  timer_->resume();
  lookup_ = DnsService::resolve(service_, [this](const DnsService::Resolved& resolved) {
    if (!resolved_) resolved_ = std::make_unique<DnsService::Resolved>(resolved);
  });
  if (!lookup_) return finish(-1, EHOSTUNREACH);
  watchLookup();
}

void ServiceConnector::watchLookup() {
  if (lookupSource_) lookupSource_->cancel();
  lookup_->setErrorHandler([this](int32_t) { lookupFailed_ = true; });
  lookupSource_ = DispatchSource::makeReadSource(lookup_->fd(), queue_);
  std::weak_ptr<ServiceConnector> weak = weak_from_this();
  lookupSource_->setEventHandler([weak] {
    auto self = weak.lock();
    if (!self || !self->lookup_ || self->done_) return;
    if (!self->lookup_->process()) self->lookupFailed_ = true;
    // The lookup that called back is replaced only after its callback returned.
    self->advance();
  });
  lookupSource_->resume();
}

void ServiceConnector::advance() {
  if (lookupFailed_) return finish(-1, EHOSTUNREACH);
  if (!querying_ && resolved_) {
    in_addr literal{};
    if (::inet_pton(AF_INET, resolved_->hostTarget.c_str(), &literal) == 1) {
      address_ = std::make_unique<std::string>(resolved_->hostTarget);
    } else {
      querying_ = true;
      lookupSource_->cancel();
      lookupSource_.reset();
      lookup_ = DnsService::queryAddress(resolved_->hostTarget, resolved_->interfaceIndex,
                                         [this](const std::string& address) {
                                           if (!address_) address_ = std::make_unique<std::string>(address);
                                         });
      if (!lookup_) return finish(-1, EHOSTUNREACH);
      watchLookup();
      return;
    }
  }
  if (address_ && lookup_) {
    lookupSource_->cancel();
    lookupSource_.reset();
    lookup_.reset();
    connectTo(*address_, resolved_->port);
  }
}

void ServiceConnector::connectTo(const std::string& address, uint16_t port) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &target.sin_addr) != 1) return finish(-1, EHOSTUNREACH);
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return finish(-1, errno);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0) return connected();
  if (errno != EINPROGRESS) return finish(-1, errno);
  connectSource_ = DispatchSource::makeWriteSource(fd_, queue_);
  std::weak_ptr<ServiceConnector> weak = weak_from_this();
  connectSource_->setEventHandler([weak] {
    if (auto self = weak.lock(); self && !self->done_) self->connected();
  });
  connectSource_->resume();
}

void ServiceConnector::connected() {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
  if (error != 0) return finish(-1, error);
  finish(fd_, 0);
}

void ServiceConnector::finish(int fd, int error) {
  if (done_) return;
  done_ = true;
  error_ = error;
  if (fd < 0 && fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  // Sources and lookups are let go after this call returns: one of them may be calling.
  queue_->async([self = shared_from_this()] {
    self->dropSources();
    self->lookup_.reset();
  });
  auto waiting = std::move(waiting_);
  waiting_.clear();
  for (auto& handler : waiting) {
    int own = fd >= 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
    handler(own, own >= 0 ? 0 : (error ? error : errno));
  }
}

}  // namespace velbor
