#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace velbor::test {

// One velbor_test_peer in a namespace (none: the test's own network) with its own HOME,
// driven over pipes. The destructor stops it by its process id (SIGTERM, then SIGKILL after
// a bounded wait). Its log goes to `logPath` (appended) when one is given, else to the
// test's standard error.
class PeerProcess {
 public:
  // Another program that speaks the same JSON lines (a ready line first), with variables
  // added to its environment ("NAME=value").
  struct Program {
    std::string path;
    std::vector<std::string> environment;
  };

  PeerProcess(const std::string& netns, const std::string& home, const std::vector<std::string>& options,
              const std::string& logPath = "");
  PeerProcess(const Program& program, const std::string& netns, const std::string& home,
              const std::vector<std::string>& options, const std::string& logPath = "");
  ~PeerProcess();
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  // The ready line, or a null json when none came in time.
  const nlohmann::json& readyLine() const { return ready_; }
  int pid() const;
  std::string uuid() const { return ready_.is_object() ? ready_.value("uuid", "") : ""; }
  // Sends one command and reads its answer line; an empty object when none came in time or it
  // was not a JSON object.
  nlohmann::json command(const std::string& line, std::chrono::seconds wait = std::chrono::seconds(60));
  // Kills it at once (SIGKILL), as a crash would.
  void kill();
  // Waits for it to exit by itself; its exit status, or -1.
  int waitExit(std::chrono::seconds wait);

 private:
  nlohmann::json readLine(std::chrono::seconds wait);
  void stop();

  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::string buffer_;
  nlohmann::json ready_;
};

}  // namespace velbor::test
