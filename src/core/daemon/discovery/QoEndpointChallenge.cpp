#include "core/daemon/discovery/QoEndpointChallenge.h"

#include <cstring>
#include <exception>

#include "core/daemon/client/QoRequestSocket.h"
#include "core/daemon/router/EndpointChallengeAnswer.h"
#include "core/entity/QoDevice.h"
#include "core/utils/QoUtils.h"
#include "framework/crypto/Cryptor.h"
#include "proto/VelborProto.pb.h"

namespace velbor {
namespace {

// Random numbers for the request's transfer and part (96 bits of them), and the endpoints the
// request goes to and names for the publisher, which the device must recognise as its own.
pb::MsgGetRequest challengeRequest(const std::string& routeUri, const std::string& pubUri) {
  const std::string random = Cryptor::getKeyDataWithLength(16);
  int32_t transfer = 0;
  int64_t offset = 0;
  int32_t length = 0;
  std::memcpy(&transfer, random.data(), sizeof transfer);
  std::memcpy(&offset, random.data() + 4, sizeof offset);
  std::memcpy(&length, random.data() + 12, sizeof length);
  pb::MsgGetRequest request;
  request.set_transfer(transfer);
  // A tree no device holds: the device refuses with GetError and reads nothing.
  request.set_tree_uuid(QoUtils::generateUuid());
  request.set_path("/");
  request.mutable_part()->set_offset(offset);
  request.mutable_part()->set_length(length);
  EndpointChallengeAnswer::nameEndpoint(request, routeUri, pubUri);
  return request;
}

// The answer is a refusal of a few hundred bytes: any host can be the one answering.
constexpr uint64_t kMaxAnswerBytes = 64 * 1024;

bool fail(std::string* reason, const std::string& text) {
  if (reason) *reason = text;
  return false;
}

}  // namespace

bool QoEndpointChallenge::verify(const std::shared_ptr<QoDevice>& device, const std::string& routeUri,
                                 const std::string& pubUri, int waitMs, std::string* reason) {
  try {
    const auto local = QoDevice::getDeviceLocal();
    if (!device || !local) return fail(reason, "no device");
    const auto request = std::make_shared<pb::MsgGetRequest>(challengeRequest(routeUri, pubUri));
    auto message = QoMessage::qoMessageWithMsgCode(pb::MsgCodeGetRequest, request);
    message->setLevel(QoMessage::kLevelAuth);
    message->setSrcDevice(local);
    message->setDestDevice(device);

    QoRequestSocket socket(device, routeUri, 0, kMaxAnswerBytes);
    const QoRequestSocket::Result result = socket.exchange(*message, waitMs);
    if (result.outcome != QoRequestSocket::Outcome::kReply || !result.reply) return fail(reason, "no answer");
    const QoMessage& reply = *result.reply;
    // Opening the reply checked the signature against the key stored for the signer.
    if (reply.level() < QoMessage::kLevelAuth || !reply.srcDevice() || reply.srcDevice()->uuid() != device->uuid()) {
      return fail(reason, "answer not signed by the device");
    }
    if (const auto refusal = reply.pbBodyAs<pb::MsgError>()) return fail(reason, "refused, " + refusal->errstr());
    // Numbers merely echoed come from a device that does not check where it was asked, which
    // a relay could pass the challenge on to: they prove nothing about this endpoint.
    const auto error = reply.pbBodyAs<pb::MsgGetError>();
    const pb::MsgGetError expected = EndpointChallengeAnswer::answerFor(*request, routeUri);
    if (reply.code() != pb::MsgCodeGetError || !error || error->transfer() != expected.transfer() ||
        error->part().offset() != expected.part().offset() || error->part().length() != expected.part().length()) {
      return fail(reason, "answer does not match the challenge");
    }
    return true;
  } catch (const std::exception& e) {
    return fail(reason, e.what());
  }
}

}  // namespace velbor
