#include "core/proto/QoPbMessageCode.h"

#include <array>
#include <utility>

#include <fmt/format.h>
#include <google/protobuf/descriptor.h>

#include "proto/VelborProto.pb.h"

namespace velbor {

namespace {

// Indexed by error code; spelled as peers show them ("Vclock Mismatc" included).
constexpr std::array<const char*, 23> kErrorTexts = {
    "Success",        "General",          "Bad Message Code", "Bad Device", "Bad Format",  "Bad Tree",
    "Vclock Mismatc", "Bad Syncdir",      "Sqlite Error",     "Exist",      "Noent",       "Bad Uuid",
    "Peer Error",     "Syncdir Mismatch", "Bad Path",         "Bad Part",   "Nested Tree", "Sync With Self",
    "No empty",       "Timeout",          "Permission Deny",  "Untrusted",  "Tampering",
};

}  // namespace

QoPbMessageCode& QoPbMessageCode::sharedQoPbMessageCode() {
  // Never destroyed: jobs still running at exit use it.
  static QoPbMessageCode& instance = *new QoPbMessageCode();
  return instance;
}

QoPbMessageCode::QoPbMessageCode() {
  // The schema's MsgCode enum is the table: value MsgCodeGetRequest = 6 is code 6, "GetRequest".
  constexpr std::string_view kPrefix = "MsgCode";
  const google::protobuf::EnumDescriptor* codes = pb::MsgCode_descriptor();
  for (int i = 0; i < codes->value_count(); ++i) {
    const google::protobuf::EnumValueDescriptor* value = codes->value(i);
    std::string name = std::string(value->name()).substr(kPrefix.size());
    _messageMapping.emplace(value->number(), name);
    _codeMapping.emplace(std::move(name), value->number());
  }
}

size_t QoPbMessageCode::getMessageCount() const { return _messageMapping.size(); }

std::optional<std::string> QoPbMessageCode::getMessageByCode(int32_t code) const {
  auto it = _messageMapping.find(code);
  if (it == _messageMapping.end()) {
    return std::nullopt;
  }
  return it->second;
}

std::optional<std::string> QoPbMessageCode::getMessageClassStringByCode(int32_t code) const {
  auto name = getMessageByCode(code);
  if (!name) {
    return std::nullopt;
  }
  return "Msg" + *name;
}

std::optional<int32_t> QoPbMessageCode::getCodeByMessage(std::string_view name) const {
  auto it = _codeMapping.find(std::string(name));
  if (it == _codeMapping.end()) {
    return std::nullopt;
  }
  return it->second;
}

std::optional<std::string> getErrorString(int32_t errcode) {
  if (errcode < 0 || static_cast<size_t>(errcode) >= kErrorTexts.size()) {
    return std::nullopt;
  }
  return kErrorTexts[static_cast<size_t>(errcode)];
}

std::optional<std::string> getErrorString(const pb::MsgError& error) { return getErrorString(error.errcode()); }

std::string description(const pb::Stat& stat) {
  const char* type = stat.type() == pb::FileTypeDirectory ? "d" : "f";
  const char* status = stat.status() == pb::FileStatusPresent ? "o" : "r";
  return fmt::format("file({} {} {} {}) usn({}) mtime({}) attr(u{}-w{}-a{}) length({})", type, status,
                     stat.sha1().substr(0, 6), stat.path(), stat.usn(), stat.mtime(), stat.unix_attr(), stat.win_attr(),
                     stat.android_attr(), stat.length());
}

}  // namespace velbor
