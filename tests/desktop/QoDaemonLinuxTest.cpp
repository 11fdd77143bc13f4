#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "logger/ViewerReader.h"
#include "platform/DnsService.h"
#include "support/AvahiNamespace.h"
#include "support/TempDir.h"

extern char** environ;

namespace velbor::test {
namespace {

using Clock = std::chrono::steady_clock;

// Reads one line from `fd`, waiting at most `seconds`.
std::optional<std::string> readLine(int fd, int seconds) {
  std::string line;
  auto deadline = Clock::now() + std::chrono::seconds(seconds);
  while (Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0) continue;
    char c;
    if (::read(fd, &c, 1) != 1) return std::nullopt;
    if (c == '\n') return line;
    line += c;
  }
  return std::nullopt;
}

// The daemon start-up, run as the program runs it, in the Avahi namespace with its own
// HOME and its own /tmp (the log client's buffer file is there), the Avahi bus kept visible.
class StartProbe {
 public:
  StartProbe(const AvahiNamespace& avahi, const TempDir& sandbox) {
    std::string busDir =
        std::filesystem::path(avahi.busAddress().substr(std::string("unix:path=").size())).parent_path().string();
    std::string busDirInSandbox = (sandbox.path() / std::filesystem::path(busDir).filename()).string();
    std::filesystem::create_directories(busDirInSandbox);
    std::filesystem::create_directories(sandbox / "home");
    std::string sandboxDir = sandbox.str();
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      std::string entry = *e;
      if (entry.rfind("HOME=", 0) == 0 || entry.rfind("XDG_", 0) == 0) continue;
      env.push_back(entry);
    }
    env.push_back("HOME=/tmp/home");
    std::vector<char*> envp;
    for (auto& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string program = DAEMON_START_PROBE;
    char* argv[] = {program.data(), nullptr};
    // Opened before /tmp is covered: the build folder may itself lie under /tmp.
    const int programFd = ::open(program.c_str(), O_RDONLY | O_CLOEXEC);
    if (programFd < 0) return;
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
      ::close(programFd);
      return;
    }
    int netns = avahi.netnsFd();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::setns(netns, CLONE_NEWNET) != 0) ::_exit(120);
      if (::unshare(CLONE_NEWNS) != 0) ::_exit(121);
      if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) ::_exit(122);
      if (::mount(busDir.c_str(), busDirInSandbox.c_str(), nullptr, MS_BIND, nullptr) != 0) ::_exit(123);
      if (::mount(sandboxDir.c_str(), "/tmp", nullptr, MS_BIND | MS_REC, nullptr) != 0) ::_exit(124);
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, 2);
      ::fexecve(programFd, argv, envp.data());
      ::_exit(127);
    }
    ::close(programFd);
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
  }
  ~StartProbe() {
    finish(30);
    if (stdout_ >= 0) ::close(stdout_);
  }
  int output() const { return stdout_; }
  // Lets the probe exit; its exit status, or -1 when it had to be killed after `seconds`.
  int finish(int seconds) {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
    if (pid_ <= 0) return status_;
    auto deadline = Clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (Clock::now() >= deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return status_ = -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
    return status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  int status_ = -1;
};

// A listening socket inside the namespace, closed at the end.
struct Listener {
  int fd = -1;
  uint16_t port = 0;
  ~Listener() {
    if (fd >= 0) ::close(fd);
  }
};

TEST(QoDaemonLinux, StartUpStartsTheLogClientThatFindsTheViewerOfTheConfiguredName) {
  if (auto why = AvahiNamespace::unavailable()) GTEST_SKIP() << "no Avahi in a namespace: " << *why;
  AvahiNamespace avahi;
  ASSERT_TRUE(avahi.ready()) << avahi.error();
  TempDir sandbox("velbor-start");
  Listener viewer;
  {
    NetnsScope inside(avahi.netnsFd());
    viewer.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof local;
  ASSERT_EQ(::bind(viewer.fd, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
  ASSERT_EQ(::getsockname(viewer.fd, reinterpret_cast<sockaddr*>(&local), &length), 0);
  viewer.port = ntohs(local.sin_port);
  ASSERT_EQ(::listen(viewer.fd, 4), 0);

  StartProbe probe(avahi, sandbox);
  auto name = readLine(probe.output(), 90);
  ASSERT_TRUE(name && !name->empty()) << "the start-up did not finish";
  auto service = DnsService::registerService(*name, "_velborlog._tcp", "", viewer.port, nullptr);
  ASSERT_TRUE(service);

  pollfd p{viewer.fd, POLLIN, 0};
  ASSERT_GT(::poll(&p, 1, 30000), 0) << "the log client never connected to the viewer of its name";
  int conn = ::accept4(viewer.fd, nullptr, nullptr, SOCK_CLOEXEC);
  ASSERT_GE(conn, 0);
  const auto done = [](const std::vector<ViewerMessage>& got) {
    for (const auto& m : got)
      if (m.type() == 0 && m.text(5) == "stderr" && m.text(7) == "start-up probe done") return true;
    return false;
  };
  bool malformed = false;
  const auto messages = readViewerMessagesUntil(socketRead(conn), done, 30, malformed);
  ::close(conn);
  EXPECT_FALSE(malformed);
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.front().type(), 3u) << "the viewer's stream starts with the client information";
  EXPECT_TRUE(done(messages)) << "the standard error of the started daemon did not reach the viewer";
  EXPECT_EQ(probe.finish(30), 0);
}

}  // namespace
}  // namespace velbor::test
