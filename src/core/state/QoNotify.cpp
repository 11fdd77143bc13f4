#include "core/state/QoNotify.h"

#include <array>
#include <mutex>
#include <utility>

#include "core/utils/QoUtils.h"
#include "platform/Dispatch.h"
#include "platform/NotificationCenter.h"

namespace velbor {

namespace {

// Never destroyed: jobs still running at exit post notices.
const auto& kNotificationNames = *new std::array<std::string, QoNotify::kKeyCount>{
    "DeviceAddResponse", "DeviceOffLine",      "TreeAddResponse",     "TreeDeleteResponse",   "FileChanged",
    "SyncAddResponse",   "SyncDeleteResponse", "TreeShowRequest",     "ListRequest",          "ListRootRequest",
    "TreeAddRequest",    "SyncAddRequest",     "TrustPublishRequest", "TrustPublishResponse", "TrustRequest",
    "TrustResponse",     "TrustDenyRequest",   "TrustDenyResponse",   "TrustCancelRequest",   "TrustCancelResponse",
    "DistrustRequest",   "DistrustResponse",   "SyncFileProcess",     "NotEnoughDeviceSpace", "EnoughDeviceSpace",
    "ProcessExit",
};

std::mutex queueMutex;
// Never destroyed: jobs still running at exit use it.
std::shared_ptr<DispatchQueue>& queue = *new std::shared_ptr<DispatchQueue>();

}  // namespace

QoNotify& QoNotify::sharedQoNotify() {
  // Never destroyed: jobs still running at exit use it.
  static QoNotify& instance = *new QoNotify();
  return instance;
}

const std::string& QoNotify::notificationKey(int key) {
  QoAssert(key >= 0 && key < kKeyCount, "*** notification key({}) out of range", key);
  return kNotificationNames[static_cast<size_t>(key)];
}

std::shared_ptr<DispatchQueue> QoNotify::notifyQueue() {
  std::lock_guard lock(queueMutex);
  if (!queue) queue = DispatchQueue::createSerial("notify");
  return queue;
}

void QoNotify::notificationSendAsync(const std::string& name, std::any object) {
  notifyQueue()->async([name, object = std::move(object)] { NotificationCenter::defaultCenter().post(name, object); });
}

void QoNotify::resetNotifyQueue() {
  std::shared_ptr<DispatchQueue> old;
  {
    std::lock_guard lock(queueMutex);
    old = std::exchange(queue, nullptr);
  }
  // Let what was queued reach its observers before the queue goes away.
  if (old && !old->isCurrent()) old->sync([] {});
}

}  // namespace velbor
