#pragma once

#include <QApplication>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "core/entity/QoDevice.h"
#include "core/state/DataSource.h"
#include "core/state/QoConfig.h"
#include "core/state/QoNotices.h"
#include "core/utils/QoUtils.h"
#include "framework/crypto/QoEncrypt.h"
#include "support/FreshState.h"

namespace velbor::test {

// A fresh HOME and database per test, with remote devices made as discovery stores them.
// No device has an address, so every request to one fails at once.
class DevicePaneFixture : public FreshStateTest {
 protected:
  void SetUp() override {
    FreshStateTest::SetUp();
    // As the program does at start: libcrypto set up on the main thread, before any request
    // thread draws random bytes.
    QoEncrypt::opensslSetup();
    QoUtils::generateUuid();
    DataSource::sharedDataSource().dbCheck();
    QoConfig::sharedQoConfig().setTrustAuthTimeOut(1);
  }
  void TearDown() override {
    // Queued main-thread work of this test must not reach the next one's state.
    spin(std::chrono::milliseconds(200));
    FreshStateTest::TearDown();
  }

  static QoDevice::Ptr device(const std::string& name, int32_t status, bool online, int32_t type = 1) {
    auto device = std::make_shared<QoDevice>();
    device->setUuid("uuid-" + name);
    device->setName(name);
    device->setStatus(status);
    device->setIsOnline(online);
    device->setType(type);
    device->setRegisterTime(1700000000);
    device->save();
    return device;
  }

  static int32_t storedStatus(const std::string& name) {
    auto stored = QoDevice::getDeviceWithUuid("uuid-" + name);
    return stored ? stored->status() : -1;
  }

  // Runs the main loop until `done` holds; false when it did not within the bound.
  static bool spinUntil(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
  }

  static void spin(std::chrono::milliseconds span) {
    const auto end = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < end) QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
};

}  // namespace velbor::test
