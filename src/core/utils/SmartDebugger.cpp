#include "core/utils/SmartDebugger.h"

#include "platform/QoLog.h"
#include "platform/UserDefaults.h"

namespace velbor {

namespace {

std::mutex sharedLock;
// Never destroyed: jobs still running at exit use it.
std::unique_ptr<SmartDebugger>& sharedInstance = *new std::unique_ptr<SmartDebugger>();

}  // namespace

SmartDebugger& SmartDebugger::sharedSmartDebugger() {
  std::lock_guard<std::mutex> guard(sharedLock);
  if (!sharedInstance) sharedInstance.reset(new SmartDebugger());
  return *sharedInstance;
}

void SmartDebugger::resetForTesting() {
  std::lock_guard<std::mutex> guard(sharedLock);
  sharedInstance.reset();
}

SmartDebugger::SmartDebugger() : debuggerDefault_(UserDefaults::suiteNamed("Debugger")) {}

bool SmartDebugger::isCatagoryEnable(const std::string& category) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (!debuggerDefault_->hasKey(category)) {
    debuggerDefault_->setBool(category, false);
    debuggerDefault_->synchronize();
    return false;
  }
  return debuggerDefault_->boolForKey(category);
}

void SmartDebugger::setCatagoryEnable(const std::string& category, bool enable) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  debuggerDefault_->setBool(category, enable);
  debuggerDefault_->synchronize();
}

void SmartDebugger::logLine(const std::string& category, const std::string& text) { QoLog("{} {}", category, text); }

void SmartDebugger::clockStart(const std::string& name) {
  std::lock_guard<std::mutex> guard(clockLock_);
  clockDictionary_[name] = std::chrono::system_clock::now();
}

double SmartDebugger::getClockInterval(const std::string& name) {
  std::lock_guard<std::mutex> guard(clockLock_);
  auto it = clockDictionary_.find(name);
  if (it == clockDictionary_.end()) return -1;
  return std::chrono::duration<double>(std::chrono::system_clock::now() - it->second).count();
}

void SmartDebugger::cleanClock(const std::string& name) {
  std::lock_guard<std::mutex> guard(clockLock_);
  clockDictionary_.erase(name);
}

}  // namespace velbor
