#include "core/proto/PbMessage.h"

#include <gtest/gtest.h>

#include "core/proto/InvalidProtocolBuffer.h"
#include "core/proto/UninitializedMessage.h"
#include "core/proto/WireBytes.h"
#include "proto/VelborProto.pb.h"

namespace velbor {
namespace {

using test::bytes;
using test::hex;

template <class M>
std::string built(const M& message) {
  return hex(PbMessage::data(PbMessage::build(message)));
}

// Parses `data` as M and expects the named failure, returning its reason.
template <class M, class Failure>
std::string failure(const std::string& data) {
  try {
    PbMessage::parseFromData<M>(data);
  } catch (const Failure& e) {
    return e.reason();
  }
  ADD_FAILURE() << "parsed: " << hex(data);
  return {};
}

template <class M>
void expectUninitialized(const std::string& data) {
  failure<M, UninitializedMessage>(data);
}

pb::DeviceInfo completeDeviceInfo() {
  pb::DeviceInfo info;
  info.set_id(3);
  info.set_uuid("u");
  info.set_name("n");
  info.set_route_uri("r");
  info.set_pub_uri("p");
  info.set_type(pb::DeviceTypeMacOS);
  info.set_is_self(pb::PbBoolFalse);
  info.set_pair_status(pb::PairStatusTrusted);
  info.set_is_online(pb::PbBoolTrue);
  return info;
}

TEST(PbMessageTest, HeaderExample) {
  pb::MsgHead head;
  head.set_code(pb::MsgCodePubFileChange);
  head.set_level(pb::EncryptLevelEncrypt);
  EXPECT_EQ(built(head), "08 13 10 02");

  auto parsed = PbMessage::parseFromData<pb::MsgHead>(bytes("08 13 10 02"));
  EXPECT_EQ(parsed.code(), 19);
  EXPECT_EQ(parsed.level(), 2);
  EXPECT_FALSE(parsed.has_uuid() || parsed.has_key() || parsed.has_sign());
}

// A set field is written even at its default; an unset one is not.
TEST(PbMessageTest, PresenceDecidesWhatIsWritten) {
  pb::MsgError error;
  error.set_errcode(pb::ErrorCodeSuccess);
  EXPECT_EQ(built(error), "08 00");
  error.set_errstr("");
  EXPECT_EQ(built(error), "08 00 12 00");

  pb::MsgSyncShowRequest show;
  show.set_show_statistics(pb::PbBoolFalse);
  EXPECT_EQ(built(show), "10 00");
  show.add_remote_device_uuids("a");
  show.add_remote_device_uuids("b");
  show.set_show_statistics(pb::PbBoolTrue);
  EXPECT_EQ(built(show), "0A 01 61 0A 01 62 10 01");

  pb::MsgDistrustRequest distrust;
  distrust.set_device_uuid("");
  EXPECT_EQ(built(distrust), "0A 00");
  EXPECT_TRUE(PbMessage::parseFromData<pb::MsgDistrustRequest>(bytes("0A 00")).has_device_uuid());

  pb::Part part;
  part.set_offset(0);
  part.set_length(0);
  EXPECT_EQ(built(part), "08 00 10 00");

  pb::MsgListRequest list;
  list.set_root("/Users");
  EXPECT_EQ(built(list), "0A 06 2F 55 73 65 72 73");

  pb::FileStat stat;
  stat.set_name("a");
  stat.set_type(pb::FileTypeDirectory);
  stat.set_length(0);
  stat.set_mtime(1000);
  stat.set_attr(0755);
  EXPECT_EQ(built(stat), "0A 01 61 10 01 18 00 20 E8 07 28 ED 03");

  pb::MsgTreeAddRequest treeAdd;
  treeAdd.set_sync_uuid("s");
  treeAdd.set_tree_root("/r");
  EXPECT_EQ(built(treeAdd), "0A 01 73 12 02 2F 72");

  pb::MsgRefreshRequest refresh = PbMessage::parseFromData<pb::MsgRefreshRequest>("");
  EXPECT_FALSE(refresh.has_tree_uuid());
  EXPECT_EQ(PbMessage::data(pb::MsgFindResponse()), "");
  PbMessage::parseFromData<pb::MsgFindResponse>("");
  PbMessage::parseFromData<pb::MsgScanResponse>("");
  PbMessage::parseFromData<pb::MsgListSyncResponse>("");
}

TEST(PbMessageTest, NegativeAndWideNumbersAreTenByteVarints) {
  pb::TreeInfo tree;
  tree.set_id(0);
  tree.set_sync_uuid("");
  tree.set_tree_uuid("");
  tree.set_tree_root("");
  EXPECT_EQ(built(tree), "08 00 12 00 1A 00 22 00");
  tree.set_id(-1);
  EXPECT_EQ(built(tree), "08 FF FF FF FF FF FF FF FF FF 01 12 00 1A 00 22 00");
  EXPECT_EQ(PbMessage::parseFromData<pb::TreeInfo>(PbMessage::data(tree)).id(), -1);

  pb::MsgLinuxSyncOnceRequest once;
  once.set_local_tree_uuid("l");
  once.set_remote_tree_uuid("r");
  once.set_timeout(int64_t{1} << 40);
  EXPECT_EQ(PbMessage::parseFromData<pb::MsgLinuxSyncOnceRequest>(PbMessage::data(once)).timeout(), int64_t{1} << 40);
}

// Fields go out in number order whatever order they were set in; repeated scalars unpacked.
TEST(PbMessageTest, StatWritesFieldsInNumberOrder) {
  pb::Stat stat;
  stat.set_usn(7);
  stat.set_modifier(0);
  stat.set_sha1("s");
  stat.set_mtime(6);
  stat.set_length(5);
  stat.add_vclock(1);
  stat.add_vclock(2);
  stat.set_status(pb::FileStatusPresent);
  stat.set_type(pb::FileTypeFile);
  stat.set_path("/a");
  EXPECT_EQ(built(stat), "0A 02 2F 61 10 00 18 01 20 01 20 02 28 05 30 06 42 01 73 48 00 50 07");
}

TEST(PbMessageTest, MissingRequiredFieldsFailBuildAndParse) {
  pb::MsgDiscover discover;
  EXPECT_EQ(discover.is_response(), pb::PbBoolTrue);  // the default is read, not sent
  discover.set_device_uuid("u");
  discover.set_device_name("n");
  discover.set_device_type(pb::DeviceTypeMacOS);
  discover.set_route_port(1);
  discover.set_pub_port(2);
  discover.set_public_key("k");
  EXPECT_THROW(PbMessage::build(discover), UninitializedMessage);
  expectUninitialized<pb::MsgDiscover>(PbMessage::data(discover));
  discover.set_is_response(pb::PbBoolFalse);
  EXPECT_EQ(built(discover).substr(0, 5), "08 00");

  // A container is complete only when each element is.
  pb::MsgFindResponse find;
  pb::Stat* stat = find.add_stats();
  stat->set_path("/a");
  stat->set_type(pb::FileTypeFile);
  stat->set_status(pb::FileStatusPresent);
  stat->set_length(1);
  stat->set_mtime(1);
  stat->set_usn(1);
  EXPECT_THROW(PbMessage::build(find), UninitializedMessage);
  expectUninitialized<pb::MsgFindResponse>(PbMessage::data(find));
  stat->set_sha1("");
  PbMessage::parseFromData<pb::MsgFindResponse>(PbMessage::data(PbMessage::build(find)));

  pb::MsgGetRequest get;
  get.set_transfer(0);
  get.set_tree_uuid("t");
  get.set_path("/p");
  get.mutable_part()->set_offset(0);
  EXPECT_THROW(PbMessage::build(get), UninitializedMessage);
  get.mutable_part()->set_length(0);
  PbMessage::build(get);

  pb::MsgDiscoverWin wrapper;
  wrapper.set_src_host("h");
  wrapper.mutable_discover()->set_device_name("n");
  expectUninitialized<pb::MsgDiscoverWin>(PbMessage::data(wrapper));

  expectUninitialized<pb::MsgError>("");
  expectUninitialized<pb::MsgPubExit>("");
  expectUninitialized<pb::MsgDeviceAddRequest>(bytes("0A 01 75 12 01 6E 1A 01 72 22 01 70 28 02"));
  expectUninitialized<pb::MsgMkfileRequest>(bytes("0A 01 70"));
  EXPECT_FALSE(PbMessage::parseFromData<pb::MsgMkfileRequest>(bytes("0A 01 70 12 00")).has_offset());
  PbMessage::parseFromData<pb::MsgPubFileChange>(bytes("0A 01 61 12 01 62 1A 01 63"));
}

// A value outside its enum is kept as an unknown field; a required enum field then counts
// as absent.
TEST(PbMessageTest, EnumValuesOutsideTheirSetAreKeptAsUnknownFields) {
  for (const char* head : {"08 16 10 00", "08 92 01 10 00", "08 E8 07 10 00", "08 00 10 03"}) {
    expectUninitialized<pb::MsgHead>(bytes(head));
  }
  expectUninitialized<pb::MsgTrustResponse>(bytes("08 02"));
  expectUninitialized<pb::MsgLinuxTrustResponse>(bytes("08 02"));
  expectUninitialized<pb::MsgSyncShowRequest>(bytes("10 02"));
  expectUninitialized<pb::MsgPairAddResponse>(bytes("08 04"));
  expectUninitialized<pb::MsgListRootResponse>(bytes("0A 05 0A 01 2F 10 0B"));

  // Optional deviceClass 2: parses, absent, and written again after field 10.
  std::string complete = PbMessage::data(completeDeviceInfo());
  std::string field10 = bytes("50 01");
  ASSERT_EQ(complete.substr(complete.size() - 2), field10);
  std::string incoming = complete.substr(0, complete.size() - 2) + bytes("48 02") + field10;
  auto info = PbMessage::parseFromData<pb::DeviceInfo>(incoming);
  EXPECT_FALSE(info.has_device_class());
  EXPECT_EQ(hex(PbMessage::data(info)), hex(complete + bytes("48 02")));

  // Required isSelf 2: the record and its container are refused.
  pb::DeviceInfo notSelf = completeDeviceInfo();
  notSelf.clear_is_self();
  std::string badSelf = PbMessage::data(notSelf) + bytes("38 02");
  expectUninitialized<pb::DeviceInfo>(badSelf);
  expectUninitialized<pb::MsgDeviceShowResponse>(bytes("0A") + static_cast<char>(badSelf.size()) + badSelf);

  // The event keeps its default 1 and writes the foreign value back.
  for (const char* value : {"00", "07"}) {
    pb::LinuxInotifyEvent event;
    std::string data = bytes(std::string("0A 01 70 10 ") + value);
    PbMessage::mergeFromData(event, data);
    EXPECT_FALSE(event.has_inotify_type());
    EXPECT_EQ(event.inotify_type(), pb::LinuxInotifyTypeCreate);
    EXPECT_FALSE(event.IsInitialized());
    EXPECT_EQ(PbMessage::data(event), data);
  }

  auto device = PbMessage::parseFromData<pb::Device>(bytes("0A 00 12 00 1A 00 22 00 28 00 30 04"));
  EXPECT_FALSE(device.has_status());
  expectUninitialized<pb::Device>(bytes("0A 00 12 00 1A 00 22 00 28 06"));
}

TEST(PbMessageTest, UnknownFieldsOfEveryWireTypeAreWrittenBackAfterKnownOnes) {
  // Tree has no field 4; it arrives between 3 and 5 and leaves after 6.
  auto tree = PbMessage::parseFromData<pb::Tree>(bytes("0A 00 12 00 1A 00 22 01 78 28 05 32 00"));
  EXPECT_EQ(hex(PbMessage::data(tree)), "0A 00 12 00 1A 00 28 05 32 00 22 01 78");

  std::string foreign =
      bytes("78 96 01 81 01 01 02 03 04 05 06 07 08 8A 01 02 61 62 93 01 08 01 94 01 9D 01 01 02 03 04");
  auto head = PbMessage::parseFromData<pb::MsgHead>(bytes("08 01 10 00") + foreign);
  EXPECT_EQ(hex(PbMessage::data(head)), hex(bytes("08 01 10 00") + foreign));
}

TEST(PbMessageTest, RepeatedOccurrencesOfSingularFields) {
  EXPECT_EQ(PbMessage::parseFromData<pb::MsgError>(bytes("08 01 08 02")).errcode(), 2);

  // A nested message that arrives twice is merged; later fields win.
  pb::MsgDiscover first;
  first.set_is_response(pb::PbBoolFalse);
  first.set_device_uuid("u");
  first.set_device_name("old");
  first.set_device_type(pb::DeviceTypeLinux);
  first.set_route_port(1);
  first.set_pub_port(2);
  first.set_public_key("k");
  pb::MsgDiscover second;
  second.set_device_name("new");
  std::string a = PbMessage::data(first);
  std::string b = PbMessage::data(second);
  std::string data =
      bytes("0A 01 68 12") + static_cast<char>(a.size()) + a + bytes("12") + static_cast<char>(b.size()) + b;
  auto wrapper = PbMessage::parseFromData<pb::MsgDiscoverWin>(data);
  EXPECT_EQ(wrapper.discover().device_name(), "new");
  EXPECT_EQ(wrapper.discover().device_uuid(), "u");
  EXPECT_EQ(wrapper.discover().route_port(), 1);
}

TEST(PbMessageTest, RepeatedFieldsKeepOrderAndBytes) {
  pb::MsgWinReadDirChange change;
  change.set_tree_id(-5);
  change.add_paths(std::string("\xFF\x00\xFE", 3));
  change.add_paths("");
  auto parsed = PbMessage::parseFromData<pb::MsgWinReadDirChange>(PbMessage::data(change));
  EXPECT_EQ(parsed.tree_id(), -5);
  ASSERT_EQ(parsed.paths_size(), 2);
  EXPECT_EQ(parsed.paths(0), std::string("\xFF\x00\xFE", 3));
  EXPECT_EQ(parsed.paths(1), "");

  pb::MsgWinRefresh refresh;
  refresh.add_local_tree_ids(1);
  refresh.add_local_tree_ids(-1);
  EXPECT_EQ(built(refresh), "08 01 08 FF FF FF FF FF FF FF FF FF 01");
  EXPECT_EQ(PbMessage::data(pb::MsgWinRefresh()), "");

  // The runtime reads a packed run into the list as well and writes it out unpacked.
  auto packed = PbMessage::parseFromData<pb::MsgWinRefresh>(bytes("0A 02 03 04"));
  ASSERT_EQ(packed.local_tree_ids_size(), 2);
  EXPECT_EQ(packed.local_tree_ids(1), 4);
  EXPECT_EQ(hex(PbMessage::data(packed)), "08 03 08 04");
}

TEST(PbMessageTest, MalformedInputIsInvalidProtocolBuffer) {
  struct Case {
    const char* data;
    const char* reason;
  };
  const Case cases[] = {
      {"08 80", "truncatedMessage"},                               // varint cut short
      {"08 80 80 80 80 80 80 80 80 80 80 01", "malformedVarint"},  // eleven bytes
      {"0A 05 61", "truncatedMessage"},                            // length beyond the input
      {"0E 00", "Invalid Wire Type"},
      {"0F 00", "Invalid Wire Type"},
      {"08 01 00", "Invalid Tag"},
      {"02 00", "Invalid Tag"},          // field number 0
      {"08 01 0C", "Invalid End Tag"},   // ends inside no group
      {"0B 14", "Invalid End Tag"},      // group 1 closed as 2
      {"0B 08 01", "truncatedMessage"},  // group never closed
  };
  for (const auto& c : cases) {
    EXPECT_EQ((failure<pb::MsgHead, InvalidProtocolBuffer>(bytes(c.data))), c.reason) << c.data;
  }
  // The nested record is read with its own type.
  EXPECT_EQ((failure<pb::MsgFindResponse, InvalidProtocolBuffer>(bytes("1A 03 08 80 80"))), "truncatedMessage");
}

TEST(PbMessageTest, NestingDepthIsLimitedTo64) {
  auto nested = [](int depth) { return std::string(depth, '\x7B') + std::string(depth, '\x7C'); };
  auto kept = PbMessage::parseFromData<pb::MsgScanResponse>(nested(64));
  EXPECT_EQ(PbMessage::data(kept), nested(64));
  EXPECT_EQ((failure<pb::MsgScanResponse, InvalidProtocolBuffer>(nested(65))), "Recursion Limit Exceeded");
}

TEST(PbMessageTest, SizeIsLimitedTo64MiB) {
  // One unknown bytes field that fills the input to one byte over the limit.
  size_t length = PbMessage::kMaxMessageBytes + 1 - 5;
  std::string data = bytes("7A");
  for (size_t rest = length; rest != 0; rest >>= 7) {
    data += static_cast<char>((rest & 0x7F) | (rest > 0x7F ? 0x80 : 0));
  }
  data += std::string(length, 'x');
  ASSERT_EQ(data.size(), static_cast<size_t>(PbMessage::kMaxMessageBytes) + 1);
  EXPECT_EQ((failure<pb::MsgScanResponse, InvalidProtocolBuffer>(data)), "Size Limit Exceeded");
}

}  // namespace
}  // namespace velbor
