#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "BenchHome.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoFile.h"
#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/entity/QoSyncdirCopy.h"

namespace velbor::bench {

// A private home (BenchHome) with the copies' folders beside it, all removed when it goes.
class BenchWorkspace : public BenchHome {
 public:
  explicit BenchWorkspace(const std::string& name) : BenchHome(name, "bench-device") {}

  // A local copy in a new folder `name`.
  QoSyncdirCopy::Ptr makeCopy(const std::string& name) {
    const std::filesystem::path root = base() / name;
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
};

}  // namespace velbor::bench
