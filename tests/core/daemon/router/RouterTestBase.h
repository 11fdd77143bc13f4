#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "RouterTestClient.h"
#include "core/daemon/router/QoRouter.h"
#include "core/envelope/EnvelopeTestSupport.h"
#include "core/state/QoConfig.h"
#include "core/state/QoConfigDelegateLinux.h"
#include "proto/VelborProto.pb.h"

namespace velbor::test {

// A fresh device (tables, settings, local row) whose router listens on a port the system
// picks, and a trusted peer to talk to it.
class RouterTestBase : public EnvelopeTestBase {
 protected:
  void SetUp() override {
    EnvelopeTestBase::SetUp();
    QoConfig& config = initDeviceConfig();
    config.setPortRouter(0);
  }

  void TearDown() override {
    router_.stop();
    EnvelopeTestBase::TearDown();
  }

  // Starts the router with `workers` workers and returns a trusted peer of it.
  std::unique_ptr<RouterTestClient> startRouter(int workers = 3) {
    QoConfig::sharedQoConfig().setRouterWorkerCount(workers);
    router_.start();
    return std::make_unique<RouterTestClient>(router_.frontendEndpoint(), keysAlpha());
  }

  // A scan at `level` is answered (at `replyLevel` when given): the router serves.
  static void expectServes(RouterTestClient& client, int level = 1, std::optional<int> replyLevel = std::nullopt) {
    QoMessage::Ptr reply = client.request(pb::MsgCodeScanRequest, nullptr, level);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->code(), pb::MsgCodeScanResponse);
    if (replyLevel) {
      EXPECT_EQ(reply->level(), *replyLevel);
    }
  }

  void expectStopped() const {
    EXPECT_FALSE(router_.isRunning());
    EXPECT_EQ(router_.frontendEndpoint(), "");
  }

  // The error body of the reply to raw `frames`; nullptr (and a failure) when there is none.
  static std::shared_ptr<pb::MsgError> errorFor(RouterTestClient& client, const std::vector<std::string>& frames) {
    auto reply = client.exchange(frames);
    EXPECT_TRUE(reply.has_value());
    if (!reply) return nullptr;
    QoMessage::Ptr opened = client.open(*reply);
    EXPECT_EQ(opened->level(), 0);
    auto error = opened->pbBodyAs<pb::MsgError>();
    EXPECT_NE(error, nullptr);
    return error;
  }

  QoRouter router_;
};

}  // namespace velbor::test
