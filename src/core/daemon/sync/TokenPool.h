#pragma once

#include <cstdint>

namespace velbor {

// The byte budget of a fetcher's requested parts: at most 16 MiB outstanding, granted in
// pieces of at most 1 MiB. A partial grant is made only when more than 16 KiB is left, so
// that the window is not filled with tiny parts.
class TokenPool {
 public:
  static constexpr int32_t kCapacity = 0x1000000;
  static constexpr int32_t kMaxSize = 0x100000;
  static constexpr int32_t kMinSize = 16384;

  TokenPool() = default;

  // The length granted for a request of `length` (at least 1); 0 when nothing can be granted.
  int32_t allocToken(int32_t length);
  // Gives `length` back; answers the free amount, which never exceeds the capacity.
  int32_t relaseToken(int32_t length);
  int32_t freeSize() const { return _nFree; }

 private:
  int32_t _nCapacity = kCapacity;
  int32_t _nMaxSize = kMaxSize;
  int32_t _nMinSize = kMinSize;
  int32_t _nFree = kCapacity;
};

}  // namespace velbor
