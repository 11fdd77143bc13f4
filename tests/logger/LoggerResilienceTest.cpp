#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "LoggerTestSupport.h"
#include "logger/LoggerBufferFile.h"
#include "logger/LoggerClient.h"
#include "logger/LoggerQueue.h"
#include "support/Eventually.h"
#include "support/TempDir.h"

namespace velbor::test {
namespace {

LoggerMessage textMessage(uint32_t seq, const std::string& text) {
  auto message = LoggerMessageCreate(seq);
  LoggerMessageAddInt32(*message, LOGMSG_TYPE_LOG, PART_KEY_MESSAGE_TYPE);
  LoggerMessageAddString(*message, text, PART_KEY_MESSAGE);
  LoggerMessageFinalize(*message);
  return *message;
}

// A buffer file left by a process killed in the middle of a write, or damaged otherwise:
// its whole messages still reach the viewer, and what follows them stays readable.
TEST(LoggerResilience, ABufferFileWithADamagedTailIsReplayedUpToItsLastWholeMessage) {
  std::string whole = textMessage(1, "kept from before");
  std::string cut = textMessage(2, "cut by a kill").substr(0, 10);
  std::string hugeLength = std::string("\xff\xff\xff\xf0\x00\x01", 6) + "garbage";
  for (const std::string& tail : {cut, hugeLength}) {
    TempDir dir;
    auto file = dir / "buffer.logger";
    {
      std::ofstream out(file, std::ios::binary);
      out << whole << tail;
    }
    ::chmod(file.c_str(), 0600);
    TestViewer viewer;
    viewer.listen();
    LoggerChild child({"host", std::to_string(viewer.port()), file.string(), "1000000", "5"});
    ASSERT_TRUE(viewer.accept(20)) << "the client never connected";
    auto wanted = expectedLines(5);
    auto messages = viewer.readUntil([&](const auto& got) { return hasAll(got, wanted); }, 20);
    EXPECT_FALSE(viewer.malformed());
    ASSERT_FALSE(messages.empty()) << "nothing readable reached the viewer";
    EXPECT_EQ(messages.front().text(PART_KEY_MESSAGE), "kept from before");
    EXPECT_TRUE(hasAll(messages, wanted)) << "the damaged tail swallowed the messages behind it";
    EXPECT_EQ(child.finish(), 0);
  }
}

// Anything but a regular file at the buffer file's path is refused at once: opening a named
// pipe would wait for a peer that an attacker controls, and hold the worker up.
TEST(LoggerResilience, ANamedPipeAtTheBufferFilePathIsRefusedWithoutWaiting) {
  TempDir dir;
  auto fifo = dir / "buffer.logger";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (bool forReading : {false, true}) {
    std::atomic<bool> done{false};
    int result = -2;
    std::thread opener([&] {
      result = forReading ? LoggerBufferFile::openForReading(fifo.string())
                          : LoggerBufferFile::openForAppending(fifo.string(), nullptr);
      done = true;
    });
    bool returned = eventually([&] { return done.load(); }, 5);
    if (!returned) {
      // Let the blocked open go on by opening the other end.
      int other = ::open(fifo.c_str(), (forReading ? O_WRONLY : O_RDONLY) | O_NONBLOCK);
      eventually([&] { return done.load(); }, 5);
      if (other >= 0) ::close(other);
    }
    opener.join();
    if (result >= 0) ::close(result);
    EXPECT_TRUE(returned) << (forReading ? "reading" : "appending") << " waited on the named pipe";
    EXPECT_EQ(result, -1);
  }
}

// A viewer that accepts the connection and then reads nothing must not make the process
// keep every later message in memory.
TEST(LoggerResilience, AViewerThatStopsReadingDoesNotGrowTheQueueWithoutBound) {
  TestViewer viewer;
  viewer.listen();
  Logger* logger = LoggerInit();
  LoggerSetOptions(logger, LoggerOptionBufferUntilConnected);
  LoggerSetViewerHost(logger, std::string("127.0.0.1"), viewer.port());
  constexpr size_t kBound = 1 << 20;
  logger->queueMaxBytes = kBound;
  LoggerStart(logger);
  ASSERT_TRUE(eventually([&] { return logger->connected.load(); }));

  std::string line(1000, 'z');
  for (int i = 0; i < 40000; ++i) LogMessageTo(logger, "tag", 0, "{} {}", i, line);
  size_t queued = 0;
  {
    std::lock_guard lock(logger->logQueueMutex);
    for (const auto& message : logger->logQueue) queued += message->size();
  }
  LoggerStop(logger);
  EXPECT_LE(queued, kBound) << "messages held in memory";
}

// Lines written just before the process exits, also those still in the stdio buffers, reach
// both the former standard output and the log.
TEST(LoggerResilience, LinesWrittenRightBeforeExitAreNotLost) {
  TempDir dir;
  auto file = dir / "buffer.logger";
  auto out = dir / "stdout.txt";
  constexpr int kLines = 30;
  LoggerChild child({"exit", "-", file.string(), std::to_string(kLines)}, -1, out.string());
  EXPECT_EQ(child.finishWithin(30), 0);

  std::string printed = slurp(out);
  for (int i = 0; i < kLines; ++i)
    EXPECT_NE(printed.find("out " + std::to_string(i) + "\n"), std::string::npos) << "standard output lost line " << i;
  std::string bytes = slurp(file);
  auto decoded = readViewerMessages(bytes);
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(hasAll(*decoded, expectedLines(kLines))) << "the buffer file lacks lines written before exit";
}

}  // namespace
}  // namespace velbor::test
