#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/entity/QoDevice.h"
#include "core/entity/QoFile.h"
#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/entity/QoSyncdirCopyRelation.h"
#include "core/state/DataSource.h"
#include "core/utils/QoUtils.h"
#include "support/FreshState.h"

namespace velbor::test {

// Stored copies and pairings for tests that only look at who pairs with whom.
struct PairingFixture {
  static QoSyncdirCopy::Ptr makeCopy(const std::string& path, const QoDevice::Ptr& device, const std::string& syncUuid,
                                     std::string uuid = QoUtils::generateUuid()) {
    auto copy = std::make_shared<QoSyncdirCopy>();
    copy->setPath(path);
    copy->setDevice(device);
    copy->setSyncdirUuid(syncUuid);
    copy->setUuid(std::move(uuid));
    copy->insert();
    return QoSyncdirCopy::getSyncdirCopyWithUuid(copy->uuid());
  }

  // Records the item at `path` (absolute, `length` bytes, mode 0644, a file unless `type` 1) in
  // `copy`.
  static std::shared_ptr<QoFileAndSyncdirCopyRelation> recordFile(const QoSyncdirCopy::Ptr& copy,
                                                                  const std::string& path, int64_t length,
                                                                  const std::string& vclock, int64_t usn = 1,
                                                                  int32_t type = 0) {
    auto file = std::make_shared<QoFile>();
    file->setPath(path);
    file->setType(type);
    file->setLength(length);
    file->setUsn(usn);
    file->setUnixAttr(0644);
    file->setWinAttr(-1);
    file->setAndroidAttr(-1);
    auto record = std::make_shared<QoFileAndSyncdirCopyRelation>();
    record->setSyncdirCopy(copy);
    record->setFile(file);
    record->setVclock(vclock);
    record->save();
    return record;
  }

  static std::shared_ptr<QoSyncdirCopyRelation> pair(const QoSyncdirCopy::Ptr& first,
                                                     const QoSyncdirCopy::Ptr& second) {
    auto relation = std::make_shared<QoSyncdirCopyRelation>();
    relation->setFirstSyncdirCopy(first);
    relation->setSecondSyncdirCopy(second);
    relation->save();
    return relation;
  }

  // A local copy paired with a new copy of the same sync folder on `remote`.
  static std::shared_ptr<QoSyncdirCopyRelation> pairWith(const QoDevice::Ptr& remote, const std::string& name) {
    const std::string syncUuid = QoUtils::generateUuid();
    return pair(makeCopy("/tmp/local-" + name, QoDevice::getDeviceLocal(), syncUuid),
                makeCopy("/tmp/remote-" + name, remote, syncUuid));
  }

  static std::string pairingKey(const std::shared_ptr<QoSyncdirCopyRelation>& relation) {
    return relation->firstSyncdirCopy()->uuid() + ">" + relation->secondSyncdirCopy()->uuid();
  }

  // Every stored pairing by pairingKey, sorted.
  static std::vector<std::string> pairingKeys() {
    std::vector<std::string> keys;
    for (const auto& relation : QoSyncdirCopyRelation::allObjects()) keys.push_back(pairingKey(relation));
    std::sort(keys.begin(), keys.end());
    return keys;
  }

  static std::vector<std::string> sorted(std::vector<std::string> keys) {
    std::sort(keys.begin(), keys.end());
    return keys;
  }
};

// A fresh device (HOME, database, settings and its own row) with the pairing helpers.
class LocalDeviceTest : public FreshStateTest, public PairingFixture {
 protected:
  void SetUp() override {
    FreshStateTest::SetUp();
    DataSource::sharedDataSource().dbCheck();
    initDeviceConfig();
    local_ = QoDevice::getDeviceLocal();
    ASSERT_TRUE(local_);
  }

  // A stored device of another kind (`type`, Linux unless said).
  static QoDevice::Ptr remoteDevice(const std::string& name, bool trusted = true, bool online = true, int type = 1) {
    auto device = std::make_shared<QoDevice>();
    device->setUuid(QoUtils::generateUuid());
    device->setName(name);
    device->setType(type);
    device->setStatus(trusted ? 1 : 0);
    device->setIsOnline(online);
    device->save();
    return QoDevice::getDeviceWithUuid(device->uuid());
  }

  QoDevice::Ptr local_;
};

}  // namespace velbor::test
