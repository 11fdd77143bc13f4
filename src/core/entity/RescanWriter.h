#pragma once

#include <sys/stat.h>

#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include "core/entity/QoSyncdirCopy.h"
#include "framework/persistence/WriteTransaction.h"
#include "platform/ThreadSafety.h"

namespace velbor {

class QoFile;

// Records what a rescan found, in bounded chunks. Each chunk is one transaction under the
// "transaction" locker and stands on its own: other users of the database wait for one chunk
// at most, and a chunk that fails is rolled back alone while the others stay. Regular files
// are hashed before their chunk takes the locker; under it each is checked to be unchanged
// since (same file, size, times and mode), so no record gets a digest of older content. One
// that changed is hashed again once; one that keeps changing is left for its next change.
class RescanWriter {
 public:
  using FileList = QoSyncdirCopy::FileList;

  // Once `stop` is requested nothing more is read or recorded.
  explicit RescanWriter(std::shared_ptr<QoSyncdirCopy> copy, std::stop_token stop = {})
      : copy_(std::move(copy)), stop_(std::move(stop)) {}

  // Each answers whether anything was recorded.
  bool deleteFiles(const FileList& files);
  bool insertFiles(const FileList& files);
  bool updateFiles(const FileList& files);

  // Whether a file or folder may stand at `path`, reached from `root` through folders only. A
  // link, socket or other special item there (or on the way) is not the recorded item; an
  // item that cannot be checked is assumed to be there.
  static bool mayStandOnDisk(const std::string& root, const std::string& path);

  // Whether a chunk could not be written (the database refused it).
  bool failed() const { return failed_; }

 private:
  enum class Kind { Delete, Insert, Update };
  enum class Outcome { Recorded, Skipped, Changed };
  // A record made ready outside the locker, with the item's status as it was then.
  struct Prepared {
    std::shared_ptr<QoFile> file;
    struct stat status {};
  };

  bool write(Kind kind, const FileList& files);
  // Fills the record from the item on disk (hashing a regular file). False when the item is
  // gone or no longer a file or folder: there is nothing to record.
  bool prepare(Kind kind, Prepared& item, bool& changing);
  // Writes items from `next` on in one transaction until the chunk's budget is spent;
  // answers where the next chunk begins.
  size_t commitChunk(Kind kind, std::vector<Prepared>& items, size_t next, FileList& changed, bool& written);
  // Under the locker: records one item, skips one with nothing left to record, or finds that
  // it changed since it was prepared.
  Outcome record(Kind kind, Prepared& item) REQUIRES(WriteTransaction::locker());

  std::shared_ptr<QoSyncdirCopy> copy_;
  std::stop_token stop_;
  bool failed_ = false;
};

}  // namespace velbor
