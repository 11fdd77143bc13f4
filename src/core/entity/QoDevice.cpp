#include "core/entity/QoDevice.h"

#include "core/entity/EntitySettings.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/utils/QoUtils.h"
#include "framework/errors/QoException.h"
#include "framework/persistence/SQLiteInstanceManager.h"
#include "framework/persistence/SQLiteStatement.h"
#include "framework/persistence/WriteTransaction.h"
#include "platform/LockerGuard.h"
#include "platform/NotificationCenter.h"
#include "platform/QoLog.h"

namespace velbor {
namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

sqlite3* database() { return SQLiteInstanceManager::sharedManager()->database(); }

}  // namespace

std::vector<std::string> QoDevice::propertiesOrderedArray() {
  // Never destroyed: jobs still running at exit use it.
  static const auto& properties = *new std::vector<std::string>{
      "pubUri", "registerTime", "pubKey", "uuid", "routeUri", "type", "token", "name", "status", "isOnline"};
  return properties;
}

std::vector<std::string> QoDevice::uniques() { return {"uuid"}; }

std::vector<PersistentProperty> QoDevice::propertiesWithEncodedTypes() {
  return {PersistentProperty::text("pubUri", &QoDevice::pubUri_),
          PersistentProperty::scalar("registerTime", &QoDevice::registerTime_),
          PersistentProperty::data("pubKey", &QoDevice::pubKey_),
          PersistentProperty::text("uuid", &QoDevice::uuid_),
          PersistentProperty::text("routeUri", &QoDevice::routeUri_),
          PersistentProperty::scalar("type", &QoDevice::type_),
          PersistentProperty::text("token", &QoDevice::token_),
          PersistentProperty::text("name", &QoDevice::name_),
          PersistentProperty::scalar("status", &QoDevice::status_),
          PersistentProperty::scalar("isOnline", &QoDevice::isOnline_)};
}

QoDevice::List QoDevice::findByCriteria(const std::string& criteria, const std::optional<Parameters>& parameters) {
  List devices;
  Lock lock(getLocker());
  try {
    SQLiteStatement statement(database(), fmt::format("SELECT * FROM {} {}", tableName(), criteria));
    if (!statement.ok()) {
      QoLog("Error select. {}, {}", statement.errorMessage(), className());
      return devices;
    }
    bindCriteriaParameters(statement, parameters);
    while (statement.step() == SQLITE_ROW) {
      auto device = std::make_shared<QoDevice>();
      device->setPk(statement.columnInt(0));
      device->pubUri_ = statement.columnText(1);
      device->registerTime_ = statement.columnInt64(2);
      device->pubKey_ = statement.columnBlob(3);
      device->uuid_ = statement.columnText(4);
      device->routeUri_ = statement.columnText(5);
      device->type_ = statement.columnInt(6);
      device->token_ = statement.columnText(7);
      device->name_ = statement.columnText(8);
      device->status_ = statement.columnInt(9);
      device->isOnline_ = statement.columnInt(10) != 0;
      devices.push_back(std::move(device));
    }
  } catch (const std::exception&) {
    // The rows read so far are the answer.
  }
  return devices;
}

void QoDevice::save() {
  const auto failure = saveRow(
      fmt::format("UPDATE {} SET pub_uri=?, register_time=?, pub_key=?, uuid=?, route_uri=?, type=?, token=?, "
                  "name=?, status=?, is_online=? WHERE pk={}",
                  tableName(), pk()),
      // The local device is row 0.
      fmt::format("INSERT INTO {} values({}, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)", tableName(), pk() != 0 ? "null" : "0"),
      [this](SQLiteStatement& statement, bool) {
        statement.bindOptionalText(1, pubUri_);
        statement.bindInt64(2, registerTime_);
        statement.bindOptionalBlob(3, pubKey_);
        statement.bindOptionalText(4, uuid_);
        statement.bindOptionalText(5, routeUri_);
        statement.bindInt(6, type_);
        statement.bindOptionalText(7, token_);
        statement.bindOptionalText(8, name_);
        statement.bindInt(9, status_);
        statement.bindInt(10, isOnline_ ? 1 : 0);
      });
  if (failure) {
    QoException exception =
        QoException::defaultExceptionWithReason("{}: inserting or updating row error, {}", className(), *failure);
    reportWriteFailure(fmt::format("*** {}", exception.description()));
  }
  rowsWritten();
}

void QoDevice::rowsWritten() {
  onCommit([] { NotificationCenter::defaultCenter().post(kRowsWrittenNotice); });
}

void QoDevice::saveDiscovered() {
  std::optional<std::string> failure;
  {
    LockerGuard transaction(WriteTransaction::locker());
    Lock lock(getLocker());
    SQLiteStatement update(database(), fmt::format("UPDATE {} SET name=?, route_uri=?, pub_uri=?, is_online=?, "
                                                   "register_time=? WHERE pk=?",
                                                   tableName()));
    if (update.ok()) {
      update.bindOptionalText(1, name_);
      update.bindOptionalText(2, routeUri_);
      update.bindOptionalText(3, pubUri_);
      update.bindInt(4, isOnline_ ? 1 : 0);
      update.bindInt64(5, registerTime_);
      update.bindInt(6, pk());
    }
    if (!update.ok() || update.step() != SQLITE_DONE) {
      failure = update.errorMessage();
    } else if (sqlite3_changes(database()) == 0) {
      failure = "no such row";
    }
  }
  if (failure) {
    QoException exception =
        QoException::defaultExceptionWithReason("{}: updating row error, {}", className(), *failure);
    reportWriteFailure(fmt::format("*** {}", exception.description()));
  }
  rowsWritten();
}

