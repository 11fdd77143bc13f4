#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/daemon/router/PairingFixture.h"
#include "core/daemon/router/QoHandlerTable.h"
#include "core/daemon/router/QoRouter.h"
#include "core/daemon/router/QoWorker.h"
#include "core/daemon/sync/QoWorkerSync.h"
#include "core/daemon/sync/RecordsBackoff.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoFile.h"
#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/entity/QoSyncdirCopyRelation.h"
#include "core/entity/SyncdirMark.h"
#include "core/state/DataSource.h"
#include "core/state/QoConfig.h"
#include "core/state/QoConfigDelegateLinux.h"
#include "core/utils/QoUtils.h"
#include "proto/VelborProto.pb.h"
#include "support/FreshState.h"
#include "support/LoopbackListener.h"

namespace velbor::test {

// Two copies of one sync folder on this device, "a" pulling from "b". A pairing of two local
// copies is pulled like any other: over the local device's request endpoint, here the
// router this test starts, whose Find and Get servers serve copy "b". So the whole pull,
// sealing and opening included, runs in one process against a real router.
class PullTestBase : public FreshStateTest, public PairingFixture {
 public:
  void SetUp() override {
    FreshStateTest::SetUp();
    RecordsBackoff::shared().clear();
    DataSource::sharedDataSource().dbCheck();
    QoConfig& config = initDeviceConfig();
    config.setPortRouter(0);
    // The router refuses unsigned requests from the network.
    config.setEncryptLevel(1);
    rootA_ = (home_.path() / "a").string();
    rootB_ = (home_.path() / "b").string();
    std::filesystem::create_directories(rootA_);
    std::filesystem::create_directories(rootB_);
  }

  void TearDown() override {
    router_.stop();
    FreshStateTest::TearDown();
  }

  // Starts the router and makes the copies and their pairing.
  void startPeer(int workers = 3) {
    QoConfig::sharedQoConfig().setRouterWorkerCount(workers);
    router_.start();
    local_ = QoDevice::getDeviceLocal();
    ASSERT_TRUE(local_);
    local_->setStatus(1);
    local_->setRouteUri("tcp://127.0.0.1:" + std::to_string(portOf(router_.frontendEndpoint())));
    local_->save();
    const std::string syncUuid = QoUtils::generateUuid();
    copyA_ = makeCopy(rootA_, local_, syncUuid);
    copyB_ = makeCopy(rootB_, local_, syncUuid);
    pair(copyA_, copyB_);
    pairing_ = QoSyncdirCopyRelation::getSyncdirCopyRelationsWithFirstUuid(copyA_->uuid(), copyB_->uuid());
    ASSERT_TRUE(pairing_);
  }

  // Copy "b" becomes a copy of another online device (answering at this device's router).
  void handCopyBToAnotherDevice() {
    auto peer = std::make_shared<QoDevice>();
    peer->setUuid(QoUtils::generateUuid());
    peer->setStatus(1);
    peer->setRouteUri(local_->routeUri());
    peer->save();
    copyB_->setDevice(QoDevice::getDeviceWithUuid(peer->uuid()));
    copyB_->save();
  }

  std::string inA(const std::string& relative) const { return rootA_ + "/" + relative; }
  std::string inB(const std::string& relative) const { return rootB_ + "/" + relative; }

  // Writes a file of copy "b" with the given mode and modification time (ms).
  void writeB(const std::string& relative, const std::string& content, mode_t mode = 0644,
              int64_t mtime = 1600000000000) {
    const std::filesystem::path path(inB(relative));
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    QoFile::setFileAttributeAtPath(path.string(), mode, mtime);
  }
  // Writes a file below `root` with mode 0644 and the given modification time (ms).
  static void writeIn(const std::string& root, const std::string& relative, const std::string& content, int64_t mtime) {
    std::ofstream(root + "/" + relative, std::ios::binary | std::ios::trunc) << content;
    QoFile::setFileAttributeAtPath(root + "/" + relative, 0644, mtime);
  }
  static std::string pattern(size_t length, char seed) {
    std::string data(length, '\0');
    for (size_t i = 0; i < length; ++i) data[i] = static_cast<char>(seed + (i * 31 + i / 4096) % 251);
    return data;
  }
  static std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  static mode_t modeOf(const std::string& path) {
    struct stat status {};
    lstat(path.c_str(), &status);
    return status.st_mode & 07777;
  }
  // The contents of the files at the top of a copy (its mark left out), in order.
  static std::vector<std::string> contentsOf(const std::string& root) {
    std::vector<std::string> contents;
    for (const auto& entry : std::filesystem::directory_iterator(root)) {
      if (!SyncdirMark::isMarkName(entry.path().filename().string())) contents.push_back(readFile(entry.path()));
    }
    std::sort(contents.begin(), contents.end());
    return contents;
  }
  // Records copy "b" as it is on disk, as its monitor would.
  void recordB() { copyB_->refresh(); }
  int64_t usnInB(const std::string& relative) {
    auto record = copyB_->getFileRelationWithFilePath(inB(relative));
    return record && record->file() ? record->file()->usn() : -1;
  }

