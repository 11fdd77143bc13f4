#include <memory>
#include <string>

#include "PullTestBase.h"

namespace velbor::test {
namespace {

// Change notices reach this device unsigned, from anyone: one that names the device holding
// a pairing's peer copy starts that pairing's pull at once; any other starts nothing.
class PubFileChangeTest : public PullTestBase {
 protected:
  static QoRequest notice(const std::string& publisher, const QoSyncdirCopy::Ptr& tree,
                          QoDevice::Ptr signer = nullptr) {
    auto body = std::make_shared<pb::MsgPubFileChange>();
    body->set_publisher(publisher);
    body->set_sync_uuid(tree->syncdirUuid());
    body->set_tree_uuid(tree->uuid());
    body->set_usn(1);
    QoRequest request;
    request.body = body;
    if (signer) {
      request.level = QoMessage::kLevelAuth;
      request.sender = std::move(signer);
    }
    return request;
  }
};

TEST_F(PubFileChangeTest, AnUnsignedNoticeOfTheDeviceHoldingThePeerCopyPullsAtOnce) {
  ASSERT_NO_FATAL_FAILURE(startPeer());
  writeB("announced.txt", "new content");
  recordB();
  const std::string holder = local_->uuid();

  // Naming another publisher, the pulling copy itself, or signed by another device: nothing.
  auto other = std::make_shared<QoDevice>();
  other->setUuid(QoUtils::generateUuid());
  other->setName("other");
  other->setStatus(1);
  other->save();
  EXPECT_EQ(QoWorker::handlePubFileChange(notice(other->uuid(), copyB_)), nullptr);
  EXPECT_EQ(QoWorker::handlePubFileChange(notice(holder, copyA_)), nullptr);
  EXPECT_EQ(QoWorker::handlePubFileChange(notice(holder, copyB_, other)), nullptr);
  EXPECT_FALSE(std::filesystem::exists(inA("announced.txt")));

  // Unsigned, as devices send them: the pull has run when the handler returns.
  EXPECT_EQ(QoWorker::handlePubFileChange(notice(holder, copyB_)), nullptr);
  EXPECT_EQ(readFile(inA("announced.txt")), "new content");
}

}  // namespace
}  // namespace velbor::test
