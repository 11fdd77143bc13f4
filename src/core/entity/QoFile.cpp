#include "core/entity/QoFile.h"

#include <fcntl.h>
#include <regex.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "core/entity/CopyItemFolder.h"
#include "core/entity/EntitySettings.h"
#include "core/entity/FileTimes.h"
#include "core/entity/ModeKeeping.h"
#include "core/entity/OwnInstalls.h"
#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/entity/RecordedStates.h"
#include "core/entity/SyncdirMark.h"
#include "core/entity/UsnSource.h"
#include "core/utils/QoUtils.h"
#include "framework/errors/QoException.h"
#include "framework/errors/QoExceptionProto.h"
#include "framework/persistence/SQLiteInstanceManager.h"
#include "framework/persistence/SQLiteStatement.h"
#include "platform/QoLog.h"
#include "platform/Utf8.h"

namespace velbor {
namespace {

using Lock = std::lock_guard<std::recursive_mutex>;
namespace fs = std::filesystem;

sqlite3* database() { return SQLiteInstanceManager::sharedManager()->database(); }

// The ignore pattern, built and used under one lock so a rebuild never overlaps a match. It is
// compiled once per build: every path of a rescan is matched against it.
std::mutex gRegexMutex;
regex_t gRegexExpress;
int gRegexCompiled = 0;  // regcomp's result
bool gRegexBuilt = false;

// The root of the innermost local copy holding `path` (or, unless `strictly`, being it);
// empty when none does.
std::string localCopyRootOf(const std::string& path, bool strictly) {
  std::string root;
  for (const auto& copy : QoSyncdirCopy::getSyncdirCopyInLocalDevice()) {
    const std::string& candidate = copy->path();
    const bool holds = path.compare(0, candidate.size(), candidate) == 0 &&
                       ((!strictly && path.size() == candidate.size()) ||
                        (path.size() > candidate.size() && path[candidate.size()] == '/'));
    if (!candidate.empty() && holds && candidate.size() > root.size()) root = candidate;
  }
  return root;
}

// The folder of `path` reached from its copy's root; raises for a path in no local copy.
CopyItemFolder confinedFolder(const std::string& path) {
  const std::string root = localCopyRootOf(path, true);
  if (root.empty()) throw QoExceptionZeBadPath::defaultExceptionWithReason("({}) is in no local copy", path);
  return CopyItemFolder(root, path);
}

// Has the file system of the item in `status` probed, unless that was done lately: in the
// item itself when it is a folder (a disk may be mounted on it), else in the folder holding
// it. The folder is reached from the copy's root without following a link; an item in no
// local copy is not probed, since nothing is written outside one.
void learnModesOf(const std::string& path, const struct stat& status) {
  if (!S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode)) return;
  if (ModeKeeping::shared().probedLately(status.st_dev)) return;
  const std::string root = localCopyRootOf(path, false);
  if (root.empty()) return;
  if (path == root) {
    ModeKeeping::shared().learnAt(root);
    return;
  }
  try {
    const CopyItemFolder holder(root, path);
    const int holderFd = holder.duplicateFolderDescriptor();
    if (holderFd < 0) return;
    int folderFd = holderFd;
    if (S_ISDIR(status.st_mode)) {
      folderFd = ::openat(holderFd, holder.name().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      ::close(holderFd);
      if (folderFd < 0) return;
    }
    const std::string folder = S_ISDIR(status.st_mode) ? path : fs::path(path).parent_path().string();
    ModeKeeping::shared().learnIn(folderFd, folder, status.st_dev);
    ::close(folderFd);
  } catch (const std::exception& e) {
    // A folder on the way that is gone or a link: the item is read as it stands.
    QoLog("*** Permissions of ({}) not probed, {}", path, e.what());
  }
}

// Whether the item is a regular file with the SHA-1 text `sha1` (none never matches).
bool holdsContent(const CopyItemFolder& folder, const std::string& name, const std::string& sha1) {
  if (sha1.empty()) return false;
  try {
    folder.verifyFile(name, sha1);
    return true;
  } catch (const QoException&) {
    // Other content: it stays a local change.
    return false;
  }
}

std::string fileTypeAttribute(mode_t mode) {
  if (S_ISLNK(mode)) return "NSFileTypeSymbolicLink";
  if (S_ISSOCK(mode)) return "NSFileTypeSocket";
  if (S_ISCHR(mode)) return "NSFileTypeCharacterSpecial";
  if (S_ISBLK(mode)) return "NSFileTypeBlockSpecial";
  return "NSFileTypeUnknown";
}

void buildRegexExpressLocked() {
  const std::string pattern = EntitySettings::installed().syncHiddenFile()
                                  ? QoFile::addEscapeChar(fmt::format("{}$", "Velbor.Download"))
                                  : QoFile::addEscapeChar("/.");
  if (gRegexBuilt && gRegexCompiled == 0) regfree(&gRegexExpress);
  gRegexCompiled = regcomp(&gRegexExpress, pattern.c_str(), 0);
  gRegexBuilt = true;
}

}  // namespace

std::string QoFile::getTypeString(int32_t type) {
  switch (type) {
    case 0:
      return "f";
    case 1:
      return "d";
    default:
      return "unkown";
  }
}

std::string QoFile::getStatusString(int32_t status) {
  switch (status) {
    case 0:
      return "o";
    case 1:
      return "r";
    default:
      return "unkown";
  }
}

QoFile::Comparator QoFile::sortComparator() {
  return [](const Ptr& a, const Ptr& b) { return QoUtils::caseInsensitiveCompare(a->path(), b->path()) < 0; };
}

QoFile::Comparator QoFile::sortComparatorDesc() {
  return [](const Ptr& a, const Ptr& b) { return QoUtils::caseInsensitiveCompare(a->path(), b->path()) > 0; };
}

std::vector<std::string> QoFile::uniques() { return {"path"}; }
std::vector<std::vector<std::string>> QoFile::indices() { return {{"usn"}}; }

std::vector<std::string> QoFile::propertiesOrderedArray() {
  // Never destroyed: jobs still running at exit use it.
  static const auto& properties = *new std::vector<std::string>{
      "status", "length", "usn", "androidAttr", "contentModTime", "winAttr", "path", "sha1", "type", "unixAttr"};
  return properties;
}

std::vector<PersistentProperty> QoFile::propertiesWithEncodedTypes() {
  return {PersistentProperty::scalar("status", &QoFile::status_),
          PersistentProperty::scalar("length", &QoFile::length_),
          PersistentProperty::scalar("usn", &QoFile::usn_),
          PersistentProperty::scalar("androidAttr", &QoFile::androidAttr_),
          PersistentProperty::scalar("contentModTime", &QoFile::contentModTime_),
          PersistentProperty::scalar("winAttr", &QoFile::winAttr_),
          PersistentProperty::text("path", &QoFile::path_),
          PersistentProperty::text("sha1", &QoFile::sha1_),
          PersistentProperty::scalar("type", &QoFile::type_),
          PersistentProperty::scalar("unixAttr", &QoFile::unixAttr_)};
}

void QoFile::setUsnAuto() { usn_ = UsnSource::installed().getAutoUsn(); }

QoFile::List QoFile::findByCriteria(const std::string& criteria, const std::optional<Parameters>& parameters) {
  List files;
  Lock lock(getLocker());
  SQLiteStatement statement(database(), fmt::format("SELECT * FROM qo_file {}", criteria));
  if (!statement.ok()) {
    QoLog("Error select. {}, {}", statement.errorMessage(), className());
    return files;
  }
  bindCriteriaParameters(statement, parameters);
  try {
    while (statement.step() == SQLITE_ROW) {
      auto file = std::make_shared<QoFile>();
      file->setPk(statement.columnInt(0));
      file->status_ = statement.columnInt(1);
      file->length_ = statement.columnInt64(2);
      file->usn_ = statement.columnInt64(3);
      file->androidAttr_ = statement.columnInt(4);
      file->contentModTime_ = statement.columnInt64(5);
      file->winAttr_ = statement.columnInt(6);
      file->path_ = statement.columnText(7);
      file->sha1_ = statement.columnText(8);
      file->type_ = statement.columnInt(9);
      file->unixAttr_ = statement.columnInt(10);
      files.push_back(std::move(file));
    }
  } catch (const QoException&) {
    // The rows read so far are the answer.
  }
  return files;
}

void QoFile::save() {
  const auto failure =
      saveRow(fmt::format("UPDATE {} SET status=?, length=?, usn=?, android_attr=?, content_mod_time=?, win_attr=?,  "
                          "path=?, sha_1=?, type=?, unix_attr=? WHERE pk={}",
                          tableName(), pk()),
              fmt::format("INSERT INTO {} values(null, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)", tableName()),
              [this](SQLiteStatement& statement, bool) {
                statement.bindInt(1, status_);
                statement.bindInt64(2, length_);
                statement.bindInt64(3, usn_);
                statement.bindInt(4, androidAttr_);
                statement.bindInt64(5, contentModTime_);
                statement.bindInt(6, winAttr_);
                statement.bindOptionalText(7, path_);
                statement.bindOptionalText(8, sha1_);
                statement.bindInt(9, type_);
                statement.bindInt(10, unixAttr_);
              });
  if (failure) reportWriteFailure(fmt::format("Error inserting or updating row. {}, {}", *failure, className()));
}

QoFile::Ptr QoFile::getFileWithPath(const std::string& path) {
  return findFirstByCriteria("WHERE path = ?", Parameters{path});
}

int QoFile::compareFileBetweenFileSystem(const Ptr& fileSystem, const Ptr& database) {
  if (!fileSystem && !database) return 0;
  if (!fileSystem) return 128;
  if (!database) return 1;
  int mask = 0;
  if (database->type_ != fileSystem->type_) {
    QoLog("file type: {} => {}", database->getTypeString(), fileSystem->getTypeString());
    mask |= 8;
  }
  if (database->status_ == 1) {
    QoLog("file status: {} => {}", database->getStatusString(), fileSystem->getStatusString());
    mask |= 32;
  }
  if (database->unixAttr_ != fileSystem->unixAttr_) {
    QoLog("file unixAttr: {} => {}", database->unixAttr_, fileSystem->unixAttr_);
    mask |= 16;
  }
  if (!isSameModTimeSecond(database->contentModTime_, fileSystem->contentModTime_)) {
    QoLog("file mtime: {} => {}", database->contentModTime_, fileSystem->contentModTime_);
    mask |= 4;
  }
  return mask;
}

void QoFile::moveItemAtPath(const std::string& source, const std::string& destination) {
  // One rename replaces an existing file atomically; removing it first would lose it for good
  // when the move then fails.
  const CopyItemFolder from = confinedFolder(source);
  const CopyItemFolder to = confinedFolder(destination);
  from.moveReplacing(from.name(), to, to.name());
}

void QoFile::setFilePosixPermissions(int32_t permissions, const std::string& path) {
  try {
    const CopyItemFolder folder = confinedFolder(path);
    // A link's own bits mean nothing here.
    if (const auto item = folder.status(folder.name()); item && !S_ISLNK(item->st_mode)) {
      folder.setPermissions(folder.name(), permissions);
    }
  } catch (const std::exception& e) {
    QoLog("*** Set permissions of ({}) failed, {}", path, e.what());
  }
}

void QoFile::setFileAttributeAtPath(const std::string& path, int32_t permissions, int64_t mtime) {
  try {
    const CopyItemFolder folder = confinedFolder(path);
    if (const auto item = folder.status(folder.name()); item && !S_ISLNK(item->st_mode)) {
      folder.setAttributes(folder.name(), permissions, mtime);
    }
  } catch (const std::exception& e) {
    QoLog("*** Set attributes of ({}) failed, {}", path, e.what());
  }
}

bool QoFile::createDirectoryAtPath(const std::string& path, int32_t /*permissions: applied by callers*/,
                                   int64_t mtime) {
  try {
    const CopyItemFolder folder = confinedFolder(path);
    const auto item = folder.status(folder.name());
    if (item && !S_ISDIR(item->st_mode) && !isRecordedAsOnDisk(folder, path)) {
      QoLog("*** Create folder ({}) refused, the file there has changes not yet recorded", path);
      return false;
    }
    folder.makeDirectory(folder.name(), std::nullopt, mtime);
    return true;
  } catch (const std::exception& e) {
    QoLog("*** Create folder ({}) failed, {}", path, e.what());
    return false;
  }
}

bool QoFile::isRecordedAsOnDisk(const CopyItemFolder& folder, const std::string& path,
                                const std::string& incomingSha1) {
  return isRecordedAsOnDisk(folder, folder.name(), path, incomingSha1);
}

bool QoFile::isRecordedAsOnDisk(const CopyItemFolder& folder, const std::string& name, const std::string& path,
                                const std::string& incomingSha1) {
  const auto item = folder.status(name);
  if (!item || !(S_ISREG(item->st_mode) || S_ISDIR(item->st_mode))) return true;
  const Ptr stored = getFileWithPath(path);
  bool same = stored && stored->status() == 0;
  if (same && S_ISDIR(item->st_mode)) {
    same = stored->type() == 1;
  } else if (same) {
    // To the millisecond the record keeps: a second save of the same size within one second
    // is a change all the same.
    same = stored->type() == 0 && stored->length() == static_cast<int64_t>(item->st_size) &&
           isRecordedModificationTime(item->st_mtim, stored->contentModTime());
    // A mode changed and not yet recorded is a local change too, where the disk keeps modes.
    same = same && (!ModeKeeping::shared().keepsModes(item->st_dev) ||
                    static_cast<int32_t>(item->st_mode & 07777) == stored->unixAttr());
    // The same size and time, yet the disk tells of a change since the record was made: the
    // content decides.
    if (same && RecordedStates::shared().mayDiffer(path, OwnInstalls::State::of(*item))) {
      same = holdsContent(folder, name, stored->sha1());
    }
  }
  if (!same && S_ISREG(item->st_mode)) same = holdsContent(folder, name, incomingSha1);
  return same;
}

int64_t QoFile::getFileModifyTimeAtPath(const std::string& path) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) return 0;
  return modificationMilliseconds(status);
}

