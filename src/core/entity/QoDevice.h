#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "framework/persistence/PersistentEntity.h"

namespace velbor {

class QoSyncdirCopy;

// One known device: the local one (pk 0) and every remote device discovery has seen.
// Texts and bytes read back empty for NULL and are written as NULL when empty.
class QoDevice : public PersistentEntity<QoDevice> {
 public:
  // `type`: 0 Windows, 1 Linux, 2 Android, 3 MacOS, 4 IPhone, 5 IPad.
  // `status`: 0 not trusted, 1 trusted, 2 waiting for the peer's answer, 3 the peer asks.
  static std::string className() { return "QoDevice"; }
  static std::vector<std::string> propertiesOrderedArray();
  static std::vector<std::string> uniques();
  static std::vector<PersistentProperty> propertiesWithEncodedTypes();

  static List findByCriteria(const std::string& criteria, const std::optional<Parameters>& parameters = std::nullopt);
  // Raises QoException (code 1) when the row cannot be written.
  void save() override;
  // Writes only what discovery learns of a stored device: name, endpoints, online flag and
  // time heard; status, key, type and token stay as their owners last wrote them. Raises
  // as save() does, also when the row is gone.
  void saveDiscovered();
  // Sets the status of the device stored under `uuid` when its stored status is one of
  // `from`, and writes nothing else: fields other writers changed meanwhile stay theirs.
  // False when no such device is stored or its status is not one of `from`; raises
  // QoExceptionZeSqlite when the database refuses the write.
  static bool changeStatus(const std::string& uuid, const std::vector<int32_t>& from, int32_t to);
  // Posted (NotificationCenter, no object) on the writing thread once a write of device rows
  // is committed (at once outside a transaction): by save, saveDiscovered, changeStatus, a
  // removal, and rowsWritten.
  static constexpr const char* kRowsWrittenNotice = "QoDeviceRowsWritten";
  // Posts it when the open transaction commits (at once outside one): for those who write
  // device rows by other means.
  static void rowsWritten();

  static std::string getTypeString(int32_t type);
  static Ptr getDeviceLocal();
  static List getDeviceRemote();
  static List getDeviceRemoteOnline();
  // Online remote devices whose last announcement is more than `seconds` old.
  static List getDeviceTimeOut(int64_t seconds);
  static List getDeviceMacOS();
  static Ptr getDeviceWithName(const std::string& name);
  static Ptr getDeviceWithUuid(const std::string& uuid);
  static std::vector<std::shared_ptr<QoSyncdirCopy>> getDeviceSyncdirCopys(int32_t pk);
  // Each device goes offline in one transaction, as it is stored then (one no longer stored
  // is left out); failures are logged and rolled back.
  static void setDevicesOffLine(const List& devices);
  static void setAllDevicesOffLine();
  static void setOnLineDevicesOffLine();
  static void removeAllNotTrustedDevice();

  // Clears the online flag; a device that is not trusted is then removed with its copies.
  void setOffLine();
  bool isLocalDevice() const;
  // Whether `endpoint` is one a peer is reached on: "tcp://", the only transport on which the
  // sockets bound what a peer may send.
  static bool isPeerEndpoint(const std::string& endpoint);
  bool isTrusted() const { return status_ == 1; }
  // Removes the device and takes all its copies off it, in one transaction; failures are
  // logged and rolled back, not raised.
  void forceRemove();

  const std::string& pubUri() const { return pubUri_; }
  void setPubUri(const std::string& value) { pubUri_ = value; }
  int64_t registerTime() const { return registerTime_; }
  void setRegisterTime(int64_t value) { registerTime_ = value; }
  // PEM text of the device's RSA public key.
  const std::string& pubKey() const { return pubKey_; }
  void setPubKey(const std::string& value) { pubKey_ = value; }
  const std::string& uuid() const { return uuid_; }
  void setUuid(const std::string& value) { uuid_ = value; }
  const std::string& routeUri() const { return routeUri_; }
  void setRouteUri(const std::string& value) { routeUri_ = value; }
  int32_t type() const { return type_; }
  void setType(int32_t value) { type_ = value; }
  const std::string& token() const { return token_; }
  void setToken(const std::string& value) { token_ = value; }
  const std::string& name() const { return name_; }
  void setName(const std::string& value) { name_ = value; }
  int32_t status() const { return status_; }
  void setStatus(int32_t value) { status_ = value; }
  bool isOnline() const { return isOnline_; }
  void setIsOnline(bool value) { isOnline_ = value; }

 private:
  std::string pubUri_;
  int64_t registerTime_ = 0;
  std::string pubKey_;
  std::string uuid_;
  std::string routeUri_;
  int32_t type_ = 0;
  std::string token_;
  std::string name_;
  int32_t status_ = 0;
  bool isOnline_ = false;
};

}  // namespace velbor
