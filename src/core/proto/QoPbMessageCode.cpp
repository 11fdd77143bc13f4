#include "core/proto/QoPbMessageCode.h"

#include <array>
#include <utility>

#include <fmt/format.h>

#include "proto/VelborProto.pb.h"

namespace velbor {

namespace {

// Every code of the MsgCode enum with its name, in the order of the schema's families.
// The names are the system's own, "LinuxSyncOnceResponce" included.
constexpr std::pair<int32_t, const char*> kMessages[] = {
    // Device-to-device protocol.
    {0, "Error"}, {1, "Discover"}, {2, "ScanRequest"}, {3, "ScanResponse"}, {4, "FindRequest"},
    {5, "FindResponse"}, {6, "GetRequest"}, {7, "GetResponse"}, {8, "GetError"}, {9, "StatusRequest"},
    {10, "StatusResponse"}, {11, "TrustPublishRequest"}, {12, "TrustPublishResponse"},
    {13, "TrustRequest"}, {14, "TrustResponse"}, {15, "TrustDenyRequest"}, {16, "TrustDenyResponse"},
    {17, "TrustCancelRequest"}, {18, "TrustCancelResponse"}, {19, "PubFileChange"},
    {20, "PubSyncdirChange"}, {21, "PubExit"},
    // Device, tree and sync management and browsing.
    {120, "DeviceAddRequest"}, {121, "DeviceAddResponse"}, {122, "DeviceDeleteRequest"},
    {123, "DeviceDeleteResponse"}, {124, "DeviceShowRequest"}, {125, "DeviceShowResponse"},
    {126, "TreeAddRequest"}, {127, "TreeAddResponse"}, {128, "TreeDeleteRequest"},
    {129, "TreeDeleteResponse"}, {130, "TreeShowRequest"}, {131, "TreeShowResponse"},
    {132, "SyncAddRequest"}, {133, "SyncAddResponse"}, {134, "SyncDeleteRequest"},
    {135, "SyncDeleteResponse"}, {136, "SyncShowRequest"}, {137, "SyncShowResponse"},
    {138, "SyncOnceRequest"}, {139, "SyncOnceResponse"}, {140, "ListRequest"}, {141, "ListResponse"},
    {142, "ListRootRequest"}, {143, "ListRootResponse"}, {144, "DistrustRequest"},
    {145, "DistrustResponse"},
    // Windows worker.
    {200, "WinWorkerReady"}, {201, "WinWorkerEnd"}, {202, "WinReadDirChange"}, {203, "WinTtl"},
    {204, "WinRefresh"}, {205, "WinSync"}, {206, "WinSyncDeleteRequest"}, {207, "WinSyncDeleteResponse"},
    {208, "WinStatus"}, {209, "WinIssueDiscover"}, {210, "WinReconfig"}, {211, "WinTimer"},
    // Linux daemon.
    {300, "RefreshRequest"}, {301, "RefreshResponse"}, {302, "AddWatchRequest"},
    {303, "AddWatchResponse"}, {304, "DelWatchRequest"}, {305, "DelWatchResponse"},
    {306, "LinuxInotifyRequest"}, {307, "LinuxInotifyResponse"}, {308, "RemoteDeviceUpdateRequest"},
    {309, "RemoteDeviceUpdateResponse"}, {310, "RemoteDeviceDeleteRequest"},
    {311, "RemoteDeviceDeleteResponse"}, {312, "PubAddRequest"}, {313, "PubAddResponse"},
    {314, "PubDelRequest"}, {315, "PubDelResponse"}, {316, "ExitRequest"}, {317, "ExitResponse"},
    {318, "LinuxSyncOnceRequest"}, {319, "LinuxSyncOnceResponce"}, {320, "LinuxTrustPublishRequest"},
    {321, "LinuxTrustPublishResponse"}, {322, "LinuxTrustRequest"}, {323, "LinuxTrustResponse"},
    {324, "LinuxTrustCancelRequest"}, {325, "LinuxTrustCancelResponse"}, {326, "LinuxPubSyncStatus"},
    {327, "LinuxPubTreeUploadStatus"}, {328, "LinuxPubTreeIndexStatus"}, {329, "LinuxPubTreeChange"},
    {330, "LinuxPubSyncChange"},
    // Administration and remote file operations.
    {400, "DatabaseClearRequest"}, {401, "DatabaseClearResponse"}, {402, "VelborStartRequest"},
    {403, "VelborStartResponse"}, {404, "VelborStopRequest"}, {405, "VelborStopResponse"},
    {406, "MkdirRequest"}, {407, "MkdirResponse"}, {408, "RmtreeRequest"}, {409, "RmtreeResponse"},
    {410, "MkfileRequest"}, {411, "MkfileResponse"}, {412, "RmfileRequest"}, {413, "RmfileResponse"},
    {414, "RenameRequest"}, {415, "RenameResponse"}, {416, "FileAppendRequest"},
    {417, "FileAppendResponse"}, {418, "SystemRequest"}, {419, "SystemResponse"}, {420, "StatRequest"},
    {421, "StatResponse"}, {422, "ChmodRequest"}, {423, "ChmodResponse"}, {424, "TestTrustRequest"},
    {425, "TestTrustResponse"},
    // Others.
    {600, "AndroidExit"}, {700, "DeviceChange"},
};

// Indexed by error code; spelled as peers show them ("Vclock Mismatc" included).
constexpr std::array<const char*, 23> kErrorTexts = {
    "Success",     "General",          "Bad Message Code", "Bad Device",     "Bad Format",
    "Bad Tree",    "Vclock Mismatc",   "Bad Syncdir",      "Sqlite Error",   "Exist",
    "Noent",       "Bad Uuid",         "Peer Error",       "Syncdir Mismatch", "Bad Path",
    "Bad Part",    "Nested Tree",      "Sync With Self",   "No empty",       "Timeout",
    "Permission Deny", "Untrusted",    "Tampering",
};

}  // namespace

QoPbMessageCode& QoPbMessageCode::sharedQoPbMessageCode() {
  static QoPbMessageCode instance;
  return instance;
}

QoPbMessageCode::QoPbMessageCode() {
  for (const auto& [code, name] : kMessages) {
    _messageMapping.emplace(code, name);
    _codeMapping.emplace(name, code);
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
                     stat.sha1().substr(0, 6), stat.path(), stat.usn(), stat.mtime(), stat.unix_attr(),
                     stat.win_attr(), stat.android_attr(), stat.length());
}

}  // namespace velbor
