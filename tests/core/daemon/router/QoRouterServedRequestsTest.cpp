// Every request code the router has a handler for, sent through the running router by a
// trusted peer with a key pair of its own, at levels 0, 1 and 2: the reply, the error and the
// reply's level that the level policy gives. Those that no device sends another are refused.
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "PairingFixture.h"
#include "RouterTestBase.h"
#include "core/entity/QoFile.h"
#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/state/DataSource.h"
#include "core/state/TrustInfo.h"
#include "core/utils/QoUtils.h"
#include "proto/VelborProto.pb.h"
#include "support/TempDir.h"

namespace velbor::test {
namespace {

const std::string kLevelNoneRefused = "QoExceptionZePermissionDeny: Encrypt Level None is not allowed!";
// The requests only this device's own client makes are refused from the network.
std::string refusedFromNetwork(const std::string& label) {
  return "QoExceptionZePermissionDeny: " + label + " request is not allowed from the network";
}
constexpr int32_t kNoReply = -1;
// A request the worker answers with nothing is given this long to show that no reply comes.
constexpr int kNoReplyWaitMs = 1000;

// One served request and what it gets when signed (levels 1 and 2). Unsigned (level 0),
// every request but an offer is refused with error 20 before it is parsed.
struct Served {
  std::string label;
  int32_t code;
  // The body, made for a request signed by `sender` (with the rows it needs); nullptr for
  // codes without a body.
  std::function<QoMessage::Body(const QoDevice::Ptr& sender)> body;
  int32_t replyCode;                              // kNoReply: the handler answers nothing
  bool levelTwo = false;                          // the trust replies and TreeAddResponse always go at level 2
  std::optional<int32_t> errcode = std::nullopt;  // the error reply the handler gives
  std::optional<std::string> errstr = std::nullopt;
  bool ownSender = false;  // the request ends its sender's trust: a sender for each request
};

template <class M>
std::shared_ptr<M> body(M message) {
  return std::make_shared<M>(std::move(message));
}

class RouterServedRequestsTest : public RouterTestBase, public PairingFixture {
 protected:
  void SetUp() override {
    RouterTestBase::SetUp();
    // Replies follow the request's level unless the policy says otherwise.
    QoConfig::sharedQoConfig().setEncryptLevel(2);
    client_ = startRouter();
    syncUuid_ = QoUtils::generateUuid();
    tree_ = makeCopy(dir_.str(), QoDevice::getDeviceLocal(), syncUuid_);
    writeFile(dir_ / "f.txt", "content");
    recordFile(tree_, dir_.str() + "/f.txt", 7, "1|0");
  }

