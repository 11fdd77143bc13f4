#pragma once

namespace velbor {

// A level-triggered wake-up that one thread can wait for in poll() beside its sockets: any
// thread raises it, the waiting thread clears it before looking for what it announced.
// Raising it twice before a clear is one wake-up.
class EventSignal {
 public:
  EventSignal();
  ~EventSignal();
  EventSignal(const EventSignal&) = delete;
  EventSignal& operator=(const EventSignal&) = delete;

  // Readable while raised.
  int fd() const { return fd_; }
  void raise();
  void clear();

 private:
  int fd_ = -1;
};

}  // namespace velbor
