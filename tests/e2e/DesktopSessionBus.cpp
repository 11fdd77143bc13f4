#include "e2e/DesktopSessionBus.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#ifndef VELBOR_FAKE_DESKTOP_SERVICES
#error "VELBOR_FAKE_DESKTOP_SERVICES must name the fake desktop services' program"
#endif

#include "e2e/ChildProcessStop.h"

namespace velbor::test {

namespace {

namespace fs = std::filesystem;

// Its output goes to the test's standard error; `environment` is added to the test's own.
pid_t spawn(std::vector<std::string> arguments, const std::vector<std::string>& environment) {
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    for (const std::string& variable : environment) ::putenv(const_cast<char*>(variable.c_str()));
    const int null = ::open("/dev/null", O_RDONLY);
    if (null >= 0) ::dup2(null, STDIN_FILENO);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

// Waits up to 20 s for `path`, or until the process `pid` has ended (then reaped: -1).
bool appears(const fs::path& path, pid_t& pid) {
  for (int i = 0; i < 200; ++i) {
    std::error_code ignored;
    if (fs::exists(path, ignored)) return true;
    if (::waitpid(pid, nullptr, WNOHANG) == pid) {
      pid = -1;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

std::vector<std::string> linesOf(const fs::path& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

}  // namespace

DesktopSessionBus::DesktopSessionBus() {
  const fs::path socket = dir_ / "bus.sock";
  const fs::path config = dir_ / "bus.conf";
  std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                           "<busconfig>\n  <type>session</type>\n  <listen>unix:path="
                        << socket.string()
                        << "</listen>\n  <auth>EXTERNAL</auth>\n"
                           "  <policy context=\"default\">\n    <allow send_destination=\"*\"/>\n"
                           "    <allow own=\"*\"/>\n    <allow receive_sender=\"*\"/>\n  </policy>\n</busconfig>\n";
  daemon_ = spawn({"dbus-daemon", "--config-file=" + config.string(), "--nofork", "--nopidfile"}, {});
  if (daemon_ <= 0 || !appears(socket, daemon_)) {
    failure_ = "the session bus did not start (is dbus-daemon installed?)";
    return;
  }
  address_ = "unix:path=" + socket.string();
  if (!startFake(notifications_, {(dir_ / "notices.txt").string()}, (dir_ / "notices.txt").string()) ||
      !startFake(fileManager_, {"--file-manager", (dir_ / "shown.txt").string()}, (dir_ / "shown.txt").string())) {
    failure_ = "a fake desktop service did not come up on the session bus";
  }
}

bool DesktopSessionBus::startFake(pid_t& pid, const std::vector<std::string>& arguments, const std::string& record) {
  std::vector<std::string> command = {VELBOR_FAKE_DESKTOP_SERVICES};
  command.insert(command.end(), arguments.begin(), arguments.end());
  pid = spawn(command, {"DBUS_SESSION_BUS_ADDRESS=" + address_, "QT_QPA_PLATFORM=offscreen"});
  return pid > 0 && appears(record, pid);
}

DesktopSessionBus::~DesktopSessionBus() {
  stopChildProcess(fileManager_);
  stopChildProcess(notifications_);
  stopChildProcess(daemon_);
}

std::vector<std::string> DesktopSessionBus::notices() const { return linesOf(dir_ / "notices.txt"); }

std::vector<std::string> DesktopSessionBus::shownItems() const { return linesOf(dir_ / "shown.txt"); }

}  // namespace velbor::test
