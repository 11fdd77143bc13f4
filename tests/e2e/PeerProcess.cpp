#include "e2e/PeerProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#ifndef VELBOR_TEST_PEER
#error "VELBOR_TEST_PEER must name the test peer"
#endif

namespace velbor::test {

PeerProcess::PeerProcess(const std::string& netns, const std::string& home, const std::vector<std::string>& options,
                         const std::string& logPath)
    : PeerProcess(Program{VELBOR_TEST_PEER, {}}, netns, home, options, logPath) {}

PeerProcess::PeerProcess(const Program& program, const std::string& netns, const std::string& home,
                         const std::vector<std::string>& options, const std::string& logPath) {
  int toChild[2];
  int fromChild[2];
  if (::pipe2(toChild, O_CLOEXEC) != 0) return;
  if (::pipe2(fromChild, O_CLOEXEC) != 0) {
    ::close(toChild[0]);
    ::close(toChild[1]);
    return;
  }
  // The XDG variables of the caller would point every device at one set of files. Without a
  // namespace it runs in the test's own network.
  std::vector<std::string> arguments = {"env", "-u", "XDG_CONFIG_HOME", "-u", "XDG_DATA_HOME", "HOME=" + home};
  arguments.insert(arguments.end(), program.environment.begin(), program.environment.end());
  arguments.push_back(program.path);
  if (!netns.empty()) arguments.insert(arguments.begin(), {"ip", "netns", "exec", netns});
  arguments.insert(arguments.end(), options.begin(), options.end());
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(toChild[0], STDIN_FILENO);
    ::dup2(fromChild[1], STDOUT_FILENO);
    if (!logPath.empty()) {
      const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
      if (log >= 0) ::dup2(log, STDERR_FILENO);
    }
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(toChild[0]);
  ::close(fromChild[1]);
  input_ = toChild[1];
  output_ = fromChild[0];
  if (pid_ > 0) ready_ = readLine(std::chrono::seconds(60));
}

PeerProcess::~PeerProcess() {
  stop();
  if (input_ >= 0) ::close(input_);
  if (output_ >= 0) ::close(output_);
}

nlohmann::json PeerProcess::command(const std::string& line, std::chrono::seconds wait) {
  if (pid_ <= 0) return nlohmann::json::object();
  const std::string text = line + "\n";
  if (::write(input_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return nlohmann::json::object();
  nlohmann::json answer = readLine(wait);
  // A late, missing or garbled answer reads as one without fields: a caller asking it for a
  // value gets its default instead of an exception.
  return answer.is_object() ? answer : nlohmann::json::object();
}

nlohmann::json PeerProcess::readLine(std::chrono::seconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    const auto end = buffer_.find('\n');
    if (end != std::string::npos) {
      const std::string line = buffer_.substr(0, end);
      buffer_.erase(0, end + 1);
      return nlohmann::json::parse(line, nullptr, false);
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return nullptr;
    pollfd item{output_, POLLIN, 0};
    if (::poll(&item, 1, static_cast<int>(left.count())) <= 0) continue;
    char chunk[4096];
    const ssize_t got = ::read(output_, chunk, sizeof chunk);
    if (got <= 0) return nullptr;
    buffer_.append(chunk, static_cast<size_t>(got));
  }
}

void PeerProcess::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

int PeerProcess::pid() const { return pid_; }

int PeerProcess::waitExit(std::chrono::seconds wait) {
  if (pid_ <= 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return -1;
}

void PeerProcess::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  if (waitExit(std::chrono::seconds(15)) == -1) kill();
}

}  // namespace velbor::test
