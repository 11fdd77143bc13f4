#include "support/AvahiNamespace.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/NetnsHolders.h"

namespace velbor::test {

namespace {

constexpr auto kStartLimit = std::chrono::seconds(30);
constexpr auto kStopLimit = std::chrono::seconds(5);

std::optional<std::string> findProgram(const char* name) {
  for (const char* dir : {"/usr/sbin", "/usr/bin", "/sbin", "/bin"}) {
    std::string path = std::string(dir) + "/" + name;
    if (::access(path.c_str(), X_OK) == 0) return path;
  }
  return std::nullopt;
}

// argv/envp kept alive across fork: the child only makes system calls before exec.
struct Command {
  std::vector<std::string> args;
  std::vector<char*> argv() {
    std::vector<char*> out;
    for (auto& a : args) out.push_back(a.data());
    out.push_back(nullptr);
    return out;
  }
};

void redirectOutput(int logFd) {
  int null = ::open("/dev/null", O_RDONLY);
  ::dup2(null, 0);
  ::dup2(logFd, 1);
  ::dup2(logFd, 2);
}

// Stops a child: politely first, then for sure.
void stopChild(pid_t& pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  auto deadline = std::chrono::steady_clock::now() + kStopLimit;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  pid = -1;
}

bool childAlive(pid_t pid) {
  int status = 0;
  return pid > 0 && ::waitpid(pid, &status, WNOHANG) == 0;
}

template <typename Ready>
bool waitUntil(Ready ready, pid_t pid) {
  auto deadline = std::chrono::steady_clock::now() + kStartLimit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (ready()) return true;
    if (!childAlive(pid)) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

std::atomic<int> gCounter{0};

bool busAnswers(const std::string& socketPath) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (fd < 0 || socketPath.size() >= sizeof address.sun_path) {
    if (fd >= 0) ::close(fd);
    return false;
  }
  std::strcpy(address.sun_path, socketPath.c_str());
  bool answers = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return answers;
}

}  // namespace

std::optional<std::string> AvahiNamespace::unavailable() {
  if (::geteuid() != 0) return "needs root for a private network namespace";
  if (!findProgram("avahi-daemon")) return "avahi-daemon is not installed";
  if (!findProgram("dbus-daemon")) return "dbus-daemon is not installed";
  return std::nullopt;
}

AvahiNamespace::AvahiNamespace() {
  auto dbus = findProgram("dbus-daemon");
  auto avahi = findProgram("avahi-daemon");
  if (!dbus || !avahi) {
    error_ = "daemons not installed";
    return;
  }
  std::string dir = dir_.str();
  std::string socket = dir + "/bus.sock";
  busAddress_ = "unix:path=" + socket;
  std::filesystem::create_directories(dir_ / "run/avahi-daemon");
  writeFile(dir_ / "bus.conf",
            "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
            " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
            "<busconfig>\n  <type>system</type>\n  <listen>" +
                busAddress_ +
                "</listen>\n"
                "  <auth>EXTERNAL</auth>\n  <policy context=\"default\">\n    <allow user=\"*\"/>\n"
                "    <allow own=\"*\"/>\n    <allow send_destination=\"*\"/>\n    <allow receive_sender=\"*\"/>\n"
                "  </policy>\n</busconfig>\n");
  std::string host = "velbor-" + std::to_string(::getpid()) + "-" + std::to_string(gCounter++);
  writeFile(dir_ / "avahi.conf",
            "[server]\nhost-name=" + host +
                "\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=lo\nenable-dbus=yes\n"
                "[wide-area]\nenable-wide-area=no\n[publish]\npublish-workstation=no\npublish-hinfo=no\n");

  int log = ::open((dir + "/daemons.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  Command bus{{*dbus, "--config-file=" + dir + "/bus.conf", "--nofork", "--nopidfile"}};
  auto busArgv = bus.argv();
  dbusPid_ = ::fork();
  if (dbusPid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    redirectOutput(log);
    ::execv(busArgv[0], busArgv.data());
    ::_exit(127);
  }
  if (!waitUntil([&] { return std::filesystem::exists(socket); }, dbusPid_)) {
    ::close(log);
    error_ = "dbus-daemon did not start: " + readFile(dir_ / "daemons.log");
    return;
  }

  Command daemon{{*avahi, "-f", dir + "/avahi.conf", "--no-drop-root", "--no-chroot", "--no-rlimits"}};
  auto daemonArgv = daemon.argv();
  std::string envBus = "DBUS_SYSTEM_BUS_ADDRESS=" + busAddress_;
  std::string runDir = dir + "/run";
  char* envp[] = {envBus.data(), nullptr};
  int avahiLog = ::open((dir + "/avahi.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  avahiPid_ = ::fork();
  if (avahiPid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    redirectOutput(avahiLog);
    // Its own network namespace, and its own /run so its pid file and socket stay private.
    if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) ::_exit(120);
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) ::_exit(121);
    if (::mount(runDir.c_str(), "/run", nullptr, MS_BIND, nullptr) != 0) ::_exit(122);
    int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    if (s < 0 || ::ioctl(s, SIOCGIFFLAGS, &request) != 0) ::_exit(123);
    request.ifr_flags |= IFF_UP;
    if (::ioctl(s, SIOCSIFFLAGS, &request) != 0) ::_exit(124);
    ::close(s);
    ::execve(daemonArgv[0], daemonArgv.data(), envp);
    ::_exit(127);
  }
  ::close(log);
  ::close(avahiLog);
  if (!waitUntil([&] { return readFile(dir_ / "avahi.log").find("Server startup complete") != std::string::npos; },
                 avahiPid_)) {
    error_ = "avahi-daemon did not start: " + readFile(dir_ / "avahi.log");
    return;
  }
  netnsFd_ = ::open(("/proc/" + std::to_string(avahiPid_) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
  if (netnsFd_ < 0) {
    error_ = "cannot open the daemon's network namespace";
    return;
  }
  if (const char* old = std::getenv("DBUS_SYSTEM_BUS_ADDRESS")) oldBusAddress_ = old;
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", busAddress_.c_str(), 1);
  ::setenv("AVAHI_COMPAT_NOWARN", "1", 1);
  ready_ = true;
}

AvahiNamespace::~AvahiNamespace() { stop(); }

void AvahiNamespace::stop() {
  if (ready_) {
    if (oldBusAddress_)
      ::setenv("DBUS_SYSTEM_BUS_ADDRESS", oldBusAddress_->c_str(), 1);
    else
      ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  }
  ino_t netns = NetnsHolders::identify(netnsFd_);
  if (netnsFd_ >= 0) ::close(netnsFd_);
  netnsFd_ = -1;
  pid_t avahi = avahiPid_, dbus = dbusPid_;
  stopChild(avahiPid_);
  stopChild(dbusPid_);
  ready_ = false;
  // Nothing of this may outlive the test: the daemons (reaped above, so a live pid would
  // be a stray copy), the bus, and the namespace, which goes with its last holder.
  if (avahi > 0 && ::kill(avahi, 0) == 0) ADD_FAILURE() << "avahi-daemon (pid " << avahi << ") still runs";
  if (dbus > 0 && ::kill(dbus, 0) == 0) ADD_FAILURE() << "dbus-daemon (pid " << dbus << ") still runs";
  if (busAnswers(dir_.str() + "/bus.sock")) ADD_FAILURE() << "the private D-Bus bus still answers";
  if (netns != static_cast<ino_t>(-1))
    for (const auto& holder : NetnsHolders::find(netns))
      ADD_FAILURE() << "the Avahi namespace is still held: " << holder;
}

NetnsScope::NetnsScope(int netnsFd) {
  original_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  ::setns(netnsFd, CLONE_NEWNET);
}

NetnsScope::~NetnsScope() {
  if (original_ < 0) return;
  ::setns(original_, CLONE_NEWNET);
  ::close(original_);
}

}  // namespace velbor::test