int32_t QoFile::unixFileType(const std::string& path) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) return 3;
  if (S_ISDIR(status.st_mode)) return 1;
  if (S_ISREG(status.st_mode)) return 0;
  return 3;
}

std::string QoFile::addEscapeChar(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '/')
      escaped += "\\/";
    else
      escaped += c;
  }
  std::string result;
  for (char c : escaped) {
    if (c == '.')
      result += "\\.";
    else
      result += c;
  }
  return result;
}

void QoFile::generateRegexExpress() {
  std::lock_guard<std::mutex> guard(gRegexMutex);
  buildRegexExpressLocked();
}

bool QoFile::matchIgnoreFilter(const std::string& path) {
  // The copy's own mark stays on this device, whatever the pattern.
  if (SyncdirMark::isMarkName(std::string_view(path).substr(path.rfind('/') + 1))) return true;
  std::lock_guard<std::mutex> guard(gRegexMutex);
  if (!gRegexBuilt) buildRegexExpressLocked();
  if (gRegexCompiled != 0) {
    char error[100];
    regerror(gRegexCompiled, &gRegexExpress, error, sizeof(error));
    QoLog("{}", error);
    return false;
  }
  return regexec(&gRegexExpress, path.c_str(), 0, nullptr, 0) != REG_NOMATCH;
}

