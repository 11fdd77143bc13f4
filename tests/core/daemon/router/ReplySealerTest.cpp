#include <poll.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/daemon/router/ReplySealer.h"
#include "core/envelope/EnvelopeTestSupport.h"
#include "proto/VelborProto.pb.h"

namespace velbor::test {
namespace {

using namespace std::chrono_literals;

bool waitReadable(int fd) {
  pollfd item{fd, POLLIN, 0};
  return ::poll(&item, 1, 20000) == 1;
}

// Takes every sealed reply, waiting for at least `count` in all.
std::vector<ReplySealer::Sealed> takeAtLeast(ReplySealer& sealer, size_t count) {
  std::vector<ReplySealer::Sealed> taken;
  while (taken.size() < count && waitReadable(sealer.readyFd())) {
    sealer.clearReady();
    for (auto& reply : sealer.takeSealed()) taken.push_back(std::move(reply));
  }
  return taken;
}

std::shared_ptr<pb::MsgStatusResponse> statusResponse() { return std::make_shared<pb::MsgStatusResponse>(); }

using ReplySealerTest = EnvelopeTestBase;

TEST_F(ReplySealerTest, RepliesLeaveSealedInTheirOrderAndAnUnsealableOneAsAnErrorReply) {
  const auto alpha = addDevice("alpha-uuid", "alpha", keysAlpha().publicKey);
  const auto bravo = addDevice("bravo-uuid", "bravo", keysBravo().publicKey);
  ReplySealer sealer(3, 4);
  // A file part takes longer to seal than the small replies after it, which leave after it.
  auto part = std::make_shared<pb::MsgGetResponse>();
  part->set_transfer(1);
  part->set_tree_uuid("tree");
  part->set_path("/big.bin");
  part->mutable_part()->set_offset(0);
  part->mutable_part()->set_length(4 << 20);
  part->set_part_data(std::string(4 << 20, 'p'));
  ASSERT_TRUE(
      sealer.submit("client-0", "GetRequest", between(pb::MsgCodeGetResponse, part, 2, bravo, alpha, keysBravo())));
  ASSERT_TRUE(sealer.submit("client-1", "StatusRequest",
                            between(pb::MsgCodeStatusResponse, statusResponse(), 2, bravo, alpha, keysBravo())));
  // Level 2 for a receiver nobody knows the key of: it cannot be sealed for it.
  ASSERT_TRUE(sealer.submit("client-2", "StatusRequest",
                            between(pb::MsgCodeStatusResponse, statusResponse(), 2, bravo, nullptr, keysBravo())));

  std::vector<ReplySealer::Sealed> sealed = takeAtLeast(sealer, 3);
  ASSERT_EQ(sealed.size(), 3u);
  std::vector<std::string> clients;
  for (auto& reply : sealed) {
    std::vector<std::string> frames = framesOf(std::move(reply.frames));
    ASSERT_GE(frames.size(), 3u);
    const std::string client = frames[0];
    clients.push_back(client);
    EXPECT_EQ(frames[1], "");
    QoMessage::Ptr opened = open({frames.begin() + 2, frames.end()}, keysAlpha());
    if (client == "client-0") {
      auto body = opened->pbBodyAs<pb::MsgGetResponse>();
      ASSERT_NE(body, nullptr);
      EXPECT_EQ(body->part_data().size(), size_t{4} << 20);
    } else if (client == "client-1") {
      EXPECT_EQ(opened->code(), pb::MsgCodeStatusResponse);
      EXPECT_EQ(opened->level(), 2);
    } else {
      EXPECT_EQ(client, "client-2");
      EXPECT_EQ(opened->code(), pb::MsgCodeError);
      EXPECT_EQ(opened->level(), 0);
      auto error = opened->pbBodyAs<pb::MsgError>();
      ASSERT_NE(error, nullptr);
      EXPECT_EQ(error->errcode(), pb::ErrorCodeNoent);
    }
  }
  EXPECT_EQ(clients, (std::vector<std::string>{"client-0", "client-1", "client-2"}));
}

TEST_F(ReplySealerTest, AWorkerWaitsForRoomAndStopReleasesItWithItsReplyDropped) {
  const auto alpha = addDevice("alpha-uuid", "alpha", keysAlpha().publicKey);
  auto reply = [&] { return between(pb::MsgCodeStatusResponse, statusResponse(), 1, alpha, alpha, keysAlpha()); };
  ReplySealer sealer(1, 1);
  ASSERT_TRUE(sealer.submit("first", "StatusRequest", reply()));
  ASSERT_TRUE(waitReadable(sealer.readyFd()));

  // The first reply, sealed but not passed on, holds the only room.
  auto second = std::async(std::launch::async, [&] { return sealer.submit("second", "StatusRequest", reply()); });
  EXPECT_EQ(second.wait_for(200ms), std::future_status::timeout);
  sealer.clearReady();
  EXPECT_EQ(sealer.takeSealed().size(), 1u);
  ASSERT_TRUE(second.get());

  auto third = std::async(std::launch::async, [&] { return sealer.submit("third", "StatusRequest", reply()); });
  EXPECT_EQ(third.wait_for(200ms), std::future_status::timeout);
  // A router that stops must not leave a worker waiting for room for ever.
  sealer.stop();
  EXPECT_FALSE(third.get());
  EXPECT_TRUE(sealer.takeSealed().empty());
  EXPECT_FALSE(sealer.submit("late", "StatusRequest", reply()));
}

}  // namespace
}  // namespace velbor::test
