#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/state/QoConfigDelegate.h"
#include "core/state/QoConfigValue.h"

namespace velbor {

class UserDefaults;

// The settings of the process, persisted in the user-defaults suite "QoConfig" under the
// keys below. Values are read from every thread; setters that persist write through at once.
// Reads and writes of the values are guarded by an internal mutex (texts are not atomic).
class QoConfig {
 public:
  static QoConfig& sharedQoConfig();
  // Drops the instance so that the next sharedQoConfig() opens the suite again (tests with a
  // fresh HOME). The old instance stays alive, so references still held keep working.
  static void resetSharedQoConfig();
  // Hands the entities this device's uuid and the hidden-file setting, read from whichever
  // shared instance is current at each use. Once per process, creating no instance; the shared
  // QoConfig and DataSource call it as they are first asked for, so an entity reads the
  // settings from the moment either exists.
  static void handDownToEntities();

  QoConfig();
  ~QoConfig();
  QoConfig(const QoConfig&) = delete;
  QoConfig& operator=(const QoConfig&) = delete;

  // Loads the settings (filling defaults) and creates the local device row. Raises
  // Exception "QoConfig" when a value it stores (the key pair and identity on a first start)
  // cannot be written to the suite: the device must not run on an identity it would lose.
  void configInit();
  void initDefaultValue();

  // The base defaults with the delegate's values laid over them. The base table is built
  // once per process: its uuid, short uuid and key pair only fill keys the store lacks.
  QoConfigValues getDefaultValues();
  std::optional<QoConfigValue> getDefaultValueByKey(const std::string& key);

  int portRouter() const;
  int portPublisher() const;
  int portUdp() const;
  std::string deviceName() const;
  std::string deviceUuid() const;
  std::string deviceToken() const;
  int deviceType() const;
  std::string devicePublicKey() const;   // PEM bytes
  std::string devicePrivateKey() const;  // PEM bytes; empty before the settings are loaded
  std::string routerBackendInprocUri() const;
  std::string pullerBackendInprocUri() const;
  std::string pullerInprocUri() const;
  int routerWorkerCount() const;
  int publisherWorkerCount() const;
  int broadCastInterval() const;
  int64_t deviceOnlineTimeOut() const;
  double fileSystemScanLatency() const;
  int trustAuthTimeOut() const;
  std::string debugLoggerBonjourAddress() const;
  bool showUserNotificaion() const;
  int encryptLevel() const;
  bool syncHiddenFile() const;
  std::shared_ptr<QoConfigDelegate> configDelegate() const;

  // Endpoints from the current ports.
  std::string routerUri() const;       // "tcp://*:<portRouter>"
  std::string publisherUri() const;    // "tcp://*:<portPublisher>"
  std::string dbRouterUri() const;     // "tcp://localhost:<portRouter>"
  std::string dbPublisherUri() const;  // "tcp://localhost:<portPublisher>"

  // The delegate's browsable roots (empty without a delegate).
  std::map<std::string, int> listRoot();

  // Setters that persist; those touching identity also update the local device row. When
  // the suite cannot be written they raise Exception "QoConfig": the new value is then in
  // memory only (the next successful write takes it to disk) and the row is not updated.
  void setDeviceToken(const std::string& value);
  void setDeviceName(const std::string& value);
  void setPortRouter(int value);
  void setPortPublisher(int value);
  void setPortUdp(int value);
  void setEncryptLevel(int value);
  void setShowUserNotificaion(bool value);
  void setSyncHiddenFile(bool value);

  // Setters that only change memory (loading).
  void setDeviceUuid(const std::string& value);
  void setDeviceType(int value);
  void setDevicePublicKey(const std::string& value);
  void setDevicePrivateKey(const std::string& value);
  void setRouterWorkerCount(int value);
  void setPublisherWorkerCount(int value);
  void setFileSystemScanLatency(double value);
  void setBroadCastInterval(int value);
  void setDeviceOnlineTimeOut(int64_t value);
  void setTrustAuthTimeOut(int value);
  void setRouterBackendInprocUri(const std::string& value);
  void setPullerInprocUri(const std::string& value);
  void setPullerBackendInprocUri(const std::string& value);
  void setDebugLoggerBonjourAddress(const std::string& value);
  void setConfigDelegate(std::shared_ptr<QoConfigDelegate> delegate);

  // Clears the device token in the local row, the suite and memory.
  void reset();

 private:
  struct Values;

  static const QoConfigValues& baseDefaultValues();
  // Sets the property named `key`; false when the key is unknown or the value has the
  // wrong type.
  bool setValueForKey(const std::string& key, const QoConfigValue& value);
  // False when the suite could not be written.
  bool storeValue(const std::string& key, const QoConfigValue& value);
  // Raises Exception "QoConfig" naming `key` unless `written`.
  void requireStored(bool written, const std::string& key) const;
  // The stored entry of `key`, read as the kind of `kind`.
  std::optional<QoConfigValue> storedValue(const std::string& key, const QoConfigValue& kind) const;

  std::shared_ptr<UserDefaults> defaults_;
  mutable std::mutex mutex_;
  std::unique_ptr<Values> values_;
  std::shared_ptr<QoConfigDelegate> configDelegate_;
};

}  // namespace velbor
