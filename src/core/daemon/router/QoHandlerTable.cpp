#include "core/daemon/router/QoHandlerTable.h"

#include <map>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <unordered_map>
#include <unordered_set>

#include "core/daemon/router/QoWorker.h"

namespace velbor {

namespace {

using Table = std::unordered_map<std::string, QoHandler>;

// One entry per served request, by its name in the message code table.
const Table& handlers() {
  // Never destroyed: jobs still running at exit use it.
  static const Table& table = *new Table{
      {"ScanRequest", &QoWorker::handleScanRequest},
      {"PubExit", &QoWorker::handlePubExit},
      {"DatabaseClearRequest", &QoWorker::handleDatabaseClearRequest},
      {"FindRequest", &QoWorker::handleFindRequest},
      {"GetRequest", &QoWorker::handleGetRequest},
      {"ListRequest", &QoWorker::handleListRequest},
      {"ListRootRequest", &QoWorker::handleListRootRequest},
      {"DeviceAddRequest", &QoWorker::handleDeviceAddRequest},
      {"DeviceDeleteRequest", &QoWorker::handleDeviceDeleteRequest},
      {"DeviceShowRequest", &QoWorker::handleDeviceShowRequest},
      {"TreeAddRequest", &QoWorker::handleTreeAddRequest},
      {"TreeDeleteRequest", &QoWorker::handleTreeDeleteRequest},
      {"TreeShowRequest", &QoWorker::handleTreeShowRequest},
      {"SyncAddRequest", &QoWorker::handleSyncAddRequest},
      {"SyncDeleteRequest", &QoWorker::handleSyncDeleteRequest},
      {"SyncShowRequest", &QoWorker::handleSyncShowRequest},
      {"StatusRequest", &QoWorker::handleStatusRequest},
      {"TrustPublishRequest", &QoWorker::handleTrustPublishRequest},
      {"TrustRequest", &QoWorker::handleTrustRequest},
      {"TrustDenyRequest", &QoWorker::handleTrustDenyRequest},
      {"TrustCancelRequest", &QoWorker::handleTrustCancelRequest},
      {"DistrustRequest", &QoWorker::handleDistrustRequest},
      {"SyncOnceRequest", &QoWorker::handleSyncOnceRequest},
      {"PubFileChange", &QoWorker::handlePubFileChange},
  };
  return table;
}

// The requests one device sends another: discovery's scan and status check, the sync
// engine's and the endpoint challenge's find and part requests, the trust exchange and its
// end, the change and exit notices, and the remote-browsing and pairing windows' requests.
// The rest (device add, delete and show, tree delete, pairing delete and show, sync once,
// database clear) are made only by this device for itself, through the client's direct
// call; from the network they could only be another request's signed body relabelled.
const std::unordered_set<std::string>& servedToNetwork() {
  static const std::unordered_set<std::string> names = {
      "ScanRequest",         "FindRequest",  "GetRequest",       "StatusRequest",
      "TrustPublishRequest", "TrustRequest", "TrustDenyRequest", "TrustCancelRequest",
      "PubFileChange",       "PubExit",      "TreeAddRequest",   "TreeShowRequest",
      "SyncAddRequest",      "ListRequest",  "ListRootRequest",  "DistrustRequest",
  };
  return names;
}

// Test overrides, looked at before the table. Empty outside tests, so a lookup costs one
// shared lock and one empty-map check.
std::shared_mutex& overridesLock() {
  static std::shared_mutex lock;
  return lock;
}

std::map<std::string, QoHandler, std::less<>>& overrides() {
  // Never destroyed: jobs still running at exit use it.
  static auto& map = *new std::map<std::string, QoHandler, std::less<>>();
  return map;
}

std::optional<QoHandler> overrideFor(std::string_view name) {
  std::shared_lock lock(overridesLock());
  if (overrides().empty()) return std::nullopt;
  auto found = overrides().find(name);
  if (found == overrides().end()) return std::nullopt;
  return found->second;
}

}  // namespace

QoHandler QoHandlerTable::handlerForName(std::string_view name) {
  if (auto handler = overrideFor(name)) return *handler;
  const Table& table = handlers();
  auto found = table.find(std::string(name));
  return found == table.end() ? nullptr : found->second;
}

bool QoHandlerTable::isServedToNetwork(std::string_view name) {
  return servedToNetwork().count(std::string(name)) != 0;
}

QoHandlerTable::ScopedOverride::ScopedOverride(std::string name, QoHandler handler) : name_(std::move(name)) {
  std::unique_lock lock(overridesLock());
  overrides()[name_] = handler;
}

QoHandlerTable::ScopedOverride::~ScopedOverride() {
  std::unique_lock lock(overridesLock());
  overrides().erase(name_);
}

}  // namespace velbor
