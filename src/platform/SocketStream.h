#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>

#include "platform/SocketStreamDelegate.h"

namespace velbor {

class DispatchQueue;
class DispatchSource;
class ServiceConnector;

// One direction of a TCP connection as a byte stream. Scheduled on a serial queue, it tells
// its delegate there when it opened, when bytes can be read or written (again after each
// read or write), and when it ended or failed. A stream is used from one thread at a time.
class SocketStream : public std::enable_shared_from_this<SocketStream> {
 public:
  enum class Direction { input, output };
  enum class Status { notOpen, opening, open, atEnd, closed, error };

  // Longest a read or write waits for the socket before it gives up with a count of 0.
  static constexpr std::chrono::seconds kWaitLimit{30};

  // A stream on a connected socket; with `closeDescriptor` closing the stream closes it.
  static std::shared_ptr<SocketStream> createWithSocket(int fd, Direction direction, bool closeDescriptor);
  // A stream whose socket `connector` makes when the stream is opened.
  static std::shared_ptr<SocketStream> createWithConnector(std::shared_ptr<ServiceConnector> connector,
                                                           Direction direction);

  ~SocketStream();
  SocketStream(const SocketStream&) = delete;
  SocketStream& operator=(const SocketStream&) = delete;

  void setDelegate(std::weak_ptr<SocketStreamDelegate> delegate) { delegate_ = std::move(delegate); }
  std::shared_ptr<SocketStreamDelegate> delegate() const { return delegate_.lock(); }
  void scheduleInRunLoop(std::shared_ptr<DispatchQueue> queue);
  void removeFromRunLoop();
  void open();
  void close();

  // Count read; 0 at the end of the stream or when nothing came in kWaitLimit; -1 on error.
  ssize_t read(void* buffer, size_t maxLength);
  // Count written (at least one byte unless nothing could go in kWaitLimit: 0); -1 on error.
  ssize_t write(const void* bytes, size_t length);
  bool hasBytesAvailable() const;
  bool hasSpaceAvailable() const;

  Status streamStatus() const { return status_; }
  // The errno value of the failure, 0 while none.
  int streamError() const { return error_; }
  Direction direction() const { return direction_; }

 private:
  SocketStream(Direction direction) : direction_(direction) {}

  void attach(int fd, bool closeDescriptor);
  void fail(int error);
  void watch();
  void rearm();
  void onReady();
  void post(uint32_t event);
  void deliver(uint32_t event);
  bool waitFor(short events) const;

  Direction direction_;
  Status status_ = Status::notOpen;
  int error_ = 0;
  int fd_ = -1;
  bool closeDescriptor_ = false;
  std::shared_ptr<ServiceConnector> connector_;
  std::weak_ptr<SocketStreamDelegate> delegate_;
  std::shared_ptr<DispatchQueue> queue_;
  std::shared_ptr<DispatchSource> source_;
  bool armed_ = false;
};

}  // namespace velbor
