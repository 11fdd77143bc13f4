#pragma once

#include <filesystem>
#include <string>

namespace velbor::test {

// A fresh folder under the system temporary directory, removed with everything in it
// when the object goes away.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "velbor-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Points HOME at a fresh temporary folder for the lifetime of the object and clears the
// XDG variables, so settings and data files of a test never touch the real user's.
class TempHome {
 public:
  TempHome();
  ~TempHome();
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  const std::filesystem::path& path() const { return dir_.path(); }

 private:
  TempDir dir_;
  std::string oldHome_;
  bool hadHome_ = false;
};

// Writes `content` to `path`, creating parent folders.
void writeFile(const std::filesystem::path& path, const std::string& content);
// Reads the whole file at `path`.
std::string readFile(const std::filesystem::path& path);

}  // namespace velbor::test
