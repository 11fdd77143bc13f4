#include "core/daemon/router/QoWorker.h"

#include <cerrno>
#include <stdexcept>
#include <string_view>

#include <fmt/format.h>

#include "core/daemon/router/QoHandlerTable.h"
#include "core/daemon/router/QoWorkerDelegate.h"
#include "core/daemon/router/ReplySealer.h"
#include "core/proto/QoPbMessageCode.h"
#include "core/utils/QoUtils.h"
#include "framework/errors/QoException.h"
#include "framework/errors/QoExceptionProto.h"
#include "framework/network/ZMQContext.h"
#include "framework/network/ZMQException.h"
#include "framework/network/ZMQMessage.h"
#include "framework/network/ZMQSocket.h"
#include "platform/LogRateLimiter.h"
#include "platform/LoopRoundFailures.h"
#include "platform/QoLog.h"
#include "proto/VelborProto.pb.h"

namespace velbor {

namespace {

constexpr const char* kBadFormat = "bad format";

// Any host can send failing requests as fast as it likes: their lines are bounded. Never
// destroyed: a worker may still log during exit.
LogRateLimiter& failedRequestLog() {
  static auto* limiter = new LogRateLimiter("Router: failed requests", 10, std::chrono::minutes(1));
  return *limiter;
}

// Waits for the next request without limit; false once the context is shut down. A poll
// instead of a bare receive, so that the wake-up at shutdown is no failure to log.
bool waitForRequest(ZMQSocket& socket) {
  zmq_pollitem_t item{};
  socket.getPollItem(item, ZMQ_POLLIN);
  for (;;) {
    if (ZMQContext::pollWithItems(&item, 1, -1) > 0) return true;
    if (zmq_errno() != EINTR) return false;
  }
}

// The level-0 error reply for a refused or failed request; nothing short of memory.
QoMessage::Ptr errorReply(const std::string& name, int32_t errorCode, const std::string& errorMsg) {
  try {
    return QoMessage::qoMessageErrorWithErrorCode(errorCode, errorMsg);
  } catch (const std::exception& e) {
    QoLog("*** {}, error reply failed, {}", name, e.what());
    return nullptr;
  }
}

// The error reply for the exception being handled: a coded refusal keeps its code and
// text; anything else answers as a malformed request.
QoMessage::Ptr errorReplyForFailure(const std::string& name) {
  try {
    throw;
  } catch (const QoException& e) {
    failedRequestLog().log("*** {}, {}", name, e.description());
    return errorReply(name, e.code(), e.description());
  } catch (const Exception& e) {
    failedRequestLog().log("*** {}, {}: {}", name, e.name(), e.reason());
  } catch (const std::exception& e) {
    failedRequestLog().log("*** {}, {}: {}", name, "std::exception", e.what());
  } catch (...) {
    failedRequestLog().log("*** {}, {}: {}", name, "unknown", "");
  }
  return errorReply(name, pb::ErrorCodeBadFormat, kBadFormat);
}

// Whether the failure being handled refuses the request for its sender alone: a device not
// known or not trusted here. It is found before any key's work, and a device whose trust
// ended here learns of it only from these answers (it asks again and again over minutes).
bool refusesSender() {
  try {
    throw;
  } catch (const QoExceptionZeUntrusted&) {
    return true;
  } catch (const QoExceptionZeNoent&) {
    return true;
  } catch (...) {
    return false;
  }
}

// The refusal of a request that only this device's own client makes ("DeviceDelete
// request is not allowed from the network").
QoExceptionZePermissionDeny notServedToNetwork(std::string_view name) {
  static constexpr std::string_view kSuffix = "Request";
  if (name.size() > kSuffix.size() && name.substr(name.size() - kSuffix.size()) == kSuffix) {
    name.remove_suffix(kSuffix.size());
  }
  return QoExceptionZePermissionDeny(fmt::format("{} request is not allowed from the network", name));
}

}  // namespace

QoWorker::QoWorker(std::string uri) : identity_(QoUtils::generateShortUuid()), uri_(std::move(uri)) {
  if (uri_.empty()) throw Exception("", "init worker failed!!");
}

QoWorker::~QoWorker() = default;

void QoWorker::setZmqContext(std::shared_ptr<ZMQContext> context) {
  std::lock_guard lock(contextLock_);
  zmqContext_ = std::move(context);
  ownsContext_ = false;
}

void QoWorker::stop() {
  run_ = false;
  std::lock_guard lock(contextLock_);
  if (ownsContext_ && zmqContext_) zmqContext_->shutdown();
}

void QoWorker::run() {
  std::shared_ptr<ZMQContext> context;
  {
    std::lock_guard lock(contextLock_);
    if (!zmqContext_) {
      zmqContext_ = std::make_shared<ZMQContext>(1);
      ownsContext_ = true;
    }
    context = zmqContext_;
  }
  run_ = true;

  std::shared_ptr<ZMQSocket> socket;
  try {
    socket = context->socketWithType(ZMQ_REQ);
    socket->setData(identity_, ZMQ_IDENTITY);
    socket->connectToEndpoint(uri_);
    QoLog("Worker({}) bind on ({})", identity_, uri_);
  } catch (const Exception& e) {
    QoLog("Worker({}) connect to endpoint({}) failed! {}", identity_, uri_, e.reason());
    socket.reset();
  }

  if (socket) {
    try {
      serve(*socket);
    } catch (const ZMQException& e) {
      // ETERM: the context was shut down under a receive or send; that is how a worker stops.
      if (e.getErrorCode() != ETERM) QoLog("*** Worker({}) run failed, {}", identity_, e.what());
    } catch (const std::exception& e) {
      QoLog("*** Worker({}) run failed, {}", identity_, e.what());
    }
    socket->closeWithoutLinger();
  }
  run_ = false;

  std::lock_guard lock(contextLock_);
  if (ownsContext_) {
    zmqContext_->terminate();
    zmqContext_.reset();
    ownsContext_ = false;
  }
}

void QoWorker::serve(ZMQSocket& socket) {
  LoopRoundFailures failures(fmt::format("Worker({})", identity_));
  // A REQ socket answers every request it received before it can receive the next one; the
  // first answer is "ready". A worker that failed to answer would wait forever, and the
  // broker without it.
  bool owesAnswer = true;
  while (run_) {
    try {
      if (owesAnswer) {
        // What is left of a request that failed half-read goes first.
        while (socket.msgMore()) socket.receiveDataWithFlags(0);
        if (!sendReadyMessage(socket)) throw std::runtime_error("ready not sent");
        owesAnswer = false;
      }
      if (!waitForRequest(socket)) return;
      owesAnswer = true;
      serveOne(socket);
      owesAnswer = false;
      failures.succeeded();
    } catch (const ZMQException& e) {
      // ETERM: the context was shut down under a receive or send; that is how a worker stops.
      if (e.getErrorCode() == ETERM) return;
      failures.failed(e.what());
    } catch (const std::exception& e) {
      failures.failed(e.what());
    } catch (...) {
      failures.failed("unknown exception");
    }
  }
}

void QoWorker::serveOne(ZMQSocket& socket) {
  ZMQMessage frames = ZMQMessage::recvFromSocket(socket);
  std::string client = frames.getNextFrame().value_or(std::string());
  frames.getNextFrame();
  if (sealer_) {
    std::string name;
    bool notOpened = false;
    QoMessage::Ptr answer = answerRequest(frames, name, &notOpened);
    // The broker takes this worker back at once; the sealer passes the reply on.
    if (answer) sealer_->submit(std::move(client), std::move(name), std::move(answer), notOpened);
    if (!sendReadyMessage(socket)) throw std::runtime_error("ready not sent");
    return;
  }
  std::optional<ZMQMessage> reply = handleRequestMessage(frames);
  if (!reply) {
    // No reply for the client; the broker takes this worker back all the same.
    if (!sendReadyMessage(socket)) throw std::runtime_error("ready not sent");
    return;
  }
  reply->insertEmptyFrameAtHead();
  reply->insertFrameAtHead(std::move(client));
  if (!reply->sendToSocket(socket)) throw std::runtime_error("reply not sent");
}

std::optional<ZMQMessage> QoWorker::handleRequestMessage(ZMQMessage& frames) {
  std::string name;
  QoMessage::Ptr reply = answerRequest(frames, name);
  if (!reply) return std::nullopt;
  return sealReply(name, *reply);
}

QoMessage::Ptr QoWorker::answerRequest(ZMQMessage& frames, std::string& name, bool* notOpened) {
  name = "unparsed";
  bool opened = false;
  try {
    // The delegate sees the header before the body is opened: a request it refuses is
    // neither verified, decrypted nor parsed.
    QoMessage::Ptr request = QoMessage::initWithRecvZMQMessage(frames, nullptr, [&](const QoMessage& header) {
      name = QoPbMessageCode::sharedQoPbMessageCode().getMessageByCode(header.code()).value_or("(null)");
      if (delegate_) delegate_->beforeHandleRequest(header);
      // Refused before its signature is checked or its body opened.
      if (QoHandlerTable::handlerForName(name) && !QoHandlerTable::isServedToNetwork(name)) {
        throw notServedToNetwork(name);
      }
    });
    opened = true;

    QoHandler handler = QoHandlerTable::handlerForName(name);
    QoAssert(handler != nullptr, "function not found!! handle{}:", name);

    QoRequest context;
    context.body = request->pbBody();
    // Only a verified envelope names its sender; at level 0 the header's uuid is a claim.
    if (request->level() > QoMessage::kLevelNone) {
      context.sender = request->srcDevice();
      context.sign = request->sign();
    }
    context.level = request->level();
    context.fromNetwork = true;

    QoMessage::Ptr reply = handler(context);
    if (reply && delegate_) delegate_->afterHandleRequest(*request, *reply);
    return reply;
  } catch (...) {
    if (notOpened) *notOpened = !opened && !refusesSender();
    return errorReplyForFailure(name);
  }
}

std::optional<ZMQMessage> QoWorker::sealReply(const std::string& name, QoMessage& reply) {
  QoMessage::Ptr error;
  try {
    return reply.getSendZMQMessage();
  } catch (...) {
    error = errorReplyForFailure(name);
  }
  if (!error) return std::nullopt;
  try {
    return error->getSendZMQMessage();
  } catch (const std::exception& e) {
    // A level-0 error reply fails to seal only short of memory; the client then times out.
    QoLog("*** {}, error reply failed, {}", name, e.what());
    return std::nullopt;
  }
}

bool QoWorker::sendReadyMessage(ZMQSocket& socket) {
  return ZMQMessage::sendToSocketWithOneFrame(socket, kReadyMessage);
}

bool QoWorker::isReadyMessageFromWorker(const std::string& frame) { return frame == kReadyMessage; }

}  // namespace velbor