std::vector<std::string> QoFile::getDirectorySubFilePathsAtPath(const std::string& path, bool sorted, bool isRelative) {
  std::vector<std::string> paths;
  try {
    // Outside every local copy (browsing) the folder's own parent is where the walk starts.
    std::string root = localCopyRootOf(path, false);
    if (root.empty()) root = fs::path(path).parent_path().string();
    paths = CopyItemFolder::listTree(root, path);
  } catch (const std::exception& e) {
    QoLog("*** Get subfile failed from path({}), {}", path, e.what());
    return {};
  }
  if (isRelative) {
    for (std::string& entry : paths) entry = fs::path(entry).lexically_relative(path).string();
  }
  if (sorted) std::sort(paths.begin(), paths.end(), QoUtils::NSStringSortComparator());
  return paths;
}

QoFile::Ptr QoFile::initWithPath(const std::string& path, bool learnModes) {
  // Such a name can be neither stored nor sent.
  if (!isValidUtf8(path)) {
    QoLog("* File({}) name is not UTF-8, skipped.", path);
    return nullptr;
  }
  struct stat status {};
  // An item that vanished has no record, rather than one with no field set.
  if (lstat(path.c_str(), &status) != 0) return nullptr;
  auto file = std::make_shared<QoFile>();
  file->path_ = path;
  file->contentModTime_ = modificationMilliseconds(status);
  file->length_ = static_cast<int64_t>(status.st_size);
  const std::optional<int32_t> mode = modeOnDisk(path, status, learnModes);
  file->unixAttr_ = mode.value_or(ModeKeeping::defaultMode(S_ISDIR(status.st_mode)));
  file->modeNotKept_ = !mode;
  file->linkCount_ = static_cast<uint64_t>(status.st_nlink);
  if (S_ISDIR(status.st_mode)) {
    file->type_ = 1;
    file->length_ = 0;
  } else if (S_ISREG(status.st_mode)) {
    file->type_ = 0;
  } else if (unixFileType(path) == 3) {
    file->type_ = 3;
    QoLog("* File({}) type({}) ignore.", path, fileTypeAttribute(status.st_mode));
  }
  return file;
}

