#include "core/entity/NameSpelling.h"

#include <dirent.h>
#include <fcntl.h>
#include <locale.h>
#include <unistd.h>
#include <wctype.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "platform/QoLog.h"
#include "platform/Utf8.h"

namespace velbor {
namespace {

// Listings kept at most: a pass works in a few folders at a time.
constexpr size_t kMostListings = 64;

bool isAsciiLetter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Whether the code point may have another case: scripts with letter case, roughly.
bool mayHaveCase(char32_t c) {
  return (c >= 0xB5 && c <= 0x58F) || (c >= 0x10A0 && c <= 0x10FF) || (c >= 0x13A0 && c <= 0x13FF) ||
         (c >= 0x1C80 && c <= 0x1FFF) || (c >= 0x2100 && c <= 0x218F) || (c >= 0x24B6 && c <= 0x24E9) ||
         (c >= 0x2C00 && c <= 0x2D2F) || (c >= 0xA640 && c <= 0xA7FF) || (c >= 0xAB70 && c <= 0xABBF) ||
         (c >= 0xFF21 && c <= 0xFF5A) || c >= 0x10400;
}

struct Letters {
  bool ascii = false;
  bool other = false;
};

Letters lettersOf(const std::string& name) {
  Letters letters;
  for (size_t i = 0; i < name.size();) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (c < 0x80) {
      letters.ascii = letters.ascii || isAsciiLetter(c);
      ++i;
      continue;
    }
    // A sequence cut short or malformed counts as a letter: the listing decides.
    const size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    char32_t point = length == 4 ? c & 0x07 : length == 3 ? c & 0x0F : c & 0x1F;
    for (size_t k = 1; k < length && i + k < name.size(); ++k) {
      point = (point << 6) | (static_cast<unsigned char>(name[i + k]) & 0x3F);
    }
    letters.other = letters.other || length == 1 || mayHaveCase(point);
    i += length;
  }
  return letters;
}

std::string swappedAscii(const std::string& name) {
  std::string swapped = name;
  for (char& c : swapped) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 'A' && u <= 'Z') c = static_cast<char>(u + 32);
    if (u >= 'a' && u <= 'z') c = static_cast<char>(u - 32);
  }
  return swapped;
}

// The locale whose case mappings hold the whole of Unicode's; none when it is not installed.
locale_t unicodeCase() {
  static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return locale;
}

// The letter `point` folds to: its capital, as a disk that ignores case compares names (exFAT
// by its table of capitals, which follows Unicode's); ASCII letters small, as they always were.
char32_t foldedLetter(char32_t point) {
  if (point < 0x80) return point >= 'A' && point <= 'Z' ? point + 32 : point;
  char32_t upper = point;
  if (const locale_t locale = unicodeCase()) {
    upper = static_cast<char32_t>(towupper_l(static_cast<wint_t>(point), locale));
  } else if (point >= 0xE0 && point <= 0xFE && point != 0xF7) {
    upper = point - 0x20;  // Latin-1 at least
  }
  return upper < 0x80 && upper >= 'A' && upper <= 'Z' ? upper + 32 : upper;
}

void appendUtf8(std::string& out, char32_t point) {
  if (point < 0x80) {
    out += static_cast<char>(point);
  } else if (point < 0x800) {
    out += static_cast<char>(0xC0 | (point >> 6));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else if (point < 0x10000) {
    out += static_cast<char>(0xE0 | (point >> 12));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (point >> 18));
    out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  }
}

// Every letter of the name folded (see foldedLetter); bytes that are no whole UTF-8 sequence
// stay as they are.
std::string folded(const std::string& name) {
  std::string result;
  result.reserve(name.size());
  for (size_t i = 0; i < name.size();) {
    const size_t length = utf8SequenceLength(name, i);
    if (length == 0) {
      result += name[i++];
      continue;
    }
    const auto lead = static_cast<unsigned char>(name[i]);
    char32_t point = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) point = (point << 6) | (static_cast<unsigned char>(name[i + k]) & 0x3F);
    appendUtf8(result, foldedLetter(point));
    i += length;
  }
  return result;
}

// The names listed in the folder; nothing when it cannot be listed.
std::optional<std::set<std::string>> readNames(int folderFd, const std::string& folderPath) {
  const int fd = folderFd >= 0 ? ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                               : ::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
  if (dir == nullptr) {
    QoLog("*** List folder({}) failed, {}", folderPath, std::strerror(errno));
    if (fd >= 0) ::close(fd);
    return std::nullopt;
  }
  std::set<std::string> names;
  errno = 0;
  while (const dirent* entry = ::readdir(dir)) {
    names.emplace(entry->d_name);
    errno = 0;
  }
  const int error = errno;
  ::closedir(dir);
  if (error != 0) {
    QoLog("*** List folder({}) failed, {}", folderPath, std::strerror(error));
    return std::nullopt;
  }
  return names;
}

}  // namespace

std::mutex& NameSpelling::mutex() {
  // Never destroyed: pulls and the monitor still running at exit ask it.
  static auto* instance = new std::mutex();
  return *instance;
}

std::map<std::string, NameSpelling::Listing>& NameSpelling::listings() {
  static auto* instance = new std::map<std::string, Listing>();
  return *instance;
}

