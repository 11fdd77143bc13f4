#include "AnsweringPeer.h"

#include "core/envelope/EnvelopeTestSupport.h"

namespace velbor::test {

namespace {

// The token of a trust message, which every one of them carries in field "token".
std::optional<std::string> tokenOf(const QoMessage& message) {
  const auto& body = message.pbBody();
  if (!body) return std::nullopt;
  const auto* field = body->GetDescriptor()->FindFieldByName("token");
  if (!field) return std::nullopt;
  return body->GetReflection()->GetString(*body, field);
}

}  // namespace

AnsweringPeer::AnsweringPeer(int32_t status, const std::string& routerEndpoint)
    : fake_([this](const FakePeer::Frames& request) { return answer(request); }) {
  peer_ = std::make_unique<RouterTestClient>(routerEndpoint.empty() ? fake_.endpoint() : routerEndpoint, keysAlpha(),
                                             status);
  peer_->device()->setRouteUri(fake_.endpoint());
  peer_->device()->save();
}

std::vector<std::string> AnsweringPeer::tokens() const {
  std::lock_guard lock(lock_);
  return tokens_;
}

std::optional<FakePeer::Frames> AnsweringPeer::answer(const FakePeer::Frames& request) {
  pb::MsgHead head;
  head.ParseFromString(request[0]);
  const int32_t code = head.code();
  if (code == pb::MsgCodeTrustPublishRequest || code == pb::MsgCodeTrustRequest ||
      code == pb::MsgCodeTrustDenyRequest || code == pb::MsgCodeTrustCancelRequest) {
    // Trust messages are sealed for this peer's key and need no trusted sender to open.
    if (auto token = tokenOf(*peer_->open(request))) {
      std::lock_guard lock(lock_);
      tokens_.push_back(*token);
    }
  }
  QoMessage::Body body;
  if (code == pb::MsgCodeStatusRequest) body = std::make_shared<pb::MsgStatusResponse>();
  if (code == pb::MsgCodeTrustRequest) {
    auto result = std::make_shared<pb::MsgTrustResponse>();
    result->set_trust_result(pb::TrustResultAccepted);
    body = result;
  }
  if (code == pb::MsgCodeListRequest) {
    auto list = std::make_shared<pb::MsgListResponse>();
    list->set_root("/");
    body = list;
  }
  return peer_->seal(code + 1, std::move(body), QoMessage::kLevelEncrypt);
}

}  // namespace velbor::test
