#pragma once

#include <any>
#include <memory>
#include <string>

namespace velbor {

class DispatchQueue;

// Named in-process notifications, each with a small integer key. Posting is asynchronous:
// notices are delivered on the default notification center from the serial queue "notify",
// one after another in posting order, so a poster never waits for its observers.
class QoNotify {
 public:
  enum Key : int {
    DeviceAddResponse = 0,
    DeviceOffLine = 1,
    TreeAddResponse = 2,
    TreeDeleteResponse = 3,
    FileChanged = 4,
    SyncAddResponse = 5,
    SyncDeleteResponse = 6,
    TreeShowRequest = 7,
    ListRequest = 8,
    ListRootRequest = 9,
    TreeAddRequest = 10,
    SyncAddRequest = 11,
    TrustPublishRequest = 12,
    TrustPublishResponse = 13,
    TrustRequest = 14,
    TrustResponse = 15,
    TrustDenyRequest = 16,
    TrustDenyResponse = 17,
    TrustCancelRequest = 18,
    TrustCancelResponse = 19,
    DistrustRequest = 20,
    DistrustResponse = 21,
    SyncFileProcess = 22,
    NotEnoughDeviceSpace = 23,
    EnoughDeviceSpace = 24,
    ProcessExit = 25,
  };
  static constexpr int kKeyCount = 26;

  static QoNotify& sharedQoNotify();

  // The notification name of a key 0-25; any other key raises the assertion exception.
  static const std::string& notificationKey(int key);
  // Queues the post of `name` with `object` on the "notify" queue and returns at once.
  static void notificationSendAsync(const std::string& name, std::any object = {});

  // The "notify" queue, created on first use. Waiting on it with sync() lets every notice
  // posted before deliver first.
  static std::shared_ptr<DispatchQueue> notifyQueue();
  // Delivers what is queued, then releases the queue and its thread (tests, shutdown); the
  // next post creates a new one.
  static void resetNotifyQueue();

 private:
  QoNotify() = default;
};

}  // namespace velbor