std::optional<int32_t> QoFile::modeOnDisk(const std::string& path, const struct stat& status, bool learnModes) {
  if (learnModes) learnModesOf(path, status);
  if (!ModeKeeping::shared().keepsModes(status.st_dev)) return std::nullopt;
  return static_cast<int32_t>(status.st_mode & 07777);
}

void QoFile::keepModeOf(const QoFile& stored) {
  if (modeNotKept_ && stored.type_ == type_) unixAttr_ = stored.unixAttr_;
}

std::shared_ptr<QoFileAndSyncdirCopyRelation> QoFile::getRelationWithSyncdirCopyId(int32_t syncdirCopyPk) const {
  return QoFileAndSyncdirCopyRelation::findFirstByCriteria(
      "WHERE qo_syncdir_copy.pk=? AND file=?", Parameters{std::to_string(syncdirCopyPk), std::to_string(pk())});
}

int64_t QoFile::getFileRelationsCount() const {
  return QoFileAndSyncdirCopyRelation::countByCriteria("WHERE file=?", Parameters{std::to_string(pk())});
}

QoFile::RelationList QoFile::getFileRelations() const {
  return QoFileAndSyncdirCopyRelation::findByCriteria("WHERE file=?", Parameters{std::to_string(pk())});
}

QoFile::List QoFile::getSubFiles() const {
  // Paths below "p" are exactly those between "p/" and "p0" in byte order ('0' follows '/'):
  // two ranges on the unique path index instead of a pass over every row.
  return findByCriteria("WHERE path = ?1 OR (path > ?1 || '/' AND path < ?1 || '0')", Parameters{path_});
}

