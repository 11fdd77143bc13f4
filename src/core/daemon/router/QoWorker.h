#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "core/daemon/router/QoRequest.h"

namespace velbor {

class QoWorkerDelegate;
class ZMQContext;

// One worker of a router: a REQ socket on the router's backend, serving one request at a
// time. The request handlers are class operations named "handle" plus the message name;
// QoHandlerTable maps each message name to its handler once, at first use.
class QoWorker {
 public:
  // ---- request handlers (each defined in the source file of its family) ----
  // ScanRequest (2), PubExit (21), DatabaseClearRequest (400)
  static QoMessage::Ptr handleScanRequest(const QoRequest& request);
  static QoMessage::Ptr handlePubExit(const QoRequest& request);
  static QoMessage::Ptr handleDatabaseClearRequest(const QoRequest& request);
  // FindRequest (4)
  static QoMessage::Ptr handleFindRequest(const QoRequest& request);
  // GetRequest (6)
  static QoMessage::Ptr handleGetRequest(const QoRequest& request);
  // ListRequest (140), ListRootRequest (142)
  static QoMessage::Ptr handleListRequest(const QoRequest& request);
  static QoMessage::Ptr handleListRootRequest(const QoRequest& request);
  // DeviceAddRequest (120), DeviceDeleteRequest (122), DeviceShowRequest (124)
  static QoMessage::Ptr handleDeviceAddRequest(const QoRequest& request);
  static QoMessage::Ptr handleDeviceDeleteRequest(const QoRequest& request);
  static QoMessage::Ptr handleDeviceShowRequest(const QoRequest& request);
  // TreeAddRequest (126), TreeDeleteRequest (128), TreeShowRequest (130)
  static QoMessage::Ptr handleTreeAddRequest(const QoRequest& request);
  static QoMessage::Ptr handleTreeDeleteRequest(const QoRequest& request);
  static QoMessage::Ptr handleTreeShowRequest(const QoRequest& request);
  // SyncAddRequest (132), SyncDeleteRequest (134), SyncShowRequest (136)
  static QoMessage::Ptr handleSyncAddRequest(const QoRequest& request);
  static QoMessage::Ptr handleSyncDeleteRequest(const QoRequest& request);
  static QoMessage::Ptr handleSyncShowRequest(const QoRequest& request);
};

}  // namespace velbor
