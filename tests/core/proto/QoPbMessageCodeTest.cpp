#include "core/proto/QoPbMessageCode.h"

#include <set>

#include <gtest/gtest.h>

#include "core/proto/PbMessage.h"
#include "proto/VelborProto.pb.h"

namespace velbor {
namespace {

const QoPbMessageCode& table() { return QoPbMessageCode::sharedQoPbMessageCode(); }

// The table and the header's code enum are written separately; they must agree value for
// value, and each enum value must be named after the table's message name.
TEST(QoPbMessageCodeTest, TableAndCodeEnumHoldTheSameCodes) {
  const auto* codes = pb::MsgCode_descriptor();
  EXPECT_EQ(table().getMessageCount(), 119u);
  ASSERT_EQ(codes->value_count(), 119);
  for (int i = 0; i < codes->value_count(); ++i) {
    const auto* value = codes->value(i);
    auto name = table().getMessageByCode(value->number());
    ASSERT_TRUE(name.has_value()) << value->number();
    EXPECT_EQ("MsgCode" + *name, value->name());
    EXPECT_EQ(table().getCodeByMessage(*name), value->number());
  }
  for (int code = -1; code <= 1000; ++code) {
    EXPECT_EQ(table().getMessageByCode(code).has_value(), pb::MsgCode_IsValid(code)) << code;
  }
}

TEST(QoPbMessageCodeTest, NamesAndBodyTypeNames) {
  EXPECT_EQ(table().getMessageByCode(319), "LinuxSyncOnceResponce");
  EXPECT_EQ(table().getMessageByCode(6), "GetRequest");
  EXPECT_EQ(table().getMessageClassStringByCode(6), "MsgGetRequest");
  EXPECT_EQ(table().getMessageClassStringByCode(12), "MsgTrustPublishResponse");
  EXPECT_EQ(table().getMessageByCode(20), "PubSyncdirChange");
  for (int code : {22, 119, 146, 199, 212, 299, 331, 399, 426, 599, 601, 699, 701}) {
    EXPECT_FALSE(table().getMessageByCode(code).has_value()) << code;
    EXPECT_FALSE(table().getMessageClassStringByCode(code).has_value()) << code;
  }
  EXPECT_FALSE(table().getCodeByMessage("LinuxSyncOnceResponse").has_value());
  EXPECT_EQ(&QoPbMessageCode::sharedQoPbMessageCode(), &table());
}

// Exactly these codes carry no body: no schema type bears "Msg" + their name.
TEST(QoPbMessageCodeTest, ExactlyTheListedCodesHaveNoBodyType) {
  const std::set<int> withoutBody = {12,  16,  18,  20,  121, 123, 124, 129, 130, 133, 135, 139, 142,
                                     145, 200, 201, 203, 207, 209, 210, 211, 301, 303, 305, 307, 309,
                                     311, 313, 315, 316, 317, 319, 321, 325, 329, 330, 400, 401, 403,
                                     405, 407, 409, 411, 413, 415, 417, 419, 423, 425, 600, 700};
  ASSERT_EQ(withoutBody.size(), 51u);
  const auto* codes = pb::MsgCode_descriptor();
  for (int i = 0; i < codes->value_count(); ++i) {
    int code = codes->value(i)->number();
    auto typeName = table().getMessageClassStringByCode(code);
    ASSERT_TRUE(typeName.has_value());
    const auto* prototype = PbMessage::bodyTypeForName(*typeName);
    EXPECT_EQ(prototype == nullptr, withoutBody.count(code) == 1) << code << " " << *typeName;
    if (prototype != nullptr) {
      EXPECT_EQ(prototype->GetDescriptor()->name(), *typeName);
    }
  }
}

TEST(QoPbMessageCodeTest, BodyTypeLookupFindsEveryTypeOfTheSchemaAndNothingElse) {
  const auto* file = pb::MsgHead::descriptor()->file();
  for (int i = 0; i < file->message_type_count(); ++i) {
    const auto* prototype = PbMessage::bodyTypeForName(file->message_type(i)->name());
    ASSERT_NE(prototype, nullptr) << file->message_type(i)->name();
    EXPECT_EQ(prototype->GetDescriptor(), file->message_type(i));
  }
  EXPECT_EQ(PbMessage::bodyTypeForName("MsgPubSyncdirChange"), nullptr);
  EXPECT_EQ(PbMessage::bodyTypeForName("Msg"), nullptr);
  EXPECT_EQ(PbMessage::bodyTypeForName(""), nullptr);
  EXPECT_EQ(PbMessage::bodyTypeForName("google.protobuf.Any"), nullptr);
}

TEST(QoPbMessageCodeTest, ErrorTexts) {
  const char* texts[] = {"Success",         "General",        "Bad Message Code", "Bad Device",       "Bad Format",
                         "Bad Tree",        "Vclock Mismatc", "Bad Syncdir",      "Sqlite Error",     "Exist",
                         "Noent",           "Bad Uuid",       "Peer Error",       "Syncdir Mismatch", "Bad Path",
                         "Bad Part",        "Nested Tree",    "Sync With Self",   "No empty",         "Timeout",
                         "Permission Deny", "Untrusted",      "Tampering"};
  ASSERT_EQ(pb::ErrorCode_descriptor()->value_count(), 23);
  for (int code = 0; code <= 22; ++code) {
    pb::MsgError error;
    error.set_errcode(static_cast<pb::ErrorCode>(code));
    EXPECT_EQ(getErrorString(error), texts[code]);
  }
  EXPECT_FALSE(getErrorString(23).has_value());
  EXPECT_FALSE(getErrorString(-1).has_value());
}

TEST(QoPbMessageCodeTest, StatDescription) {
  pb::Stat stat;
  stat.set_path("/docs/a.txt");
  stat.set_type(pb::FileTypeFile);
  stat.set_status(pb::FileStatusPresent);
  stat.set_sha1("3a4b5c6d7e8f90");
  stat.set_usn(7);
  stat.set_mtime(1000);
  stat.set_length(12);
  stat.set_unix_attr(420);
  EXPECT_EQ(description(stat), "file(f o 3a4b5c /docs/a.txt) usn(7) mtime(1000) attr(u420-w0-a0) length(12)");

  stat.set_type(pb::FileTypeDirectory);
  stat.set_status(pb::FileStatusRemoved);
  stat.set_sha1("ab");
  stat.set_win_attr(-1);
  stat.set_android_attr(3);
  EXPECT_EQ(description(stat), "file(d r ab /docs/a.txt) usn(7) mtime(1000) attr(u420-w-1-a3) length(12)");
}

}  // namespace
}  // namespace velbor
