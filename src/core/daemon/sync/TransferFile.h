#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <utility>

namespace velbor {

class QoFileAndSyncdirCopyRelation;
class DownloadSync;
class PartWrite;
class TmpFileStream;

// One file under transfer by a FileFetcher: its fetched-change record, its open temporary
// download file (none for records that need no download) and the parts requested and not
// yet answered, by offset.
class TransferFile {
 public:
  TransferFile(int32_t transferId, std::shared_ptr<QoFileAndSyncdirCopyRelation> fileRelation,
               std::shared_ptr<TmpFileStream> handle);

  int32_t transferId() const { return _transferId; }
  const std::shared_ptr<QoFileAndSyncdirCopyRelation>& fileRelation() const { return _fileRelation; }
  void setFileRelation(std::shared_ptr<QoFileAndSyncdirCopyRelation> value) { _fileRelation = std::move(value); }
  const std::map<int64_t, int32_t>& parts() const { return _parts; }
  void setParts(std::map<int64_t, int32_t> value) { _parts = std::move(value); }
  const std::shared_ptr<TmpFileStream>& handle() const { return _fileHandle; }
  // The temporary download, created after the transfer started; until then the transfer
  // is opening.
  void setHandle(std::shared_ptr<TmpFileStream> handle) {
    _fileHandle = std::move(handle);
    _opening = false;
  }
  bool isOpening() const { return _opening; }
  void setOpening() { _opening = true; }

  // Records the part; false when a part at that offset is already recorded.
  bool addOutStandingPart(int64_t offset, int32_t length);
  bool hasOutStandingPart(int64_t offset) const { return _parts.contains(offset); }
  // Removes the part and answers its length; an unrecorded offset fails an assertion.
  int32_t removeOutStandingPart(int64_t offset);
  // Writes `data` at `offset` of the temporary file; false (logged) when the write fails.
  bool writePart(int64_t offset, const std::string& data);
  // Logs a part write that failed with `error`.
  void logWriteError(int error) const;

  // Parts answered and not yet written: one at a time is written on a worker thread (the
  // writes of one file take turns in the kernel anyway), the others wait here.
  size_t pendingWrites() const { return _queuedWrites.size() + (_writing ? 1 : 0); }
  // Queues the write; answers it when it is to start now, nothing when another is under way.
  std::shared_ptr<PartWrite> queueWrite(std::shared_ptr<PartWrite> write);
  // The write under way came back; answers the next one to start, if any.
  std::shared_ptr<PartWrite> writeDone();
  // Forgets the writes that wait and the one under way; answers the bytes of those that wait.
  size_t clearPendingWrites();

  // A file that failed part-way: its later parts are not requested, its answers dropped.
  bool isFailed() const { return _failed; }
  void setFailed() { _failed = true; }

  // The complete file's check and flush, under way on a worker thread; it is applied when
  // that comes back.
  const std::shared_ptr<DownloadSync>& sync() const { return _sync; }
  void setSync(std::shared_ptr<DownloadSync> value) { _sync = std::move(value); }
  bool isSyncing() const { return _sync != nullptr && !_failed; }

 private:
  int32_t _transferId;
  std::shared_ptr<QoFileAndSyncdirCopyRelation> _fileRelation;
  std::shared_ptr<TmpFileStream> _fileHandle;
  std::map<int64_t, int32_t> _parts;
  bool _failed = false;
  bool _opening = false;
  std::deque<std::shared_ptr<PartWrite>> _queuedWrites;
  bool _writing = false;
  std::shared_ptr<DownloadSync> _sync;
};

}  // namespace velbor