bool QoDevice::changeStatus(const std::string& uuid, const std::vector<int32_t>& from, int32_t to) {
  if (from.empty()) return false;
  std::string allowed;
  for (size_t i = 0; i < from.size(); ++i) allowed += fmt::format("{}?{}", i == 0 ? "" : ",", i + 3);
  LockerGuard transaction(WriteTransaction::locker());
  Lock lock(getLocker());
  SQLiteStatement update(database(),
                         fmt::format("UPDATE {} SET status=?1 WHERE uuid=?2 AND status IN ({})", tableName(), allowed));
  if (update.ok()) {
    update.bindInt(1, to);
    update.bindText(2, uuid);
    for (size_t i = 0; i < from.size(); ++i) update.bindInt(static_cast<int>(i + 3), from[i]);
  }
  // A refused write is not "the status was another one": the caller must not show it changed.
  if (!update.ok() || update.step() != SQLITE_DONE) {
    reportWriteFailure(
        fmt::format("*** {}: changing the status of ({}) failed, {}", className(), uuid, update.errorMessage()));
  }
  const bool changed = sqlite3_changes(database()) > 0;
  if (changed) rowsWritten();
  return changed;
}

std::string QoDevice::getTypeString(int32_t type) {
  switch (type) {
    case 0:
      return "Windows";
    case 1:
      return "Linux";
    case 2:
      return "Android";
    case 3:
      return "MacOS";
    case 4:
      return "IPhone";
    case 5:
      return "IPad";
    default:
      return "Unkown";
  }
}

QoDevice::Ptr QoDevice::getDeviceLocal() { return findByPK(0); }

QoDevice::List QoDevice::getDeviceRemote() { return findByCriteria(fmt::format("WHERE pk <> {}", 0)); }

QoDevice::List QoDevice::getDeviceRemoteOnline() {
  return findByCriteria(fmt::format("WHERE pk <> {} AND is_online = {}", 0, 1));
}

QoDevice::List QoDevice::getDeviceTimeOut(int64_t seconds) {
  return findByCriteria(fmt::format("WHERE pk <> {} AND (register_time + {}) < {} AND is_online = {}", 0, seconds,
                                    QoUtils::timestampNow(), 1));
}

QoDevice::List QoDevice::getDeviceMacOS() { return findByCriteria(fmt::format("WHERE type={} and pk <> {}", 3, 0)); }

QoDevice::Ptr QoDevice::getDeviceWithName(const std::string& name) {
  return findFirstByCriteria("WHERE name = ?", Parameters{name});
}

QoDevice::Ptr QoDevice::getDeviceWithUuid(const std::string& uuid) {
  return findFirstByCriteria("WHERE uuid = ?", Parameters{uuid});
}

std::vector<std::shared_ptr<QoSyncdirCopy>> QoDevice::getDeviceSyncdirCopys(int32_t pk) {
  return QoSyncdirCopy::findByCriteria(fmt::format("WHERE qo_device.pk = {}", pk));
}

void QoDevice::setDevicesOffLine(const List& devices) {
  try {
    WriteTransaction transaction;
    try {
      for (const Ptr& device : devices) {
        // Each one as stored now: setOffLine writes the whole row back, and the list may be
        // older than what another writer changed since (a device removed, a trust agreed).
        if (const Ptr current = getDeviceWithUuid(device->uuid())) current->setOffLine();
      }
      transaction.commit();
    } catch (const std::exception& e) {
      QoLog("*** set device off line failed, {}", e.what());
    }
  } catch (const std::exception& e) {
    QoLog("*** set device off line failed, {}", e.what());
  }
}

void QoDevice::setAllDevicesOffLine() { setDevicesOffLine(getDeviceRemote()); }

void QoDevice::setOnLineDevicesOffLine() { setDevicesOffLine(getDeviceRemoteOnline()); }

void QoDevice::removeAllNotTrustedDevice() { setDevicesOffLine(getDeviceRemote()); }

void QoDevice::setOffLine() {
  isOnline_ = false;
  save();
  if (status_ != 1) {
    WriteTransaction transaction;
    forceRemove();
    transaction.commit();
  }
}

bool QoDevice::isLocalDevice() const { return uuid_ == EntitySettings::installed().deviceUuid(); }

bool QoDevice::isPeerEndpoint(const std::string& endpoint) { return endpoint.starts_with("tcp://"); }

void QoDevice::forceRemove() {
  try {
    WriteTransaction transaction;
    try {
      for (const auto& copy : getDeviceSyncdirCopys(pk())) copy->forceRemove();
      deleteObject();
      rowsWritten();
      transaction.commit();
    } catch (const Exception& e) {
      QoLog("*** force remove device({}) failed, {}: {}", name_, e.name(), e.reason());
    } catch (const std::exception& e) {
      QoLog("*** force remove device({}) failed, {}: {}", name_, "std::exception", e.what());
    }
  } catch (const std::exception& e) {
    QoLog("*** force remove device({}) failed, {}: {}", name_, "std::exception", e.what());
  }
}

}  // namespace velbor
