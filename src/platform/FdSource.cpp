#include "platform/FdSource.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include <fmt/format.h>

#include "platform/DispatchReactor.h"
#include "platform/Exception.h"
#include "platform/QoLog.h"

namespace velbor {

std::shared_ptr<FdSource> FdSource::create(int fd, Kind kind, std::shared_ptr<DispatchQueue> queue) {
  return std::make_shared<FdSource>(fd, kind, std::move(queue));
}

FdSource::FdSource(int fd, Kind kind, std::shared_ptr<DispatchQueue> queue)
    : DispatchSourceBase(std::move(queue)), fd_(fd), kind_(kind) {
  int flags = fd < 0 ? -1 : ::fcntl(fd, F_GETFL);
  if (flags < 0) throw Exception("DispatchSource", fmt::format("not an open descriptor: {}", fd));
  originallyBlocking_ = (flags & O_NONBLOCK) == 0;
  // A private duplicate: epoll refuses the same descriptor twice (a read and a write source
  // on one socket), and the owner may close and reuse its number after cancel().
  int dup = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (dup < 0) {
    throw Exception("DispatchSource", fmt::format("cannot duplicate descriptor {}: {}", fd, std::strerror(errno)));
  }
  descriptor_.emplace(DispatchReactor::shared().context());
  asio::error_code error;
  descriptor_->assign(dup, error);
  if (error) {
    ::close(dup);
    descriptor_.reset();
    throw Exception("DispatchSource", fmt::format("cannot watch descriptor {}: {}", fd, error.message()));
  }
}

FdSource::~FdSource() {
  std::lock_guard lock(mutex_);
  closeLocked();
}

void FdSource::closeLocked() {
  if (!descriptor_) return;
  // Takes the duplicate out of epoll, aborts the pending wait, then closes it.
  asio::error_code ignored;
  descriptor_->close(ignored);
  descriptor_.reset();
}

void FdSource::rearmLocked() {
  if (!activeLocked() || waiting_ || deliveringLocked() || broken_ || !descriptor_) return;
  waiting_ = true;
  auto weak = std::weak_ptr<FdSource>(std::static_pointer_cast<FdSource>(shared_from_this()));
  // Starting a wait re-registers the descriptor with epoll, which reports readiness that
  // already exists, so this behaves level-triggered.
  descriptor_->async_wait(
      kind_ == Kind::read ? asio::posix::descriptor_base::wait_read : asio::posix::descriptor_base::wait_write,
      [weak](const asio::error_code& error) {
        if (auto self = weak.lock()) self->onReady(error);
      });
  if (originallyBlocking_ && !restoredBlocking_) {
    // Asio switches the descriptor to non-blocking once, for its own I/O which a wait never
    // does; the flag is shared with the owner's descriptor, whose reads expect blocking.
    restoredBlocking_ = true;
    int flags = ::fcntl(descriptor_->native_handle(), F_GETFL);
    if (flags >= 0) ::fcntl(descriptor_->native_handle(), F_SETFL, flags & ~O_NONBLOCK);
  }
}

void FdSource::disarmLocked() { closeLocked(); }

void FdSource::onReady(const asio::error_code& error) {
  std::lock_guard lock(mutex_);
  waiting_ = false;
  if (error == asio::error::operation_aborted || cancelledLocked()) return;
  if (error && error != asio::error::operation_not_supported) {
    // Not a descriptor epoll can watch any more: report once instead of spinning.
    QoLog("DispatchSource: watching descriptor {} failed: {}", fd_, error.message());
    broken_ = true;
    return;
  }
  // A regular file cannot be watched by epoll and is always ready.
  if (!activeLocked()) return;  // resume() looks again
  signalLocked();
}

}  // namespace velbor
