#include "core/state/QoConfig.h"

#include <mutex>
#include <type_traits>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "core/entity/EntitySettings.h"
#include "core/entity/QoDevice.h"
#include "core/envelope/EnvelopeKeys.h"
#include "core/state/DataSource.h"
#include "core/state/Lockers.h"
#include "core/utils/QoUtils.h"
#include "framework/crypto/QoEncrypt.h"
#include "platform/Exception.h"
#include "platform/LockerGuard.h"
#include "platform/QoLog.h"
#include "platform/UserDefaults.h"

namespace velbor {

namespace {

constexpr const char* kSuiteName = "QoConfig";
constexpr const char* kInitializedKey = "isInitialized";

std::mutex sharedMutex;
// Never destroyed: jobs still running at exit use it.
std::shared_ptr<QoConfig>& sharedInstance = *new std::shared_ptr<QoConfig>();
// Instances replaced by resetSharedQoConfig stay alive: callers may still hold references.
std::vector<std::shared_ptr<QoConfig>>& retiredInstances = *new std::vector<std::shared_ptr<QoConfig>>();

template <typename T>
const T* valueAs(const QoConfigValue& value) {
  return std::get_if<T>(&value);
}

}  // namespace

struct QoConfig::Values {
  int portRouter = 0;
  int portPublisher = 0;
  int portUdp = 0;
  std::string deviceName;
  std::string deviceUuid;
  std::string deviceToken;
  int deviceType = 0;
  std::string devicePublicKey;
  std::string devicePrivateKey;
  std::string routerBackendInprocUri;
  std::string pullerBackendInprocUri;
  std::string pullerInprocUri;
  int routerWorkerCount = 0;
  int publisherWorkerCount = 0;
  int broadCastInterval = 0;
  int64_t deviceOnlineTimeOut = 0;
  double fileSystemScanLatency = 0;
  int trustAuthTimeOut = 0;
  std::string debugLoggerBonjourAddress;
  bool showUserNotificaion = false;
  int encryptLevel = 0;
  bool syncHiddenFile = false;
};

QoConfig& QoConfig::sharedQoConfig() {
  // The envelope reads this device's key, token and discovery port from whichever shared
  // instance is current at each use.
  static std::once_flag envelopeKeysInstalled;
  std::call_once(envelopeKeysInstalled, [] {
    EnvelopeKeys::install(EnvelopeKeys([] { return sharedQoConfig().devicePrivateKey(); },
                                       [] { return sharedQoConfig().deviceToken(); },
                                       [] { return sharedQoConfig().portUdp(); }));
  });
  handDownToEntities();
  DataSource::handDownToEntities();
  std::lock_guard lock(sharedMutex);
  if (!sharedInstance) sharedInstance = std::make_shared<QoConfig>();
  return *sharedInstance;
}

void QoConfig::handDownToEntities() {
  static std::once_flag handedDown;
  std::call_once(handedDown, [] {
    EntitySettings::install(
        EntitySettings([] { return sharedQoConfig().deviceUuid(); }, [] { return sharedQoConfig().syncHiddenFile(); }));
  });
}

void QoConfig::resetSharedQoConfig() {
  std::lock_guard lock(sharedMutex);
  if (sharedInstance) retiredInstances.push_back(std::exchange(sharedInstance, nullptr));
}

QoConfig::QoConfig() : defaults_(UserDefaults::suiteNamed(kSuiteName)), values_(std::make_unique<Values>()) {}

QoConfig::~QoConfig() = default;

const QoConfigValues& QoConfig::baseDefaultValues() {
  // Built once per process: the generated identity only fills keys the store lacks.
  static const QoConfigValues& table = *new QoConfigValues([] {
    std::string privateKey = QoEncrypt::generateRSAPrivateKey();
    std::string publicKey = Cryptor::generateRSAPublicKeyFromPrivateKey(privateKey);
    return QoConfigValues{
        {"portRouter", int64_t{9527}},
        {"portPublisher", int64_t{9526}},
        {"portUdp", int64_t{8848}},
        {"deviceName", std::string()},
        {"deviceUuid", QoUtils::generateUuid()},
        {"deviceToken", std::string()},
        {"deviceType", int64_t{6}},
        {"devicePublicKey", QoConfigBytes{publicKey}},
        {"devicePrivateKey", QoConfigBytes{privateKey}},
        {"routerBackendInprocUri", std::string("inproc://backend.inproc")},
        {"pullerBackendInprocUri", std::string("inproc://pullerBack.inproc")},
        {"pullerInprocUri", std::string("inproc://puller.inproc")},
        {"routerWorkerCount", int64_t{3}},
        {"publisherWorkerCount", int64_t{3}},
        {"broadCastInterval", int64_t{10}},
        {"deviceOnlineTimeOut", int64_t{30}},
        {"fileSystemScanLatency", 0.5},
        {"trustAuthTimeOut", int64_t{10}},
        {"debugLoggerBonjourAddress", QoUtils::generateShortUuid()},
    };
  }());
  return table;
}

QoConfigValues QoConfig::getDefaultValues() {
  QoConfigValues values = baseDefaultValues();
  if (auto delegate = configDelegate()) {
    for (auto& [key, value] : delegate->userDefaultConfigValues()) values[key] = value;
  }
  return values;
}

std::optional<QoConfigValue> QoConfig::getDefaultValueByKey(const std::string& key) {
  auto values = getDefaultValues();
  auto found = values.find(key);
  if (found == values.end()) return std::nullopt;
  return found->second;
}

void QoConfig::configInit() { initDefaultValue(); }

bool QoConfig::storeValue(const std::string& key, const QoConfigValue& value) {
  return std::visit(
      [&](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, bool>) {
          return defaults_->setBool(key, v);
        } else if constexpr (std::is_same_v<T, int64_t>) {
          return defaults_->setInteger(key, v);
        } else if constexpr (std::is_same_v<T, double>) {
          return defaults_->setDouble(key, v);
        } else if constexpr (std::is_same_v<T, std::string>) {
          return defaults_->setString(key, v);
        } else {
          return defaults_->setData(key, v.bytes);
        }
      },
      value);
}

