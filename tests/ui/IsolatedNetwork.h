#pragma once

#include <cstdint>
#include <string>

namespace velbor::test {

// Moves the calling thread (and every thread and process it starts later) into a network
// namespace of its own: loopback up, and one veth pair whose end has a broadcast address, so
// that discovery's broadcasts stay inside and loop back to a listener here. Needs root;
// `entered()` says whether it worked. The namespace goes with the process.
class IsolatedNetwork {
 public:
  static constexpr const char* kAddress = "10.77.0.1";

  IsolatedNetwork();
  bool entered() const { return entered_; }
  const std::string& error() const { return error_; }

 private:
  bool entered_ = false;
  std::string error_;
};

// A UDP port nobody uses now (bound and released again).
uint16_t freeUdpPort();
// A TCP port nobody listens on now.
uint16_t freeTcpPort();
// Whether something listens on 127.0.0.1:`port`.
bool tcpListening(uint16_t port);
// Whether a UDP socket is bound to `port` (a bind to it fails).
bool udpPortTaken(uint16_t port);

// A UDP socket bound to every address at a port: hears broadcasts sent to that port.
class UdpListener {
 public:
  explicit UdpListener(uint16_t port);
  ~UdpListener();
  UdpListener(const UdpListener&) = delete;
  UdpListener& operator=(const UdpListener&) = delete;

  bool bound() const { return bound_; }
  // Whether a datagram arrives within `ms` milliseconds (taken off the socket).
  bool next(int ms);

 private:
  int fd_ = -1;
  bool bound_ = false;
};

}  // namespace velbor::test
