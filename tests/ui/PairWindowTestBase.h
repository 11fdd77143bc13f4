#pragma once

#include <QApplication>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "core/daemon/router/PairingFixture.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/envelope/QoMessage.h"
#include "core/state/DataSource.h"
#include "core/state/QoNotices.h"
#include "core/utils/QoUtils.h"
#include "proto/VelborProto.pb.h"
#include "support/FreshState.h"
#include "support/TempDir.h"
#include "ui/MainThread.h"
#include "ui/UiSpin.h"

namespace velbor::test {

// A notice of the tests' own, posted after others to know they have all been handled.
struct DrainNotice {
  static constexpr const char* kName = "UiPairTestDrain";
};

// A fresh device (HOME, database, settings, local device row) for the pairing windows.
class PairWindowTestBase : public LocalDeviceTest {
 protected:
  void TearDown() override {
    // View changes still queued for the main thread run before the singletons go.
    QApplication::processEvents();
    FreshStateTest::TearDown();
  }

  // Every notice posted so far has reached the windows (the "notify" queue and the main
  // thread both keep order).
  static void drainNotices() {
    auto drained = std::make_shared<std::atomic<bool>>(false);
    const auto token = QoNotices::observe<DrainNotice>(
        [drained](const DrainNotice&) { MainThread::async([drained] { *drained = true; }); });
    QoNotices::post(DrainNotice{});
    EXPECT_TRUE(spinUntil([&] { return drained->load(); }));
    NotificationCenter::defaultCenter().removeObserver(token);
  }

  static std::shared_ptr<pb::TreeInfo> treeInfo(const std::string& root, const std::string& syncUuid,
                                                const std::string& treeUuid = QoUtils::generateUuid()) {
    auto tree = std::make_shared<pb::TreeInfo>();
    tree->set_id(1);
    tree->set_sync_uuid(syncUuid);
    tree->set_tree_uuid(treeUuid);
    tree->set_tree_root(root);
    return tree;
  }

  static std::shared_ptr<pb::TreeInfo> treeInfo(const QoSyncdirCopy& copy) {
    return treeInfo(copy.path(), copy.syncdirUuid(), copy.uuid());
  }

  // A reply as a device sends it.
  template <class M>
  static QoMessage::Ptr reply(int32_t code, const M& body) {
    return QoMessage::qoMessageWithMsgCode(code, std::make_shared<M>(body));
  }

  std::string folder(const std::string& name) const {
    const std::filesystem::path path = dir_ / name;
    std::filesystem::create_directories(path);
    return path.string();
  }

  TempDir dir_{"velbor-ui-pair"};
};

}  // namespace velbor::test
