#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "LoggerTestSupport.h"
#include "logger/LoggerClient.h"
#include "support/AvahiNamespace.h"
#include "support/Eventually.h"
#include "support/PrivateNetns.h"
#include "support/TempDir.h"

namespace velbor::test {
namespace {

// TCP connections this namespace has begun (connect calls), from its /proc/net/snmp.
long activeOpens(pid_t insider) {
  std::ifstream in("/proc/" + std::to_string(insider) + "/net/snmp");
  std::string names, values;
  while (std::getline(in, names) && std::getline(in, values)) {
    if (names.rfind("Tcp:", 0) != 0) continue;
    std::istringstream n(names), v(values);
    std::string name, value;
    while (n >> name && v >> value)
      if (name == "ActiveOpens") return std::stol(value);
  }
  return -1;
}

TEST(LoggerSoundness, AViewerHostThatRefusesIsTriedAgainLaterNotAtOnce) {
  PrivateNetns netns;
  if (!netns.valid()) GTEST_SKIP() << "needs root for a private network namespace";
  // Nothing listens in the namespace: every connection is refused.
  LoggerChild child({"host", "9", "-", "1000000", "1"}, netns.fd());
  ASSERT_TRUE(eventually([&] { return activeOpens(child.pid()) >= 1; })) << "the client never tried to connect";
  // A client that retries refused connections at once makes thousands in this second; one
  // that waits for its reconnect timer (5 s) makes none.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_LE(activeOpens(child.pid()), 3);
  EXPECT_EQ(child.finish(), 0);
}

TEST(LoggerSoundness, TheFlushAtExitEndsWhenNothingCanTakeTheQueue) {
  TempDir dir;
  TestViewer viewer;  // bound, never listening: refused
  // A buffer file that cannot be opened: the queue stays in memory.
  auto file = dir / "missing" / "buffer.logger";
  LoggerChild child({"host", std::to_string(viewer.port()), file.string(), "1000000", "20"});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(child.finishWithin(30), 0) << "the exit hung in the flush";
}

TEST(LoggerSoundness, AMessageSentOnlyInPartGoesToTheBufferFileWhole) {
  PrivateNetns netns;
  if (!netns.valid()) GTEST_SKIP() << "needs root for a private network namespace";
  {
    // Small socket buffers, so that much of the output waits in the client.
    NetnsScope inside(netns.fd());
    std::ofstream("/proc/sys/net/ipv4/tcp_wmem") << "4096 16384 65536";
    std::ofstream("/proc/sys/net/ipv4/tcp_rmem") << "4096 16384 65536";
  }
  TempDir dir;
  auto file = dir / "buffer.logger";
  std::unique_ptr<TestViewer> viewer;
  {
    NetnsScope inside(netns.fd());
    viewer = std::make_unique<TestViewer>();
  }
  int small = 4096;
  ::setsockopt(viewer->listener(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  viewer->listen();
  constexpr int kLines = 300;
  LoggerChild child({"host", std::to_string(viewer->port()), file.string(), "100000000", std::to_string(kLines), "900"},
                    netns.fd());
  ASSERT_TRUE(viewer->accept(30));
  // The viewer reads nothing; once its buffer holds data the client is stuck mid-stream.
  ASSERT_TRUE(eventually([&] {
    int queued = 0;
    ::ioctl(viewer->connection(), FIONREAD, &queued);
    return queued > 0;
  }));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  // Gone with unread data: the client's connection is reset.
  linger abort{1, 0};
  ::setsockopt(viewer->connection(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  viewer.reset();

  // Captured output arrives in chunks, so a line may span two messages: the lines are
  // looked for in the joined texts. A read while the client appends may end inside a
  // message, so the file is judged whole only once the client has exited.
  std::string lastLine = "out " + std::to_string(kLines - 1) + "xxx";
  bool whole = true;
  std::string joined;
  auto readBufferFile = [&] {
    std::string stream = slurp(file);
    auto decoded = readViewerMessages(stream);
    whole = decoded && stream.empty();
    joined.clear();
    for (const auto& m : decoded.value_or(std::vector<ViewerMessage>()))
      if (m.type() == 0 && m.text(5) == "stdout") joined += m.text(7);
    return joined.find(lastLine) != std::string::npos;
  };
  eventually(readBufferFile);
  EXPECT_EQ(child.finish(), 0);
  readBufferFile();
  EXPECT_TRUE(whole) << "the buffer file holds a cut message";
  EXPECT_NE(joined.find(lastLine), std::string::npos) << "the last line never reached the buffer file";
}

// The console rendering of a logger whose worker has ended, while the console is captured.
TEST(LoggerSoundness, RenderingAfterTheWorkerEndedGoesToTheSavedStandardErrorNotTheCapture) {
  TempDir dir;
  auto saved = dir / "stderr.txt";
  int realStderr = ::dup(STDERR_FILENO);
  int sink = ::open(saved.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ::dup2(sink, STDERR_FILENO);
  ::close(sink);

  Logger* logger = LoggerInit();
  LoggerSetOptions(logger, LoggerOptionCaptureConsole);
  LoggerStart(logger);
  // End the worker as a failed start would, leaving the capture running.
  logger->quit = true;
  LoggerSignalSource(logger, kLoggerSourceMessagePushed);
  logger->workerThread.join();
  ASSERT_FALSE(logger->workerRunning.load());

  // More than a pipe holds: rendered into the capture, the capture thread would block on
  // its own pipe.
  constexpr int kLines = 2000;
  std::string filler(60, 'y');
  for (int i = 0; i < kLines; ++i) {
    std::string line = "line " + std::to_string(i) + " " + filler + "\n";
    ASSERT_EQ(::write(STDERR_FILENO, line.data(), line.size()), ssize_t(line.size()));
  }
  // Each captured line is rendered at least once (a line cut by a chunk boundary twice).
  auto renderedLines = [&] {
    std::string text = readFile(saved);
    size_t count = 0;
    for (size_t at = text.find(" | "); at != std::string::npos; at = text.find(" | ", at + 1)) ++count;
    return count;
  };
  bool rendered = eventually([&] { return renderedLines() >= size_t{kLines}; });
  LoggerStop(logger);
  ::dup2(realStderr, STDERR_FILENO);
  ::close(realStderr);
  EXPECT_TRUE(rendered) << "the captured lines were not rendered to the saved standard error: " << renderedLines()
                        << " lines";
}

}  // namespace
}  // namespace velbor::test
