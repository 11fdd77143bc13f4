// Every way a pull changes a file here, with the user (or the database) acting between any two
// of its disk steps: whatever happens in that gap, once the monitor has had its look the
// records say what the disk holds, and the user's write is kept and recorded.

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>

#include "MonitorTestBase.h"
#include "core/daemon/sync/QoWorkerSync.h"
#include "core/entity/DiskSteps.h"
#include "core/entity/FileFlush.h"
#include "core/entity/FileTimes.h"
#include "core/entity/RecordedStates.h"
#include "core/entity/RecordsRefused.h"
#include "core/entity/RenameWithoutFlags.h"
#include "core/entity/TmpFileName.h"
#include "framework/persistence/PersistenceTestSupport.h"

namespace velbor::test {
namespace {

namespace fs = std::filesystem;

enum class Install {
  NewFile,
  Update,
  Rename,
  TimesOnly,
  ModeOnly,
  ConflictLocal,
  ConflictIncoming,
  ConflictFolder,
  Delete,
  Folder,
  ReplaceWithoutFlags
};
enum class Act {
  Write,
  Rename,
  RefuseCommit,
  WriteDuringFlush,
  WriteAndRefuseCommit,
  WriteThroughOpenDescriptor,
  WriteThroughHardLink
};

constexpr const char* kInstallNames[] = {"new file",
                                         "update",
                                         "rename",
                                         "times only",
                                         "mode only",
                                         "conflict (local renamed)",
                                         "conflict (incoming renamed)",
                                         "conflict (a folder arrives)",
                                         "deletion",
                                         "folder removal",
                                         "replace without rename flags"};
constexpr const char* kActNames[] = {"write",
                                     "rename",
                                     "refused commit",
                                     "write into the file being flushed",
                                     "write, then a refused commit",
                                     "write through a descriptor opened before",
                                     "write through another link of the file"};
constexpr int64_t kOlder = 1599913600000;  // the local files' time: well before any write

// Acts once, at the `at`-th step announced for a path in `folder`.
class StepActor : public DiskSteps::Hook {
 public:
  StepActor(std::string folder, int at, std::function<void(DiskStep, const std::string&)> act)
      : folder_(std::move(folder)), at_(at), act_(std::move(act)) {}
  void passed(DiskStep step, const std::string& path) override {
    if (path.rfind(folder_ + "/", 0) != 0 || seen_++ != at_) return;
    acted_ = true;
    act_(step, path);
  }
  bool acted() const { return acted_; }

