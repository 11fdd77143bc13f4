#include "logger/LoggerDaemonSetup.h"

#include "logger/LoggerBufferFile.h"
#include "logger/LoggerClient.h"

namespace velbor {

void loggerInit(const std::string& serviceName) {
  LoggerSetOptions(nullptr, LoggerOptionBufferUntilConnected | LoggerOptionBrowseServices | LoggerOptionCaptureConsole);
  LoggerSetupBonjour(nullptr, std::nullopt, serviceName);
  LoggerSetBufferFile(nullptr, LoggerBufferFile::defaultPath());
  LoggerStart(nullptr);
}

}  // namespace velbor
