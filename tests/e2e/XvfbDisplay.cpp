#include "e2e/XvfbDisplay.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "e2e/ChildProcessStop.h"

namespace velbor::test {

namespace {

pid_t spawn(std::vector<std::string> arguments, const std::string& display) {
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (!display.empty()) ::setenv("DISPLAY", display.c_str(), 1);
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, STDOUT_FILENO);
      ::dup2(null, STDERR_FILENO);
    }
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

}  // namespace

XvfbDisplay::XvfbDisplay() {
  ::chmod(runtime_.str().c_str(), 0700);
  // The server picks a free display and writes its number to the pipe once it accepts.
  int numbers[2];
  if (::pipe2(numbers, O_CLOEXEC) != 0) {
    failure_ = "no pipe";
    return;
  }
  const int writeEnd = ::fcntl(numbers[1], F_DUPFD, 3);
  server_ =
      spawn({"Xvfb", "-displayfd", std::to_string(writeEnd), "-screen", "0", "1280x800x24", "-nolisten", "tcp"}, "");
  ::close(writeEnd);
  ::close(numbers[1]);
  std::string number;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (number.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd item{numbers[0], POLLIN, 0};
    if (::poll(&item, 1, 200) <= 0) continue;
    char chunk[32];
    const ssize_t got = ::read(numbers[0], chunk, sizeof chunk);
    if (got <= 0) break;
    number.append(chunk, static_cast<size_t>(got));
  }
  ::close(numbers[0]);
  if (number.find('\n') == std::string::npos) {
    failure_ = "Xvfb did not start (is the xvfb package installed?)";
    return;
  }
  display_ = ":" + number.substr(0, number.find('\n'));
  trayer_ = spawn({"trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "32",
                   "--SetDockType", "true", "--transparent", "false"},
                  display_);
  // A busy machine may take a while to start it: a test skipped for want of a tray tests nothing.
  const auto trayDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!trayHostRuns() && std::chrono::steady_clock::now() < trayDeadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (!trayHostRuns()) failure_ = "trayer did not start (is the trayer package installed?)";
}

bool XvfbDisplay::trayHostRuns() const {
  // The tray host owns the tray selection once its window is mapped.
  const std::string probe = "DISPLAY=" + display_ + " xdotool search --classname panel >/dev/null 2>&1";
  return std::system(probe.c_str()) == 0;
}

XvfbDisplay::~XvfbDisplay() {
  stopChildProcess(trayer_);
  stopChildProcess(server_);
}

}  // namespace velbor::test
