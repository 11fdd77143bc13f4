#pragma once

namespace velbor {

class SyncAddImage;

// Told when one of the sync-pair window's pictures is clicked.
class SyncAddImageDelegate {
 public:
  virtual ~SyncAddImageDelegate() = default;
  virtual void imageAction(SyncAddImage* image) = 0;
};

}  // namespace velbor
