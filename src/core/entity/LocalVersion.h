#pragma once

#include <cstdint>
#include <string>

namespace velbor {

class QoFileAndSyncdirCopyRelation;

// The local record of a path as an arriving record was compared with it: whether there was
// one, and which version it held. Every change recorded here (the monitor's, another pull's
// install) gives the file a new usn or clock, so an equal version means nothing was recorded
// for the path in between.
class LocalVersion {
 public:
  // The version of `local`; none (nothing recorded at the path) for null.
  static LocalVersion of(const QoFileAndSyncdirCopyRelation* local);

  bool operator==(const LocalVersion& other) const = default;

 private:
  bool present_ = false;
  int32_t filePk_ = -1;
  int64_t usn_ = 0;
  int32_t status_ = 0;
  int32_t type_ = 0;
  std::string sha1_;
  std::string vclock_;
};

}  // namespace velbor