  std::vector<Served> served() {
    using D = const QoDevice::Ptr&;
    const auto none = [](D) -> QoMessage::Body { return nullptr; };
    // This device offered trust to the sender with another token than its answer carries.
    const auto offeredOtherToken = [](D sender) {
      auto offer = std::make_shared<TrustInfo>(TrustInfo{sender->uuid(), "offered", 10});
      DataSource::sharedDataSource().setSendTrustContext(sender->uuid(), std::move(offer));
    };
    return {
        {"Scan", pb::MsgCodeScanRequest, none, pb::MsgCodeScanResponse},
        {"Find", pb::MsgCodeFindRequest,
         [this](D) {
           pb::MsgFindRequest find;
           find.set_sync_uuid(syncUuid_);
           find.set_tree_uuid(tree_->uuid());
           find.set_since(0);
           find.set_limit(10);
           return body(find);
         },
         pb::MsgCodeFindResponse},
        {"Get", pb::MsgCodeGetRequest,
         [this](D) {
           pb::MsgGetRequest get;
           get.set_transfer(1);
           get.set_tree_uuid(tree_->uuid());
           get.set_path("/f.txt");
           get.mutable_part()->set_offset(0);
           get.mutable_part()->set_length(7);
           get.add_uuids(tree_->uuid());
           get.add_vclock(1);
           return body(get);
         },
         pb::MsgCodeGetResponse},
        {"Status", pb::MsgCodeStatusRequest,
         [](D sender) {
           pb::MsgStatusRequest status;
           status.set_device_uuid(sender->uuid());
           return body(status);
         },
         pb::MsgCodeStatusResponse},
        {"TrustPublish", pb::MsgCodeTrustPublishRequest,
         [](D) {
           pb::MsgTrustPublishRequest offer;
           offer.set_token("offer");
           offer.set_timeout(10);
           return body(offer);
         },
         pb::MsgCodeTrustPublishResponse, true},
        {"Trust", pb::MsgCodeTrustRequest,
         [offeredOtherToken](D sender) {
           offeredOtherToken(sender);
           pb::MsgTrustRequest agree;
           agree.set_token("answered");
           return body(agree);
         },
         pb::MsgCodeTrustResponse, true},
        {"TrustDeny", pb::MsgCodeTrustDenyRequest,
         [offeredOtherToken](D sender) {
           offeredOtherToken(sender);
           pb::MsgTrustDenyRequest deny;
           deny.set_token("answered");
           return body(deny);
         },
         pb::MsgCodeTrustDenyResponse, true},
        {"TrustCancel", pb::MsgCodeTrustCancelRequest,
         [](D) {
           pb::MsgTrustCancelRequest cancel;
           cancel.set_token("withdrawn");
           return body(cancel);
         },
         pb::MsgCodeTrustCancelResponse, true},
        {"PubFileChange", pb::MsgCodePubFileChange,
         [](D sender) {
           pb::MsgPubFileChange change;
           change.set_publisher(sender->uuid());
           change.set_sync_uuid(QoUtils::generateUuid());
           change.set_tree_uuid(QoUtils::generateUuid());
           return body(change);
         },
         kNoReply},
        {"PubExit", pb::MsgCodePubExit,
         [](D) {
           pb::MsgPubExit exit;
           exit.set_publisher(QoUtils::generateUuid());
           return body(exit);
         },
         kNoReply},
        {"DeviceAdd", pb::MsgCodeDeviceAddRequest,
         [](D) {
           pb::MsgDeviceAddRequest add;
           add.set_uuid(QoUtils::generateUuid());
           add.set_name("added");
           add.set_route_uri("tcp://192.0.2.1:9527");
           add.set_pub_uri("tcp://192.0.2.1:9526");
           add.set_type(pb::DeviceTypeLinux);
           add.set_public_key("");
           return body(add);
         },
         pb::MsgCodeError, false, 20, refusedFromNetwork("DeviceAdd")},
        {"DeviceDelete", pb::MsgCodeDeviceDeleteRequest,
         [](D) {
           pb::MsgDeviceDeleteRequest remove;
           remove.set_uuid(addDevice(QoUtils::generateUuid(), "doomed", keysBravo().publicKey)->uuid());
           return body(remove);
         },
         pb::MsgCodeError, false, 20, refusedFromNetwork("DeviceDelete")},
        {"DeviceShow", pb::MsgCodeDeviceShowRequest, none, pb::MsgCodeError, false, 20,
         refusedFromNetwork("DeviceShow")},
        {"TreeAdd", pb::MsgCodeTreeAddRequest,
         [this](D) {
           pb::MsgTreeAddRequest add;
           add.set_sync_uuid(QoUtils::generateUuid());
           add.set_tree_root((dir_ / ("tree-" + QoUtils::generateShortUuid())).string());
           std::filesystem::create_directory(add.tree_root());
           return body(add);
         },
         pb::MsgCodeTreeAddResponse, true},
        {"TreeDelete", pb::MsgCodeTreeDeleteRequest,
         [](D) {
           pb::MsgTreeDeleteRequest remove;
           remove.set_tree_uuid(makeCopy("/tmp/doomed", QoDevice::getDeviceLocal(), QoUtils::generateUuid())->uuid());
           return body(remove);
         },
         pb::MsgCodeError, false, 20, refusedFromNetwork("TreeDelete")},
        {"TreeShow", pb::MsgCodeTreeShowRequest, none, pb::MsgCodeTreeShowResponse},
        {"SyncAdd", pb::MsgCodeSyncAddRequest,
         [](D sender) {
           const std::string syncUuid = QoUtils::generateUuid();
           pb::MsgSyncAddRequest add;
           add.set_local_tree_uuid(makeCopy("/tmp/local", QoDevice::getDeviceLocal(), syncUuid)->uuid());
           add.set_remote_sync_uuid(syncUuid);
           add.set_remote_tree_uuid(QoUtils::generateUuid());
           add.set_remote_tree_root("/remote");
           add.set_remote_device_uuid(sender->uuid());
           return body(add);
         },
         pb::MsgCodeSyncAddResponse},
        {"SyncDelete", pb::MsgCodeSyncDeleteRequest,
         [](D sender) {
           const auto pairing = pairWith(sender, QoUtils::generateShortUuid());
           pb::MsgSyncDeleteRequest remove;
           remove.set_local_tree_uuid(pairing->firstSyncdirCopy()->uuid());
           remove.set_remote_tree_uuid(pairing->secondSyncdirCopy()->uuid());
           return body(remove);
         },
         pb::MsgCodeError, false, 20, refusedFromNetwork("SyncDelete")},
        {"SyncShow", pb::MsgCodeSyncShowRequest,
         [](D) {
           pb::MsgSyncShowRequest show;
           show.set_show_statistics(pb::PbBoolFalse);
           return body(show);
         },
         pb::MsgCodeError, false, 20, refusedFromNetwork("SyncShow")},
        {"SyncOnce", pb::MsgCodeSyncOnceRequest,
         [](D) {
           pb::MsgSyncOnceRequest once;
           once.set_local_tree_uuid(QoUtils::generateUuid());
           once.set_remote_tree_uuid(QoUtils::generateUuid());
           return body(once);
         },
         pb::MsgCodeError, false, 20, refusedFromNetwork("SyncOnce")},
        {"List", pb::MsgCodeListRequest,
         [this](D) {
           pb::MsgListRequest list;
           list.set_root(dir_.str());
           return body(list);
         },
         pb::MsgCodeListResponse},
        {"ListRoot", pb::MsgCodeListRootRequest, none, pb::MsgCodeListRootResponse},
        {"Distrust", pb::MsgCodeDistrustRequest,
         [](D sender) {
           pb::MsgDistrustRequest distrust;
           distrust.set_device_uuid(sender->uuid());
           return body(distrust);
         },
         pb::MsgCodeDistrustResponse, false, std::nullopt, std::nullopt, true},
        {"DatabaseClear", pb::MsgCodeDatabaseClearRequest, none, pb::MsgCodeError, false, 20,
         refusedFromNetwork("DatabaseClear")},
    };
  }

