#include "e2e/InotifyQueueLimit.h"

#include <fstream>

namespace velbor::test {

namespace {

constexpr const char* kSetting = "/proc/sys/fs/inotify/max_queued_events";

bool writeSetting(const std::string& value) {
  std::ofstream out(kSetting);
  out << value << '\n';
  out.close();
  return !out.fail();
}

}  // namespace

InotifyQueueLimit::InotifyQueueLimit(int events) {
  std::ifstream in(kSetting);
  std::string previous;
  if (!(in >> previous)) return;
  if (writeSetting(std::to_string(events))) previous_ = previous;
}

InotifyQueueLimit::~InotifyQueueLimit() {
  if (lowered()) writeSetting(previous_);
}

}  // namespace velbor::test
