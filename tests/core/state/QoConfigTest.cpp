#include "core/state/QoConfig.h"

#include <filesystem>
#include <memory>

#include <gtest/gtest.h>

#include "core/entity/QoDevice.h"
#include "core/state/QoConfigDelegateLinux.h"
#include "framework/crypto/Cryptor.h"
#include "platform/AppPaths.h"
#include "platform/Exception.h"
#include "platform/UserDefaults.h"
#include "support/FreshState.h"

namespace velbor {
namespace {

class QoConfigTest : public test::FreshStateTest {
 protected:
  // One start-up: tables, delegate, settings and local row, as the daemon does it.
  QoConfig& start() {
    DataSource::sharedDataSource().dbCheck();
    QoConfig& config = QoConfig::sharedQoConfig();
    config.setConfigDelegate(std::make_shared<QoConfigDelegateLinux>());
    config.configInit();
    return config;
  }
  std::shared_ptr<UserDefaults> suite() { return UserDefaults::suiteNamed("QoConfig"); }
};

TEST_F(QoConfigTest, FirstRunStoresEveryDefaultAndCreatesTheLocalRow) {
  QoConfig& config = start();

  EXPECT_EQ(suite()->allKeys().size(), 23u);
  EXPECT_EQ(suite()->stringForKey("isInitialized"), "0.0.10");
  EXPECT_EQ(config.deviceType(), 1);
  EXPECT_EQ(config.deviceName(), QoConfigDelegateLinux::hostName());
  EXPECT_EQ(config.encryptLevel(), 2);
  EXPECT_EQ(config.broadCastInterval(), 60);
  EXPECT_EQ(config.deviceOnlineTimeOut(), 300);
  EXPECT_EQ(config.trustAuthTimeOut(), 30);
  EXPECT_EQ(config.fileSystemScanLatency(), static_cast<double>(0.1f));
  EXPECT_TRUE(config.showUserNotificaion());
  EXPECT_FALSE(config.syncHiddenFile());
  EXPECT_EQ(config.portRouter(), 9527);
  EXPECT_EQ(config.portPublisher(), 9526);
  EXPECT_EQ(config.portUdp(), 8848);
  EXPECT_EQ(config.routerWorkerCount(), 3);
  EXPECT_EQ(config.pullerInprocUri(), "inproc://puller.inproc");
  EXPECT_EQ(config.debugLoggerBonjourAddress().size(), 6u);
  EXPECT_EQ(config.deviceToken(), "");
  EXPECT_EQ(Cryptor::generateRSAPublicKeyFromPrivateKey(config.devicePrivateKey()), config.devicePublicKey());
  EXPECT_EQ(suite()->dataForKey("devicePrivateKey"), config.devicePrivateKey());

  auto local = QoDevice::getDeviceLocal();
  ASSERT_TRUE(local);
  EXPECT_EQ(local->pk(), 0);
  EXPECT_EQ(local->uuid(), config.deviceUuid());
  EXPECT_EQ(local->name(), config.deviceName());
  EXPECT_EQ(local->routeUri(), "tcp://localhost:9527");
  EXPECT_EQ(local->pubUri(), "tcp://localhost:9526");
  EXPECT_EQ(local->pubKey(), config.devicePublicKey());
  EXPECT_EQ(local->type(), 1);
  EXPECT_EQ(local->status(), 1);
  EXPECT_TRUE(local->isOnline());
}

TEST_F(QoConfigTest, RestartLoadsTheStoredIdentityAndSettings) {
  QoConfig& first = start();
  const std::string uuid = first.deviceUuid();
  const std::string privateKey = first.devicePrivateKey();
  first.setEncryptLevel(1);
  first.setSyncHiddenFile(true);
  restart();

  QoConfig& second = start();
  EXPECT_EQ(second.deviceUuid(), uuid);
  EXPECT_EQ(second.devicePrivateKey(), privateKey);
  EXPECT_EQ(second.encryptLevel(), 1);
  EXPECT_TRUE(second.syncHiddenFile());
  EXPECT_EQ(QoDevice::getDeviceLocal()->uuid(), uuid);
}

// Settings written when the default type was another one keep the type they hold, and so
// does the local row.
TEST_F(QoConfigTest, AStoredDeviceTypeIsKept) {
  start();
  suite()->setInteger("deviceType", 3);
  auto local = QoDevice::getDeviceLocal();
  local->setType(3);
  local->save();
  restart();

  QoConfig& config = start();
  EXPECT_EQ(config.deviceType(), 3);
  EXPECT_EQ(suite()->integerForKey("deviceType"), 3);
  EXPECT_EQ(QoDevice::getDeviceLocal()->type(), 3);
}

TEST_F(QoConfigTest, NewVersionRestoresPlatformDefaultsButKeepsIdentity) {
  QoConfig& first = start();
  const std::string uuid = first.deviceUuid();
  const std::string privateKey = first.devicePrivateKey();
  first.setDeviceName("renamed");
  first.setEncryptLevel(0);
  first.setPortRouter(9600);
  first.setDeviceToken("secret");
  suite()->setString("isInitialized", "0.0.9");
  restart();

  QoConfig& second = start();
  EXPECT_EQ(suite()->stringForKey("isInitialized"), "0.0.10");
  EXPECT_EQ(second.deviceName(), QoConfigDelegateLinux::hostName());
  EXPECT_EQ(second.encryptLevel(), 2);
  EXPECT_EQ(second.portRouter(), 9600);
  EXPECT_EQ(second.deviceUuid(), uuid);
  EXPECT_EQ(second.deviceToken(), "secret");
  EXPECT_EQ(second.devicePrivateKey(), privateKey);
}

TEST_F(QoConfigTest, MissingOrMistypedEntriesAreRefilled) {
  start();
  suite()->removeObjectForKey("portUdp");
  suite()->setString("portRouter", "not a number");
  restart();

  QoConfig& config = start();
  EXPECT_EQ(config.portUdp(), 8848);
  EXPECT_EQ(suite()->integerForKey("portUdp"), 8848);
  EXPECT_EQ(config.portRouter(), 9527);
  EXPECT_EQ(suite()->integerForKey("portRouter"), 9527);
}

TEST_F(QoConfigTest, IdentitySettersPersistAndUpdateTheLocalRow) {
  QoConfig& config = start();
  config.setPortRouter(9600);
  config.setPortPublisher(9601);
  config.setDeviceName("desk");
  config.setDeviceToken("secret");
  EXPECT_EQ(config.routerUri(), "tcp://*:9600");
  EXPECT_EQ(config.publisherUri(), "tcp://*:9601");
  EXPECT_EQ(config.dbRouterUri(), "tcp://localhost:9600");

  auto local = QoDevice::getDeviceLocal();
  EXPECT_EQ(local->routeUri(), "tcp://localhost:9600");
  EXPECT_EQ(local->pubUri(), "tcp://localhost:9601");
  EXPECT_EQ(local->name(), "desk");
  EXPECT_EQ(local->token(), "secret");
  EXPECT_EQ(suite()->integerForKey("portRouter"), 9600);
  EXPECT_EQ(suite()->stringForKey("deviceToken"), "secret");

  config.reset();
  EXPECT_EQ(config.deviceToken(), "");
  EXPECT_EQ(suite()->stringForKey("deviceToken"), "");
  EXPECT_EQ(QoDevice::getDeviceLocal()->token(), "");
}

// A regular file standing where the settings folder must be: nothing can be written
// there, whoever runs the test.
void blockTheSettingsFolder() {
  namespace fs = std::filesystem;
  fs::remove_all(AppPaths::configDirectory());
  test::writeFile(AppPaths::configDirectory(), "in the way");
}

TEST_F(QoConfigTest, StartUpFailsLoudlyWhenTheIdentityCannotBeStored) {
  blockTheSettingsFolder();
  // A key pair that is not on disk would be replaced at the next start, and no peer would
  // know the new one: the start stops instead, before any device row is made.
  EXPECT_THROW(start(), Exception);
  EXPECT_EQ(QoDevice::getDeviceLocal(), nullptr);
}

TEST_F(QoConfigTest, SettersThatPersistReportAFailedWrite) {
  QoConfig& config = start();
  blockTheSettingsFolder();
  EXPECT_THROW(config.setDeviceToken("secret"), Exception);
  EXPECT_THROW(config.setPortUdp(9000), Exception);
  EXPECT_THROW(config.setSyncHiddenFile(true), Exception);

  // A folder that can be written again takes everything still held in memory.
  std::filesystem::remove(AppPaths::configDirectory());
  config.setDeviceName("desk");
  restart();
  EXPECT_EQ(start().deviceToken(), "secret");
}

TEST_F(QoConfigTest, DefaultsByKeyAndWithoutDelegate) {
  QoConfig& config = QoConfig::sharedQoConfig();
  EXPECT_EQ(config.getDefaultValueByKey("deviceType"), QoConfigValue(int64_t{6}));
  EXPECT_FALSE(config.getDefaultValueByKey("encryptLevel"));
  EXPECT_TRUE(config.listRoot().empty());
  config.setConfigDelegate(std::make_shared<QoConfigDelegateLinux>());
  EXPECT_EQ(config.getDefaultValueByKey("deviceType"), QoConfigValue(int64_t{1}));
  EXPECT_EQ(config.getDefaultValueByKey("encryptLevel"), QoConfigValue(int64_t{2}));
  // The generated identity is made once per process.
  EXPECT_EQ(config.getDefaultValueByKey("deviceUuid"), config.getDefaultValueByKey("deviceUuid"));
}

TEST_F(QoConfigTest, ListRootOffersTheHomeFoldersOnly) {
  namespace fs = std::filesystem;
  fs::create_directory(home_.path() / "Documents");
  fs::create_directory(home_.path() / "Music");
  fs::create_directory(home_.path() / ".cache");
  test::writeFile(home_.path() / "notes.txt", "x");
  fs::create_directory_symlink(home_.path() / "Music", home_.path() / "Linked");

  QoConfigDelegateLinux delegate;
  auto roots = delegate.getListRoot();
  std::string home = home_.path().string();
  EXPECT_EQ(roots, (std::map<std::string, int>{{home + "/Documents", 0}, {home + "/Music", 0}}));
}

}  // namespace
}  // namespace velbor
