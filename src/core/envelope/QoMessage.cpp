#include "core/envelope/QoMessage.h"

#include <fmt/format.h>

#include <future>

#include "core/entity/QoDevice.h"
#include "core/envelope/EnvelopeKeys.h"
#include "core/proto/PbMessage.h"
#include "core/proto/QoPbMessageCode.h"
#include "core/utils/QoUtils.h"
#include "framework/crypto/QoEncrypt.h"
#include "framework/errors/QoExceptionProto.h"
#include "framework/network/DispatchUdpSocket.h"
#include "framework/network/ZMQAddress.h"
#include "framework/network/ZMQMessage.h"
#include "framework/network/ZMQSocket.h"
#include "platform/GlobalQueue.h"
#include "platform/LogRateLimiter.h"
#include "proto/VelborProto.pb.h"

namespace velbor {

namespace {

constexpr size_t kAesKeyLength = 16;
constexpr size_t kAesBlockLength = 16;
// Bodies from this size on (file parts) are encrypted on another thread while this one
// takes their digest: the two take about as long as each other.
constexpr size_t kParallelSealBytes = 256 * 1024;

// The body encrypted under `aesKey`, with the signature of its plain digest in `sign`: the
// cipher on the global queue while the digest is taken and signed here.
std::string sealLargeBody(std::string body, const std::string& aesKey, const std::string& privateKey,
                          std::string& sign) {
  auto plain = std::make_shared<const std::string>(std::move(body));
  auto cipher = std::make_shared<std::promise<std::string>>();
  std::future<std::string> sealed = cipher->get_future();
  // The job holds the only reference to the promise: a job the queue drops breaks it.
  GlobalQueue::shared()->async([plain, aesKey, cipher = std::move(cipher)] {
    try {
      cipher->set_value(QoEncrypt::encryptDataKey(*plain, aesKey));
    } catch (...) {
      cipher->set_exception(std::current_exception());
    }
  });
  try {
    sign = QoEncrypt::encryptDataPrivateKey(QoEncrypt::getMD5ForData(*plain), privateKey);
  } catch (...) {
    // The cipher still reads the body: it is waited for before the body goes.
    sealed.wait();
    throw;
  }
  // A job dropped by the queue's shutdown breaks its promise: the seal fails, nothing hangs.
  return sealed.get();
}

// The body's bytes in a buffer with `spare` bytes of room beyond them, so that the cipher's
// padding fits without moving a part-sized buffer.
std::string serialisedBody(const google::protobuf::Message& body, size_t spare) {
  std::string bytes;
  if (spare > 0) bytes.reserve(body.ByteSizeLong() + spare);
  body.AppendPartialToString(&bytes);
  return bytes;
}
constexpr const char* kNullText = "(null)";

// The AES key of a level-2 body. A wrapped key that does not unwrap, or unwraps to
// anything but an AES-128 key, is replaced by a random one: the body then fails to open
// exactly as under a wrong key, after the same work, so a peer cannot tell the PKCS#1
// padding of its substituted key good from bad.
std::string unwrapBodyKey(const std::string& wrapped, const std::string& privateKey) {
  std::string key;
  try {
    key = QoEncrypt::decryptDataPrivateKey(wrapped, privateKey);
  } catch (const std::exception&) {
    key.clear();
  }
  if (key.size() != kAesKeyLength) key = QoEncrypt::generateAESRandomKey();
  return key;
}

}  // namespace

LogRateLimiter& QoMessage::openFailureLog() {
  // Never destroyed: workers may still log during exit.
  static auto* limiter =
      new LogRateLimiter("QoMessage: messages that failed to open", kOpenFailureLogLines, kOpenFailureLogInterval);
  return *limiter;
}

QoMessage::QoMessage() = default;

QoMessage::Ptr QoMessage::initWithRecvZMQMessage(ZMQMessage& frames, PrivateKeySource privateKeySource,
                                                 const HeaderCheck& headerCheck) {
  auto message = std::make_shared<QoMessage>();
  message->privateKeySource_ = std::move(privateKeySource);
  std::optional<Bytes> headFrame = frames.getNextFrame();
  QoAssert(headFrame.has_value(), "");

  message->initWithReviceMsgHead(PbMessage::parseFromData<pb::MsgHead>(*headFrame));
  if (headerCheck) headerCheck(*message);

  std::optional<Bytes> body = message->decryptLevel(message->level_, frames.getNextFrame());
  if (body && message->msgName_) {
    if (const google::protobuf::Message* prototype = PbMessage::bodyTypeForName(*message->msgName_)) {
      message->pbBody_ = Body(PbMessage::parseFromData(*prototype, *body));
    }
  }
  // A trust request's sender record stays: a peer's extra frame must not stand in for it.
  std::optional<Bytes> extra = frames.getNextFrame();
  if (extra && !std::holds_alternative<std::shared_ptr<QoDevice>>(message->userInfo_)) {
    message->userInfo_ = std::move(*extra);
  }
  return message;
}

QoMessage::Ptr QoMessage::recvFromSocket(ZMQSocket& socket, PrivateKeySource privateKeySource) {
  ZMQMessage frames = ZMQMessage::recvFromSocket(socket);
  return initWithRecvZMQMessage(frames, std::move(privateKeySource));
}

QoMessage::Ptr QoMessage::initWithReplyZMQMessage(ZMQMessage& frames, const std::string& askedUuid,
                                                  PrivateKeySource privateKeySource) {
  return initWithRecvZMQMessage(frames, std::move(privateKeySource), [&askedUuid](const QoMessage& header) {
    if (header.level_ == kLevelNone) {
      if (header.code_ == pb::MsgCodeError) return;
      throw QoExceptionZeUntrusted(
          fmt::format("{}: Reply is not signed, device({}) must sign it", header.nameText(), askedUuid));
    }
    // The signature is checked against the key of the device the header names: that must be
    // the device asked, not any other device known here.
    if (!header.srcDevice_ || header.srcDevice_->uuid() != askedUuid) {
      throw QoExceptionZeUntrusted(fmt::format("{}: Reply names device({}), not the device({}) asked",
                                               header.nameText(),
                                               header.srcDevice_ ? header.srcDevice_->uuid() : kNullText, askedUuid));
    }
  });
}

QoMessage::Ptr QoMessage::recvReplyFromSocket(ZMQSocket& socket, const std::string& askedUuid,
                                              PrivateKeySource privateKeySource) {
  ZMQMessage frames = ZMQMessage::recvFromSocket(socket);
  return initWithReplyZMQMessage(frames, askedUuid, std::move(privateKeySource));
}

QoMessage::Ptr QoMessage::qoMessageWithMsgCode(int32_t code, Body body) {
  auto message = std::make_shared<QoMessage>();
  message->code_ = code;
  message->pbBody_ = std::move(body);
  return message;
}

QoMessage::Ptr QoMessage::qoMessageErrorWithErrorCode(int32_t errorCode, const std::string& errorMsg) {
  auto error = std::make_shared<pb::MsgError>();
  // The field holds only the schema's codes; anything else reads as a general failure.
  error->set_errcode(pb::ErrorCode_IsValid(errorCode) ? static_cast<pb::ErrorCode>(errorCode) : pb::ErrorCodeGeneral);
  error->set_errstr(errorMsg);
  auto message = qoMessageWithMsgCode(pb::MsgCodeError, std::move(error));
  message->level_ = kLevelNone;
  return message;
}

void QoMessage::initWithReviceMsgHead(const pb::MsgHead& head) {
  code_ = head.code();
  // The wire numbers the levels as this class does.
  level_ = head.level();
  key_ = head.has_key() ? std::optional<Bytes>(head.key()) : std::nullopt;
  sign_ = head.has_sign() ? std::optional<Bytes>(head.sign()) : std::nullopt;
  srcDevice_ = head.has_uuid() ? QoDevice::getDeviceWithUuid(head.uuid()) : nullptr;
  msgName_ = QoPbMessageCode::sharedQoPbMessageCode().getMessageClassStringByCode(code_);
}

pb::MsgHead QoMessage::genSendMsgHead() const {
  // The header's fields are closed enums: a value outside them cannot be sent.
  QoAssert(pb::MsgCode_IsValid(code_), "Unknown message code({})", code_);
  QoAssert(pb::EncryptLevel_IsValid(level_), "Unkonw encryption level({})", level_);
  pb::MsgHead head;
  head.set_code(static_cast<pb::MsgCode>(code_));
  head.set_level(static_cast<pb::EncryptLevel>(level_));
  if (key_) head.set_key(*key_);
  if (sign_) head.set_sign(*sign_);
  if (srcDevice_) head.set_uuid(srcDevice_->uuid());
  return head;
}

void QoMessage::addIdentity(const std::string& identity) { identites_.push_back(identity); }

bool QoMessage::isExcludeMsgCode() {
  switch (code_) {
    case pb::MsgCodeError:
    case pb::MsgCodeTrustPublishResponse:
    case pb::MsgCodeTrustResponse:
    case pb::MsgCodeTrustDenyResponse:
    case pb::MsgCodeTrustCancelResponse:
    case pb::MsgCodeDistrustRequest:
    case pb::MsgCodeDistrustResponse:
      return true;
    case pb::MsgCodeTrustPublishRequest:
    case pb::MsgCodeTrustRequest:
    case pb::MsgCodeTrustDenyRequest:
    case pb::MsgCodeTrustCancelRequest:
      userInfo_ = srcDevice_;
      return true;
    default:
      return false;
  }
}

std::optional<QoMessage::Bytes> QoMessage::decryptLevel(int level, std::optional<Bytes> bodyData) {
  if (level == kLevelNone) return bodyData;
  try {
    return openLevel(level, std::move(bodyData));
  } catch (const QoException&) {
    throw;
  } catch (const std::exception& e) {
    const std::string deviceName = srcDevice_ ? srcDevice_->name() : kNullText;
    const auto* named = dynamic_cast<const Exception*>(&e);
    // The details stay here: telling a peer which step failed would let it probe the
    // key unwrapping and the padding one guess at a time.
    openFailureLog().log(
        "{}: Device({}),{} decryptLevel failed, {}:{}", nameText(), deviceName,
        QoPbMessageCode::sharedQoPbMessageCode().getMessageClassStringByCode(code_).value_or(kNullText),
        named ? named->name() : "std::exception", named ? named->reason() : e.what());
    throw QoExceptionZePermissionDeny(fmt::format("{}: Device({}) decryptLevel failed", nameText(), deviceName));
  }
}

std::optional<QoMessage::Bytes> QoMessage::openLevel(int level, std::optional<Bytes> bodyData) {
  if (!srcDevice_ || srcDevice_->pubKey().empty()) {
    throw QoExceptionZeNoent(fmt::format("{}: Device/publickey is nil?", nameText()));
  }
  if (!isExcludeMsgCode() && !srcDevice_->isTrusted()) {
    throw QoExceptionZeUntrusted(fmt::format("{}: Device({}) is not trusted", nameText(), srcDevice_->name()));
  }

  // Level 1 carries a wrapped key but never uses it; opening it anyway would answer a
  // peer whether its padding holds.
  Bytes aesKey;
  if (level == kLevelEncrypt && key_ && !key_->empty()) aesKey = unwrapBodyKey(*key_, privateKey());
  Bytes signedDigest;
  if (sign_ && !sign_->empty()) signedDigest = QoEncrypt::decryptDataPublicKey(*sign_, srcDevice_->pubKey());

  const bool sealedBody = level == kLevelEncrypt && bodyData.has_value();
  std::optional<Bytes> plain;
  if (level == kLevelAuth) {
    plain = std::move(bodyData);
  } else if (level == kLevelEncrypt) {
    if (bodyData) {
      QoAssert(!aesKey.empty(), "Key in header is nil");
      plain = QoEncrypt::decryptDataKey(std::move(*bodyData), aesKey);
    }
  } else {
    QoAssert(false, "Unkonw encryption level({})", level);
  }

  const Bytes digest = QoEncrypt::getMD5ForData(plain.value_or(Bytes()));
  QoAssert(!signedDigest.empty(), "Sign in header is nil");
  if (digest != signedDigest) {
    // A sealed body whose padding held but whose digest is wrong fails like bad padding:
    // answering the two differently would be a padding oracle on the cipher text.
    if (sealedBody) throw Exception("", "Body md5 is different");
    throw QoExceptionZeMsgTampering(fmt::format("{}: Body md5 is different", nameText()));
  }
  return plain;
}

std::optional<QoMessage::Bytes> QoMessage::encryptLevel(int level) {
  std::optional<Bytes> body;
  if (pbBody_) body = serialisedBody(*pbBody_, level == kLevelEncrypt ? kAesBlockLength : 0);
  if (level <= kLevelNone) return body;

  const Bytes aesKey = QoEncrypt::generateAESRandomKey();
  if (!destDevice_ || destDevice_->pubKey().empty()) {
    throw QoExceptionZeNoent(fmt::format("{}: Encrypt head, device/publickey is nil", nameText()));
  }
  key_ = QoEncrypt::encryptDataPublicKey(aesKey, destDevice_->pubKey());
  if (level == kLevelEncrypt && body && body->size() >= kParallelSealBytes) {
    Bytes sign;
    Bytes sealed = sealLargeBody(std::move(*body), aesKey, privateKey(), sign);
    sign_ = std::move(sign);
    return sealed;
  }
  sign_ = QoEncrypt::encryptDataPrivateKey(QoEncrypt::getMD5ForData(body.value_or(Bytes())), privateKey());

  if (level == kLevelAuth) return body;
  QoAssert(level == kLevelEncrypt, "Unkonw encryption level({})", level);
  if (!body) {
    // Nothing is encrypted, so no key travels; the signature still covers the empty body.
    key_.reset();
    return std::nullopt;
  }
  return QoEncrypt::encryptDataKey(std::move(*body), aesKey);
}

ZMQMessage QoMessage::getSendZMQMessage() {
  ZMQMessage frames;
  for (const Bytes& identity : identites_) {
    frames.addFrame(identity);
    frames.addEmptyFrame();
  }
  std::optional<Bytes> body = encryptLevel(level_);
  frames.addFrame(PbMessage::data(genSendMsgHead()));
  if (body) frames.addFrame(std::move(*body));
  // Only bytes travel; a device record is what a receiver attaches itself.
  if (const Bytes* extra = userInfoData()) frames.addFrame(*extra);
  return frames;
}

bool QoMessage::sendToSocket(ZMQSocket& socket) {
  ZMQMessage frames = getSendZMQMessage();
  return frames.sendToSocket(socket);
}

void QoMessage::sendDiscoverToSocket(ZMQSocket& socket) {
  sendDiscoverToSocket(socket, EnvelopeKeys::installed().deviceToken());
}

void QoMessage::sendDiscoverToSocket(ZMQSocket& socket, const std::string& token) {
  socket.sendDataUdp(discoverDatagram(token));
}

QoMessage::Ptr QoMessage::recvDiscoverFromSocket(ZMQSocket& socket) {
  return recvDiscoverFromSocket(socket, EnvelopeKeys::installed().deviceToken());
}

QoMessage::Ptr QoMessage::recvDiscoverFromSocket(ZMQSocket& socket, const std::string& token) {
  Ptr message = qoMessageWithRecvData(socket.receiveDataUdp(), token);
  message->userInfo_ = Bytes(socket.info());
  return message;
}

void QoMessage::sendDiscoverToAsyncSocket(DispatchUdpSocket& socket, const std::string& address) {
  const EnvelopeKeys keys = EnvelopeKeys::installed();
  sendDiscoverToAsyncSocket(socket, address, keys.deviceToken(), static_cast<uint16_t>(keys.portUdp()));
}

void QoMessage::sendDiscoverToAsyncSocket(DispatchUdpSocket& socket, const std::string& address,
                                          const std::string& token, uint16_t port) {
  socket.sendDataToHost(discoverDatagram(token), address, port, -1, 0);
}

void QoMessage::discoverBroadCastToAsyncSocket(DispatchUdpSocket& socket) {
  const EnvelopeKeys keys = EnvelopeKeys::installed();
  discoverBroadCastToAsyncSocket(socket, ZMQAddress::getIpAddresses(), keys.deviceToken(),
                                 static_cast<uint16_t>(keys.portUdp()));
}

void QoMessage::discoverBroadCastToAsyncSocket(DispatchUdpSocket& socket,
                                               const std::vector<std::shared_ptr<ZMQAddress>>& interfaces,
                                               const std::string& token, uint16_t port) {
  const Bytes datagram = discoverDatagram(token);
  for (const std::string& broadcast : ZMQAddress::broadcastAddressesOf(interfaces)) {
    socket.sendDataToHost(datagram, broadcast, port, -1, 0);
  }
}

QoMessage::Bytes QoMessage::discoverDatagram(const std::string& token) const {
  return QoEncrypt::encryptDataPassphase(pbBody_ ? PbMessage::data(*pbBody_) : Bytes(), token);
}

QoMessage::Ptr QoMessage::qoMessageWithRecvData(const Bytes& data) {
  return qoMessageWithRecvData(data, EnvelopeKeys::installed().deviceToken());
}

QoMessage::Ptr QoMessage::qoMessageWithRecvData(const Bytes& data, const std::string& token) {
  const Bytes plain = QoEncrypt::decryptDataPassphase(data, token);
  auto message = std::make_shared<QoMessage>();
  message->code_ = pb::MsgCodeDiscover;
  message->level_ = kLevelNone;
  message->pbBody_ = std::make_shared<pb::MsgDiscover>(PbMessage::parseFromData<pb::MsgDiscover>(plain));
  return message;
}

QoMessage::Bytes QoMessage::configPrivateKey() { return EnvelopeKeys::installed().privateKey(); }

std::shared_ptr<QoDevice> QoMessage::userInfoDevice() const {
  const auto* device = std::get_if<std::shared_ptr<QoDevice>>(&userInfo_);
  return device ? *device : nullptr;
}

QoMessage::Bytes QoMessage::privateKey() const { return privateKeySource_ ? privateKeySource_() : configPrivateKey(); }

std::string QoMessage::nameText() const { return msgName_.value_or(kNullText); }

}  // namespace velbor
