#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/entity/QoDevice.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/entity/QoSyncdirCopyRelation.h"
#include "core/utils/QoUtils.h"

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

}  // namespace velbor::test
