#include "platform/SocketStream.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Dispatch.h"
#include "platform/ServiceConnector.h"

namespace velbor {

std::shared_ptr<SocketStream> SocketStream::createWithSocket(int fd, Direction direction, bool closeDescriptor) {
  std::shared_ptr<SocketStream> stream(new SocketStream(direction));
  stream->fd_ = fd;
  stream->closeDescriptor_ = closeDescriptor;
  return stream;
}

std::shared_ptr<SocketStream> SocketStream::createWithConnector(std::shared_ptr<ServiceConnector> connector,
                                                                Direction direction) {
  std::shared_ptr<SocketStream> stream(new SocketStream(direction));
  stream->connector_ = std::move(connector);
  return stream;
}

SocketStream::~SocketStream() { close(); }

void SocketStream::scheduleInRunLoop(std::shared_ptr<DispatchQueue> queue) {
  queue_ = std::move(queue);
  if (status_ == Status::open) watch();
}

void SocketStream::removeFromRunLoop() {
  if (source_) source_->cancel();
  source_.reset();
  armed_ = false;
  queue_.reset();
}

void SocketStream::open() {
  if (status_ != Status::notOpen) return;
  if (connector_) {
    if (!queue_) return fail(EINVAL);
    status_ = Status::opening;
    std::weak_ptr<SocketStream> weak = weak_from_this();
    connector_->connect(queue_, [weak](int fd, int error) {
      auto self = weak.lock();
      if (!self || self->status_ != Status::opening) {
        if (fd >= 0) ::close(fd);
        return;
      }
      if (fd < 0) return self->fail(error);
      self->attach(fd, true);
    });
    return;
  }
  attach(fd_, closeDescriptor_);
}

void SocketStream::attach(int fd, bool closeDescriptor) {
  fd_ = fd;
  closeDescriptor_ = closeDescriptor;
  if (fd_ < 0) return fail(EBADF);
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
  status_ = Status::open;
  post(kStreamEventOpenCompleted);
  watch();
}

void SocketStream::close() {
  if (source_) source_->cancel();
  source_.reset();
  armed_ = false;
  if (fd_ >= 0 && closeDescriptor_) ::close(fd_);
  fd_ = -1;
  connector_.reset();
  if (status_ != Status::notOpen) status_ = Status::closed;
}

void SocketStream::fail(int error) {
  status_ = Status::error;
  error_ = error;
  post(kStreamEventErrorOccurred);
}

// Readiness is reported once; the next read or write asks for the next report.
void SocketStream::watch() {
  if (!queue_ || source_ || fd_ < 0) return;
  source_ = direction_ == Direction::input ? DispatchSource::makeReadSource(fd_, queue_)
                                           : DispatchSource::makeWriteSource(fd_, queue_);
  std::weak_ptr<SocketStream> weak = weak_from_this();
  source_->setEventHandler([weak] {
    if (auto self = weak.lock()) self->onReady();
  });
  rearm();
}

void SocketStream::rearm() {
  if (!source_ || armed_ || status_ != Status::open) return;
  armed_ = true;
  source_->resume();
}

void SocketStream::onReady() {
  if (!armed_ || status_ != Status::open) return;
  armed_ = false;
  source_->suspend();
  if (direction_ == Direction::output) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error != 0) return fail(error);
    return deliver(kStreamEventHasSpaceAvailable);
  }
  char byte;
  ssize_t n = ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n > 0) return deliver(kStreamEventHasBytesAvailable);
  if (n == 0) {
    status_ = Status::atEnd;
    return deliver(kStreamEventEndEncountered);
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return rearm();
  fail(errno);
}

void SocketStream::post(uint32_t event) {
  if (!queue_) return;
  std::weak_ptr<SocketStream> weak = weak_from_this();
  queue_->async([weak, event] {
    if (auto self = weak.lock()) self->deliver(event);
  });
}

void SocketStream::deliver(uint32_t event) {
  if (status_ == Status::closed || status_ == Status::notOpen) return;
  if (auto delegate = delegate_.lock()) delegate->stream(shared_from_this(), event);
}

bool SocketStream::waitFor(short events) const {
  pollfd p{fd_, events, 0};
  int ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(kWaitLimit).count());
  for (;;) {
    int ready = ::poll(&p, 1, ms);
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0;
  }
}

ssize_t SocketStream::read(void* buffer, size_t maxLength) {
  if (status_ == Status::atEnd) return 0;
  if (status_ != Status::open) return -1;
  for (;;) {
    ssize_t n = ::recv(fd_, buffer, maxLength, MSG_DONTWAIT);
    if (n > 0) {
      rearm();
      return n;
    }
    if (n == 0) {
      status_ = Status::atEnd;
      return 0;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      fail(errno);
      return -1;
    }
    if (!waitFor(POLLIN)) {
      rearm();
      return 0;
    }
  }
}

ssize_t SocketStream::write(const void* bytes, size_t length) {
  if (status_ != Status::open) return -1;
  for (;;) {
    ssize_t n = ::send(fd_, bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      rearm();
      return n;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      fail(errno);
      return -1;
    }
    if (!waitFor(POLLOUT)) {
      rearm();
      return 0;
    }
  }
}

bool SocketStream::hasBytesAvailable() const {
  if (status_ != Status::open) return false;
  char byte;
  return ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

bool SocketStream::hasSpaceAvailable() const {
  if (status_ != Status::open) return false;
  pollfd p{fd_, POLLOUT, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & POLLOUT) && !(p.revents & POLLERR);
}

}  // namespace velbor
