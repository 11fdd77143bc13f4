#include "logger/LoggerConsoleCapture.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <thread>

#include "logger/LoggerClient.h"
#include "logger/LoggerConsole.h"
#include "platform/Utf8.h"

namespace velbor {

namespace {

struct Pipe {
  int read = -1;
  int write = -1;
};

// Never destroyed: the capture thread may still run while the process exits.
struct CaptureState {
  std::mutex mutex;
  // Held while the pipes are read, so that the reads at exit do not interleave with the
  // capture thread's.
  std::mutex readMutex;
  std::vector<Logger*> capturers;  // a freed slot holds nullptr
  int active = 0;
  int savedFds[2] = {-1, -1};
  Pipe pipes[2];
  int stopPipe[2] = {-1, -1};
  std::thread thread;
  // The start of a UTF-8 sequence cut off at the end of the last chunk, per pipe.
  std::string carry[2];
};

CaptureState& state() {
  static auto* capture = new CaptureState();
  return *capture;
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

void setNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

void writeWhole(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

// Reads what one pipe holds now, in chunks of at most 999 bytes.
void readPipe(CaptureState& capture, int index, const char* tag) {
  char chunk[999];
  for (;;) {
    int fd;
    {
      std::lock_guard lock(capture.mutex);
      fd = capture.pipes[index].read;
    }
    if (fd < 0) return;
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    std::string_view bytes(chunk, static_cast<size_t>(n));
    writeWhole(capture.savedFds[index], bytes);
    std::lock_guard lock(capture.mutex);
    for (const std::string& line : LoggerConsoleCapture::linesOfChunk(capture.carry[index], bytes)) {
      for (Logger* logger : capture.capturers) {
        if (logger) LogMessageTo(logger, tag, 0, "{}", line);
      }
    }
  }
}

void captureThread() {
  CaptureState& capture = state();
  int fds[3];
  {
    std::lock_guard lock(capture.mutex);
    fds[0] = capture.pipes[0].read;
    fds[1] = capture.pipes[1].read;
    fds[2] = capture.stopPipe[0];
  }
  for (;;) {
    pollfd watch[3] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}, {fds[2], POLLIN, 0}};
    if (::poll(watch, 3, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    {
      std::lock_guard reading(capture.readMutex);
      readPipe(capture, 0, "stdout");
      readPipe(capture, 1, "stderr");
    }
    if (watch[2].revents) return;
  }
}

}  // namespace

std::vector<std::string> LoggerConsoleCapture::linesOfChunk(std::string& carry, std::string_view chunk) {
  std::string text = carry + std::string(chunk);
  size_t cut = incompleteUtf8Tail(text);
  carry = text.substr(text.size() - cut);
  text.resize(text.size() - cut);
  std::vector<std::string> lines;
  if (text.empty() && cut > 0) return lines;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (!isValidUtf8(text)) return lines;
  size_t start = 0;
  for (;;) {
    size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

void LoggerConsoleCapture::start(Logger* logger) {
  CaptureState& capture = state();
  std::lock_guard lock(capture.mutex);
  auto freeSlot = std::find(capture.capturers.begin(), capture.capturers.end(), nullptr);
  if (freeSlot != capture.capturers.end())
    *freeSlot = logger;
  else
    capture.capturers.push_back(logger);
  ++capture.active;
  if (capture.thread.joinable()) return;

  for (int i = 0; i < 2; ++i) {
    int target = i + 1;
    if (capture.savedFds[i] < 0) capture.savedFds[i] = ::fcntl(target, F_DUPFD_CLOEXEC, 3);
    int fds[2];
    if (capture.pipes[i].read < 0 && ::pipe2(fds, O_CLOEXEC) == 0) {
      capture.pipes[i] = {fds[0], fds[1]};
      setNonBlocking(fds[0]);
      ::dup2(fds[1], target);
    }
  }
  // Rendered lines must not come back through the capture (and cannot block it).
  LoggerSetConsoleDescriptor(capture.savedFds[1]);
  if (::pipe2(capture.stopPipe, O_CLOEXEC) != 0) capture.stopPipe[0] = capture.stopPipe[1] = -1;
  capture.thread = std::thread(captureThread);
}

void LoggerConsoleCapture::finishAtExit() {
  CaptureState& capture = state();
  {
    std::lock_guard lock(capture.mutex);
    if (capture.active == 0) return;
  }
  std::fflush(stdout);
  std::fflush(stderr);
  std::lock_guard reading(capture.readMutex);
  {
    std::lock_guard lock(capture.mutex);
    for (int i = 0; i < 2; ++i)
      if (capture.pipes[i].write >= 0 && capture.savedFds[i] >= 0) ::dup2(capture.savedFds[i], i + 1);
  }
  // Everything written before the descriptors went back is in the pipes now.
  readPipe(capture, 0, "stdout");
  readPipe(capture, 1, "stderr");
}

void LoggerConsoleCapture::stop(Logger* logger) {
  CaptureState& capture = state();
  std::thread thread;
  {
    std::lock_guard lock(capture.mutex);
    auto slot = std::find(capture.capturers.begin(), capture.capturers.end(), logger);
    if (slot == capture.capturers.end()) return;
    *slot = nullptr;
    if (--capture.active > 0) return;
    capture.capturers.clear();
    if (capture.stopPipe[1] >= 0) (void)!::write(capture.stopPipe[1], "x", 1);
    thread = std::move(capture.thread);
  }
  if (thread.joinable()) thread.join();
  std::lock_guard lock(capture.mutex);
  LoggerSetConsoleDescriptor(-1);
  for (int i = 0; i < 2; ++i) {
    ::dup2(capture.savedFds[i], i + 1);
    closeFd(capture.savedFds[i]);
    closeFd(capture.pipes[i].write);
    // What was written after the thread's last read still reaches its destination.
    char chunk[999];
    ssize_t n;
    while (capture.pipes[i].read >= 0 && (n = ::read(capture.pipes[i].read, chunk, sizeof chunk)) > 0)
      writeWhole(i + 1, std::string_view(chunk, static_cast<size_t>(n)));
    closeFd(capture.pipes[i].read);
    capture.carry[i].clear();
  }
  closeFd(capture.stopPipe[0]);
  closeFd(capture.stopPipe[1]);
}

}  // namespace velbor