void QoConfig::requireStored(bool written, const std::string& key) const {
  if (written) return;
  throw Exception(kSuiteName, fmt::format("\"{}\" cannot be stored in {}", key, defaults_->filePath().string()));
}

std::optional<QoConfigValue> QoConfig::storedValue(const std::string& key, const QoConfigValue& kind) const {
  // The kind of the default decides how the stored entry is read; an entry of another
  // kind counts as missing, so it is refilled from the default.
  if (valueAs<QoConfigBytes>(kind)) {
    auto bytes = defaults_->dataForKey(key);
    if (!bytes) return std::nullopt;
    return QoConfigBytes{*bytes};
  }
  auto json = defaults_->objectForKey(key);
  if (!json) return std::nullopt;
  if (valueAs<bool>(kind)) {
    if (json->is_boolean()) return json->get<bool>();
    if (json->is_number_integer()) return json->get<int64_t>() != 0;
  } else if (valueAs<int64_t>(kind)) {
    if (json->is_number_integer()) return json->get<int64_t>();
  } else if (valueAs<double>(kind)) {
    if (json->is_number()) return json->get<double>();
  } else if (json->is_string()) {
    return json->get<std::string>();
  }
  return std::nullopt;
}

bool QoConfig::setValueForKey(const std::string& key, const QoConfigValue& value) {
  std::lock_guard lock(mutex_);
  Values& v = *values_;
  auto setInt = [&](int& field) {
    auto number = valueAs<int64_t>(value);
    if (!number) return false;
    field = static_cast<int>(*number);
    return true;
  };
  auto setText = [&](std::string& field) {
    auto text = valueAs<std::string>(value);
    if (!text) return false;
    field = *text;
    return true;
  };
  auto setBytes = [&](std::string& field) {
    auto bytes = valueAs<QoConfigBytes>(value);
    if (!bytes) return false;
    field = bytes->bytes;
    return true;
  };
  auto setFlag = [&](bool& field) {
    auto flag = valueAs<bool>(value);
    if (!flag) return false;
    field = *flag;
    return true;
  };

  if (key == "portRouter") return setInt(v.portRouter);
  if (key == "portPublisher") return setInt(v.portPublisher);
  if (key == "portUdp") return setInt(v.portUdp);
  if (key == "deviceName") return setText(v.deviceName);
  if (key == "deviceUuid") return setText(v.deviceUuid);
  if (key == "deviceToken") return setText(v.deviceToken);
  if (key == "deviceType") return setInt(v.deviceType);
  if (key == "devicePublicKey") return setBytes(v.devicePublicKey);
  if (key == "devicePrivateKey") return setBytes(v.devicePrivateKey);
  if (key == "routerBackendInprocUri") return setText(v.routerBackendInprocUri);
  if (key == "pullerBackendInprocUri") return setText(v.pullerBackendInprocUri);
  if (key == "pullerInprocUri") return setText(v.pullerInprocUri);
  if (key == "routerWorkerCount") return setInt(v.routerWorkerCount);
  if (key == "publisherWorkerCount") return setInt(v.publisherWorkerCount);
  if (key == "broadCastInterval") return setInt(v.broadCastInterval);
  if (key == "deviceOnlineTimeOut") {
    auto number = valueAs<int64_t>(value);
    if (!number) return false;
    v.deviceOnlineTimeOut = *number;
    return true;
  }
  if (key == "fileSystemScanLatency") {
    auto number = valueAs<double>(value);
    if (!number) return false;
    v.fileSystemScanLatency = *number;
    return true;
  }
  if (key == "trustAuthTimeOut") return setInt(v.trustAuthTimeOut);
  if (key == "debugLoggerBonjourAddress") return setText(v.debugLoggerBonjourAddress);
  if (key == "showUserNotificaion") return setFlag(v.showUserNotificaion);
  if (key == "encryptLevel") return setInt(v.encryptLevel);
  if (key == "syncHiddenFile") return setFlag(v.syncHiddenFile);
  return false;
}

