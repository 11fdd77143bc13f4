#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace velbor {

// A connected tcp socket that another part of the process owns (a ZeroMQ I/O thread), known
// only by its descriptor: what can be asked of it, and how to end the connection so that its
// owner sees it fail and closes it. The owner may close the descriptor at any time and the
// system hand its number to a new socket, so a caller checks peerAddress() against the peer
// it means before cut().
class ForeignTcpSocket {
 public:
  // "address:port" of the far end ("192.168.1.7:40312", "[::1]:40312"); nothing when the
  // descriptor is no connected tcp socket.
  static std::optional<std::string> peerAddress(int fd);
  // Bytes written to the socket that the peer has not acknowledged yet; nothing when it
  // cannot be had. Unchanged over time while data waits: the peer reads nothing.
  static std::optional<size_t> unsentBytes(int fd);
  // Bytes the system has received on the connection since it began (read by its owner or
  // not); nothing when it cannot be had.
  static std::optional<uint64_t> receivedBytes(int fd);
  // Resets the connection: what waits to be sent is dropped, and the owner's next read or
  // write of it fails. False when the descriptor is no socket.
  static bool cut(int fd);
  // cut(), only while the descriptor still leads to `address`: checked and cut on a copy of
  // the descriptor, so that its owner closing it meanwhile and the number going to a new
  // socket cannot make it cut another connection.
  static bool cutIfConnectedTo(int fd, const std::string& address);
};

}  // namespace velbor