NameSpelling::Listed NameSpelling::inFolder(int folderFd, const std::string& folderPath, const std::string& name,
                                            std::string* spelling) {
  const int at = folderFd >= 0 ? folderFd : AT_FDCWD;
  const auto entryOf = [&](const std::string& entry) { return folderFd >= 0 ? entry : folderPath + "/" + entry; };
  struct stat status {};
  if (::fstatat(at, entryOf(name).c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? Listed::kAbsent : Listed::kAsSpelled;
  }
  const Letters letters = lettersOf(name);
  if (!letters.ascii && !letters.other) return Listed::kAsSpelled;
  // A disk that tells "a" from "A" tells the other letters apart too.
  if (letters.ascii && ::fstatat(at, entryOf(swappedAscii(name)).c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 &&
      errno == ENOENT && !doubted(folderPath)) {
    return Listed::kAsSpelled;
  }
  {
    std::lock_guard lock(mutex());
    const auto found = listings().find(folderPath);
    if (found != listings().end() && Clock::now() - found->second.read < kLifetime) {
      if (found->second.names.count(name) != 0) return Listed::kAsSpelled;
    }
  }
  // Not in a kept listing: a name added since by someone else is looked for in a new one.
  const Clock::time_point read = Clock::now();
  std::optional<std::set<std::string>> listed = readNames(folderFd, folderPath);
  if (!listed) return Listed::kAsSpelled;
  std::set<std::string>& names = *listed;
  const bool asSpelled = names.count(name) != 0;
  if (!asSpelled && spelling != nullptr) {
    spelling->clear();
    const std::string wanted = folded(name);
    for (const std::string& entry : names) {
      if (folded(entry) == wanted) *spelling = entry;
    }
  }
  {
    std::lock_guard lock(mutex());
    auto& kept = listings();
    if (kept.size() >= kMostListings && kept.count(folderPath) == 0) {
      for (auto it = kept.begin(); it != kept.end();) {
        it = read - it->second.read >= kLifetime ? kept.erase(it) : std::next(it);
      }
      if (kept.size() >= kMostListings) kept.erase(kept.begin());
    }
    kept[folderPath] = Listing{std::move(names), read};
  }
  return asSpelled ? Listed::kAsSpelled : Listed::kOtherSpelling;
}

int NameSpelling::lstatAsSpelled(const std::string& root, const std::string& path, struct stat& status) {
  if (::lstat(path.c_str(), &status) != 0) return -1;
  if (path.size() <= root.size() + 1 || path.compare(0, root.size(), root) != 0 || path[root.size()] != '/') {
    return 0;
  }
  size_t start = root.size() + 1;
  while (start < path.size()) {
    const size_t slash = path.find('/', start);
    const size_t end = slash == std::string::npos ? path.size() : slash;
    if (inFolder(-1, path.substr(0, start - 1), path.substr(start, end - start)) != Listed::kAsSpelled) {
      errno = ENOENT;
      return -1;
    }
    start = end + 1;
  }
  return 0;
}

bool NameSpelling::sameFolded(const std::string& a, const std::string& b) { return folded(a) == folded(b); }

std::string NameSpelling::folded(const std::string& name) { return velbor::folded(name); }

bool NameSpelling::ignoresCase(const std::string& folderPath, const std::string& name) {
  struct stat status {};
  const std::string swapped = swappedAscii(name);
  return swapped != name && ::lstat((folderPath + "/" + swapped).c_str(), &status) == 0;
}

void NameSpelling::noteAdded(const std::string& folderPath, const std::string& name) {
  std::lock_guard lock(mutex());
  const auto found = listings().find(folderPath);
  if (found != listings().end()) found->second.names.insert(name);
}

void NameSpelling::noteRemoved(const std::string& folderPath, const std::string& name) {
  std::lock_guard lock(mutex());
  auto& kept = listings();
  if (const auto found = kept.find(folderPath); found != kept.end()) found->second.names.erase(name);
  const std::string item = folderPath + "/" + name;
  for (auto it = kept.lower_bound(item); it != kept.end() && it->first.compare(0, item.size(), item) == 0;) {
    it = it->first.size() == item.size() || it->first[item.size()] == '/' ? kept.erase(it) : std::next(it);
  }
}

void NameSpelling::forget() {
  std::lock_guard lock(mutex());
  listings().clear();
}

std::map<std::string, NameSpelling::Clock::time_point>& NameSpelling::doubts() {
  static auto* instance = new std::map<std::string, Clock::time_point>();
  return *instance;
}

void NameSpelling::doubt(const std::string& folderPath) {
  std::lock_guard lock(mutex());
  auto& doubted = doubts();
  const Clock::time_point now = Clock::now();
  if (doubted.size() >= kMostListings && doubted.count(folderPath) == 0) {
    std::erase_if(doubted, [&](const auto& entry) { return entry.second <= now; });
    if (doubted.size() >= kMostListings) doubted.erase(doubted.begin());
  }
  doubted[folderPath] = now + kDoubtLifetime;
}

bool NameSpelling::doubted(const std::string& folderPath) {
  std::lock_guard lock(mutex());
  const auto found = doubts().find(folderPath);
  return found != doubts().end() && Clock::now() < found->second;
}

}  // namespace velbor