 private:
  std::string folder_;
  int at_;
  std::function<void(DiskStep, const std::string&)> act_;
  int seen_ = 0;
  bool acted_ = false;
};

bool isRegular(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

bool isTemporary(const std::string& path) { return TmpFileName::isTemporaryName(fs::path(path).filename().string()); }

// Writes `mark` over the start of the file, in place, keeping its size.
void writeInPlace(const std::string& path, const std::string& mark) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0) << path;
  EXPECT_EQ(::pwrite(fd, mark.data(), mark.size(), 0), static_cast<ssize_t>(mark.size()));
  ::close(fd);
}

// On this disk, or on an exFAT image through FUSE (no rename flags, whole seconds, one mode).
class InstallStepTest : public FuseDiskMonitorTestBase, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    MonitorTestBase::SetUp();
    if (GetParam()) mountDisk(FuseDisk::Kind::Exfat);
  }

  // The case's own folder (relative), holding f.bin, or the folder D with two files.
  std::string folderOf(int id) const { return "c" + std::to_string(id); }

  void prepareLocal(Install install, const std::string& folder) {
    std::vector<std::string> made;
    if (install == Install::Folder) {
      fs::create_directories(at(folder + "/D"));
      for (const char* name : {"D/a.bin", "D/b.bin"}) made.push_back(folder + "/" + name);
      made.insert(made.begin(), folder + "/D");
    } else if (install != Install::NewFile) {
      made.push_back(folder + "/f.bin");
    }
    fs::create_directories(at(folder));
    for (const std::string& relative : made) {
      if (relative.back() != 'D') writeFile(at(relative), "local content of " + relative);
      setMtime(at(relative), kOlder / 1000);
    }
    made.insert(made.begin(), folder);
    look(made);
    for (const std::string& relative : made) ASSERT_TRUE(recorded(relative)) << relative;
  }

  // Applies the peer's change as a pull does; false when the event failed.
  bool apply(Install install, const std::string& folder) {
    const std::string file = folder + "/f.bin";
    const std::string local = "local content of " + file;
    const std::string theirs = "their content of " + file + "!";  // another size
    const std::vector<uint64_t> newer{1, 3};
    switch (install) {
      case Install::NewFile:
        return incoming(file, Incoming().content(theirs).download(theirs))->handleFetchEvent(EventCreateFile);
      case Install::Update:
      case Install::ReplaceWithoutFlags: {
        std::optional<RenameWithFlags::ScopedOverride> noFlags;
        if (install == Install::ReplaceWithoutFlags) noFlags.emplace(withoutRenameFlags());
        return incoming(file, Incoming().content(theirs).download(theirs).clock(newer))
            ->handleFetchEvent(EventUpdateFile);
      }
      case Install::Rename: {
        QoWorkerSync::RelationList deletions{incoming(file, Incoming().content(local).status(1).clock(newer))};
        QoWorkerSync::RelationList insertions{
            incoming(folder + "/g.bin", Incoming().content(local).mtime(kOlder).clock(newer))};
        const auto renames = QoWorkerSync::computeToRenameFilesByDeleteArray(deletions, insertions);
        EXPECT_EQ(renames.size(), 1u);
        return QoWorkerSync::renameFiles(renames).empty();
      }
      case Install::TimesOnly:
      case Install::ModeOnly: {
        Incoming same = Incoming().content(local).clock(newer);
        same.permissions(install == Install::ModeOnly ? 0600 : 0644);
        same.mtime(install == Install::ModeOnly ? kOlder : kPeerTime);
        return QoWorkerSync::updateFilesWithoutDownload({incoming(file, same)});
      }
      case Install::ConflictLocal:
      case Install::ConflictIncoming: {
        auto record = incoming(file, Incoming().content(theirs).download(theirs).clock({0, 3}));
        record->setIsRenameLocalWHenConflict(install == Install::ConflictLocal);
        return record->handleFetchEvent(EventFFConflict);
      }
      case Install::ConflictFolder:
        return incoming(file, Incoming().type(1).clock({0, 3}))->handleFetchEvent(EventFDConflict);
      case Install::Delete:
        return incoming(file, Incoming().content(local).status(1).clock(newer))->handleFetchEvent(EventDeleteFile);
      case Install::Folder:
        for (const char* name : {"/D/a.bin", "/D/b.bin"}) {
          const std::string path = folder + name;
          if (!incoming(path, Incoming().content("local content of " + path).status(1).clock(newer))
                   ->handleFetchEvent(EventDeleteFile)) {
            return false;
          }
        }
        return incoming(folder + "/D", Incoming().type(1).status(1).clock(newer))->handleFetchEvent(EventDeleteFile);
    }
    return false;
  }

  // Everything below the case's folder on disk (temporary downloads left out), and every path
  // recorded there.
  std::set<std::string> pathsOf(const std::string& folder) {
    std::set<std::string> paths;
    for (const auto& entry : fs::recursive_directory_iterator(at(folder))) {
      if (!isTemporary(entry.path().string())) paths.insert(entry.path().string());
    }
    for (const auto& relation : local_->getAllFileRelations()) {
      const std::string& path = relation->file()->path();
      if (path.rfind(at(folder) + "/", 0) == 0) paths.insert(path);
    }
    return paths;
  }

  // Whether the records say what the disk holds below the case's folder; what differs, if not.
  std::string disagreement(const std::string& folder) {
    std::string found;
    for (const std::string& path : pathsOf(folder)) {
      const QoFile::Ptr record = QoFile::getFileWithPath(path);
      struct stat disk {};
      const bool present = ::lstat(path.c_str(), &disk) == 0;
      if (!present) {
        if (record && record->status() == 0) found += " recorded but gone: " + path;
        continue;
      }
      if (!record || record->status() != 0) {
        found += " on disk, not recorded: " + path;
      } else if (S_ISDIR(disk.st_mode) != (record->type() == 1)) {
        found += " recorded as another type: " + path;
      } else if (S_ISREG(disk.st_mode) &&
                 (record->sha1() != sha1Of(readFile(path)) || record->length() != disk.st_size ||
                  !isRecordedModificationTime(disk.st_mtim, record->contentModTime()))) {
        found += " recorded with other content or time: " + path;
      }
    }
    return found;
  }

  // The monitor hears of everything in the case's folder and has its look, twice (a path put
  // back by the first is taken by the second).
  void monitorPass(const std::string& folder) {
    std::vector<std::string> relatives;
    for (const std::string& path : pathsOf(folder)) relatives.push_back(path.substr(root_.size() + 1));
    for (int pass = 0; pass < 2; ++pass) {
      look(relatives);
    }
  }
};

