#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>

#include <netinet/in.h>

namespace velbor {

// Gives each far host of a frame guard's connections a loopback address of its own
// (127.1.x.y) to connect to ZeroMQ from: behind the guard every connection comes from
// loopback, and what ZeroMQ tells of a message's source must still tell the hosts apart.
// A host keeps its address while it has connections; then the address is free for another.
// Used by the guard's thread only.
class LoopbackSourceTable {
 public:
  // Hosts that can have connections at once.
  static constexpr size_t kHosts = 65536;

  // The address another connection of `host` ("192.168.1.7", "::1") comes from; nothing when
  // every address is taken by other hosts' connections.
  std::optional<in_addr> take(const std::string& host);
  // A connection of `host` that came from its address is gone.
  void give(const std::string& host);

 private:
  struct Slot {
    uint32_t index = 0;
    size_t connections = 0;
  };

  static in_addr addressOf(uint32_t index);

  std::map<std::string, Slot> hosts_;
  // Indexes given back, and the first never given yet.
  std::deque<uint32_t> freed_;
  uint32_t unused_ = 0;
};

}  // namespace velbor
