#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "core/daemon/DataSource.h"
#include "core/daemon/QoNotify.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoFile.h"
#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/entity/QoSyncdirCopy.h"
#include "framework/persistence/SQLiteInstanceManager.h"

namespace velbor::bench {

// A private HOME (settings and database) with the local device, and the copies' folders
// under /tmp, all removed when it goes.
class BenchWorkspace {
 public:
  explicit BenchWorkspace(const std::string& name)
      : base_("/tmp/velbor-" + name + "-bench-" + std::to_string(::getpid())) {
    std::filesystem::create_directories(base_ / "home");
    ::setenv("HOME", (base_ / "home").c_str(), 1);
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("XDG_DATA_HOME");
    DataSource::sharedDataSource().dbCheck();
    auto device = std::make_shared<QoDevice>();
    device->setPkPublic(0);
    device->setUuid("bench-device");
    device->save();
  }
  ~BenchWorkspace() {
    QoNotify::resetNotifyQueue();
    SQLiteInstanceManager::destorySharedManager();
    std::error_code ignored;
    std::filesystem::remove_all(base_, ignored);
  }
  BenchWorkspace(const BenchWorkspace&) = delete;
  BenchWorkspace& operator=(const BenchWorkspace&) = delete;

  // A local copy in a new folder `name`.
  QoSyncdirCopy::Ptr makeCopy(const std::string& name) {
    const std::filesystem::path root = base_ / name;
    std::filesystem::create_directories(root);
    return makeCopy(root.string(), QoDevice::getDeviceLocal(), name);
  }

  // A copy of the sync folder `name` at `path` on `device`.
  static QoSyncdirCopy::Ptr makeCopy(const std::string& path, const QoDevice::Ptr& device, const std::string& name) {
    auto copy = std::make_shared<QoSyncdirCopy>();
    copy->setPath(path);
    copy->setDevice(device);
    copy->setSyncdirUuid("bench-" + name);
    copy->setUuid("bench-copy-" + path);
    copy->insert();
    return copy;
  }

  static void forgetRecords() {
    QoFileAndSyncdirCopyRelation::deleteObjectsByCriteria("");
    QoFile::deleteObjectsByCriteria("");
  }

 private:
  std::filesystem::path base_;
};

}  // namespace velbor::bench
