#pragma once

namespace velbor {

class QoFile;

// Two concurrent versions of one file with the same content differ only in their times and
// attributes. Both devices must settle on one result by one rule, whichever pulls first, or
// each keeps its own for good. The later modification time is taken, and the permission bits
// (with the Windows and Android attributes) of the version that kept the earlier time: that
// version changed something else than the time, so a mode changed on one device and a time
// on the other both stay. With equal times the attributes of the copy whose uuid sorts last.
class EqualContentAttributes {
 public:
  EqualContentAttributes() = delete;

  // Gives `remote` the settled times and attributes. `remoteSortsLast`: the peer's copy uuid
  // sorts after the local one (the side a conflict renames is the local one).
  static void settle(QoFile& remote, const QoFile& local, bool remoteSortsLast);
};

}  // namespace velbor
