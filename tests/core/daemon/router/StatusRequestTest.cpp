#include <chrono>
#include <future>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "PairingFixture.h"
#include "RouterTestBase.h"
#include "core/daemon/router/QoWorker.h"
#include "framework/persistence/WriteTransaction.h"
#include "proto/VelborProto.pb.h"

namespace velbor::test {
namespace {

using StatusRequestTest = RouterTestBase;

std::set<std::string> reportedRemoteTrees(const QoMessage::Ptr& reply) {
  std::set<std::string> trees;
  auto body = reply ? reply->pbBodyAs<pb::MsgStatusResponse>() : nullptr;
  if (body) {
    for (const auto& sync : body->syncs()) trees.insert(sync.remote_tree_uuid());
  }
  return trees;
}

TEST_F(StatusRequestTest, TheAnswerIsForTheDeviceThatSignedTheRequest) {
  auto asker = startRouter();
  QoDevice::Ptr other = addDevice("5f0c2d8e-6a1b-4c3d-9e8f-7a6b5c4d3e2f", "other", keysBravo().publicKey);
  const auto withAsker1 = PairingFixture::pairWith(asker->device(), "a1");
  const auto withAsker2 = PairingFixture::pairWith(asker->device(), "a2");
  const auto withOther = PairingFixture::pairWith(other, "o");
  const std::set<std::string> askersTrees = {withAsker1->secondSyncdirCopy()->uuid(),
                                             withAsker2->secondSyncdirCopy()->uuid()};

  for (const std::string& claimed : {asker->device()->uuid(), other->uuid()}) {
    SCOPED_TRACE(claimed);
    auto body = std::make_shared<pb::MsgStatusRequest>();
    body->set_device_uuid(claimed);
    body->set_challenge("challenge of " + claimed);
    QoMessage::Ptr reply = asker->request(pb::MsgCodeStatusRequest, body, QoMessage::kLevelEncrypt);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->code(), pb::MsgCodeStatusResponse);
    EXPECT_EQ(reply->level(), QoMessage::kLevelEncrypt);
    EXPECT_EQ(reportedRemoteTrees(reply), askersTrees);
    // Carried back in the signed answer, which then answers this request alone.
    ASSERT_NE(reply->pbBodyAs<pb::MsgStatusResponse>(), nullptr);
    EXPECT_EQ(reply->pbBodyAs<pb::MsgStatusResponse>()->challenge(), "challenge of " + claimed);
  }

  // This device's own client names the asker in the body.
  QoRequest local;
  auto body = std::make_shared<pb::MsgStatusRequest>();
  body->set_device_uuid(other->uuid());
  local.body = body;
  local.fromNetwork = false;
  EXPECT_EQ(reportedRemoteTrees(QoWorker::handleStatusRequest(local)),
            std::set<std::string>{withOther->secondSyncdirCopy()->uuid()});

  // No body: bad format.
  QoMessage::Ptr empty = asker->request(pb::MsgCodeStatusRequest, nullptr, QoMessage::kLevelEncrypt);
  ASSERT_NE(empty, nullptr);
  ASSERT_EQ(empty->code(), pb::MsgCodeError);
  EXPECT_EQ(empty->pbBodyAs<pb::MsgError>()->errcode(), pb::ErrorCodeBadFormat);
}

// A pairing goes in a transaction that may still fail and be rolled back (a device removed
// with its copies, on a full disk), while the asker drops for good every pairing the answer
// leaves out: the answer is read from committed pairings only.
TEST_F(StatusRequestTest, AnswerLeavesOutNoPairingWhoseRemovalIsRolledBack) {
  QoDevice::Ptr other = addDevice("5f0c2d8e-6a1b-4c3d-9e8f-7a6b5c4d3e2f", "other", keysBravo().publicKey);
  const auto pairing = PairingFixture::pairWith(other, "o");
  QoRequest local;
  auto body = std::make_shared<pb::MsgStatusRequest>();
  body->set_device_uuid(other->uuid());
  local.body = body;
  local.fromNetwork = false;

  std::future<QoMessage::Ptr> answer;
  {
    WriteTransaction transaction;
    pairing->forceRemove();
    answer = std::async(std::launch::async, [&local] { return QoWorker::handleStatusRequest(local); });
    // Only gives an answer that does not wait the time to read the removal; it is then
    // rolled back, as a failed transaction is.
    answer.wait_for(std::chrono::milliseconds(500));
  }
  EXPECT_EQ(reportedRemoteTrees(answer.get()), std::set<std::string>{pairing->secondSyncdirCopy()->uuid()});
}

}  // namespace
}  // namespace velbor::test
