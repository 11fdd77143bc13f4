#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "ViewerReader.h"
#include "logger/LoggerBufferFile.h"
#include "logger/LoggerClient.h"
#include "logger/LoggerConsole.h"
#include "logger/LoggerConsoleCapture.h"
#include "logger/LoggerQueue.h"
#include "logger/LoggerServiceName.h"
#include "support/TempDir.h"

namespace velbor::test {
namespace {

ViewerMessage decodeOne(LoggerMessage bytes) {
  auto decoded = readViewerMessages(bytes);
  EXPECT_TRUE(decoded && decoded->size() == 1 && bytes.empty());
  return decoded && !decoded->empty() ? decoded->front() : ViewerMessage{};
}

LoggerMessageRef numbered(uint32_t seq) {
  auto message = LoggerMessageCreate(seq);
  LoggerMessageFinalize(*message);
  return message;
}

TEST(LoggerFormat, HeaderSequenceAndParts) {
  auto plain = LoggerMessageCreate(0);
  EXPECT_EQ(LoggerReadUInt16(*plain, 4), 3u) << "seconds, microseconds and thread";
  EXPECT_EQ(static_cast<uint8_t>((*plain)[6]), PART_KEY_TIMESTAMP_S);
  EXPECT_EQ(LoggerMessageGetSeq(*plain), 0u);

  auto message = LoggerMessageCreate(7);
  EXPECT_EQ(LoggerMessageGetSeq(*message), 7u);
  LoggerMessageAddString(*message,
                         std::string_view("a\xff"
                                          "b"),
                         PART_KEY_TAG);
  LoggerMessageAddString(*message, std::nullopt, PART_KEY_MESSAGE);
  LoggerMessageAddCString(*message, "caf\xe9.m", PART_KEY_FILENAME);
  LoggerMessageAddCString(*message, "", PART_KEY_FUNCTIONNAME);
  LoggerMessageAddInt64(*message, -2, PART_KEY_IMAGE_WIDTH);
  std::string big(200, 'x');
  LoggerMessageAddData(*message, big, PART_TYPE_BINARY);
  LoggerMessageFinalize(*message);
  EXPECT_EQ(message->size(), LoggerReadUInt32(*message, 0) + 4u) << "spare room trimmed";

  auto m = decodeOne(*message);
  EXPECT_EQ(m.parts.front().first, PART_KEY_MESSAGE_SEQ);
  EXPECT_EQ(m.text(PART_KEY_THREAD_ID), "Main thread");
  EXPECT_EQ(m.text(PART_KEY_TAG), "a?b");
  EXPECT_EQ(m.text(PART_KEY_MESSAGE), "");
  EXPECT_EQ(m.text(PART_KEY_FILENAME), "caf\xc3\xa9.m");
  EXPECT_EQ(m.part(PART_KEY_FUNCTIONNAME), nullptr);
  EXPECT_EQ(m.part(PART_KEY_IMAGE_WIDTH)->number, 0xFFFFFFFFFFFFFFFEull);
  EXPECT_EQ(m.parts.back().second.bytes, big);
}

TEST(LoggerFormat, QueueKeepsSequenceOrderAndPartlySentMessagesFirst) {
  Logger logger;  // no worker: pushed messages stay queued
  logger.options = LoggerOptionBufferUntilConnected;
  for (uint32_t seq : {1u, 2u, 5u, 4u}) LoggerPushMessageToQueue(&logger, numbered(seq));
  LoggerPushMessageToQueue(&logger, numbered(0));
  std::vector<uint32_t> order;
  for (const auto& m : logger.logQueue) order.push_back(LoggerMessageGetSeq(*m));
  EXPECT_EQ(order, (std::vector<uint32_t>{0, 1, 2, 4, 5}));

  logger.incompleteSendOfFirstItem = true;
  LoggerPushClientInfoToFrontOfQueue(&logger);
  LoggerPushMessageToQueue(&logger, numbered(0));
  EXPECT_EQ(LoggerMessageGetSeq(*logger.logQueue[0]), 0u);
  EXPECT_EQ(decodeOne(*logger.logQueue[0]).type(), 0u) << "the partly sent message keeps its place";
  EXPECT_EQ(decodeOne(*logger.logQueue[1]).type(), 3u);
}

TEST(LoggerFormat, ConsoleOptionSettingAndBlockEnd) {
  Logger logger;
  LoggerSetOptions(&logger, 0x21);
  EXPECT_EQ(LoggerGetOptions(&logger), 0x01u);
  LoggerEndBlock(&logger);
  EXPECT_TRUE(logger.logQueue.empty());
  EXPECT_FALSE(logger.workerStarted);
}

TEST(LoggerFormat, ConsoleLines) {
  auto message = LoggerMessageCreate(1);
  LoggerMessageAddInt32(*message, LOGMSG_TYPE_LOG, PART_KEY_MESSAGE_TYPE);
  LoggerMessageAddString(*message, " \thello\r\n", PART_KEY_MESSAGE);
  LoggerMessageFinalize(*message);
  auto line = LoggerConsoleLine(message.get());
  ASSERT_TRUE(line);
  EXPECT_EQ(line->substr(8), line->substr(8, 5) + "      Main thread | hello\n");

  auto data = LoggerMessageCreate(2);
  LoggerMessageAddInt32(*data, LOGMSG_TYPE_LOG, PART_KEY_MESSAGE_TYPE);
  LoggerMessageAddData(*data, std::string_view("a\0b", 3), PART_TYPE_BINARY);
  LoggerMessageFinalize(*data);
  line = LoggerConsoleLine(data.get());
  ASSERT_TRUE(line);
  EXPECT_NE(line->find("Raw data, 3 bytes:\n 0000: 61 00 62 " + std::string(13 * 3, ' ') + "'a b" +
                       std::string(13, ' ') + "'\n"),
            std::string::npos);

  auto block = LoggerMessageCreate(3);
  LoggerMessageAddInt32(*block, LOGMSG_TYPE_BLOCKSTART, PART_KEY_MESSAGE_TYPE);
  LoggerMessageFinalize(*block);
  EXPECT_FALSE(LoggerConsoleLine(block.get()));
  EXPECT_EQ(LoggerConsoleLine(nullptr), "LoggerLogToConsole: data is NULL\n");
}

TEST(LoggerFormat, CapturedChunksBecomeLinesAndKeepSplitCharacters) {
  std::string carry;
  EXPECT_EQ(LoggerConsoleCapture::linesOfChunk(carry, "one\ntwo\n"), (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(LoggerConsoleCapture::linesOfChunk(carry, "\n"), (std::vector<std::string>{""}));
  // "é" split between two reads still arrives, whole.
  EXPECT_EQ(LoggerConsoleCapture::linesOfChunk(carry, "caf\xc3"), (std::vector<std::string>{"caf"}));
  EXPECT_EQ(carry, "\xc3");
  EXPECT_EQ(LoggerConsoleCapture::linesOfChunk(carry, "\xa9 ok\n"), (std::vector<std::string>{"\xc3\xa9 ok"}));
  EXPECT_TRUE(carry.empty());
  EXPECT_TRUE(LoggerConsoleCapture::linesOfChunk(carry, "bad \xff\n").empty());
}

TEST(LoggerFormat, ServiceNamesCompareWithoutCaseAndDiacritics) {
  EXPECT_TRUE(LoggerServiceNameMatches("R\xc3\xa9sum\xc3\xa9 A1", "RESUME a1"));
  EXPECT_TRUE(LoggerServiceNameMatches("Re\xcc\x81sume\xcc\x81", "resume"));
  EXPECT_FALSE(LoggerServiceNameMatches("resume2", "resume"));
  EXPECT_FALSE(
      LoggerServiceNameMatches("stra\xc3\x9f"
                               "e",
                               "strasse"));
}

TEST(LoggerFormat, BufferFileIsNeverALinkNorSomeoneElses) {
  TempDir dir;
  auto target = dir / "target";
  writeFile(target, "keep");
  auto link = dir / "link.logger";
  std::filesystem::create_symlink(target, link);
  EXPECT_EQ(LoggerBufferFile::openForAppending(link.string(), nullptr), -1);
  EXPECT_EQ(readFile(target), "keep");

  auto loose = dir / "loose.logger";
  std::string stored = *numbered(1);
  writeFile(loose, stored);
  ::chmod(loose.c_str(), 0644);
  uint64_t size = 0;
  int fd = LoggerBufferFile::openForAppending(loose.string(), &size);
  ASSERT_GE(fd, 0);
  ::close(fd);
  EXPECT_EQ(size, stored.size());
  struct stat info {};
  ::stat(loose.c_str(), &info);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(loose.c_str(), 65534, 65534), 0);
    EXPECT_EQ(LoggerBufferFile::openForAppending(loose.string(), nullptr), -1);
    EXPECT_EQ(LoggerBufferFile::openForReading(loose.string()), -1);
  }
  EXPECT_NE(LoggerBufferFile::defaultPath().find(std::to_string(::geteuid())), std::string::npos);
}

}  // namespace
}  // namespace velbor::test
