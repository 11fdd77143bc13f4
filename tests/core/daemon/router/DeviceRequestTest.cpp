#include <string>
#include <vector>

#include "HandlerTestBase.h"
#include "framework/crypto/Cryptor.h"
#include "framework/crypto/QoEncrypt.h"

namespace velbor::test {
namespace {

class DeviceRequestTest : public HandlerTestBase {
 protected:
  static pb::MsgDeviceAddRequest addRequest(const std::string& uuid, const std::string& publicKey = {}) {
    pb::MsgDeviceAddRequest request;
    request.set_uuid(uuid);
    request.set_name("laptop");
    request.set_route_uri("tcp://10.0.0.2:9527");
    request.set_pub_uri("tcp://10.0.0.2:9526");
    request.set_type(pb::DeviceTypeMacOS);
    request.set_public_key(publicKey);
    return request;
  }

  static Answer remove(const std::string& uuid) {
    pb::MsgDeviceDeleteRequest request;
    request.set_uuid(uuid);
    return call(&QoWorker::handleDeviceDeleteRequest, body(request));
  }
};

TEST_F(DeviceRequestTest, ShowListsThisDeviceAndOnlineRemotes) {
  remoteDevice("offline", true, false);
  auto show = call(&QoWorker::handleDeviceShowRequest).body<pb::MsgDeviceShowResponse>();
  ASSERT_TRUE(show);
  ASSERT_EQ(show->devices_size(), 1);
  EXPECT_EQ(show->devices(0).id(), 0);
  EXPECT_EQ(show->devices(0).is_self(), pb::PbBoolTrue);
  EXPECT_EQ(show->devices(0).uuid(), local_->uuid());

  const auto online = remoteDevice("online");
  online->setType(2);  // Android here, 3 on the wire
  online->setStatus(3);
  online->save();
  show = call(&QoWorker::handleDeviceShowRequest).body<pb::MsgDeviceShowResponse>();
  ASSERT_EQ(show->devices_size(), 2);
  const pb::DeviceInfo& info = show->devices(1);
  EXPECT_EQ(info.id(), online->pk());
  EXPECT_EQ(info.name(), "online");
  EXPECT_EQ(info.type(), pb::DeviceTypeAndroid);
  EXPECT_EQ(info.is_self(), pb::PbBoolFalse);
  EXPECT_EQ(info.pair_status(), pb::PairStatusPeerAsking);
  EXPECT_EQ(info.is_online(), pb::PbBoolTrue);
  EXPECT_FALSE(info.has_device_class());

  EXPECT_EQ(call(&QoWorker::handleDeviceShowRequest, body(pb::MsgDeviceDeleteRequest())).errcode,
            pb::ErrorCodeBadFormat);
}

TEST_F(DeviceRequestTest, AddStoresTheDeviceWithItsPublicKey) {
  const std::string pem = Cryptor::generateRSAPublicKeyFromPrivateKey(QoConfig::sharedQoConfig().devicePrivateKey());
  const std::string der = QoEncrypt::convertPublicKeyFromPemToDer(pem);
  struct Case {
    const char* what;
    std::string key;
  };
  for (const Case& c : std::vector<Case>{{"DER, as discovery sends it", der}, {"PEM", pem}}) {
    const std::string uuid = QoUtils::generateUuid();
    const Answer answer = call(&QoWorker::handleDeviceAddRequest, body(addRequest(uuid, c.key)));
    EXPECT_EQ(answer.code(), pb::MsgCodeDeviceAddResponse) << c.what << answer.errstr;
    EXPECT_FALSE(answer.reply->pbBody());
    const auto stored = QoDevice::getDeviceWithUuid(uuid);
    ASSERT_TRUE(stored) << c.what;
    EXPECT_EQ(stored->pubKey(), QoEncrypt::convertPublicKeyFromDerToPem(der)) << c.what;
    EXPECT_EQ(stored->name(), "laptop");
    EXPECT_EQ(stored->routeUri(), "tcp://10.0.0.2:9527");
    EXPECT_EQ(stored->pubUri(), "tcp://10.0.0.2:9526");
    EXPECT_EQ(stored->type(), 3);
    EXPECT_EQ(stored->status(), 0);
    EXPECT_FALSE(stored->isOnline());
    EXPECT_GT(stored->registerTime(), 0);
  }

  const std::string uuid = QoUtils::generateUuid();
  EXPECT_EQ(call(&QoWorker::handleDeviceAddRequest, body(addRequest(uuid, "not a key"))).errcode,
            pb::ErrorCodeBadFormat);
  EXPECT_FALSE(QoDevice::getDeviceWithUuid(uuid));

  ASSERT_EQ(call(&QoWorker::handleDeviceAddRequest, body(addRequest(uuid))).code(), pb::MsgCodeDeviceAddResponse);
  auto again = addRequest(uuid);
  again.set_name("other");
  const Answer exist = call(&QoWorker::handleDeviceAddRequest, body(again));
  EXPECT_EQ(exist.errcode, pb::ErrorCodeExist);
  EXPECT_EQ(exist.errstr, "QoExceptionZeExist: Device(laptop:" + uuid + ") exist!");
  const Answer badUuid = call(&QoWorker::handleDeviceAddRequest, body(addRequest("laptop")));
  EXPECT_EQ(badUuid.errstr, "QoExceptionZeBadUuid: Bad Uuid");
  EXPECT_EQ(call(&QoWorker::handleDeviceAddRequest).errcode, pb::ErrorCodeBadFormat);
}

TEST_F(DeviceRequestTest, DeleteRemovesTheDeviceWithItsCopiesButNeverThisDevice) {
  const Answer malformed = remove("12");
  EXPECT_EQ(malformed.code(), pb::MsgCodeError);
  EXPECT_EQ(malformed.errcode, pb::ErrorCodeBadUuid);
  EXPECT_EQ(malformed.errstr, "Bad uuid");
  EXPECT_EQ(remove(QoUtils::generateUuid()).errcode, pb::ErrorCodeNoent);

  EXPECT_EQ(remove(local_->uuid()).errcode, pb::ErrorCodeBadDevice);
  EXPECT_TRUE(QoDevice::getDeviceLocal());

  const auto peer = remoteDevice("peer");
  const std::string syncUuid = QoUtils::generateUuid();
  const auto mine = makeCopy(dir_.str(), local_, syncUuid);
  const auto theirs = makeCopy("/theirs", peer, syncUuid);
  pair(mine, theirs);

  const Answer removed = remove(peer->uuid());
  EXPECT_EQ(removed.code(), pb::MsgCodeDeviceDeleteResponse) << removed.errstr;
  EXPECT_FALSE(QoDevice::getDeviceWithUuid(peer->uuid()));
  EXPECT_TRUE(QoSyncdirCopyRelation::allObjects().empty());
  const auto kept = QoSyncdirCopy::getSyncdirCopyWithUuid(theirs->uuid());
  ASSERT_TRUE(kept) << "the copy's row keeps its slot";
  EXPECT_FALSE(kept->device());
  EXPECT_TRUE(QoSyncdirCopy::getSyncdirCopyWithUuid(mine->uuid())->device());
}

}  // namespace
}  // namespace velbor::test
