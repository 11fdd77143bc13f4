#include "EnvelopeTestSupport.h"

#include <atomic>

#include <fmt/format.h>

#include "core/state/DataSource.h"
#include "framework/crypto/QoEncrypt.h"
#include "platform/LogRateLimiter.h"

namespace velbor::test {

namespace {

DeviceKeys makeKeys() {
  DeviceKeys keys;
  keys.privateKey = QoEncrypt::generateRSAPrivateKey();
  keys.publicKey = QoEncrypt::generateRSAPublicKeyFromPrivateKey(keys.privateKey);
  return keys;
}

}  // namespace

const DeviceKeys& keysAlpha() {
  static const DeviceKeys keys = makeKeys();
  return keys;
}

const DeviceKeys& keysBravo() {
  static const DeviceKeys keys = makeKeys();
  return keys;
}

std::vector<std::string> framesOf(ZMQMessage message) {
  std::vector<std::string> frames;
  while (auto frame = message.getNextFrame()) frames.push_back(*frame);
  return frames;
}

ZMQMessage messageOf(const std::vector<std::string>& frames) {
  ZMQMessage message;
  for (const auto& frame : frames) message.addFrame(frame);
  return message;
}

QoMessage::Ptr discover(const std::string& uuid) {
  auto body = std::make_shared<pb::MsgDiscover>();
  body->set_is_response(pb::PbBoolFalse);
  body->set_device_uuid(uuid);
  body->set_device_name("name of " + uuid);
  body->set_device_type(pb::DeviceTypeLinux);
  body->set_route_port(9527);
  body->set_pub_port(9526);
  body->set_public_key(keysAlpha().publicKey);
  return QoMessage::qoMessageWithMsgCode(pb::MsgCodeDiscover, body);
}

std::shared_ptr<pb::MsgFindRequest> findRequest() {
  auto body = std::make_shared<pb::MsgFindRequest>();
  body->set_sync_uuid("5f0c8e2a-4d4b-4b7e-9a57-0a9c1f3e6d21");
  body->set_tree_uuid("tree-1");
  body->set_since(42);
  body->set_limit(100);
  return body;
}

void EnvelopeTestBase::SetUp() {
  FreshStateTest::SetUp();
  DataSource::sharedDataSource().dbCheck();
  // Each test sees the log lines of its own refusals.
  QoMessage::openFailureLog().restart();
}

QoDevice::Ptr EnvelopeTestBase::addDevice(const std::string& uuid, const std::string& name,
                                          const std::string& publicKey, int32_t status) {
  auto device = std::make_shared<QoDevice>();
  device->setPkPublic(-1);
  device->setUuid(uuid);
  device->setName(name);
  device->setPubKey(publicKey);
  device->setStatus(status);
  device->setIsOnline(true);
  device->save();
  return device;
}

QoMessage::PrivateKeySource EnvelopeTestBase::keyOf(const DeviceKeys& keys) {
  return [privateKey = keys.privateKey] { return privateKey; };
}

QoMessage::Ptr EnvelopeTestBase::between(int code, QoMessage::Body body, int level, const QoDevice::Ptr& from,
                                         const QoDevice::Ptr& to, const DeviceKeys& keys) {
  auto message = QoMessage::qoMessageWithMsgCode(code, std::move(body));
  message->setLevel(level);
  message->setSrcDevice(from);
  message->setDestDevice(to);
  message->setPrivateKeySource(keyOf(keys));
  return message;
}

QoMessage::Ptr EnvelopeTestBase::roundTrip(QoMessage& message, const DeviceKeys& receiver) {
  return open(framesOf(message.getSendZMQMessage()), receiver);
}

QoMessage::Ptr EnvelopeTestBase::open(const std::vector<std::string>& frames, const DeviceKeys& receiver) {
  ZMQMessage message = messageOf(frames);
  return QoMessage::initWithRecvZMQMessage(message, keyOf(receiver));
}

RequestLink::RequestLink(bool tcp) : context_(std::make_shared<ZMQContext>(1)) {
  static std::atomic<int> serial{0};
  client_ = context_->socketWithType(ZMQ_REQ);
  server_ = context_->socketWithType(ZMQ_ROUTER);
  std::string endpoint;
  if (tcp) {
    server_->bindToEndpoint("tcp://127.0.0.1:*");
    endpoint = server_->dataForOption(ZMQ_LAST_ENDPOINT).value().c_str();
  } else {
    endpoint = fmt::format("inproc://envelope-{}", serial++);
    server_->bindToEndpoint(endpoint);
  }
  client_->connectToEndpoint(endpoint);
}

RequestLink::~RequestLink() { context_->terminate(); }

}  // namespace velbor::test