  std::string pairingKey() const { return pairing_->relationHash(); }
  int64_t failedUsn() { return DataSource::sharedDataSource().getSyncdirCopyRelationFailedUsn(pairingKey()); }
  int64_t storedMark() { return DataSource::sharedDataSource().getSyncdirCopyMaxUsnWithRelaionKey(pairingKey()); }

  // Copy "b"'s records as its Find server answers for them: every one, from usn 0 on.
  std::shared_ptr<pb::MsgFindResponse> findPageOfB() {
    auto find = std::make_shared<pb::MsgFindRequest>();
    find->set_sync_uuid(copyB_->syncdirUuid());
    find->set_tree_uuid(copyB_->uuid());
    find->set_since(0);
    find->set_limit(10000);
    QoRequest request;
    request.body = find;
    return QoWorker::handleFindRequest(request)->pbBodyAs<pb::MsgFindResponse>();
  }

  struct Page {
    QoWorkerSync::RelationList dirs, files, update, updateDir, deletions, conflicts, metadata;
  };
  // Copy "b"'s records sorted against copy "a" as it is now.
  Page sortPage() {
    const auto found = findPageOfB();
    Page page;
    int64_t maxUsn = 0;
    int64_t count = 0;
    const std::vector<std::string> remote(found->uuids().begin(), found->uuids().end());
    QoWorkerSync::getCompareResultWithStatList(found->stats(), pairing_, page.dirs, page.files, page.update,
                                               page.updateDir, page.deletions, page.conflicts, page.metadata, maxUsn,
                                               count, remote, copyA_->getSyncdirCopysUuidList());
    return page;
  }

  // Copy "b"'s records that a pull of "a" has to act on, all in one list, in path order.
  QoWorkerSync::RelationList recordsToFetch() {
    Page page = sortPage();
    QoWorkerSync::RelationList all;
    for (auto* list :
         {&page.dirs, &page.files, &page.update, &page.updateDir, &page.deletions, &page.conflicts, &page.metadata}) {
      all.insert(all.end(), list->begin(), list->end());
    }
    std::sort(all.begin(), all.end(), QoFileAndSyncdirCopyRelation::sortComparator());
    return all;
  }
  static QoWorkerSync::Relation recordOf(const QoWorkerSync::RelationList& records, const std::string& relative) {
    for (const auto& record : records) {
      if (record->getRelativeFilePath() == "/" + relative) return record;
    }
    return nullptr;
  }

  QoMessage::Ptr syncOnce() {
    auto body = std::make_shared<pb::MsgSyncOnceRequest>();
    body->set_local_tree_uuid(copyA_->uuid());
    body->set_remote_tree_uuid(copyB_->uuid());
    QoRequest request;
    request.body = body;
    request.fromNetwork = false;
    return QoWorker::handleSyncOnceRequest(request);
  }

  // The Get server's refusal of `request`, as a stand-in handler answers it.
  static QoMessage::Ptr getError(const pb::MsgGetRequest& request, pb::ErrorCode code) {
    auto error = std::make_shared<pb::MsgGetError>();
    error->set_transfer(request.transfer());
    error->set_errcode(code);
    *error->mutable_part() = request.part();
    return QoMessage::qoMessageWithMsgCode(pb::MsgCodeGetError, error);
  }

  // Every temporary download left in copy "a".
  std::vector<std::string> temporaries() const {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(rootA_)) {
      if (entry.path().filename().string().ends_with("Velbor.Download")) found.push_back(entry.path().string());
    }
    return found;
  }

  QoRouter router_;
  QoDevice::Ptr local_;
  std::string rootA_;
  std::string rootB_;
  QoSyncdirCopy::Ptr copyA_;
  QoSyncdirCopy::Ptr copyB_;
  std::shared_ptr<QoSyncdirCopyRelation> pairing_;
};

// What a test's stand-in for a handler saw and is allowed to do, shared with the router's
// worker threads. One instance per test (handlers are plain functions).
struct ServedParts {
  std::mutex lock;
  std::condition_variable changed;
  // (path, offset) of every GetRequest, in arrival order.
  std::vector<std::pair<std::string, int64_t>> requests;
  int answered = 0;
  // The most requests seen unanswered at once.
  int maxInFlight = 0;
  bool released = false;

  void release() {
    std::lock_guard guard(lock);
    released = true;
    changed.notify_all();
  }
  // Waits (bounded, so a broken fetcher fails rather than hangs) for `ready`.
  template <class Ready>
  bool waitFor(std::unique_lock<std::mutex>& guard, Ready ready) {
    return changed.wait_for(guard, std::chrono::seconds(20), ready);
  }
};

}  // namespace velbor::test
