#include "core/daemon/sync/PeerFolderRemovals.h"

#include "core/entity/NameSpelling.h"

namespace velbor {

PeerFolderRemovals& PeerFolderRemovals::shared() {
  // Never destroyed: a pull still running at exit asks it.
  static auto* instance = new PeerFolderRemovals();
  return *instance;
}

std::string PeerFolderRemovals::keyOf(const std::string& localCopy, const std::string& remoteCopy,
                                      const std::string& relativePath) {
  const size_t slash = relativePath.rfind('/');
  const size_t nameAt = slash == std::string::npos ? 0 : slash + 1;
  return localCopy + "\n" + remoteCopy + "\n" + NameSpelling::folded(relativePath.substr(0, nameAt)) +
         relativePath.substr(nameAt);
}

void PeerFolderRemovals::saw(const std::string& localCopy, const std::string& remoteCopy,
                             const std::string& relativePath, bool removed) {
  const std::string key = keyOf(localCopy, remoteCopy, relativePath);
  std::lock_guard lock(mutex_);
  if (removed) {
    removed_.note(key, true);
  } else {
    removed_.erase(key);
  }
}

bool PeerFolderRemovals::removed(const std::string& localCopy, const std::string& remoteCopy,
                                 const std::string& relativePath) {
  const std::string key = keyOf(localCopy, remoteCopy, relativePath);
  std::lock_guard lock(mutex_);
  return removed_.find(key) != nullptr;
}

void PeerFolderRemovals::clear() {
  std::lock_guard lock(mutex_);
  removed_.clear();
}

}  // namespace velbor
