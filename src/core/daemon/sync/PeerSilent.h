#pragma once

#include <exception>

namespace velbor {

// Raised inside a pull whose peer stopped answering in the middle of a download: the pull
// ends at once, asks that peer nothing more, and is made again as soon as the peer is heard
// again. Not a QoException: nothing on the way may take it for a failure of one batch and go
// on with the next.
class PeerSilent : public std::exception {
 public:
  const char* what() const noexcept override { return "Pull stopped: the peer stopped answering"; }
};

}  // namespace velbor
