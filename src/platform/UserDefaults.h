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
// leaves either the old or the new file, never a torn one. All operations are thread-safe.
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
  void setObject(const std::string& key, const nlohmann::json& value);
  void removeObjectForKey(const std::string& key);

  // Typed reads: an absent key, or a value of another type, reads as false / 0 / 0.0 / "".
  bool boolForKey(const std::string& key) const;
  int64_t integerForKey(const std::string& key) const;
  double doubleForKey(const std::string& key) const;
  std::string stringForKey(const std::string& key) const;
  std::optional<std::string> optionalStringForKey(const std::string& key) const;
  // Bytes (stored Base64-encoded in the file); absent when missing or not bytes.
  std::optional<std::string> dataForKey(const std::string& key) const;

  void setBool(const std::string& key, bool value);
  void setInteger(const std::string& key, int64_t value);
  void setDouble(const std::string& key, double value);
  void setString(const std::string& key, const std::string& value);
  void setData(const std::string& key, const std::string& bytes);

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
};

}  // namespace velbor
