#pragma once

#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/entity/QoDevice.h"
#include "core/entity/QoFeedback.h"
#include "core/entity/QoFile.h"
#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/entity/QoSyncdirCopyRelation.h"
#include "core/state/DataSource.h"
#include "core/state/QoConfig.h"
#include "core/state/QoNotify.h"
#include "framework/persistence/SQLiteInstanceManager.h"
#include "framework/persistence/SQLiteStatement.h"
#include "framework/persistence/WriteTransaction.h"
#include "platform/UserDefaults.h"
#include "support/FreshState.h"
#include "support/TempDir.h"

namespace velbor::test {

// Fresh HOME, fresh singletons and all six tables per test.
class EntityTestBase : public FreshStateTest {
 protected:
  void SetUp() override {
    FreshStateTest::SetUp();
    DataSource::sharedDataSource().dbCheck();
  }

  static std::vector<std::string> column(const std::string& sql) { return queryColumn(sql); }

  // Permission bits of what stands at `path`, without following a link.
  static mode_t modeOf(const std::string& path) {
    struct stat status {};
    lstat(path.c_str(), &status);
    return status.st_mode & 07777;
  }

  template <class Work>
  static void inTransaction(Work&& work) {
    WriteTransaction transaction;
    work();
    transaction.commit();
  }

  static QoDevice::Ptr device(int32_t pk, const std::string& uuid, int32_t status = 1) {
    auto device = std::make_shared<QoDevice>();
    device->setPkPublic(pk);
    device->setUuid(uuid);
    device->setName("name-" + uuid);
    device->setStatus(status);
    device->setIsOnline(true);
    device->save();
    return device;
  }

  static QoSyncdirCopy::Ptr copy(const std::string& path, const QoDevice::Ptr& device, const std::string& syncdirUuid,
                                 const std::string& uuid) {
    auto copy = std::make_shared<QoSyncdirCopy>();
    copy->setPath(path);
    copy->setDevice(device);
    copy->setSyncdirUuid(syncdirUuid);
    copy->setUuid(uuid);
    copy->insert();
    return copy;
  }

  static std::shared_ptr<QoSyncdirCopyRelation> pair(const QoSyncdirCopy::Ptr& first,
                                                     const QoSyncdirCopy::Ptr& second) {
    auto pairing = std::make_shared<QoSyncdirCopyRelation>();
    pairing->setFirstSyncdirCopy(first);
    pairing->setSecondSyncdirCopy(second);
    pairing->save();
    return pairing;
  }
};

}  // namespace velbor::test
