#include "core/utils/QoUtils.h"

#include <fcntl.h>
#include <regex.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <random>
#include <string_view>
#include <system_error>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include "core/utils/DataHex.h"
#include "framework/crypto/OpenSslHandles.h"
#include "platform/QoLog.h"

namespace velbor {

namespace {

constexpr std::size_t kSha1BlockSize = 8192;

std::array<unsigned char, 16> randomUuidBytes() {
  std::array<unsigned char, 16> bytes{};
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
    std::random_device device;
    for (auto& b : bytes) b = static_cast<unsigned char>(device());
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return bytes;
}

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

char foldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string errnoText(int error) { return std::system_category().message(error); }

}  // namespace

std::string QoUtils::generateUuid() {
  std::string hex = dataDescription(std::string_view(reinterpret_cast<const char*>(randomUuidBytes().data()), 16));
  return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) + "-" +
         hex.substr(20);
}

std::string QoUtils::generateShortUuid() {
  std::string shortUuid = generateUuid().substr(0, 6);
  for (auto& c : shortUuid) {
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  }
  return shortUuid;
}

bool QoUtils::checkUuid(const std::string& uuid) {
  if (uuid.size() != 36) return false;
  for (std::size_t i = 0; i < uuid.size(); ++i) {
    bool hyphenSlot = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphenSlot ? uuid[i] != '-' : !isHexDigit(uuid[i])) return false;
  }
  return true;
}

bool QoUtils::checkPath(const std::string& path) { return !path.empty() && path.front() == '/'; }

bool QoUtils::checkPeerPath(const std::string& path) {
  if (!checkPath(path) || path.find('\0') != std::string::npos) return false;
  std::size_t begin = 1;
  while (true) {
    const std::size_t end = std::min(path.find('/', begin), path.size());
    const std::string_view component(path.data() + begin, end - begin);
    if (component.empty() || component == "." || component == "..") return false;
    if (end == path.size()) return true;
    begin = end + 1;
  }
}

std::optional<std::string> QoUtils::getSha1WithInputStream(int fd, const std::stop_token& stop) {
  MdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr) != 1) {
    QoLog("Sha1 init failed!!");
    return std::nullopt;
  }
  std::array<char, kSha1BlockSize> buffer;
  while (true) {
    if (stop.stop_requested()) return std::nullopt;
    ssize_t count = ::read(fd, buffer.data(), buffer.size());
    if (count < 0) {
      if (errno == EINTR) continue;
      QoLog("*** Read filestream failed!! {}", errnoText(errno));
      return std::nullopt;
    }
    if (count == 0) break;
    if (EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<std::size_t>(count)) != 1) {
      QoLog("Sha1 update failed!!");
      return std::nullopt;
    }
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1) {
    QoLog("Sha1 final failed!!");
    return std::nullopt;
  }
  return std::string(reinterpret_cast<const char*>(digest), length);
}

std::optional<std::string> QoUtils::getSha1StringWithInputStream(int fd, const std::stop_token& stop) {
  std::optional<std::string> digest = getSha1WithInputStream(fd, stop);
  if (!digest) return std::nullopt;
  return dataDescription(*digest);
}

std::optional<std::string> QoUtils::getSha1StringWithPath(const std::string& path, const std::stop_token& stop) {
  int fd;
  // Only a regular file is hashed: a link or pipe swapped in after the caller looked must
  // neither lend another file's digest nor make the open wait for a writer.
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    QoLog("*** Read filestream failed!! {}", errnoText(errno));
    return std::nullopt;
  }
  struct stat status {};
  const int flags = ::fcntl(fd, F_GETFL);
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || flags < 0 ||
      ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    QoLog("*** Read filestream failed!! ({}) is not a regular file", path);
    ::close(fd);
    return std::nullopt;
  }
  std::optional<std::string> sha1 = getSha1StringWithInputStream(fd, stop);
  ::close(fd);
  return sha1;
}

int64_t QoUtils::timestampNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(Clock::now().time_since_epoch()).count();
}

bool QoUtils::regexMatch(const char* string, const char* pattern) {
  if (string == nullptr || pattern == nullptr) return false;
  regex_t regex;
  int status = regcomp(&regex, pattern, 0);
  if (status != 0) {
    char message[100];
    regerror(status, &regex, message, sizeof(message));
    QoLog("{}", message);
    return false;
  }
  status = regexec(&regex, string, 0, nullptr, 0);
  regfree(&regex);
  if (status == 0) return true;
  if (status == REG_NOMATCH) return false;
  QoLog("*** File match failed");
  return true;
}

int QoUtils::caseInsensitiveCompare(const std::string& a, const std::string& b) {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    auto x = static_cast<unsigned char>(foldAscii(a[i]));
    auto y = static_cast<unsigned char>(foldAscii(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

QoUtils::Comparator QoUtils::NSStringSortComparator() {
  return [](const std::string& a, const std::string& b) { return caseInsensitiveCompare(a, b) < 0; };
}

QoUtils::Comparator QoUtils::NSStringSortComparatorDesc() {
  return [](const std::string& a, const std::string& b) { return caseInsensitiveCompare(b, a) < 0; };
}

const QoUtils::DateFormatter& QoUtils::getDateFormatter() {
  // Never destroyed: jobs still running at exit use it.
  static const DateFormatter& formatter = *new DateFormatter([](Clock::time_point date) {
    std::time_t seconds = Clock::to_time_t(date);
    std::tm local{};
    localtime_r(&seconds, &local);
    return fmt::format("{}月{}日 {:02}:{:02}", local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min);
  });
  return formatter;
}

std::string QoUtils::compareCurrentTime(Clock::time_point date) { return compareTime(date, Clock::now()); }

std::string QoUtils::compareTime(Clock::time_point date, Clock::time_point now) {
  double seconds = std::chrono::duration<double>(date - now).count();
  if (seconds > -60) return "刚刚";
  auto minutes = static_cast<long>(-seconds / 60);
  if (minutes < 60) return fmt::format("{}分钟前", minutes);
  if (minutes < 1440) return fmt::format("{}小时前", minutes / 60);
  if (minutes < 43200) return fmt::format("{}天前", minutes / 1440);
  if (minutes < 518400) return fmt::format("{}月前", minutes / 43200);
  return fmt::format("{}年前", minutes / 518400);
}

double QoUtils::getDiskAvailableSpace(const std::string& path) {
  struct statvfs info {};
  if (::statvfs(path.c_str(), &info) != 0) return -1;
  return static_cast<double>(info.f_bavail) * static_cast<double>(info.f_frsize);
}

double QoUtils::getDiskTotalSpace(const std::string& path) {
  struct statvfs info {};
  if (::statvfs(path.c_str(), &info) != 0) return -1;
  return static_cast<double>(info.f_blocks) * static_cast<double>(info.f_frsize);
}

std::string QoUtils::stringToBase64(const std::string& text) {
  std::string out(4 * ((text.size() + 2) / 3) + 1, '\0');
  int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                               reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  out.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
  return out;
}

}  // namespace velbor
