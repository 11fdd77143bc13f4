#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <google/protobuf/repeated_field.h>

#include "core/daemon/sync/PeerSilent.h"
#include "proto/VelborProto.pb.h"

namespace velbor {

class QoDevice;
class QoFileAndSyncdirCopyRelation;
class QoSyncdirCopyRelation;
class ZMQContext;

// QoWorker's sync operations: sorting one page of a peer's records into actions, and
// applying those actions to the local copy.
//
// Every record that is refused or fails leaves its peer usn as the pairing's failed usn, so
// the pull stores its mark below it and fetches it again next time; nothing is counted as
// done that was not applied.
struct QoWorkerSync {
  using Relation = std::shared_ptr<QoFileAndSyncdirCopyRelation>;
  using RelationList = std::vector<Relation>;
  using Pairing = std::shared_ptr<QoSyncdirCopyRelation>;
  using StatList = google::protobuf::RepeatedPtrField<pb::Stat>;

  // Files handed to a fetcher at a time.
  static constexpr size_t kFetchBatchSize = 40;
  // Batches announced ahead of the one being fetched: small files finish with a flush to the
  // disk each, and the peer must not wait for the last flush of a batch.
  static constexpr size_t kFetchLookaheadBatches = 3;

  // Sorts each Stat of a page into one of the seven lists as a fetched-change record, and
  // answers the bytes to download (the lengths of the files to create and to update).
  // `maxUsn` becomes the page's highest usn (-1 for none), `count` the records needing action.
  // A local item whose type differs from a newer remote item is deleted here, at once; a
  // local folder goes only when the deletions listed for its contents leave it empty,
  // otherwise the remote file comes in as a conflict beside it.
  static int64_t getCompareResultWithStatList(const StatList& statList, const Pairing& syncdirCopyRelation,
                                              RelationList& dirCreateArray, RelationList& fileCreateArray,
                                              RelationList& updateArray, RelationList& updateDirArray,
                                              RelationList& deleteArray, RelationList& conflictArray,
                                              RelationList& updateWithoutDownload, int64_t& maxUsn, int64_t& count,
                                              const std::vector<std::string>& uuidListRemote,
                                              const std::vector<std::string>& uuidListLocal);

  // Pairs deletions with creations of the same content into renames, taking each pair out of
  // both lists. A deletion pairs only when its local file is present, stored with that very
  // SHA-1 and still a regular file on disk. Each rename record keeps the deletion as its
  // counterpart and the lower of the two usns. Sorted by path.
  static RelationList computeToRenameFilesByDeleteArray(RelationList& deleteArray, RelationList& insertArray);
  // Applies each rename and records the old path as removed, in one transaction; answers the
  // renames that failed, in order, each given back its local record at its own path so that
  // it can be fetched.
  static RelationList renameFiles(const RelationList& records);
  // A folder to create that a disk ignoring letter case lists in another spelling, which the
  // peer removed in the same page (`deletions`) or in any page or pass before whose record of
  // it is the latest (PeerFolderRemovals), whose files it moved into the new spelling
  // (`renames`), or which is recorded removed here (kept for entries never synchronised): the
  // folder was renamed in letter case only, and takes its new spelling here with everything in
  // it, also what the peer has not seen yet (the monitor records that as moved, and so it
  // follows on the other devices). The renames of its files then find them in place, and the
  // old spelling's removals remove nothing. Where the peer holds both spellings, the second
  // still waits (InstallReclassifier). A folder above the items `arriving` is taken so as well
  // where the old spelling is removed in `deletions` or recorded removed here: the peer's record
  // of the folder itself may never come (this device removed it since).
  static void respellFolders(const RelationList& dirs, const RelationList& deletions, const RelationList& renames,
                             const RelationList& arriving = {});
  // The folders the peer removed (`removed`) or made in these records; removals are taken
  // before they are applied: a conflict applied keeps the local folder in its record.
  static std::vector<std::string> folders(const RelationList& records, bool removed);
  // A folder the peer removed (`removed`, see folders) while it made the folder under a
  // spelling differing only in letter case (`made`, see folders; both from any page of the
  // pull), which still holds items here that the peer never saw (made or changed here, also
  // while this device was down, or arrived from another device meanwhile): they go into the new
  // spelling, merged all the way down (see SpellingMerge), and the old one goes once empty. A
  // disk that ignores case can hold only one of the two, and the devices end with one spelling
  // holding every item. The monitor records the moves. Two spellings that no such removal and
  // making relate are left as they are.
  static void mergeIntoNewSpelling(const std::string& root, const std::set<std::string>& removed,
                                   const std::set<std::string>& made);
  // The folders at or above these records' paths that this device removed while it holds them
  // in another spelling (renamed here in letter case only, see SpellingMerge::respellingOf),
  // each with that spelling, taken before the records are applied: a peer that still names the
  // old spelling makes it again here for what it sends into it. A rename the monitor has not
  // recorded yet counts: the disk tells of it before the records do.
  static std::map<std::string, std::string> respelledHere(const std::string& root, const RelationList& records);
  // Those of `respelled` (see respelledHere) made again meanwhile go back into the spelling this
  // device gave them, merged all the way down, and the old one goes once empty: the monitor
  // records the moves, and so the devices end with the new spelling holding every item, also a
  // disk ignoring case that can take the new spelling only once the peers hold no other.
  static void mergeIntoRespelling(const std::string& root, const std::map<std::string, std::string>& respelled);
  static bool createDirectorysRelation(const Pairing& syncdirCopyRelation, const RelationList& dirs);
  // Applies deletions in the order given (contents before their folder). A folder goes only
  // when nothing of the user's that the peer has not removed is left in it (see
  // folderHoldsLocalContent); otherwise it stays and fails. Entries never synchronised stay
  // where they are, with the folders holding them, which are recorded removed all the same.
  static bool deleteRelation(const Pairing& syncdirCopyRelation, const RelationList& files);
  // New permissions and times of files whose content is already here; a file changed on disk
  // since it was recorded is left alone and fails.
  static bool updateFilesWithoutDownload(const RelationList& files);

