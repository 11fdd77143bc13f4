#pragma once

#include <string>

namespace velbor {

// Configures and starts the default logger as the daemon runs it: buffer until a viewer is
// connected, find the viewer by DNS-SD in every browsable domain, capture standard output
// and standard error; only a viewer published under `serviceName` is used, and messages
// wait in the per-user buffer file meanwhile.
void loggerInit(const std::string& serviceName);

}  // namespace velbor
