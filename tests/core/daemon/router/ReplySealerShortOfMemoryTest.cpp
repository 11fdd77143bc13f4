#include <poll.h>

#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AllocationFailure.h"
#include "core/daemon/router/ReplySealer.h"
#include "core/envelope/EnvelopeTestSupport.h"
#include "proto/VelborProto.pb.h"

namespace velbor::test {
namespace {

bool waitReadable(int fd) {
  pollfd item{fd, POLLIN, 0};
  return ::poll(&item, 1, 20000) == 1;
}

// Waits for the sealer's next announcement and takes what it has finished.
std::vector<ReplySealer::Sealed> takeNext(ReplySealer& sealer) {
  if (!waitReadable(sealer.readyFd())) return {};
  sealer.clearReady();
  return sealer.takeSealed();
}

class ReplySealerShortOfMemoryTest : public EnvelopeTestBase {
 protected:
  void TearDown() override {
    AllocationFailure::disarm();
    EnvelopeTestBase::TearDown();
  }

  QoMessage::Ptr reply(QoMessage::PrivateKeySource key) {
    auto message =
        between(pb::MsgCodeStatusResponse, std::make_shared<pb::MsgStatusResponse>(), 2, bravo_, alpha_, keysBravo());
    message->setPrivateKeySource(std::move(key));
    return message;
  }

  QoDevice::Ptr alpha_;
  QoDevice::Ptr bravo_;
};

TEST_F(ReplySealerShortOfMemoryTest, ASealWithoutMemoryAnswersAnErrorOrDropsItsReplyAndTheNextOnesStillLeave) {
  alpha_ = addDevice("alpha-uuid", "alpha", keysAlpha().publicKey);
  bravo_ = addDevice("bravo-uuid", "bravo", keysBravo().publicKey);
  const std::string privateKey = keysBravo().privateKey;
  ReplySealer sealer(1, 4);

  // One allocation of the seal fails: the client hears of it at level 0, as from any failed seal.
  ASSERT_TRUE(sealer.submit("short", "StatusRequest", reply([]() -> std::string { throw std::bad_alloc(); })));
  std::vector<ReplySealer::Sealed> sealed = takeNext(sealer);
  ASSERT_EQ(sealed.size(), 1u);
  std::vector<std::string> frames = framesOf(std::move(sealed[0].frames));
  ASSERT_GE(frames.size(), 3u);
  EXPECT_EQ(frames[0], "short");
  QoMessage::Ptr opened = open({frames.begin() + 2, frames.end()}, keysAlpha());
  EXPECT_EQ(opened->code(), pb::MsgCodeError);
  EXPECT_EQ(opened->level(), 0);
  auto error = opened->pbBodyAs<pb::MsgError>();
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->errcode(), pb::ErrorCodeBadFormat);

  // No memory at all from the middle of the seal on, not even for the error reply nor for a
  // log line: that reply is lost, but the sealing thread must live on and not hold back the
  // replies after it.
  ASSERT_TRUE(sealer.submit("starved", "StatusRequest", reply([privateKey] {
                              std::string key = privateKey;
                              AllocationFailure::armOnThisThread();
                              return key;
                            })));
  ASSERT_TRUE(waitReadable(sealer.readyFd()));
  AllocationFailure::disarm();
  EXPECT_GT(AllocationFailure::refusals(), 0);
  sealer.clearReady();
  EXPECT_TRUE(sealer.takeSealed().empty());

  ASSERT_TRUE(sealer.submit(
      "after", "StatusRequest",
      between(pb::MsgCodeStatusResponse, std::make_shared<pb::MsgStatusResponse>(), 2, bravo_, alpha_, keysBravo())));
  sealed = takeNext(sealer);
  ASSERT_EQ(sealed.size(), 1u);
  frames = framesOf(std::move(sealed[0].frames));
  ASSERT_GE(frames.size(), 3u);
  EXPECT_EQ(frames[0], "after");
  opened = open({frames.begin() + 2, frames.end()}, keysAlpha());
  EXPECT_EQ(opened->code(), pb::MsgCodeStatusResponse);
  EXPECT_EQ(opened->level(), 2);
}

}  // namespace
}  // namespace velbor::test
