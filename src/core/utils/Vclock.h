#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velbor {

// Result of Vclock::compareToVclock, seen from the clock it is called on.
using VclockCompareResult = int;
inline constexpr VclockCompareResult VclockCompareBefore = 0;
inline constexpr VclockCompareResult VclockCompareEqual = 1;
inline constexpr VclockCompareResult VclockCompareAfter = 2;
inline constexpr VclockCompareResult VclockCompareConcurrent = 3;

// The vector clock of one file in one copy of a sync folder: one counter per copy, in the
// folder's slot order. Slots past the end read as 0.
//
// Stored form: the counters in decimal joined by "|" (UTF-8). Absent data (std::nullopt)
// gives no slots; empty text gives one empty slot reading 0. A decoded clock keeps the texts
// it was read from until a slot is written, so an untouched clock encodes back byte for byte.
class Vclock {
 public:
  // The largest counter the wire carries (a signed 32-bit field): a local change holds a
  // counter there rather than pass it.
  static constexpr uint64_t kWireCounterLimit = 2147483647;
  // The largest counter taken from a peer: honest counts never come near it, and it leaves
  // room for local changes below the wire's limit.
  static constexpr uint64_t kPeerCounterLimit = uint64_t{1} << 30;

  Vclock() = default;
  explicit Vclock(const std::optional<std::string>& vcData);
  explicit Vclock(std::vector<uint64_t> array);
  // Reorders counters given in the sender's slot order (currentUuidList) into the local
  // order (expectedUuidList); sender slots the local list lacks follow at the end.
  Vclock(const std::vector<uint64_t>& array, const std::vector<std::string>& currentUuidList,
         const std::vector<std::string>& expectedUuidList);

  uint64_t getClockCount() const { return clockVector_.size(); }
  uint64_t getClockValueAtIndex(uint64_t index) const;
  // Adds 1, holding at kWireCounterLimit.
  void incClockValueAtIndex(uint64_t index);
  void setClockValue(uint64_t value, uint64_t index);
  // The counters in slot order (what goes into the wire's repeated vclock field).
  const std::vector<uint64_t>& getClockArray() const { return clockVector_; }

  std::string encode() const;
  // Splits stored data into its texts: none for absent data or data that is not UTF-8.
  static std::vector<std::string> decode(const std::optional<std::string>& data);
  // Reads one decoded text: leading decimal digits, anything else reads as 0.
  static uint64_t valueOfText(const std::string& text);

  VclockCompareResult compareToVclock(const Vclock& other) const;
  // Compares this copy's clock (its own slot `ownSlot`) with the clock a peer copy (slot
  // `peerSlot`) sent: concurrent when either side's own counter is lower than the other side
  // has seen it, for a copy's own counter only grows unless the copy went back (a restored
  // backup, a cleared database) and its order is then no longer to be trusted.
  VclockCompareResult compareToPeerVclock(const Vclock& peer, uint64_t ownSlot, uint64_t peerSlot) const;
  void mergeVclock(const Vclock& other);
  std::string description() const { return encode(); }

 private:
  void growTo(uint64_t index);
  void store(uint64_t value, uint64_t index);

  std::vector<uint64_t> clockVector_;
  // Decoded texts by slot while they still stand for their slot; empty once none is left.
  std::vector<std::optional<std::string>> decodedTexts_;
};

}  // namespace velbor
