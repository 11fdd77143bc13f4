#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace velbor {

class TmpFileName;
class TmpFileStream;

// A file's temporary download, created empty on a worker thread (creating thousands of
// small files is mostly the file system's work, and it spreads over the cores). Until its
// transfer takes it, it belongs to this object: one dropped untaken (the transfer gave up,
// the batch ended, the work was discarded) removes the file again.
class TmpFileOpening {
 public:
  // Holds the temporary name taken for the transfer until this goes: the transfer may let it
  // go first (it gave up), and no other transfer of the file may have it while the file is
  // created or removed here.
  TmpFileOpening(int32_t transferId, std::string copyRoot, std::shared_ptr<const TmpFileName> tmpName);
  ~TmpFileOpening();
  TmpFileOpening(const TmpFileOpening&) = delete;
  TmpFileOpening& operator=(const TmpFileOpening&) = delete;

  // On a worker thread, once.
  void run();

  int32_t transferId() const { return transferId_; }
  // The open file, now the caller's; nothing when it could not be created.
  std::shared_ptr<TmpFileStream> take();

 private:
  int32_t transferId_;
  std::string copyRoot_;
  std::shared_ptr<const TmpFileName> tmpName_;
  std::shared_ptr<TmpFileStream> handle_;
};

}  // namespace velbor