int64_t QoFile::highestUsn() {
  const List highest = findByCriteria("ORDER BY usn DESC LIMIT 1");
  return highest.empty() ? 0 : highest.front()->usn();
}

QoFile::List QoFile::presentIn(const std::string& folder) {
  // The range of paths below the folder, narrowed on the index to its own entries before any
  // row is read.
  return findByCriteria(
      "WHERE path > ?1 || '/' AND path < ?1 || '0' AND instr(substr(path, length(?1) + 2), '/') = 0 AND status = 0",
      Parameters{folder});
}

void QoFile::computeSha1IfRegular() {
  if (type_ == 0) sha1_ = QoUtils::getSha1StringWithPath(path_).value_or("");
}

void QoFile::insertRelationUpdateSha1(bool updateSha1) {
  if (auto stored = getFileWithPath(path_)) setPk(stored->pk());
  setUsnAuto();
  if (updateSha1) computeSha1IfRegular();
  status_ = 0;
  for (const auto& copy : QoSyncdirCopy::getSyncdirCopysWithFilePath(path_)) {
    auto relation = getRelationWithSyncdirCopyId(copy->pk());
    if (!relation) relation = std::make_shared<QoFileAndSyncdirCopyRelation>();
    relation->setFile(self());
    relation->setSyncdirCopy(copy);
    relation->setVclockInc();
    relation->save();
  }
}

