#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "proto/VelborProto.pb.h"

namespace velbor {
namespace {

using google::protobuf::FieldDescriptor;

// One field as "<number><label><type>[:<enum or message>][=<explicit default>]"; labels r
// required, o optional, R repeated; types s string, b bytes, i int32, l int64, e enum,
// m message. A packed field shows as "P".
std::string signature(const google::protobuf::Descriptor& type) {
  std::string out;
  for (int i = 0; i < type.field_count(); ++i) {
    const FieldDescriptor* field = type.field(i);
    if (!out.empty()) out += ' ';
    out += std::to_string(field->number());
    out += field->is_required() ? 'r' : field->is_repeated() ? 'R' : 'o';
    switch (field->type()) {
      case FieldDescriptor::TYPE_STRING:
        out += 's';
        break;
      case FieldDescriptor::TYPE_BYTES:
        out += 'b';
        break;
      case FieldDescriptor::TYPE_INT32:
        out += 'i';
        break;
      case FieldDescriptor::TYPE_INT64:
        out += 'l';
        break;
      case FieldDescriptor::TYPE_ENUM:
        out += "e:" + field->enum_type()->name();
        break;
      case FieldDescriptor::TYPE_MESSAGE:
        out += "m:" + field->message_type()->name();
        break;
      default:
        out += '?';
    }
    if (field->has_default_value()) {
      out += field->cpp_type() == FieldDescriptor::CPPTYPE_ENUM
                 ? "=" + std::to_string(field->default_value_enum()->number())
                 : std::string("=?");
    }
    if (field->is_packed()) out += 'P';
  }
  return out;
}

// Every type of the schema with its fields, as the protocol defines them.
const std::map<std::string, std::string> kTypes = {
    {"MsgHead", "1re:MsgCode 2re:EncryptLevel 3os 4ob 5ob"},
    {"MsgError", "1re:ErrorCode 2os"},
    {"MsgDiscover", "1re:PbBool=1 3rs 4rs 5re:DeviceType 6ri 7ri 8rb"},
    {"Stat", "1rs 2re:FileType 3re:FileStatus 4Ri 5rl 6rl 8rs 9oi 10rl 11oi 12oi 13oi"},
    {"Part", "1rl 2ri"},
    {"Sync", "1rs 2rs 3rs 4rs 5rl 6os"},
    {"MsgScanRequest", "1rs"},
    {"MsgScanResponse", ""},
    {"MsgFindRequest", "1rs 2rs 3rl 4ri 15ob"},
    {"MsgFindResponse", "2Rs 3Rm:Stat 15ob"},
    {"MsgGetRequest", "1ri 2rs 3rs 4rm:Part 5Rs 6Ri"},
    {"MsgGetResponse", "1ri 2rs 3rs 4rm:Part 5rb"},
    {"MsgGetError", "1ri 2re:ErrorCode 3rm:Part"},
    {"MsgStatusRequest", "1rs 15ob"},
    {"MsgStatusResponse", "1Rm:SyncInfo 15ob"},
    {"MsgTrustPublishRequest", "1ri 2rb"},
    {"MsgTrustRequest", "1rb"},
    {"MsgTrustResponse", "1re:TrustResult 15ob"},
    {"MsgTrustDenyRequest", "1rb"},
    {"MsgTrustCancelRequest", "1rb"},
    {"MsgPubFileChange", "1rs 2rs 3rs 4ol"},
    {"MsgPubExit", "1rs"},
    {"MsgListRequest", "1rs"},
    {"MsgListResponse", "1rs 2Rm:FileStat"},
    {"FileStat", "1rs 2re:FileType 3rl 4rl 5ri"},
    {"MsgListRootResponse", "1Rm:Root"},
    {"Root", "1rs 2re:RootType 3ob"},
    {"MsgSyncAddRequest", "1rs 2rs 3rs 4rs 5rs"},
    {"MsgSyncDeleteRequest", "1rs 2rs"},
    {"MsgSyncShowRequest", "1Rs 2re:PbBool"},
    {"MsgSyncShowResponse", "1Rm:SyncInfo"},
    {"SyncInfo", "1rs 2rs 3rs 4rs 5os 6ol 7os 8ol 9ol 10ol 11ol 12ol"},
    {"MsgSyncOnceRequest", "1rs 2rs"},
    {"MsgDistrustRequest", "1rs"},
    {"MsgDeviceAddRequest", "1rs 2rs 3rs 4rs 5re:DeviceType 6rb"},
    {"MsgDeviceDeleteRequest", "1rs"},
    {"MsgDeviceShowResponse", "1Rm:DeviceInfo"},
    {"DeviceInfo", "1ri 2rs 3rs 4rs 5rs 6re:DeviceType 7re:PbBool 8re:PairStatus 9oe:DeviceClass 10re:PbBool"},
    {"MsgTreeAddRequest", "1rs 2rs 3os"},
    {"MsgTreeAddResponse", "1rs"},
    {"MsgTreeDeleteRequest", "1rs"},
    {"MsgTreeShowResponse", "1Rm:TreeInfo"},
    {"TreeInfo", "1ri 2rs 3rs 4rs"},
    {"MsgRefreshRequest", "1os"},
    {"MsgAddWatchRequest", "1rs"},
    {"MsgDelWatchRequest", "1rs"},
    {"MsgLinuxInotifyRequest", "1rs 2Rm:LinuxInotifyEvent"},
    {"LinuxInotifyEvent", "1rs 2re:LinuxInotifyType=1"},
    {"MsgRemoteDeviceUpdateRequest", "1rs 2rs 3rs 4rs 5re:DeviceType"},
    {"MsgRemoteDeviceDeleteRequest", "1rs"},
    {"MsgPubAddRequest", "1rs"},
    {"MsgPubDelRequest", "1rs"},
    {"MsgLinuxSyncOnceRequest", "1rs 2rs 3rl"},
    {"MsgLinuxTrustPublishRequest", "1rs 2ri"},
    {"MsgLinuxTrustRequest", "1rs"},
    {"MsgLinuxTrustResponse", "1re:TrustResult"},
    {"MsgLinuxTrustCancelRequest", "1rs"},
    {"MsgLinuxPubSyncStatus", "1rs 2rs 3rl 4rl 5ri 6ri"},
    {"MsgLinuxPubTreeUploadStatus", "1rs 2rl"},
    {"MsgLinuxPubTreeIndexStatus", "1rs 2ri 3ri"},
    {"MsgWinReadDirChange", "1ri 2Rb"},
    {"MsgWinRefresh", "1Ri"},
    {"MsgWinSync", "1ri"},
    {"MsgWinSyncDeleteRequest", "1ri"},
    {"MsgWinStatus", "1ri"},
    {"WinTrustInfo", "1ri 2ri 3rb 4os"},
    {"MsgDiscoverWin", "1rs 2rm:MsgDiscover"},
    {"MsgVelborStartRequest", "1os"},
    {"MsgVelborStopRequest", "1os"},
    {"MsgMkdirRequest", "1rs"},
    {"MsgRmtreeRequest", "1rs"},
    {"MsgMkfileRequest", "1rs 2rs 3ol"},
    {"MsgRmfileRequest", "1rs"},
    {"MsgRenameRequest", "1rs 2rs"},
    {"MsgFileAppendRequest", "1rs 2rs"},
    {"MsgSystemRequest", "1rs"},
    {"MsgStatRequest", "1rs"},
    {"MsgStatResponse", "1rs 2re:FileType 3rl 4rl 5rs 6ri"},
    {"MsgChmodRequest", "1rs 2ri"},
    {"MsgTestTrustRequest", "1rs"},
    {"Device", "1rs 2rs 3rs 4rs 5re:DeviceType 6oe:PairStatus"},
    {"Tree", "1rs 2rs 3rs 5rl 6os"},
    {"RootDrive", "1rs 2rs"},
    {"MsgPairAddRequest", "1rs"},
    {"MsgPairAddResponse", "1re:PairStatus"},
    {"MsgPairRemoveRequest", "1rs"},
    {"MsgPairAllowRequest", "1rs"},
    {"MsgPairDenyRequest", "1rs"},
    {"MsgListSyncRequest", "1Rs"},
    {"MsgListSyncResponse", "1Rm:Sync"},
    {"MsgPubSyncChange", "1rs 2Rm:Sync"},
};

TEST(SchemaShapeTest, EveryTypeHasExactlyItsFields) {
  const auto* file = pb::MsgHead::descriptor()->file();
  EXPECT_EQ(file->message_type_count(), static_cast<int>(kTypes.size()));
  for (const auto& [name, fields] : kTypes) {
    const auto* type = file->FindMessageTypeByName(name);
    ASSERT_NE(type, nullptr) << name;
    EXPECT_EQ(signature(*type), fields) << name;
  }
}

TEST(SchemaShapeTest, EnumsAcceptExactlyTheirValues) {
  auto range = [](int from, int to) {
    std::vector<int> values;
    for (int v = from; v <= to; ++v) values.push_back(v);
    return values;
  };
  const std::map<std::string, std::vector<int>> kEnums = {
      {"ErrorCode", range(0, 22)}, {"DeviceType", range(0, 5)},  {"DeviceClass", range(0, 1)},
      {"PairStatus", range(0, 3)}, {"PbBool", range(0, 1)},      {"EncryptLevel", range(0, 2)},
      {"FileStatus", range(0, 1)}, {"FileType", range(0, 1)},    {"RootType", range(0, 10)},
      {"StatusValue", {-1}},       {"TrustResult", range(0, 1)}, {"LinuxInotifyType", range(1, 6)},
  };
  const auto* file = pb::MsgHead::descriptor()->file();
  EXPECT_EQ(file->enum_type_count(), static_cast<int>(kEnums.size()) + 1);  // + MsgCode
  for (const auto& [name, values] : kEnums) {
    const auto* type = file->FindEnumTypeByName(name);
    ASSERT_NE(type, nullptr) << name;
    std::vector<int> numbers;
    for (int i = 0; i < type->value_count(); ++i) numbers.push_back(type->value(i)->number());
    EXPECT_EQ(numbers, values) << name;
  }
}

}  // namespace
}  // namespace velbor
