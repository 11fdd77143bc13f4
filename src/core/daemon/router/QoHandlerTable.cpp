#include "core/daemon/router/QoHandlerTable.h"

#include <map>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <unordered_map>

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

QoHandlerTable::ScopedOverride::ScopedOverride(std::string name, QoHandler handler) : name_(std::move(name)) {
  std::unique_lock lock(overridesLock());
  overrides()[name_] = handler;
}

QoHandlerTable::ScopedOverride::~ScopedOverride() {
  std::unique_lock lock(overridesLock());
  overrides().erase(name_);
}

}  // namespace velbor
