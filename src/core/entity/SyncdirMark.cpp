#include "core/entity/SyncdirMark.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "core/entity/FileTimes.h"
#include "core/entity/MarkedCopies.h"
#include "core/entity/QoFile.h"
#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/utils/QoUtils.h"
#include "platform/QoLog.h"
#include "platform/WholeWrite.h"

namespace velbor {
namespace {

// Never destroyed: jobs still running at exit use it.
const std::string& kMark = *new std::string(SyncdirMark::kName);

// A mark holds a uuid and a line break; anything longer is no mark of this program.
constexpr size_t kMarkMaxBytes = 256;
// Recorded files looked at for evidence that an unmarked folder is the copy's.
constexpr int kEvidenceCandidates = 64;
// Larger files are taken on their size and time alone: their content is not read at a look.
constexpr int64_t kEvidenceHashBytes = 16LL << 20;

// The root folder of a copy, open while it is looked at.
class RootFd {
 public:
  explicit RootFd(const std::string& root) : fd_(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
  ~RootFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  RootFd(const RootFd&) = delete;
  RootFd& operator=(const RootFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

std::string trimmed(const std::string& text) {
  const char* space = " \t\r\n";
  const size_t first = text.find_first_not_of(space);
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(space) - first + 1);
}

// What the mark in the open root says, without its spaces and line breaks: nothing when there
// is no mark (or something that is no file of its own stands there), "" for a mark written
// before marks held uuids.
std::optional<std::string> readMark(int rootFd) {
  // Non-blocking: a pipe of that name must not hang the look.
  const int fd = ::openat(rootFd, kMark.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat status {};
  std::optional<std::string> content;
  if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
    std::string bytes(kMarkMaxBytes + 1, '\0');
    size_t size = 0;
    while (size < bytes.size()) {
      const ssize_t got = ::read(fd, bytes.data() + size, bytes.size() - size);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      size += static_cast<size_t>(got);
    }
    bytes.resize(size);
    // Too long to be a uuid: someone else's file, taken as another copy's mark.
    content = size > kMarkMaxBytes ? std::string("?") : trimmed(bytes);
  }
  ::close(fd);
  return content;
}

bool hasPresentRecords(const QoSyncdirCopy& copy) {
  return QoFileAndSyncdirCopyRelation::countByCriteria(
             "WHERE syncdir_copy = ? AND file IN (SELECT pk FROM qo_file WHERE status = 0)",
             QoFileAndSyncdirCopyRelation::Parameters{std::to_string(copy.pk())}) > 0;
}

// What the recorded non-empty files of a copy show of an unmarked folder: how many were looked
// at, and how many stand at their place with their recorded size and modification time (and
// content, where small enough to read). Most of them must: an older backup put in the folder's
// place holds some of them unchanged, and names alone prove nothing (every ext4 disk has
// "lost+found", every camera card "DCIM").
struct Evidence {
  int looked = 0;
  int asRecorded = 0;
  bool enough() const { return asRecorded * 2 > looked; }
};

Evidence recordedFilesThere(const QoSyncdirCopy& copy) {
  const std::string prefix = copy.path() + "/";
  // The shortest paths first: those at the top are the most likely to have stayed as they were.
  const auto files = QoFile::findByCriteria(
      "WHERE status = 0 AND type = 0 AND length > 0 AND qo_file.pk IN "
      "(SELECT file FROM qo_file_and_syncdir_copy_relation WHERE syncdir_copy = ?) "
      "ORDER BY length(path) LIMIT " +
          std::to_string(kEvidenceCandidates),
      QoFile::Parameters{std::to_string(copy.pk())});
  Evidence evidence;
  std::vector<QoFile::Ptr> toRead;
  for (const auto& file : files) {
    const std::string& path = file->path();
    if (path.compare(0, prefix.size(), prefix) != 0) continue;
    ++evidence.looked;
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
    if (status.st_size != file->length() || !isRecordedModificationTime(status.st_mtim, file->contentModTime())) {
      continue;
    }
    if (file->sha1().empty() || status.st_size > kEvidenceHashBytes) {
      ++evidence.asRecorded;
    } else {
      toRead.push_back(file);
    }
  }
  // Contents are read only while they can still decide: a folder that is not the copy's, looked
  // at again and again while it stands there, mostly costs a look at sizes and times.
  for (size_t i = 0; i < toRead.size() && !evidence.enough(); ++i) {
    if ((evidence.asRecorded + static_cast<int>(toRead.size() - i)) * 2 <= evidence.looked) break;
    const auto sha1 = QoUtils::getSha1StringWithPath(toRead[i]->path());
    if (sha1 && *sha1 == toRead[i]->sha1()) ++evidence.asRecorded;
  }
  return evidence;
}

// Whether every entry recorded as present in a copy that holds no recorded non-empty file
// (folders and empty files only) stands at its place as recorded: no file content can be
// evidence there, and taking such a folder removes and changes nothing recorded.
bool holdsAllOfAnEmptyCopy(const QoSyncdirCopy& copy) {
  const std::string ofCopy =
      "WHERE status = 0 AND qo_file.pk IN (SELECT file FROM qo_file_and_syncdir_copy_relation WHERE syncdir_copy = ?)";
  const QoFile::Parameters parameters{std::to_string(copy.pk())};
  if (QoFile::countByCriteria(ofCopy + " AND type = 0 AND length > 0", parameters) > 0) return false;
  const std::string prefix = copy.path() + "/";
  for (const auto& file : QoFile::findByCriteria(ofCopy, parameters)) {
    const std::string& path = file->path();
    if (path.compare(0, prefix.size(), prefix) != 0 || (file->type() != 0 && file->type() != 1)) continue;
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return false;
    if (file->type() == 1 ? !S_ISDIR(status.st_mode) : !S_ISREG(status.st_mode) || status.st_size != 0) return false;
  }
  return true;
}

struct Look {
  SyncdirMark::State state = SyncdirMark::State::kNoFolder;
  bool ownMark = false;              // the folder holds this copy's mark
  std::optional<Evidence> evidence;  // what the recorded files showed, where they were looked at
};

Look look(const QoSyncdirCopy& copy, int rootFd) {
  using State = SyncdirMark::State;
  if (rootFd < 0) return {State::kNoFolder, false, std::nullopt};
  const std::optional<std::string> mark = readMark(rootFd);
  if (mark && !copy.uuid().empty() && *mark == copy.uuid()) return {State::kInPlace, true, std::nullopt};
  if (mark && !mark->empty()) return {State::kOtherMark, false, std::nullopt};
  if (MarkedCopies::installed().wasMarked(copy.uuid())) return {State::kMarkLost, false, std::nullopt};
  // Never marked: nothing recorded as present can be taken as removed, or most of the files
  // recorded are evidently there.
  if (!hasPresentRecords(copy)) return {State::kInPlace, false, std::nullopt};
  const Evidence evidence = recordedFilesThere(copy);
  if (evidence.enough()) return {State::kInPlace, false, evidence};
  // The mark an earlier version left, in a folder of folders and empty files all in place.
  if (mark && holdsAllOfAnEmptyCopy(copy)) return {State::kInPlace, false, std::nullopt};
  return {State::kNoEvidence, false, evidence};
}

// A folder that cannot take the mark (read-only) is said once, not at every look.
void warnOnce(const std::string& root, int error) {
  static std::mutex& lock = *new std::mutex;
  static std::set<std::string>& warned = *new std::set<std::string>;
  std::lock_guard guard(lock);
  if (warned.insert(root).second) QoLog("*** syncdir({}) mark not written, {}", root, std::strerror(error));
}

// The name of a temporary mark: the mark's name, a dot and a short uuid (six hex digits).
bool isTemporaryMarkName(std::string_view name) {
  if (name.size() != kMark.size() + 7 || name.substr(0, kMark.size()) != kMark || name[kMark.size()] != '.') {
    return false;
  }
  for (const char c : name.substr(kMark.size() + 1)) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

// Temporary marks of a write that was cut off (the program killed, the machine stopped):
// never synchronised, they would stay in the user's folder for good.
void removeLeftTemporaries(int rootFd) {
  const int fd = ::openat(rootFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
  if (dir == nullptr) {
    if (fd >= 0) ::close(fd);
    return;
  }
  std::vector<std::string> left;
  while (const dirent* entry = ::readdir(dir)) {
    if (isTemporaryMarkName(entry->d_name)) left.emplace_back(entry->d_name);
  }
  ::closedir(dir);
  for (const std::string& name : left) {
    struct stat status {};
    if (::fstatat(rootFd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode)) {
      ::unlinkat(rootFd, name.c_str(), 0);
    }
  }
}

// Writes the mark whole, or leaves the one there: a temporary file renamed over it.
bool writeMark(int rootFd, const std::string& root, const std::string& uuid) {
  // One write at a time: another's temporary mark is no leftover.
  static std::mutex& writing = *new std::mutex;
  std::lock_guard guard(writing);
  removeLeftTemporaries(rootFd);
  const std::string temporary = kMark + "." + QoUtils::generateShortUuid();
  const int fd = ::openat(rootFd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    warnOnce(root, errno);
    return false;
  }
  int error = writeWhole(fd, uuid + "\n");
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::renameat(rootFd, temporary.c_str(), rootFd, kMark.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlinkat(rootFd, temporary.c_str(), 0);
    warnOnce(root, error);
    return false;
  }
  ::fsync(rootFd);
  return true;
}

}  // namespace

bool SyncdirMark::isMarkName(std::string_view name) {
  return name == kName ||
         (name.size() > kName.size() + 1 && name.substr(0, kName.size()) == kName && name[kName.size()] == '.');
}

SyncdirMark::State SyncdirMark::stateOf(const QoSyncdirCopy& copy) {
  // The root may be a link the user chose; the mark inside it is never one.
  const RootFd root(copy.path());
  return look(copy, root.get()).state;
}

bool SyncdirMark::inPlace(const QoSyncdirCopy& copy) {
  const RootFd root(copy.path());
  const Look seen = look(copy, root.get());
  if (seen.state != State::kInPlace) return false;
  const MarkedCopies marked = MarkedCopies::installed();
  if (seen.ownMark) {
    // Written by hand, or the store of marks was lost: known from now on.
    if (!marked.wasMarked(copy.uuid())) marked.setMarked(copy.uuid());
    return true;
  }
  // Evidently the copy's folder: marked, so that no other folder is taken for it later. A
  // folder that cannot take the mark is still the copy's, and is looked at the same way again.
  if (writeMark(root.get(), copy.path(), copy.uuid())) {
    marked.setMarked(copy.uuid());
    if (seen.evidence) {
      QoLog("syncdir({}) marked as the folder of copy {}: {} of the {} recorded files looked at are there as recorded",
            copy.path(), copy.uuid(), seen.evidence->asRecorded, seen.evidence->looked);
    } else {
      QoLog("syncdir({}) marked as the folder of copy {}", copy.path(), copy.uuid());
    }
  }
  return true;
}

bool SyncdirMark::markAs(const QoSyncdirCopy& copy) {
  const RootFd root(copy.path());
  if (root.get() < 0) {
    warnOnce(copy.path(), errno);
    return false;
  }
  if (!writeMark(root.get(), copy.path(), copy.uuid())) return false;
  MarkedCopies::installed().setMarked(copy.uuid());
  return true;
}

std::string SyncdirMark::explain(const QoSyncdirCopy& copy) {
  const RootFd root(copy.path());
  const Look seen = look(copy, root.get());
  if (seen.state != State::kNoEvidence || !seen.evidence || seen.evidence->looked == 0) return describe(seen.state);
  return fmt::format("not marked, and only {} of the {} recorded files looked at are there as recorded (most must be)",
                     seen.evidence->asRecorded, seen.evidence->looked);
}

const char* SyncdirMark::describe(State state) {
  switch (state) {
    case State::kInPlace:
      return "in place";
    case State::kNoFolder:
      return "no folder there";
    case State::kOtherMark:
      return "it holds the mark of another copy";
    case State::kMarkLost:
      return "its mark is not there";
    case State::kNoEvidence:
      return "not marked and too few of its recorded files are there as recorded";
  }
  return "";
}

}  // namespace velbor
