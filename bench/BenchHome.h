#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "core/entity/QoDevice.h"
#include "core/state/DataSource.h"
#include "core/state/QoNotify.h"
#include "framework/persistence/SQLiteInstanceManager.h"

namespace velbor::bench {

// A private HOME (settings and database) with the tables and the local device row, in a
// folder under /tmp that is removed with everything in it at the end.
class BenchHome {
 public:
  BenchHome(const std::string& name, const std::string& deviceUuid)
      : base_("/tmp/velbor-" + name + "-bench-" + std::to_string(::getpid())) {
    std::filesystem::create_directories(base_ / "home");
    ::setenv("HOME", (base_ / "home").c_str(), 1);
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("XDG_DATA_HOME");
    DataSource::sharedDataSource().dbCheck();
    auto device = std::make_shared<QoDevice>();
    device->setPkPublic(0);
    device->setUuid(deviceUuid);
    device->save();
  }
  ~BenchHome() {
    QoNotify::resetNotifyQueue();
    SQLiteInstanceManager::destorySharedManager();
    std::error_code ignored;
    std::filesystem::remove_all(base_, ignored);
  }
  BenchHome(const BenchHome&) = delete;
  BenchHome& operator=(const BenchHome&) = delete;

  const std::filesystem::path& base() const { return base_; }

 private:
  std::filesystem::path base_;
};

}  // namespace velbor::bench
