#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace velbor {

// A named suite of typed settings ("QoConfig", "DataSource", "Debugger", or the standard
// suite), kept as one JSON file <configDirectory>/<suite>.json with mode 0600.
// Every change is written through at once: temporary file, fsync, rename, so a crash
// leaves either the old or the new file, never a torn one. A change that cannot be written
// answers false (after a log line) and stays in memory, where the next successful write
// takes it to disk; callers that must not go on without it check the answer, as they do
// for synchronize(). All operations are thread-safe.
class UserDefaults {
 public:
  // The one instance per suite name in this process; loads the file on first use.
  static std::shared_ptr<UserDefaults> suiteNamed(const std::string& name);
  // The standard suite, named after the application.
  static std::shared_ptr<UserDefaults> standardUserDefaults();
  // Forgets every loaded suite, so the next lookup reads the files again (tests that
  // change HOME). Instances still held elsewhere keep working on their old file.
  static void resetAll();

  const std::string& suiteName() const { return name_; }
  const std::filesystem::path& filePath() const { return path_; }

  bool hasKey(const std::string& key) const;
  std::vector<std::string> allKeys() const;
  std::optional<nlohmann::json> objectForKey(const std::string& key) const;
  // False when the suite file could not be written; a value that can never be stored (text
  // that is not UTF-8) raises and is not kept.
  bool setObject(const std::string& key, const nlohmann::json& value);
  // False when the suite file could not be written.
  bool removeObjectForKey(const std::string& key);

  // Typed reads: an absent key, or a value of another type, reads as false / 0 / 0.0 / "".
  bool boolForKey(const std::string& key) const;
  int64_t integerForKey(const std::string& key) const;
  double doubleForKey(const std::string& key) const;
  std::string stringForKey(const std::string& key) const;
  std::optional<std::string> optionalStringForKey(const std::string& key) const;
  // Bytes (stored Base64-encoded in the file); absent when missing or not bytes.
  std::optional<std::string> dataForKey(const std::string& key) const;

  // As setObject.
  bool setBool(const std::string& key, bool value);
  bool setInteger(const std::string& key, int64_t value);
  bool setDouble(const std::string& key, double value);
  bool setString(const std::string& key, const std::string& value);
  bool setData(const std::string& key, const std::string& bytes);

  // Writes the suite again; false (and a log line) when the file cannot be written.
  bool synchronize();

  UserDefaults(const std::string& name, std::filesystem::path path);  // use suiteNamed()

 private:
  void load();
  bool writeLocked();

  std::string name_;
  std::filesystem::path path_;
  mutable std::mutex mutex_;
  nlohmann::json values_;
  // Set when the file exists but could not be read (not when it is damaged): writing would
  // replace settings that may be intact, so every write is refused until a restart.
  std::string unreadable_;
};

}  // namespace velbor
