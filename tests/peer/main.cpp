// velbor_test_peer: one device, driven on standard input one command a line, each answered
// by one JSON line on standard output. Everything else the process prints goes to standard
// error.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <exception>
#include <string>
#include <vector>

#include "desktop/SignalWaiter.h"
#include "peer/DrivenPeerStart.h"
#include "peer/TestPeer.h"
#include "platform/QoLog.h"

namespace {

using nlohmann::json;

void writeLine(int fd, const json& line) {
  // Echoed input and peer texts may not be UTF-8: such bytes are replaced, never a throw.
  const std::string text = line.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    done += static_cast<size_t>(written);
  }
}

}  // namespace

int main(int argc, char** argv) {
  using namespace velbor;
  const int answers = test::startDrivenPeer();

  TestPeer::Options options;
  try {
    options = TestPeer::parseOptions(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    writeLine(answers, json{{"ok", false}, {"error", e.what()}});
    return 2;
  }

  TestPeer peer(options);
  try {
    peer.start();
  } catch (const std::exception& e) {
    QoLog("*** test peer: start failed, {}", e.what());
    writeLine(answers, json{{"ok", false}, {"error", std::string("start failed: ") + e.what()}});
    peer.stop();
    return 1;
  }
  writeLine(answers, peer.readyLine());

  std::string buffer;
  bool open = true;
  while (open && !peer.quitRequested()) {
    if (SignalWaiter::pendingTerminationSignal(std::chrono::milliseconds(0))) break;
    pollfd input{STDIN_FILENO, POLLIN, 0};
    const int ready = ::poll(&input, 1, 200);
    if (ready <= 0) continue;
    char chunk[4096];
    const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    // End of input shuts down as quit does.
    if (got <= 0) open = false;
    if (got > 0) buffer.append(chunk, static_cast<size_t>(got));
    for (size_t end; !peer.quitRequested() && (end = buffer.find('\n')) != std::string::npos;) {
      const std::string line = buffer.substr(0, end);
      buffer.erase(0, end + 1);
      if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
      const json answer = peer.handle(line);
      // Quit answers once it has shut down, so that the answer means the exit notice is out.
      if (peer.quitRequested()) {
        peer.stop();
      }
      writeLine(answers, answer);
    }
  }
  peer.stop();
  ::close(answers);
  return 0;
}
