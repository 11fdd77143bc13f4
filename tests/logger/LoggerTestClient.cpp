// A process that logs through the remote log client, driven by the logger tests:
//   logger_test_client host PORT BUFFER_FILE|- MAX_FILE_SIZE LINES [WIDTH]
//   logger_test_client secure-host PORT BUFFER_FILE|- MAX_FILE_SIZE LINES [WIDTH]   (over TLS)
//   logger_test_client bonjour NAME BUFFER_FILE|- LINES
//   logger_test_client exit - BUFFER_FILE LINES
// It captures its own output, writes LINES lines to standard output and as many to standard
// error (padded with 'x' to WIDTH bytes when given), then waits until its standard input
// closes. In exit mode it writes its lines through stdio without flushing (and to standard
// error with plain writes) and exits at once.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "logger/LoggerClient.h"

using namespace velbor;

int main(int argc, char** argv) {
  if (argc < 5) return 2;
  std::string mode = argv[1];
  std::string file = argv[3];
  int lines;
  size_t width = 0;
  if ((mode == "host" || mode == "secure-host") && (argc == 6 || argc == 7)) {
    if (argc == 7) width = std::strtoull(argv[6], nullptr, 10);
    uint32_t secure = mode == "secure-host" ? LoggerOptionSecureStream : 0;
    LoggerSetOptions(nullptr, LoggerOptionBufferUntilConnected | LoggerOptionCaptureConsole | secure);
    LoggerSetViewerHost(nullptr, std::string("127.0.0.1"), static_cast<uint32_t>(std::atoi(argv[2])));
    LoggerSetBufferFileMaxSize(nullptr, std::strtoull(argv[4], nullptr, 10));
    lines = std::atoi(argv[5]);
  } else if (mode == "bonjour") {
    LoggerSetOptions(nullptr,
                     LoggerOptionBufferUntilConnected | LoggerOptionBrowseServices | LoggerOptionCaptureConsole);
    LoggerSetupBonjour(nullptr, std::nullopt, std::string(argv[2]));
    lines = std::atoi(argv[4]);
  } else if (mode == "exit") {
    LoggerSetOptions(nullptr, LoggerOptionBufferUntilConnected | LoggerOptionCaptureConsole);
    LoggerSetBufferFile(nullptr, file);
    LoggerStart(nullptr);
    lines = std::atoi(argv[4]);
    for (int i = 0; i < lines; ++i) {
      std::printf("out %d\n", i);
      std::string err = "err " + std::to_string(i) + "\n";
      if (::write(STDERR_FILENO, err.data(), err.size()) < 0) return 3;
    }
    return 0;
  } else {
    return 2;
  }
  if (file != "-") LoggerSetBufferFile(nullptr, file);
  LoggerStart(nullptr);
  for (int i = 0; i < lines; ++i) {
    std::string out = "out " + std::to_string(i), err = "err " + std::to_string(i);
    if (out.size() < width) out.append(width - out.size(), 'x');
    if (err.size() < width) err.append(width - err.size(), 'x');
    std::printf("%s\n", out.c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", err.c_str());
  }
  char byte;
  while (::read(STDIN_FILENO, &byte, 1) > 0) {
  }
  return 0;
}
