#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/state/QoNotify.h"
#include "platform/NotificationCenter.h"

namespace velbor {

class QoDevice;
class QoMessage;
class QoSyncdirCopy;
class QoSyncdirCopyRelation;
class SyncFileProcessBox;
struct TrustInfo;

// The object each notification carries: one type per notification, declared here once so
// that posters and observers cannot disagree. A notice type names its key; QoNotices::post
// and QoNotices::observe take the notification name from it, so a notice can only be
// posted and observed under its own name.
namespace notice {

// Devices that were added by a management request.
struct DeviceAddResponse {
  static constexpr int kKey = QoNotify::DeviceAddResponse;
  std::vector<std::shared_ptr<QoDevice>> devices;
};
// Devices that went offline (silent too long, or announced their exit).
struct DeviceOffLine {
  static constexpr int kKey = QoNotify::DeviceOffLine;
  std::vector<std::shared_ptr<QoDevice>> devices;
};
struct TreeAddResponse {
  static constexpr int kKey = QoNotify::TreeAddResponse;
  std::shared_ptr<QoSyncdirCopy> copy;
};
struct TreeDeleteResponse {
  static constexpr int kKey = QoNotify::TreeDeleteResponse;
};
// A local copy whose records changed.
struct FileChanged {
  static constexpr int kKey = QoNotify::FileChanged;
  std::shared_ptr<QoSyncdirCopy> copy;
};
struct SyncAddResponse {
  static constexpr int kKey = QoNotify::SyncAddResponse;
  std::shared_ptr<QoSyncdirCopyRelation> relation;
};
// Pairings that were removed (possibly none, after a distrust).
struct SyncDeleteResponse {
  static constexpr int kKey = QoNotify::SyncDeleteResponse;
  std::vector<std::shared_ptr<QoSyncdirCopyRelation>> relations;
};
struct SyncFileProcess {
  static constexpr int kKey = QoNotify::SyncFileProcess;
  std::shared_ptr<SyncFileProcessBox> box;
};
// A pull needs more bytes than the local copy's disk has free.
struct NotEnoughDeviceSpace {
  static constexpr int kKey = QoNotify::NotEnoughDeviceSpace;
  uint64_t available = 0;
  uint64_t total = 0;
};
struct EnoughDeviceSpace {
  static constexpr int kKey = QoNotify::EnoughDeviceSpace;
};
struct ProcessExit {
  static constexpr int kKey = QoNotify::ProcessExit;
};

// The reply of an asynchronous request, posted under the request's message name: the
// reply message as received (an error reply included) and the device it came from.
template <int Key>
struct Reply {
  static constexpr int kKey = Key;
  std::shared_ptr<QoMessage> reply;
  std::shared_ptr<QoDevice> device;
};
using TreeShowRequest = Reply<QoNotify::TreeShowRequest>;
using ListRequest = Reply<QoNotify::ListRequest>;
using ListRootRequest = Reply<QoNotify::ListRootRequest>;
using TreeAddRequest = Reply<QoNotify::TreeAddRequest>;
using SyncAddRequest = Reply<QoNotify::SyncAddRequest>;
using TrustPublishRequest = Reply<QoNotify::TrustPublishRequest>;
using TrustRequest = Reply<QoNotify::TrustRequest>;
using TrustDenyRequest = Reply<QoNotify::TrustDenyRequest>;
using TrustCancelRequest = Reply<QoNotify::TrustCancelRequest>;
using DistrustRequest = Reply<QoNotify::DistrustRequest>;

// The reply of an asynchronous request whose name has no key in QoNotify's table; posted
// and observed under `kName`.
struct SyncOnceRequest {
  static constexpr const char* kName = "SyncOnceRequest";
  std::shared_ptr<QoMessage> reply;
  std::shared_ptr<QoDevice> device;
};
// A local copy whose folder is not the one recorded (its disk not mounted, another disk in
// its place, the folder made again): nothing in it is taken as removed until it is back.
struct SyncdirMissing {
  static constexpr const char* kName = "SyncdirMissing";
  std::string path;
  std::string uuid;  // the copy's
};
// A local copy found missing before whose own folder is back: it syncs again.
struct SyncdirBack {
  static constexpr const char* kName = "SyncdirBack";
  std::string path;
  std::string uuid;  // the copy's
};
struct StatusRequest {
  static constexpr const char* kName = "StatusRequest";
  std::shared_ptr<QoMessage> reply;
  std::shared_ptr<QoDevice> device;
};

// A trust message received from a peer: the offer, or the answer to one made here.
template <int Key>
struct Trust {
  static constexpr int kKey = Key;
  std::shared_ptr<TrustInfo> info;
};
using TrustPublishResponse = Trust<QoNotify::TrustPublishResponse>;
using TrustResponse = Trust<QoNotify::TrustResponse>;
using TrustDenyResponse = Trust<QoNotify::TrustDenyResponse>;
using TrustCancelResponse = Trust<QoNotify::TrustCancelResponse>;

// A peer ended its trust: the device that was removed.
struct DistrustResponse {
  static constexpr int kKey = QoNotify::DistrustResponse;
  std::shared_ptr<QoDevice> device;
};

}  // namespace notice

class QoNotices {
 public:
  QoNotices() = delete;

  // Posts the notice asynchronously on the "notify" queue under its own name.
  template <class Notice>
  static void post(Notice notice) {
    QoNotify::notificationSendAsync(nameOf<Notice>(), std::move(notice));
  }

  // The notification name of a notice type: its key's name, or its own `kName`.
  template <class Notice>
  static const std::string& nameOf() {
    if constexpr (requires { Notice::kName; }) {
      // Never destroyed: jobs still running at exit use it.
      static const std::string& name = *new std::string(Notice::kName);
      return name;
    } else {
      return QoNotify::notificationKey(Notice::kKey);
    }
  }

  // Observes one notice type on the default center; remove with removeObserver(token).
  template <class Notice>
  static NotificationCenter::Token observe(std::function<void(const Notice&)> observer) {
    return NotificationCenter::defaultCenter().addObserver(
        nameOf<Notice>(), [observer = std::move(observer)](const Notification& notification) {
          if (const auto* notice = std::any_cast<Notice>(&notification.object)) observer(*notice);
        });
  }
};

}  // namespace velbor
