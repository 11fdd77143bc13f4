#include "core/daemon/sync/TokenPool.h"

#include <algorithm>

#include "core/utils/QoUtils.h"

namespace velbor {

int32_t TokenPool::allocToken(int32_t length) {
  QoAssert(length >= 1, "token length({}) must be positive", length);
  int32_t granted = 0;
  if (_nFree > length) {
    granted = std::min(length, _nMaxSize);
  } else if (_nFree > _nMaxSize) {
    granted = _nMaxSize;
  } else if (_nFree > _nMinSize) {
    granted = _nFree;
  }
  _nFree -= granted;
  return granted;
}

int32_t TokenPool::relaseToken(int32_t length) {
  QoAssert(length >= 0 && _nFree <= _nCapacity - length, "token pool overflow, free({}) + ({})", _nFree, length);
  _nFree += length;
  return _nFree;
}

}  // namespace velbor
