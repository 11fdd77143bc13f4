// The request client's hub, its one exchange over the network and the instance operations.
// The senders are in QoClientSenders.cpp.
#include "core/daemon/client/QoClient.h"

#include <exception>

#include "core/daemon/client/QoReplyNotice.h"
#include "core/daemon/client/QoRequestSocket.h"
#include "core/daemon/router/QoHandlerTable.h"
#include "core/entity/QoDevice.h"
#include "core/proto/QoPbMessageCode.h"
#include "core/state/QoConfig.h"
#include "core/utils/QoUtils.h"
#include "framework/errors/QoException.h"
#include "platform/Dispatch.h"
#include "platform/QoLog.h"
#include "proto/VelborProto.pb.h"

namespace velbor {
namespace {

// The trust requests 11, 13, 15 and 17 as bits over the codes 0-17.
constexpr uint32_t kTrustRequestMask = 0x2A800;
constexpr uint32_t kTrustRequestMaxCode = 17;

std::string messageName(int32_t code) {
  std::optional<std::string> name = QoPbMessageCode::sharedQoPbMessageCode().getMessageByCode(code);
  QoAssert(name.has_value(), "Unknown message code({})", code);
  return *name;
}

// Above level 0 the message is signed by this device and sealed for `device`; at level 0
// it names no device, so it carries no sender uuid.
void addressMessage(QoMessage& message, const QoClient::DevicePtr& device) {
  if (message.level() > QoMessage::kLevelNone) {
    message.setSrcDevice(QoDevice::getDeviceLocal());
    message.setDestDevice(device);
  } else {
    message.setSrcDevice(nullptr);
    message.setDestDevice(nullptr);
  }
}

void logDispatchFailure(const std::string& name, const std::exception& e) {
  const auto* named = dynamic_cast<const Exception*>(&e);
  QoLog("*** Send {} failed in dispatch, {}:{}", name, named ? named->name() : "std::exception",
        named ? named->reason() : e.what());
}

// Runs `job` on the global queue and posts its reply, if one came, as the request's notice.
template <class Job>
void dispatchAndPost(const std::string& name, const QoClient::DevicePtr& device, Job job) {
  // Checked before queuing: a reply that could not be posted is a caller's mistake.
  QoAssert(QoReplyNotice::hasNotice(name), "No reply notice for {}", name);
  DispatchQueue::globalQueue()->async([name, device, job = std::move(job)] {
    try {
      if (QoMessage::Ptr reply = job()) QoReplyNotice::post(name, std::move(reply), device);
    } catch (const std::exception& e) {
      logDispatchFailure(name, e);
    }
  });
}

// The name of an instance request to `device`; nothing, after its log line, when the message
// has no name or the device no request endpoint.
std::optional<std::string> instanceRequestName(const QoClient::DevicePtr& device, const QoMessage::Ptr& message) {
  std::string name;
  try {
    QoAssert(message != nullptr, "request message is nil");
    name = messageName(message->code());
  } catch (const std::exception& e) {
    QoLog("*** SendRequestMsg parse head failed! {}", e.what());
    return std::nullopt;
  }
  if (!device || device->routeUri().empty()) {
    QoLog("*** SendRequestMsg router uri is nil");
    return std::nullopt;
  }
  return name;
}

// One exchange with `device`; the reply, or nullptr after a logged failure.
QoMessage::Ptr exchangeLogged(const QoClient::DevicePtr& device, QoMessage& message, const std::string& name,
                              int lingerMs) {
  try {
    QoRequestSocket socket(device, device->routeUri(), lingerMs);
    QoRequestSocket::Result result = socket.exchange(message, QoClient::kReplyWaitMs);
    switch (result.outcome) {
      case QoRequestSocket::Outcome::kReply:
        return result.reply;
      case QoRequestSocket::Outcome::kSendError:
        QoLog("*** Send {} to device({}) failed", name, device->routeUri());
        break;
      case QoRequestSocket::Outcome::kPollError:
        QoLog("*** Send {} poll error!!", name);
        break;
      case QoRequestSocket::Outcome::kTimeout:
        QoLog("*** Receive {} from device({}) timeout", name, device->routeUri());
        break;
    }
  } catch (const std::exception& e) {
    QoLog("*** Exception, {}", e.what());
  }
  return nullptr;
}

}  // namespace

QoMessage::Ptr QoClient::sendReuqestTo(const DevicePtr& device, int32_t code, int32_t option, QoMessage::Body body) {
  const std::string name = messageName(code);
  QoAssert(device != nullptr, "can not send message to nil device");
  QoAssert(option == kOptionSync || option == kOptionAsync, "No such client option!");

  if (device->isLocalDevice()) {
    // This device's own handler, called in-process: no envelope, no socket, no sender.
    QoHandler handler = QoHandlerTable::handlerForName(name);
    QoAssert(handler != nullptr, "function not found!! handle{}:", name);
    QoRequest request;
    request.body = std::move(body);
    request.level = QoMessage::kLevelNone;
    request.fromNetwork = false;
    if (option == kOptionSync) return handler(request);
    dispatchAndPost(name, device, [handler, request] { return handler(request); });
    return nullptr;
  }

  QoMessage::Ptr message = QoMessage::qoMessageWithMsgCode(code, std::move(body));
  message->setLevel(QoConfig::sharedQoConfig().encryptLevel());
  if (option == kOptionSync) return sendMessageTo(device, message);
  dispatchAndPost(name, device, [device, message] { return sendMessageTo(device, message); });
  return nullptr;
}

QoMessage::Ptr QoClient::sendMessageTo(const DevicePtr& device, const QoMessage::Ptr& message) {
  QoAssert(device != nullptr, "can not send message to nil device");
  QoAssert(!device->routeUri().empty(), "device routeUri can not be nil");
  QoRequestSocket socket(device, device->routeUri(), kLingerMs);
  filterOfMessageEncryptLevel(*message);
  addressMessage(*message, device);
  QoRequestSocket::Result result = socket.exchange(*message, kReplyWaitMs);
  switch (result.outcome) {
    case QoRequestSocket::Outcome::kReply:
      return result.reply;
    case QoRequestSocket::Outcome::kSendError:
      throw QoException::defaultExceptionWithReason("SendRequest to device({}) failed, send error.", device->name());
    case QoRequestSocket::Outcome::kPollError:
      throw QoException::defaultExceptionWithReason("SendRequest to device({}) failed, socket poll error.",
                                                    device->name());
    case QoRequestSocket::Outcome::kTimeout:
      break;
  }
  throw QoException::defaultExceptionWithReason("SendRequest to device({}) failed, timeout.", device->name());
}

void QoClient::filterOfMessageEncryptLevel(QoMessage& message) {
  const auto code = static_cast<uint32_t>(message.code());
  if (code <= kTrustRequestMaxCode && ((kTrustRequestMask >> code) & 1U) != 0) {
    message.setLevel(QoMessage::kLevelEncrypt);
  } else {
    message.setLevel(QoConfig::sharedQoConfig().encryptLevel());
  }
}

// ---- instance operations ----

QoClient::QoClient(DevicePtr device) : device_(std::move(device)) {
  QoAssert(device_ != nullptr, "device can not be nil");
}

QoClient::DevicePtr QoClient::device() const {
  std::lock_guard lock(deviceLock_);
  return device_;
}

void QoClient::changeServerDevice(DevicePtr device) {
  std::lock_guard lock(deviceLock_);
  device_ = std::move(device);
}

void QoClient::sendListRequest(const std::string& root) {
  auto body = std::make_shared<pb::MsgListRequest>();
  body->set_root(root);
  sendRequestMessageAsync(QoMessage::qoMessageWithMsgCode(pb::MsgCodeListRequest, std::move(body)));
}

void QoClient::sendListRootRequest() {
  sendRequestMessageAsync(QoMessage::qoMessageWithMsgCode(pb::MsgCodeListRootRequest, nullptr));
}

void QoClient::sendTreeAddRequest(const std::string& root) {
  auto body = std::make_shared<pb::MsgTreeAddRequest>();
  body->set_sync_uuid(QoUtils::generateUuid());
  body->set_tree_root(root);
  body->set_tree_uuid(QoUtils::generateUuid());
  sendRequestMessageAsync(QoMessage::qoMessageWithMsgCode(pb::MsgCodeTreeAddRequest, std::move(body)));
}

void QoClient::sendSyncAddRequestLocalTreeUuid(const std::string& localTreeUuid, const std::string& syncUuid,
                                               const std::string& remoteTreeUuid, const std::string& remoteTreeRoot,
                                               const std::string& remoteDeviceUuid) {
  sendRequestMessageAsync(QoMessage::qoMessageWithMsgCode(
      pb::MsgCodeSyncAddRequest,
      syncAddRequestBody(localTreeUuid, syncUuid, remoteTreeUuid, remoteTreeRoot, remoteDeviceUuid)));
}

void QoClient::sendRequestMessageAsync(QoMessage::Ptr message) {
  // The device bound now: the window may bind another before the job runs.
  DispatchQueue::globalQueue()->async(
      [device = device(), message = std::move(message)] { sendRequestMessageTo(device, message); });
}

void QoClient::sendRequestMessage(const QoMessage::Ptr& message) { sendRequestMessageTo(device(), message); }

void QoClient::sendRequestMessageTo(const DevicePtr& device, const QoMessage::Ptr& message) {
  const std::optional<std::string> name = instanceRequestName(device, message);
  if (!name) return;
  message->setLevel(QoConfig::sharedQoConfig().encryptLevel());
  addressMessage(*message, device);
  QoMessage::Ptr reply = exchangeLogged(device, *message, *name, kLingerMs);
  if (!reply) return;
  try {
    QoReplyNotice::post(*name, std::move(reply), device);
  } catch (const std::exception& e) {
    QoLog("*** Exception, {}", e.what());
  }
}

QoMessage::Ptr QoClient::responseFromRequest(const QoMessage::Ptr& message) {
  const DevicePtr device = this->device();
  if (!device) throw Exception("UninitializedQoClient", "");
  const std::optional<std::string> name = instanceRequestName(device, message);
  return name ? exchangeLogged(device, *message, *name, kResponseLingerMs) : nullptr;
}

}  // namespace velbor