void QoFile::updateRelationUpdateSha1(bool updateSha1) {
  const RelationList relations = getFileRelations();
  if (relations.empty()) {
    QoLog("*** Warning File({}) update is in no one relation", path_);
    insertRelationUpdateSha1(updateSha1);
    return;
  }
  setUsnAuto();
  status_ = 0;
  if (updateSha1) computeSha1IfRegular();
  for (const auto& relation : relations) {
    relation->setFile(self());
    relation->setVclockInc();
    relation->save();
  }
}

void QoFile::deleteRelation() {
  const RelationList relations = getFileRelations();
  if (relations.empty()) {
    QoLog("*** Warning File({}) delete is in no one relation", path_);
    return;
  }
  status_ = 1;
  setUsnAuto();
  for (const auto& relation : relations) {
    relation->setVclockInc();
    relation->setFile(self());
    relation->save();
  }
}

void QoFile::deleteRelationRecursion() {
  if (type_ == 0) {
    deleteRelation();
  } else if (type_ == 1) {
    // Rows already removed keep their usn and clock: marking them again would send every
    // earlier removal below this folder to the peers once more.
    for (const Ptr& file : getSubFiles()) {
      if (file->status() != 1) file->deleteRelation();
    }
  } else {
    QoLog("*** File type un handled {}", path_);
  }
}

std::string QoFile::conflictPathOf(const std::string& path) {
  const std::string suffix = fmt::format(".Conflict({})", QoUtils::generateShortUuid());
  // A name already near the 255 bytes a name can have keeps only its first whole characters,
  // or the conflict copy could never be made and the conflict would come back on every pull.
  constexpr size_t kLongestName = 255;
  const size_t nameStart = path.rfind('/') + 1;
  const size_t nameLength = path.size() - nameStart;
  if (nameLength + suffix.size() <= kLongestName) return path + suffix;
  size_t cut = nameStart + kLongestName - suffix.size();
  while (cut > nameStart && (static_cast<unsigned char>(path[cut]) & 0xC0) == 0x80) --cut;
  return path.substr(0, cut) + suffix;
}

bool QoFile::isModifyAgain() const {
  if (type_ == 1) return false;
  struct stat status {};
  if (lstat(path_.c_str(), &status) != 0) return false;
  return !isSameModTimeSecond(modificationMilliseconds(status), contentModTime_);
}

}  // namespace velbor