  std::unique_ptr<RouterTestClient> client_;
  TempDir dir_{"velbor-served"};
  std::string syncUuid_;
  QoSyncdirCopy::Ptr tree_;
};

TEST_F(RouterServedRequestsTest, EveryRequestGetsTheReplyErrorAndLevelThePolicyGives) {
  const std::vector<Served> requests = served();
  for (const Served& s : requests) {
    for (int level = 0; level <= 2; ++level) {
      SCOPED_TRACE(testing::Message() << s.label << " at level " << level);
      std::unique_ptr<RouterTestClient> own;
      if (s.ownSender) own = std::make_unique<RouterTestClient>(router_.frontendEndpoint(), keysBravo());
      RouterTestClient& sender = own ? *own : *client_;
      const QoDevice::Ptr device = sender.device();
      const auto makeBody = [&s, device] { return s.body(device); };
      const std::string name = s.label + "@" + std::to_string(level);

      if (level == 0) {
        // An offer is handled unsigned, and refused by its handler: it names no sender.
        const bool offer = s.code == pb::MsgCodeTrustPublishRequest;
        expectReplies(sender, {{name, s.code, makeBody, 0, 2, pb::MsgCodeError, 0, offer ? 4 : 20,
                                offer ? std::string("bad format") : kLevelNoneRefused}});
      } else if (s.replyCode == kNoReply) {
        EXPECT_FALSE(sender.exchange(sender.seal(s.code, makeBody(), level), kNoReplyWaitMs).has_value());
      } else if (s.errcode) {
        expectReplies(sender, {{name, s.code, makeBody, level, 2, pb::MsgCodeError, 0, s.errcode, s.errstr}});
      } else {
        expectReplies(sender, {{name, s.code, makeBody, level, 2, s.replyCode, s.levelTwo ? 2 : level}});
      }
    }
  }
  // Every request left its sender trusted and the workers serving.
  EXPECT_EQ(QoDevice::getDeviceWithUuid(client_->device()->uuid())->status(), 1);
  expectServes(*client_, 2, 2);
}

// The same signed head and body under another code, as a host that saw them would send.
std::vector<std::string> relabelled(std::vector<std::string> frames, int32_t code) {
  pb::MsgHead head;
  EXPECT_TRUE(head.ParseFromString(frames.at(0)));
  head.set_code(static_cast<pb::MsgCode>(code));
  frames[0] = head.SerializeAsString();
  return frames;
}

// A status request's body is its sender's uuid, and so is a device deletion's: a third host
// that saw one status request could have the device deleted with its copies and pairings.
TEST_F(RouterServedRequestsTest, AStatusRequestRelabelledAsADeviceDeletionDeletesNothing) {
  const QoDevice::Ptr peer = client_->device();
  const auto pairing = pairWith(peer, "paired");
  auto status = std::make_shared<pb::MsgStatusRequest>();
  status->set_device_uuid(peer->uuid());
  const std::vector<std::string> seen = client_->seal(pb::MsgCodeStatusRequest, status, 2);
  auto reply = client_->exchange(seen);
  ASSERT_TRUE(reply.has_value());
  ASSERT_EQ(client_->open(*reply)->code(), pb::MsgCodeStatusResponse);

  RouterTestClient third(router_.frontendEndpoint(), keysBravo(), 0);
  for (int32_t code : {pb::MsgCodeDeviceDeleteRequest, pb::MsgCodeTreeDeleteRequest}) {
    auto error = errorFor(third, relabelled(seen, code));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->errcode(), pb::ErrorCodePermissionDeny);
  }
  const QoDevice::Ptr kept = QoDevice::getDeviceWithUuid(peer->uuid());
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(kept->status(), 1);
  EXPECT_EQ(QoDevice::getDeviceSyncdirCopys(kept->pk()).size(), 1u);
}

}  // namespace
}  // namespace velbor::test