TEST_P(InstallStepTest, NothingIsHiddenLostOrLeftUnrecordedWhateverHappensBetweenTwoSteps) {
  load();
  int id = 0;
  for (int install = 0; install <= static_cast<int>(Install::ReplaceWithoutFlags); ++install) {
    for (int act = 0; act <= static_cast<int>(Act::WriteThroughHardLink); ++act) {
      for (int step = 0;; ++step) {
        const std::string folder = folderOf(++id);
        const auto kind = static_cast<Install>(install);
        const auto what = static_cast<Act>(act);
        SCOPED_TRACE(std::string(kInstallNames[install]) + ", " + kActNames[act] + " after step " +
                     std::to_string(step) + " in " + folder);
        prepareLocal(kind, folder);
        if (HasFatalFailure()) return;
        // Recorded by an earlier run: the monitor knows no more of the files than their records.
        RecordedStates::shared().clear();
        // The user's files of the case: where a step's own path is none of them, the first
        // of these that is there is acted on.
        const std::vector<std::string> userFiles{at(folder + "/f.bin"), at(folder + "/g.bin"), at(folder + "/D/a.bin")};
        std::string mark = "W" + std::to_string(id) + "!";
        std::string written;
        std::string movedTo;
        std::unique_ptr<RefusedCommits> refused;
        std::string stepSeen;
        // Opened by the user's program before the install: its writes go wherever the file went.
        const int opened =
            what == Act::WriteThroughOpenDescriptor ? ::open(userFiles.front().c_str(), O_WRONLY | O_CLOEXEC) : -1;
        const std::string link = at(folder) + ".link";
        // exFAT keeps no hard links.
        if (what == Act::WriteThroughHardLink && !GetParam() && isRegular(userFiles.front())) {
          ASSERT_EQ(::link(userFiles.front().c_str(), link.c_str()), 0);
        }
        // Written during the flush, that row acts at no step.
        const int actAt = what == Act::WriteDuringFlush ? -1 : step;
        StepActor actor(at(folder), actAt, [&](DiskStep step, const std::string& path) {
          stepSeen = std::to_string(static_cast<int>(step)) + " " + path;
          if (what == Act::RefuseCommit || what == Act::WriteAndRefuseCommit) {
            refused = std::make_unique<RefusedCommits>(1);
            if (what == Act::RefuseCommit) return;
          }
          std::string target = isRegular(path) && !isTemporary(path) ? path : std::string();
          for (const std::string& candidate : userFiles) {
            if (target.empty() && isRegular(candidate)) target = candidate;
          }
          if (what == Act::WriteThroughOpenDescriptor) {
            if (opened < 0) return;
            EXPECT_EQ(::pwrite(opened, mark.data(), mark.size(), 0), static_cast<ssize_t>(mark.size()));
            written = "the file open before the install";
            return;
          }
          if (what == Act::WriteThroughHardLink) {
            if (isRegular(link)) writeInPlace(link, mark);
            return;
          }
          if (target.empty()) return;
          if (what != Act::Rename) {
            writeInPlace(target, mark);
            written = target;
          } else {
            movedTo = target + ".moved";
            ASSERT_EQ(::rename(target.c_str(), movedTo.c_str()), 0);
          }
        });
        // Not at a step: while the file that is put in place is flushed, once its times are set.
        std::string flushedPath;
        FileFlush::ScopedOverride flushing([&](int fd) {
          if (what == Act::WriteDuringFlush && step == 0 && flushedPath.empty()) {
            flushedPath = fs::read_symlink("/proc/self/fd/" + std::to_string(fd)).string();
            stepSeen = "flush of " + flushedPath;
            writeInPlace("/proc/self/fd/" + std::to_string(fd), mark);
            written = flushedPath;
          }
          return ::fsync(fd);
        });
        {
          const DiskSteps::ScopedHook hook(actor);
          try {
            apply(kind, folder);
          } catch (const RecordsRefused&) {
            // Put back on disk; the pull stops there.
            EXPECT_TRUE(what == Act::RefuseCommit || what == Act::WriteAndRefuseCommit);
          }
        }
        refused.reset();
        if (opened >= 0) ::close(opened);
        if (what == Act::WriteDuringFlush ? flushedPath.empty() : !actor.acted()) break;  // past the last step
        SCOPED_TRACE("acted after step " + stepSeen);
        EXPECT_EQ(PersistentObject::transactionLevel(), 0);
        // A removal is not put back: the monitor records it as the local removal the peer asked
        // for. A disk that cannot exchange two names (exFAT through FUSE) cannot put back a file
        // an update replaced: the monitor then records the arrived content as a local edit.
        const bool putBack = kind != Install::Delete && kind != Install::Folder &&
                             kind != Install::ReplaceWithoutFlags && !(GetParam() && kind == Install::Update);
        if (what == Act::RefuseCommit && putBack) {
          // Installed only together with its record.
          EXPECT_EQ(disagreement(folder), "") << "right after the refused commit";
        }
        monitorPass(folder);
        EXPECT_EQ(disagreement(folder), "") << "after the monitor's look";
        for (const auto& entry : fs::recursive_directory_iterator(at(folder))) {
          EXPECT_FALSE(isTemporary(entry.path().string())) << "left: " << entry.path();
        }
        // A file removed, or replaced where the disk cannot exchange two names, goes with what
        // was written into it through a descriptor.
        const bool goesWithTheFile = kind == Install::Delete || kind == Install::Folder ||
                                     kind == Install::ReplaceWithoutFlags || (GetParam() && kind == Install::Update);
        if (!written.empty() && !(what == Act::WriteThroughOpenDescriptor && goesWithTheFile)) {
          bool kept = false;
          for (const std::string& path : pathsOf(folder)) {
            kept = kept || (isRegular(path) && readFile(path).rfind(mark, 0) == 0);
          }
          EXPECT_TRUE(kept) << "the write into " << written << " is lost";
        }
        if (what == Act::WriteThroughHardLink && kind == Install::Update) {
          for (const auto& entry : fs::recursive_directory_iterator(at(folder))) {
            EXPECT_EQ(entry.path().string().find(".Conflict("), std::string::npos)
                << "a copy of what stands at another link: " << entry.path();
          }
        }
        if (!movedTo.empty()) {
          EXPECT_TRUE(isRegular(movedTo)) << "the file the user moved is lost";
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Disks, InstallStepTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Exfat" : "Here"; });

}  // namespace
}  // namespace velbor::test