  // Downloads through a part-wise fetcher made as Fetcher(treeUuid, context), in batches of
  // kFetchBatchSize. Answers false when connecting or a batch failed: the records of that
  // batch and of every later one are then marked failed. Raises PeerSilent (the records
  // marked the same) when the peer stopped answering.
  template <class Fetcher>
  static bool updateTreeRelation(const Pairing& syncdirCopyRelation, const RelationList& files,
                                 const std::shared_ptr<QoDevice>& remoteDevice, const std::string& treeUuid,
                                 const std::shared_ptr<ZMQContext>& context) {
    if (files.empty()) return true;
    restoreMissingFolders(files);
    Fetcher fetcher(treeUuid, context);
    return fetchInBatches(
        files, [&] { fetcher.connectToDevice(remoteDevice); },
        [&](const RelationList& batch, const RelationList& next) {
          fetcher.fetchData(batch, syncdirCopyRelation, next);
          // Its later batches would each wait the answer time-out in vain.
          if (fetcher.peerSilent()) throw PeerSilent();
        },
        [&] { fetcher.disconncet(); });
  }
  template <class Fetcher>
  static bool createTreeRelation(const Pairing& syncdirCopyRelation, const RelationList& files,
                                 const std::shared_ptr<QoDevice>& remoteDevice, const std::string& treeUuid,
                                 const std::shared_ptr<ZMQContext>& context) {
    return updateTreeRelation<Fetcher>(syncdirCopyRelation, files, remoteDevice, treeUuid, context);
  }
  template <class Fetcher>
  static bool handleConflictTreeRelation(const Pairing& syncdirCopyRelation, const RelationList& files,
                                         const std::shared_ptr<QoDevice>& remoteDevice, const std::string& treeUuid,
                                         const std::shared_ptr<ZMQContext>& context) {
    return updateTreeRelation<Fetcher>(syncdirCopyRelation, files, remoteDevice, treeUuid, context);
  }

  // Makes the folders missing on the way to each present item again (removed here while the
  // peer added the item), recording them, so that the item can come in. One renamed here in
  // letter case only a moment ago is noted in FoldersRespelledHere.
  static void restoreMissingFolders(const RelationList& records);

  // The batch loop of the downloads; each batch is fetched knowing the ones after it, so the
  // fetcher can ask for those while this one drains. `disconnect` runs whatever happens.
  static bool fetchInBatches(const RelationList& files, const std::function<void()>& connect,
                             const std::function<void(const RelationList&, const RelationList&)>& fetchBatch,
                             const std::function<void()>& disconnect);

 private:
  // Whether the spelling `oldPath` that the disk lists for the arriving folder `record` is gone
  // but for its name: recorded removed here, or the latest record of it the peer gave says so.
  static bool spellingGone(const QoFileAndSyncdirCopyRelation& record, const std::string& oldPath);
  // The record's pairing fetches the peer usn `usn` again on its next pull.
  static void setFailedUsn(const QoFileAndSyncdirCopyRelation& record, int64_t usn);
  // Whether the folder at `path` holds nothing but temporary downloads (true when there is no
  // folder there: the deletion itself then checks what is).
  static bool folderHoldsOnlyDownloads(const std::string& path);
  // See respellFolders: the folders above the items `arriving`; the waits of `dirs` below one
  // respelled are over.
  static void respellFoldersAbove(const RelationList& arriving, const RelationList& dirs,
                                  const RelationList& deletions);
  // Whether the folder at `path` in the copy at `root` holds a synchronised item that is not
  // recorded removed: a file, or a folder not recorded removed. Temporary downloads, entries
  // never synchronised (hidden or ignored names, links) and the folders kept only for them do
  // not count: the deletion leaves the latter in place. False when there is no folder there.
  static bool folderHoldsLocalContent(const std::string& root, const std::string& path);
  // Applies a deletion record; a folder that still holds local content fails instead, looked
  // at under the locker the removal is made under. Answers whether it was applied.
  static bool applyDeletion(const Relation& record);
  // The folder at `path` removed by a peer that holds it in another letter case only (renamed
  // so on a disk that ignores case, which cannot hold both spellings): what it still holds of
  // the user's is merged into the folder of the new spelling (see SpellingMerge::respellingOf),
  // which stays recorded, so that it reaches the peer instead of keeping the old spelling here
  // for good. Answers whether there was such a folder and the old one is left empty.
  static bool moveIntoRespelling(const std::string& root, const std::string& path);
  // Whether both paths lead to one regular file (same device and inode).
  static bool isSameFile(const std::string& one, const std::string& other);
  // Applies a rename and the removal of its old path in one transaction. When both names
  // reach one file, the removal of the old one is only recorded. Answers false when
  // the rename failed (nothing recorded, the file still at its old path).
  static bool applyRename(const Relation& record);
  // Removes the local folder `local` that the newer remote file `incoming` replaces; see
  // getCompareResultWithStatList. Answers whether it is gone.
  static bool removeReplacedFolder(const Relation& local, const Relation& incoming, RelationList& deleteArray);
};

}  // namespace velbor