void QoConfig::initDefaultValue() {
  auto stamp = defaults_->optionalStringForKey(kInitializedKey);
  QoConfigValues defaults = getDefaultValues();
  auto delegate = configDelegate();
  std::string version = delegate ? delegate->getConfigVersion() : std::string();

  // Whatever is stored here must reach the disk before the device goes on: a key pair or
  // uuid held only in memory would be replaced by new ones at the next start, which no
  // peer knows.
  if (!stamp) {
    for (const auto& [key, value] : defaults) requireStored(storeValue(key, value), key);
    requireStored(defaults_->setString(kInitializedKey, version), kInitializedKey);
  } else if (*stamp != version) {
    // A new configuration version brings back the platform's defaults; identity, ports
    // and keys stay.
    if (delegate) {
      for (const auto& [key, value] : delegate->userDefaultConfigValues()) {
        requireStored(storeValue(key, value), key);
      }
    }
    requireStored(defaults_->setString(kInitializedKey, version), kInitializedKey);
  }
  defaults_->synchronize();

  for (const auto& [key, value] : defaults) {
    auto stored = storedValue(key, value);
    if (stored && setValueForKey(key, *stored)) continue;
    setValueForKey(key, value);
    QoLog("<{}> default value can't be nil, set default", key);
    requireStored(storeValue(key, value), key);
  }

  LockerGuard transaction(Lockers::transaction());
  if (!QoDevice::getDeviceLocal()) {
    auto device = std::make_shared<QoDevice>();
    device->setPkPublic(0);
    device->setUuid(deviceUuid());
    device->setName(deviceName());
    device->setRouteUri(dbRouterUri());
    device->setPubUri(dbPublisherUri());
    device->setPubKey(devicePublicKey());
    device->setType(deviceType());
    device->setToken(deviceToken());
    device->setRegisterTime(QoUtils::timestampNow());
    device->setStatus(1);
    device->setIsOnline(true);
    device->save();
  }
}

#define QO_CONFIG_GETTER(type, name) \
  type QoConfig::name() const {      \
    std::lock_guard lock(mutex_);    \
    return values_->name;            \
  }

QO_CONFIG_GETTER(int, portRouter)
QO_CONFIG_GETTER(int, portPublisher)
QO_CONFIG_GETTER(int, portUdp)
QO_CONFIG_GETTER(std::string, deviceName)
QO_CONFIG_GETTER(std::string, deviceUuid)
QO_CONFIG_GETTER(std::string, deviceToken)
QO_CONFIG_GETTER(int, deviceType)
QO_CONFIG_GETTER(std::string, devicePublicKey)
QO_CONFIG_GETTER(std::string, devicePrivateKey)
QO_CONFIG_GETTER(std::string, routerBackendInprocUri)
QO_CONFIG_GETTER(std::string, pullerBackendInprocUri)
QO_CONFIG_GETTER(std::string, pullerInprocUri)
QO_CONFIG_GETTER(int, routerWorkerCount)
QO_CONFIG_GETTER(int, publisherWorkerCount)
QO_CONFIG_GETTER(int, broadCastInterval)
QO_CONFIG_GETTER(int64_t, deviceOnlineTimeOut)
QO_CONFIG_GETTER(double, fileSystemScanLatency)
QO_CONFIG_GETTER(int, trustAuthTimeOut)
QO_CONFIG_GETTER(std::string, debugLoggerBonjourAddress)
QO_CONFIG_GETTER(bool, showUserNotificaion)
QO_CONFIG_GETTER(int, encryptLevel)
QO_CONFIG_GETTER(bool, syncHiddenFile)

#undef QO_CONFIG_GETTER

std::shared_ptr<QoConfigDelegate> QoConfig::configDelegate() const {
  std::lock_guard lock(mutex_);
  return configDelegate_;
}

