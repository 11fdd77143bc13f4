#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ViewerReader.h"

namespace velbor::test {

// The logging child process: its output goes nowhere, its standard input is a pipe that
// ends it when closed, and it dies with the test.
class LoggerChild {
 public:
  // With `netnsFd` the child runs in that network namespace; with `stdoutPath` its standard
  // output goes to that file.
  explicit LoggerChild(std::vector<std::string> args, int netnsFd = -1, const std::string& stdoutPath = "") {
    int in[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (netnsFd >= 0 && ::setns(netnsFd, CLONE_NEWNET) != 0) ::_exit(126);
      ::dup2(in[0], 0);
      int null = ::open("/dev/null", O_WRONLY);
      int out = stdoutPath.empty() ? null : ::open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(out, 1);
      ::dup2(null, 2);
      std::vector<char*> argv;
      std::string program = LOGGER_TEST_CLIENT;
      argv.push_back(program.data());
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    stdin_ = in[1];
  }
  ~LoggerChild() { finish(); }
  pid_t pid() const { return pid_; }
  // Lets the child exit and waits at most `seconds`; -1 (after killing it) when it did not.
  int finishWithin(int seconds) {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() >= deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return -1;
      }
      ::usleep(20000);
    }
    if (pid_ > 0) status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
    return status_;
  }
  // Lets the child exit and returns its exit status.
  int finish() {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
    if (pid_ <= 0) return status_;
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int status_ = -1;
};

// A test viewer: a TCP socket on the loopback that listens when asked to.
class TestViewer {
 public:
  explicit TestViewer(const char* address = "127.0.0.1") {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &local.sin_addr);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
    socklen_t length = sizeof local;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
    port_ = ntohs(local.sin_port);
  }
  ~TestViewer() {
    if (conn_ >= 0) ::close(conn_);
    ::close(fd_);
  }
  uint16_t port() const { return port_; }
  int connection() const { return conn_; }
  int listener() const { return fd_; }
  void listen() { ::listen(fd_, 4); }
  // True when a client has connected (accepting it), waiting at most `seconds`.
  bool accept(int seconds) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, seconds * 1000) <= 0) return false;
    conn_ = ::accept(fd_, nullptr, nullptr);
    return conn_ >= 0;
  }
  // Reads messages until `done` says so, the client closes, or `seconds` pass.
  template <typename Done>
  std::vector<ViewerMessage> readUntil(Done done, int seconds) {
    return readViewerMessagesUntil(socketRead(conn_), done, seconds, malformed_);
  }
  bool malformed() const { return malformed_; }

 private:
  int fd_ = -1;
  int conn_ = -1;
  uint16_t port_ = 0;
  bool malformed_ = false;
};

// The file's bytes; empty while it does not exist (the client may not have made it yet).
inline std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// The "out i" and "err i" lines of the child's captured output, tagged.
inline std::set<std::string> expectedLines(int count) {
  std::set<std::string> lines;
  for (int i = 0; i < count; ++i) {
    lines.insert("stdout|out " + std::to_string(i));
    lines.insert("stderr|err " + std::to_string(i));
  }
  return lines;
}

inline std::set<std::string> capturedLines(const std::vector<ViewerMessage>& messages) {
  std::set<std::string> lines;
  for (const auto& m : messages)
    if (m.type() == 0) lines.insert(m.text(5) + "|" + m.text(7));
  return lines;
}

// Whether every wanted captured line is among the messages.
inline bool hasAll(const std::vector<ViewerMessage>& messages, const std::set<std::string>& wanted) {
  auto seen = capturedLines(messages);
  for (const auto& line : wanted)
    if (!seen.count(line)) return false;
  return true;
}

}  // namespace velbor::test
