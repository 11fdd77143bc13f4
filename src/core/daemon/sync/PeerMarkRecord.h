#pragma once

#include <string>

namespace velbor {

namespace pb {
class Stat;
}

// What tells one of a peer's records from another apart from its usn: a pull keeps it for
// the record standing at its mark. A peer whose numbers went back (its home restored from a
// backup) later shows another record at that very usn; a record that only changed again
// has moved above it and leaves the usn empty.
class PeerMarkRecord {
 public:
  PeerMarkRecord() = delete;

  // The SHA-1 of everything the record says but its usn.
  static std::string identify(const pb::Stat& stat);
};

}  // namespace velbor