std::string QoConfig::routerUri() const { return fmt::format("tcp://*:{}", portRouter()); }
std::string QoConfig::publisherUri() const { return fmt::format("tcp://*:{}", portPublisher()); }
std::string QoConfig::dbRouterUri() const { return fmt::format("tcp://localhost:{}", portRouter()); }
std::string QoConfig::dbPublisherUri() const { return fmt::format("tcp://localhost:{}", portPublisher()); }

std::map<std::string, int> QoConfig::listRoot() {
  auto delegate = configDelegate();
  return delegate ? delegate->getListRoot() : std::map<std::string, int>{};
}

namespace {

// Changes the local device row, when it exists, and saves it.
template <typename Change>
void updateLocalDevice(Change change) {
  LockerGuard transaction(Lockers::transaction());
  if (auto device = QoDevice::getDeviceLocal()) {
    change(*device);
    device->save();
  }
}

}  // namespace

void QoConfig::setDeviceToken(const std::string& value) {
  setValueForKey("deviceToken", value);
  requireStored(defaults_->setString("deviceToken", value), "deviceToken");
  updateLocalDevice([&](QoDevice& device) { device.setToken(value); });
}

void QoConfig::setDeviceName(const std::string& value) {
  setValueForKey("deviceName", value);
  requireStored(defaults_->setString("deviceName", value), "deviceName");
  updateLocalDevice([&](QoDevice& device) { device.setName(value); });
}

void QoConfig::setPortRouter(int value) {
  setValueForKey("portRouter", int64_t{value});
  requireStored(defaults_->setInteger("portRouter", value), "portRouter");
  updateLocalDevice([&](QoDevice& device) { device.setRouteUri(dbRouterUri()); });
}

void QoConfig::setPortPublisher(int value) {
  setValueForKey("portPublisher", int64_t{value});
  requireStored(defaults_->setInteger("portPublisher", value), "portPublisher");
  updateLocalDevice([&](QoDevice& device) { device.setPubUri(dbPublisherUri()); });
}

void QoConfig::setPortUdp(int value) {
  setValueForKey("portUdp", int64_t{value});
  requireStored(defaults_->setInteger("portUdp", value), "portUdp");
}

void QoConfig::setEncryptLevel(int value) {
  setValueForKey("encryptLevel", int64_t{value});
  requireStored(defaults_->setInteger("encryptLevel", value), "encryptLevel");
}

void QoConfig::setShowUserNotificaion(bool value) {
  setValueForKey("showUserNotificaion", value);
  requireStored(defaults_->setBool("showUserNotificaion", value), "showUserNotificaion");
}

void QoConfig::setSyncHiddenFile(bool value) {
  setValueForKey("syncHiddenFile", value);
  requireStored(defaults_->setBool("syncHiddenFile", value), "syncHiddenFile");
}

void QoConfig::setDeviceUuid(const std::string& value) { setValueForKey("deviceUuid", value); }
void QoConfig::setDeviceType(int value) { setValueForKey("deviceType", int64_t{value}); }
void QoConfig::setDevicePublicKey(const std::string& value) { setValueForKey("devicePublicKey", QoConfigBytes{value}); }
void QoConfig::setDevicePrivateKey(const std::string& value) {
  setValueForKey("devicePrivateKey", QoConfigBytes{value});
}
void QoConfig::setRouterWorkerCount(int value) { setValueForKey("routerWorkerCount", int64_t{value}); }
void QoConfig::setPublisherWorkerCount(int value) { setValueForKey("publisherWorkerCount", int64_t{value}); }
void QoConfig::setFileSystemScanLatency(double value) { setValueForKey("fileSystemScanLatency", value); }
void QoConfig::setBroadCastInterval(int value) { setValueForKey("broadCastInterval", int64_t{value}); }
void QoConfig::setDeviceOnlineTimeOut(int64_t value) { setValueForKey("deviceOnlineTimeOut", value); }
void QoConfig::setTrustAuthTimeOut(int value) { setValueForKey("trustAuthTimeOut", int64_t{value}); }
void QoConfig::setRouterBackendInprocUri(const std::string& value) { setValueForKey("routerBackendInprocUri", value); }
void QoConfig::setPullerInprocUri(const std::string& value) { setValueForKey("pullerInprocUri", value); }
void QoConfig::setPullerBackendInprocUri(const std::string& value) { setValueForKey("pullerBackendInprocUri", value); }
void QoConfig::setDebugLoggerBonjourAddress(const std::string& value) {
  setValueForKey("debugLoggerBonjourAddress", value);
}

void QoConfig::setConfigDelegate(std::shared_ptr<QoConfigDelegate> delegate) {
  std::lock_guard lock(mutex_);
  configDelegate_ = std::move(delegate);
}

void QoConfig::reset() { setDeviceToken(""); }

}  // namespace velbor
