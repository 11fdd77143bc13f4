#include "platform/UserDefaults.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>
#include <utility>

#include <fmt/format.h>

#include "platform/AppPaths.h"
#include "platform/Exception.h"
#include "platform/QoLog.h"
#include "platform/WholeWrite.h"

namespace velbor {
namespace {

// Bytes are stored as {"$data": "<base64>"}, which no plain string can be mistaken for.
constexpr const char* kDataTag = "$data";
constexpr const char* kTempInfix = ".tmp.";

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string encodeBase64(const std::string& bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    uint32_t n = (uint8_t(bytes[i]) << 16) | (uint8_t(bytes[i + 1]) << 8) | uint8_t(bytes[i + 2]);
    out += kBase64[n >> 18];
    out += kBase64[(n >> 12) & 63];
    out += kBase64[(n >> 6) & 63];
    out += kBase64[n & 63];
  }
  if (size_t rest = bytes.size() - i; rest > 0) {
    uint32_t n = uint8_t(bytes[i]) << 16;
    if (rest == 2) n |= uint8_t(bytes[i + 1]) << 8;
    out += kBase64[n >> 18];
    out += kBase64[(n >> 12) & 63];
    out += rest == 2 ? kBase64[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

int base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

std::optional<std::string> decodeBase64(const std::string& text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    bool last = i + 4 == text.size();
    int pad = 0;
    if (last && text[i + 3] == '=') pad = text[i + 2] == '=' ? 2 : 1;
    uint32_t n = 0;
    for (int k = 0; k < 4; ++k) {
      int v = k >= 4 - pad ? 0 : base64Value(text[i + k]);
      if (v < 0) return std::nullopt;
      n = (n << 6) | uint32_t(v);
    }
    out += char(n >> 16);
    if (pad < 2) out += char((n >> 8) & 0xff);
    if (pad < 1) out += char(n & 0xff);
  }
  return out;
}

std::string errnoText(int error) { return std::strerror(error); }

// Creates the settings folder (0700: secrets live in it) and its missing parents.
bool ensureDirectory(const std::filesystem::path& dir, std::string& failure) {
  std::error_code ec;
  if (std::filesystem::is_directory(dir, ec)) return true;
  if (dir.has_parent_path()) std::filesystem::create_directories(dir.parent_path(), ec);
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    failure = fmt::format("cannot create {}: {}", dir.string(), errnoText(errno));
    return false;
  }
  return true;
}

std::atomic<uint64_t> gTempCounter{0};

struct Registry {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<UserDefaults>> suites;
};

Registry& registry() {
  static Registry* instance = new Registry();  // lookups may come late during exit
  return *instance;
}

}  // namespace

std::shared_ptr<UserDefaults> UserDefaults::suiteNamed(const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
      name.find('\0') != std::string::npos) {
    throw Exception("UserDefaults", fmt::format("invalid suite name \"{}\"", name));
  }
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  auto it = r.suites.find(name);
  if (it != r.suites.end()) return it->second;
  auto suite = std::make_shared<UserDefaults>(name, AppPaths::configDirectory() / (name + ".json"));
  r.suites.emplace(name, suite);
  return suite;
}

std::shared_ptr<UserDefaults> UserDefaults::standardUserDefaults() { return suiteNamed(AppPaths::applicationName()); }

void UserDefaults::resetAll() {
  std::map<std::string, std::shared_ptr<UserDefaults>> old;
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  old.swap(r.suites);
}

UserDefaults::UserDefaults(const std::string& name, std::filesystem::path path)
    : name_(name), path_(std::move(path)), values_(nlohmann::json::object()) {
  load();
}

void UserDefaults::load() {
  // Temporary files of writers that died mid-write are of no use to anyone.
  const std::string tempPrefix = path_.filename().string() + kTempInfix;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(path_.parent_path(), ec), end; !ec && it != end; it.increment(ec)) {
    std::string file = it->path().filename().string();
    if (file.compare(0, tempPrefix.size(), tempPrefix) != 0) continue;
    // <suite>.json.tmp.<pid>.<n>: only a writer that no longer exists left it.
    pid_t pid = static_cast<pid_t>(std::strtol(file.c_str() + tempPrefix.size(), nullptr, 10));
    if (pid > 0 && pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH) {
      std::error_code ignored;
      std::filesystem::remove(it->path(), ignored);
    }
  }

  int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 && (errno == ENOENT || errno == ENOTDIR)) return;
  std::string text;
  std::string problem;
  if (fd < 0) {
    problem = errnoText(errno);
  } else {
    char buffer[65536];
    for (;;) {
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        problem = errnoText(errno);
        break;
      }
      if (n == 0) break;
      text.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
  }
  if (!problem.empty()) {
    // A read that failed (no permission, too many open files, an I/O error) says nothing of
    // the content: keep the file as it is and write nothing over it.
    unreadable_ = problem;
    QoLog("*** UserDefaults: {} cannot be read ({}); its settings stay unchanged on disk", path_.string(), problem);
    return;
  }
  {
    nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
    if (parsed.is_object()) {
      values_ = std::move(parsed);
      return;
    }
    problem = parsed.is_discarded() ? "not valid JSON" : "not a JSON object";
  }
  // Keep the damaged file for inspection and start empty rather than fail.
  std::filesystem::path aside = path_;
  aside += ".corrupt";
  if (::rename(path_.c_str(), aside.c_str()) == 0) {
    QoLog("UserDefaults: {} is unreadable ({}), kept as {}; starting empty", path_.string(), problem, aside.string());
  } else {
    QoLog("UserDefaults: {} is unreadable ({}) and cannot be kept aside ({}); starting empty", path_.string(), problem,
          errnoText(errno));
  }
}

