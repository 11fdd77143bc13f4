#include "RouterTestClient.h"

#include <atomic>

#include <gtest/gtest.h>

#include "core/state/QoConfig.h"
#include "core/utils/QoUtils.h"
#include "framework/network/ZMQContext.h"
#include "framework/network/ZMQMessage.h"
#include "framework/network/ZMQSocket.h"
#include "proto/VelborProto.pb.h"

namespace velbor::test {

namespace {

std::string loopbackOf(const std::string& endpoint) {
  return "tcp://127.0.0.1:" + endpoint.substr(endpoint.rfind(':') + 1);
}

}  // namespace

RouterTestClient::RouterTestClient(const std::string& endpoint, const DeviceKeys& keys, int32_t status)
    : endpoint_(loopbackOf(endpoint)), keys_(keys), context_(std::make_shared<ZMQContext>(1)) {
  static std::atomic<int> serial{0};
  device_ = std::make_shared<QoDevice>();
  device_->setPkPublic(-1);
  device_->setUuid(QoUtils::generateUuid());
  device_->setName("peer-" + std::to_string(serial++));
  device_->setPubKey(keys.publicKey);
  device_->setStatus(status);
  device_->setIsOnline(true);
  device_->save();
}

RouterTestClient::~RouterTestClient() { context_->terminate(); }

std::vector<std::string> RouterTestClient::seal(int32_t code, QoMessage::Body body, int level) const {
  auto message = QoMessage::qoMessageWithMsgCode(code, std::move(body));
  message->setLevel(level);
  if (level > QoMessage::kLevelNone) {
    message->setSrcDevice(device_);
    message->setDestDevice(QoDevice::getDeviceLocal());
  }
  message->setPrivateKeySource([key = keys_.privateKey] { return key; });
  return framesOf(message->getSendZMQMessage());
}

std::optional<std::vector<std::string>> RouterTestClient::exchange(const std::vector<std::string>& frames, int waitMs) {
  auto socket = context_->socketWithType(ZMQ_REQ);
  socket->connectToEndpoint(endpoint_);
  ZMQMessage request = messageOf(frames);
  request.sendToSocket(*socket);
  zmq_pollitem_t item{};
  socket->getPollItem(item, ZMQ_POLLIN);
  std::optional<std::vector<std::string>> reply;
  if (ZMQContext::pollWithItems(&item, 1, waitMs) > 0) reply = framesOf(ZMQMessage::recvFromSocket(*socket));
  socket->closeWithoutLinger();
  return reply;
}

void RouterTestClient::post(const std::vector<std::string>& frames) {
  auto socket = context_->socketWithType(ZMQ_REQ);
  socket->connectToEndpoint(endpoint_);
  ZMQMessage request = messageOf(frames);
  request.sendToSocket(*socket);
  // Closed with its linger, so the request still leaves.
  socket->close();
}

QoMessage::Ptr RouterTestClient::open(const std::vector<std::string>& frames) const {
  ZMQMessage message = messageOf(frames);
  return QoMessage::initWithRecvZMQMessage(message, [key = keys_.privateKey] { return key; });
}

QoMessage::Ptr RouterTestClient::request(int32_t code, QoMessage::Body body, int level) {
  auto reply = exchange(seal(code, std::move(body), level));
  return reply ? open(*reply) : nullptr;
}

void expectReplies(RouterTestClient& client, const std::vector<RequestCase>& cases) {
  for (const RequestCase& c : cases) {
    SCOPED_TRACE(c.label);
    QoConfig::sharedQoConfig().setEncryptLevel(c.encryptLevel);
    QoMessage::Ptr reply = client.request(c.code, c.body ? c.body() : nullptr, c.level);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->code(), c.replyCode);
    EXPECT_EQ(reply->level(), c.replyLevel);
    if (c.replyHasBody) {
      EXPECT_EQ(reply->pbBody() != nullptr, *c.replyHasBody);
    }
    if (reply->level() > QoMessage::kLevelNone) {
      ASSERT_NE(reply->srcDevice(), nullptr);
      EXPECT_EQ(reply->srcDevice()->uuid(), QoConfig::sharedQoConfig().deviceUuid());
    }
    if (c.errcode || c.errstr) {
      auto error = reply->pbBodyAs<pb::MsgError>();
      ASSERT_NE(error, nullptr);
      if (c.errcode) {
        EXPECT_EQ(error->errcode(), *c.errcode);
      }
      if (c.errstr) {
        EXPECT_EQ(error->errstr(), *c.errstr);
      }
    }
  }
}

}  // namespace velbor::test
