// The entities alone, linked without the process-wide state: they see only what was handed
// down to them, and before anything is handed down they neither crash nor make up a usn.
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/entity/CopyEvents.h"
#include "core/entity/EntitySettings.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoFile.h"
#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/entity/QoSyncdirCopyRelation.h"
#include "core/entity/UsnSource.h"
#include "framework/errors/QoException.h"
#include "platform/UserDefaults.h"
#include "support/FreshDatabase.h"
#include "support/TempDir.h"

namespace velbor::test {
namespace {

namespace fs = std::filesystem;

// Every event in the order heard, with the copy's uuid.
class RecordedEvents : public CopyEvents {
 public:
  void indexPrepare(const std::shared_ptr<QoSyncdirCopy>& copy) override { add("prepare", copy); }
  void indexBegin(const std::shared_ptr<QoSyncdirCopy>& copy, int64_t total) override {
    add("begin " + std::to_string(total), copy);
  }
  void indexing(const std::shared_ptr<QoSyncdirCopy>& copy, const std::string& path) override {
    add("indexing " + fs::path(path).filename().string(), copy);
  }
  void indexEnd(const std::shared_ptr<QoSyncdirCopy>& copy) override { add("end", copy); }
  void fileChanged(const std::shared_ptr<QoSyncdirCopy>& copy) override { add("changed", copy); }

  std::vector<std::string> take() {
    std::lock_guard lock(mutex_);
    return std::exchange(heard_, {});
  }

 private:
  void add(const std::string& what, const std::shared_ptr<QoSyncdirCopy>& copy) {
    std::lock_guard lock(mutex_);
    heard_.push_back(what + (copy ? " " + copy->uuid() : std::string(" -")));
  }
  std::mutex mutex_;
  std::vector<std::string> heard_;
};

class HandedDownTest : public ::testing::Test {
 protected:
  void SetUp() override {
    handDownNothing();
    resetDatabaseState();
    UserDefaults::resetAll();
    QoSyncdirCopy::tableCheck();
    QoSyncdirCopyRelation::tableCheck();
    QoFile::tableCheck();
    QoDevice::tableCheck();
    QoFileAndSyncdirCopyRelation::tableCheck();
    root_ = (home_.path() / "sync").string();
    fs::create_directories(root_);
    device_ = std::make_shared<QoDevice>();
    device_->setPkPublic(0);
    device_->setUuid("local-uuid");
    device_->save();
    copy_ = std::make_shared<QoSyncdirCopy>();
    copy_->setPath(root_);
    copy_->setDevice(device_);
    copy_->setSyncdirUuid("S");
    copy_->setUuid("copy-1");
    copy_->insert();
  }
  void TearDown() override {
    handDownNothing();
    resetDatabaseState();
    UserDefaults::resetAll();
  }
  static void handDownNothing() {
    EntitySettings::install(EntitySettings());
    UsnSource::install(UsnSource());
    CopyEvents::install(nullptr);
    QoFile::generateRegexExpress();
  }
  void installCounter() {
    UsnSource::install(
        UsnSource([this] { return ++usn_; },
                  [this](const std::string& relationKey, int64_t usn) { failed_.emplace_back(relationKey, usn); }));
  }
  QoFile::Ptr stored(const std::string& name) { return QoFile::getFileWithPath(root_ + "/" + name); }

  TempHome home_;
  std::string root_;
  QoDevice::Ptr device_;
  QoSyncdirCopy::Ptr copy_;
  int64_t usn_ = 100;
  std::vector<std::pair<std::string, int64_t>> failed_;
};

TEST_F(HandedDownTest, SettingsAreTheDefaultsUntilInstalledAndAreReadAtEveryUse) {
  EXPECT_EQ(EntitySettings::installed().deviceUuid(), "");
  EXPECT_FALSE(EntitySettings::installed().syncHiddenFile());
  EXPECT_FALSE(device_->isLocalDevice()) << "no uuid handed down: no device is this one";

  std::string uuid = "local-uuid";
  bool hidden = true;
  EntitySettings::install(EntitySettings([&] { return uuid; }, [&] { return hidden; }));
  EXPECT_TRUE(device_->isLocalDevice());
  EXPECT_TRUE(EntitySettings::installed().syncHiddenFile());
  uuid = "another";
  hidden = false;
  EXPECT_FALSE(device_->isLocalDevice()) << "a changed setting holds for the next call";
  EXPECT_FALSE(EntitySettings::installed().syncHiddenFile());
}

TEST_F(HandedDownTest, NoUsnIsMadeUpBeforeACounterIsInstalled) {
  QoFile file;
  file.setUsn(7);
  EXPECT_THROW(file.setUsnAuto(), QoException);
  EXPECT_EQ(file.usn(), 7) << "the record keeps its usn";
  UsnSource::installed().setSyncdirCopyRelationFailedUsn("pairing", 5);  // goes nowhere

  installCounter();
  file.setUsnAuto();
  EXPECT_EQ(file.usn(), 101);
  UsnSource::installed().setSyncdirCopyRelationFailedUsn("pairing", 5);
  EXPECT_EQ(failed_, (std::vector<std::pair<std::string, int64_t>>{{"pairing", 5}}));
}

TEST_F(HandedDownTest, ARescanReportsToTheInstalledObserverWithTheHandedDownSettings) {
  installCounter();
  writeFile(fs::path(root_) / "a.txt", "one");
  writeFile(fs::path(root_) / ".hidden", "two");

  // Nobody listens yet: the rescan still records, and reports to no one.
  copy_->refresh();
  ASSERT_NE(stored("a.txt"), nullptr);
  EXPECT_EQ(stored("a.txt")->usn(), 101);
  EXPECT_EQ(stored(".hidden"), nullptr) << "hidden files are skipped by default";

  auto events = std::make_shared<RecordedEvents>();
  CopyEvents::install(events);
  EntitySettings::install(EntitySettings([] { return std::string(); }, [] { return true; }));
  QoFile::generateRegexExpress();  // the ignore filter reads the setting as it is rebuilt
  copy_->refresh();
  EXPECT_EQ(events->take(), (std::vector<std::string>{"prepare copy-1", "begin 1 copy-1", "indexing .hidden copy-1",
                                                      "changed copy-1", "end copy-1"}));
  ASSERT_NE(stored(".hidden"), nullptr);
  EXPECT_EQ(stored(".hidden")->usn(), 102);

  copy_->refresh();
  EXPECT_EQ(events->take(), (std::vector<std::string>{"prepare copy-1", "begin 0 copy-1", "end copy-1"}))
      << "nothing changed, nothing reported as changed";

  CopyEvents::install(nullptr);
  EXPECT_NE(CopyEvents::installed(), nullptr) << "null restores the observer that hears nothing";
  writeFile(fs::path(root_) / "b.txt", "three");
  copy_->refresh();
  EXPECT_TRUE(events->take().empty());
  EXPECT_NE(stored("b.txt"), nullptr);
}

}  // namespace
}  // namespace velbor::test