bool UserDefaults::writeLocked() {
  std::string failure;
  std::string text;
  try {
    text = values_.dump(2);
    text += '\n';
  } catch (const std::exception& e) {
    failure = e.what();
  }
  if (!unreadable_.empty()) failure = fmt::format("{} could not be read ({})", path_.string(), unreadable_);
  const std::filesystem::path dir = path_.parent_path();
  std::string temp = fmt::format("{}{}{}.{}", path_.string(), kTempInfix, ::getpid(), gTempCounter++);
  int fd = -1;
  if (failure.empty() && ensureDirectory(dir, failure)) {
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      failure = fmt::format("cannot create {}: {}", temp, errnoText(errno));
    } else if (::fchmod(fd, 0600) != 0 || writeWhole(fd, text) != 0 || ::fsync(fd) != 0) {
      failure = fmt::format("cannot write {}: {}", temp, errnoText(errno));
    }
    if (fd >= 0) {
      if (::close(fd) != 0 && failure.empty()) failure = fmt::format("cannot close {}: {}", temp, errnoText(errno));
      if (failure.empty() && ::rename(temp.c_str(), path_.c_str()) != 0) {
        failure = fmt::format("cannot rename {}: {}", temp, errnoText(errno));
      }
      if (!failure.empty()) ::unlink(temp.c_str());
    }
  }
  if (failure.empty()) {
    // The rename is durable only once the folder itself reaches the disk.
    int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0 || ::fsync(dirFd) != 0) failure = fmt::format("cannot sync {}: {}", dir.string(), errnoText(errno));
    if (dirFd >= 0) ::close(dirFd);
  }
  if (!failure.empty()) {
    QoLog("UserDefaults: saving suite {} to {} failed: {}", name_, path_.string(), failure);
    return false;
  }
  return true;
}

bool UserDefaults::hasKey(const std::string& key) const {
  std::lock_guard lock(mutex_);
  return values_.contains(key);
}

std::vector<std::string> UserDefaults::allKeys() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> keys;
  for (const auto& item : values_.items()) keys.push_back(item.key());
  return keys;
}

std::optional<nlohmann::json> UserDefaults::objectForKey(const std::string& key) const {
  std::lock_guard lock(mutex_);
  auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return *it;
}

bool UserDefaults::setObject(const std::string& key, const nlohmann::json& value) {
  // Reject what could never be written (text that is not UTF-8) before it is kept in memory.
  try {
    (void)value.dump();
  } catch (const nlohmann::json::exception& e) {
    throw Exception("UserDefaults", fmt::format("value for key \"{}\" cannot be stored: {}", key, e.what()));
  }
  std::lock_guard lock(mutex_);
  values_[key] = value;
  return writeLocked();
}

bool UserDefaults::removeObjectForKey(const std::string& key) {
  std::lock_guard lock(mutex_);
  return values_.erase(key) == 0 || writeLocked();
}

bool UserDefaults::boolForKey(const std::string& key) const {
  auto value = objectForKey(key);
  if (!value) return false;
  if (value->is_boolean()) return value->get<bool>();
  if (value->is_number_integer()) return value->get<int64_t>() != 0;
  if (value->is_number()) return value->get<double>() != 0.0;
  return false;
}

int64_t UserDefaults::integerForKey(const std::string& key) const {
  auto value = objectForKey(key);
  if (!value) return 0;
  if (value->is_number_unsigned()) {
    uint64_t n = value->get<uint64_t>();
    return n > uint64_t(INT64_MAX) ? INT64_MAX : int64_t(n);
  }
  if (value->is_number_integer()) return value->get<int64_t>();
  if (value->is_number_float()) {
    double d = value->get<double>();
    if (std::isnan(d)) return 0;
    if (d >= 9223372036854775807.0) return INT64_MAX;
    if (d <= -9223372036854775808.0) return INT64_MIN;
    return static_cast<int64_t>(d);
  }
  if (value->is_boolean()) return value->get<bool>() ? 1 : 0;
  return 0;
}

double UserDefaults::doubleForKey(const std::string& key) const {
  auto value = objectForKey(key);
  if (!value) return 0.0;
  if (value->is_number()) return value->get<double>();
  if (value->is_boolean()) return value->get<bool>() ? 1.0 : 0.0;
  return 0.0;
}

std::string UserDefaults::stringForKey(const std::string& key) const {
  return optionalStringForKey(key).value_or(std::string());
}

std::optional<std::string> UserDefaults::optionalStringForKey(const std::string& key) const {
  auto value = objectForKey(key);
  if (!value || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

std::optional<std::string> UserDefaults::dataForKey(const std::string& key) const {
  auto value = objectForKey(key);
  if (!value || !value->is_object() || value->size() != 1) return std::nullopt;
  auto it = value->find(kDataTag);
  if (it == value->end() || !it->is_string()) return std::nullopt;
  return decodeBase64(it->get<std::string>());
}

bool UserDefaults::setBool(const std::string& key, bool value) { return setObject(key, value); }

bool UserDefaults::setInteger(const std::string& key, int64_t value) { return setObject(key, value); }

bool UserDefaults::setDouble(const std::string& key, double value) {
  // JSON has no NaN or infinity: it would silently come back as null.
  if (!std::isfinite(value)) throw Exception("UserDefaults", fmt::format("value for key \"{}\" is not finite", key));
  return setObject(key, value);
}

bool UserDefaults::setString(const std::string& key, const std::string& value) { return setObject(key, value); }

bool UserDefaults::setData(const std::string& key, const std::string& bytes) {
  return setObject(key, nlohmann::json{{kDataTag, encodeBase64(bytes)}});
}

bool UserDefaults::synchronize() {
  std::lock_guard lock(mutex_);
  return writeLocked();
}

}  // namespace velbor
