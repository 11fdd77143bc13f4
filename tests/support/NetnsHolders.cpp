#include "support/NetnsHolders.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <system_error>

namespace velbor::test {

namespace {

std::string linkOf(const std::filesystem::path& path) {
  std::error_code error;
  auto target = std::filesystem::read_symlink(path, error);
  return error ? std::string() : target.string();
}

std::string nameOf(const std::filesystem::path& dir) {
  std::ifstream in(dir / "comm");
  std::string name;
  std::getline(in, name);
  return name;
}

bool isNumber(const std::string& name) {
  return !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

ino_t NetnsHolders::identify(int netnsFd) {
  struct stat info {};
  if (netnsFd < 0 || ::fstat(netnsFd, &info) != 0) return static_cast<ino_t>(-1);
  return info.st_ino;
}

std::vector<std::string> NetnsHolders::find(ino_t netns) {
  std::vector<std::string> holders;
  const std::string wanted = "net:[" + std::to_string(netns) + "]";
  std::error_code error;
  // Processes come and go meanwhile: whatever vanishes while being looked at is skipped.
  for (const auto& process : std::filesystem::directory_iterator("/proc", error)) {
    std::string pid = process.path().filename().string();
    if (!isNumber(pid)) continue;
    std::error_code inner;
    for (const auto& task : std::filesystem::directory_iterator(process.path() / "task", inner))
      if (linkOf(task.path() / "ns/net") == wanted)
        holders.push_back("pid " + pid + " task " + task.path().filename().string() + " (" + nameOf(task.path()) +
                          ") is inside");
    for (const auto& fd : std::filesystem::directory_iterator(process.path() / "fd", inner))
      if (linkOf(fd.path()) == wanted)
        holders.push_back("pid " + pid + " (" + nameOf(process.path()) + ") fd " + fd.path().filename().string() +
                          " refers to it");
  }
  return holders;
}

}  // namespace velbor::test
