#include <csignal>
#include <cstring>

#include "platform/QoLog.h"

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  const bool debugPanel = argc > 1 && std::strcmp(argv[1], "-debug_panel") == 0;
  if (debugPanel) {
    velbor::QoLog("Debug panel enable, {}", argv[1]);
  } else {
    velbor::QoLog("Debug panel disenable");
  }
  return 0;
}
