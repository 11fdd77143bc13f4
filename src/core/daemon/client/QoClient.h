#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/envelope/QoMessage.h"

namespace velbor {

class QoDevice;
class QoSyncdirCopyRelation;

// How this device asks a device, itself included, to do something.
//
// Class operations address a device by its record. Option 0 sends, waits and returns the
// reply; option 1 does the same on the global queue and posts the reply as the notice named
// after the request (QoReplyNotice). A request to this device calls its handler directly,
// without a socket. Every other request opens a fresh context and REQ socket for its one
// exchange, waits at most kReplyWaitMs and closes both before it returns; a request that
// gets no answer fails (option 0) or posts nothing (option 1).
//
// Instances serve the remote-browsing windows: bound to one device, they send over a socket
// on the global queue and post each reply that arrives.
class QoClient {
 public:
  using Ptr = std::shared_ptr<QoClient>;
  using DevicePtr = std::shared_ptr<QoDevice>;
  using RelationPtr = std::shared_ptr<QoSyncdirCopyRelation>;

  static constexpr int32_t kOptionSync = 0;
  static constexpr int32_t kOptionAsync = 1;
  static constexpr int kReplyWaitMs = 5000;
  static constexpr int kLingerMs = 6;
  // responseFromRequest's linger.
  static constexpr int kResponseLingerMs = 5;

  // ---- class operations ----
  // The hub: the reply for option 0, nullptr for option 1. Raises the assertion exception for
  // a null device or an option other than 0 and 1, and for option 0 whatever the exchange or
  // the local handler raises.
  static QoMessage::Ptr sendReuqestTo(const DevicePtr& device, int32_t code, int32_t option, QoMessage::Body body);
  // One exchange over a fresh REQ socket: the reply as received (an error reply included).
  // Raises QoException on a poll failure or when no reply comes in time, and what opening
  // the reply raises.
  static QoMessage::Ptr sendMessageTo(const DevicePtr& device, const QoMessage::Ptr& message);
  // Level 2 for the trust requests 11, 13, 15 and 17; else the `encryptLevel` setting.
  static void filterOfMessageEncryptLevel(QoMessage& message);

  // The senders: each builds its body and calls the hub; a failure is logged and answered
  // with nullptr.
  static QoMessage::Ptr sendTreeShowRequestTo(const DevicePtr& device, int32_t option);
  static QoMessage::Ptr sendSyncAddRequestTo(const DevicePtr& device, int32_t option, const std::string& localTreeUuid,
                                             const std::string& syncUuid, const std::string& remoteTreeUuid,
                                             const std::string& remoteTreeRoot, const std::string& remoteDeviceUuid);
  // Stores a new offer (fresh token, `trustAuthTimeOut`) as the device's send context, then sends it.
  static QoMessage::Ptr sendTrustPublishRequestTo(const DevicePtr& device, int32_t option);
  // Agreement and refusal carry the token of the offer received from the device; without
  // one nothing is sent.
  static QoMessage::Ptr sendTrustRequestTo(const DevicePtr& device, int32_t option);
  // An agreement carrying `token`: the answer to an offer that was not kept here (one from a
  // device this one trusts already).
  // With option 0, a TrustResponse that names another offer's token (an answer recorded
  // earlier and sent again) is dropped: nullptr, as when no answer came.
  static QoMessage::Ptr sendTrustRequestTo(const DevicePtr& device, int32_t option, const std::string& token);
  static QoMessage::Ptr sendTrustDenyRequestTo(const DevicePtr& device, int32_t option);
  // Withdraws this device's offer: carries the token of its send context.
  static QoMessage::Ptr sendTrustCancelRequestTo(const DevicePtr& device, int32_t option);
  static QoMessage::Ptr sendDisTrustRequestTo(const DevicePtr& device, int32_t option);
  static QoMessage::Ptr sendSyncOnceRequestTo(const DevicePtr& device, int32_t option,
                                              const RelationPtr& syncdirCopyRelation);
  // With a challenge, the request carries it, and the device's answer carries it back.
  static QoMessage::Ptr sendStatusRequestTo(const DevicePtr& device, int32_t option,
                                            const std::optional<std::string>& challenge = std::nullopt);

  // Starts a sync once (option 1, through this device's handler) for every pairing of a
  // local copy whose remote device is trusted and online or is this device; with a device,
  // only for that device's pairings.
  static void syncOnceTo(const DevicePtr& device);
  // Creates a tree on this device through its handler: the reply (127 with the tree's uuid);
  // the handler's exception passes. A missing sync uuid is made fresh; a missing tree uuid
  // is left to the handler.
  static QoMessage::Ptr localTreeAddSyncUuid(const std::optional<std::string>& syncUuid, const std::string& treeRoot,
                                             const std::optional<std::string>& treeUuid);
  // Removes the tree `treeUuid` from this device through its handler: the reply (129); the
  // handler's exception passes (a tree that is paired or not stored is refused).
  static QoMessage::Ptr localTreeDelete(const std::string& treeUuid);

  // ---- instance operations (remote browsing) ----
  QoClient() = default;
  // The device must not be null (assertion).
  explicit QoClient(DevicePtr device);
  QoClient(const QoClient&) = delete;
  QoClient& operator=(const QoClient&) = delete;

  DevicePtr device() const;
  void changeServerDevice(DevicePtr device);

  // Each sends asynchronously and posts the reply under the request's name.
  void sendListRequest(const std::string& root);
  void sendListRootRequest();
  void sendTreeAddRequest(const std::string& root);
  void sendSyncAddRequestLocalTreeUuid(const std::string& localTreeUuid, const std::string& syncUuid,
                                       const std::string& remoteTreeUuid, const std::string& remoteTreeRoot,
                                       const std::string& remoteDeviceUuid);
  // Runs sendRequestMessage on the global queue, for the device bound now, and returns at once.
  void sendRequestMessageAsync(QoMessage::Ptr message);
  // One exchange with the bound device; posts the reply. Failures are logged, and nothing
  // is posted for a reply that did not come.
  void sendRequestMessage(const QoMessage::Ptr& message);
  // The same exchange, synchronously, at the message's own level: the reply or nullptr.
  // Raises "UninitializedQoClient" when no device is bound.
  QoMessage::Ptr responseFromRequest(const QoMessage::Ptr& message);

 private:
  static QoMessage::Body syncAddRequestBody(const std::string& localTreeUuid, const std::string& syncUuid,
                                            const std::string& remoteTreeUuid, const std::string& remoteTreeRoot,
                                            const std::string& remoteDeviceUuid);
  static void sendRequestMessageTo(const DevicePtr& device, const QoMessage::Ptr& message);

  mutable std::mutex deviceLock_;
  DevicePtr device_;
};

}  // namespace velbor
