#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "HandlerTestBase.h"
#include "core/entity/LocalLooks.h"
#include "core/state/Lockers.h"
#include "core/utils/QoUtils.h"
#include "framework/persistence/WriteTransaction.h"
#include "platform/LockerGuard.h"

namespace velbor::test {
namespace {

namespace fs = std::filesystem;

class GetRequestTest : public LocalTreeTestBase {
 protected:
  // A file on disk with its record (clock "1|0").
  std::string addFile(const std::string& relative, const std::string& content, int64_t usn = 1) {
    writeFile(dir_.str() + relative, content);
    record(tree_, relative, usn, "1|0", static_cast<int64_t>(content.size()));
    return content;
  }

  pb::MsgGetRequest request(const std::string& path, int64_t offset, int32_t length, bool withClock = true) {
    pb::MsgGetRequest request;
    request.set_transfer(++transfer_);
    request.set_tree_uuid(tree_->uuid());
    request.set_path(path);
    request.mutable_part()->set_offset(offset);
    request.mutable_part()->set_length(length);
    if (withClock) {
      request.add_uuids(tree_->uuid());
      request.add_vclock(1);
    }
    return request;
  }

  // The error code of a GetError answer (with transfer and part echoed), -1 for any other.
  static int getError(const pb::MsgGetRequest& request) {
    const Answer answer = call(&QoWorker::handleGetRequest, body(request));
    const auto error = answer.body<pb::MsgGetError>();
    if (answer.code() != pb::MsgCodeGetError || !error) return -1;
    EXPECT_EQ(error->transfer(), request.transfer());
    EXPECT_EQ(error->part().SerializeAsString(), request.part().SerializeAsString());
    return error->errcode();
  }

  static std::shared_ptr<pb::MsgGetResponse> get(const pb::MsgGetRequest& request) {
    const Answer answer = call(&QoWorker::handleGetRequest, body(request));
    EXPECT_EQ(answer.code(), pb::MsgCodeGetResponse);
    return answer.body<pb::MsgGetResponse>();
  }

  int32_t transfer_ = 0;
};

std::string randomBytes(size_t size) {
  std::mt19937 random(42);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

TEST_F(GetRequestTest, PeerReadsAFileInOneMebibyteParts) {
  const std::string content = addFile("/sub/big.bin", randomBytes(5 * 1024 * 1024 + 123));
  // The clock and uuid order as a find reply gives them.
  pb::MsgFindRequest find;
  find.set_sync_uuid(syncUuid_);
  find.set_tree_uuid(tree_->uuid());
  find.set_since(0);
  find.set_limit(10);
  const auto found = call(&QoWorker::handleFindRequest, body(find)).body<pb::MsgFindResponse>();
  ASSERT_TRUE(found);
  ASSERT_EQ(found->stats_size(), 1);
  const pb::Stat& stat = found->stats(0);

  std::string received;
  for (int64_t offset = 0; offset < stat.length(); offset += 0x100000) {
    pb::MsgGetRequest part =
        request(stat.path(), offset, static_cast<int32_t>(std::min<int64_t>(0x100000, stat.length() - offset)), false);
    *part.mutable_uuids() = found->uuids();
    *part.mutable_vclock() = stat.vclock();
    const auto response = get(part);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->transfer(), part.transfer());
    EXPECT_EQ(response->path(), "/sub/big.bin");
    EXPECT_EQ(response->part().offset(), offset);
    received += response->part_data();
  }
  EXPECT_TRUE(received == content);
}

TEST_F(GetRequestTest, ClockChangedSinceTheFindIsRefused) {
  addFile("/f.txt", "version one");
  EXPECT_TRUE(get(request("/f.txt", 0, 4)));
  // A local change advances the record's clock.
  auto changed = tree_->getFileRelationWithFilePath(dir_.str() + "/f.txt");
  changed->setVclock("2|0");
  changed->save();
  EXPECT_EQ(getError(request("/f.txt", 0, 4)), pb::ErrorCodeVclockMismatch);
  EXPECT_EQ(getError(request("/f.txt", 4, 4)), pb::ErrorCodeVclockMismatch);
  // A concurrent clock is no match either.
  pb::MsgGetRequest concurrent = request("/f.txt", 0, 4);
  concurrent.set_vclock(0, 3);
  concurrent.add_uuids(QoUtils::generateUuid());
  concurrent.add_vclock(0);
  EXPECT_EQ(getError(concurrent), pb::ErrorCodeVclockMismatch);
}

// An edit is written as the file row (length, SHA-1) and then the relation row (raised clock).
// A part asked for with the old clock meanwhile must not be served from the new content.
TEST_F(GetRequestTest, PartIsNotServedFromAHalfWrittenEdit) {
  addFile("/f.txt", "old");
  auto edited = tree_->getFileRelationWithFilePath(dir_.str() + "/f.txt");
  std::future<int> answer;
  {
    WriteTransaction transaction;
    writeFile(dir_.str() + "/f.txt", "the new content");
    edited->file()->setLength(15);
    edited->file()->save();
    answer = std::async(std::launch::async, [this] { return getError(request("/f.txt", 0, 15)); });
    // Only gives a request that does not wait the time to read the half-written record.
    answer.wait_for(std::chrono::milliseconds(500));
    edited->setVclock("2|0");
    edited->save();
    transaction.commit();
  }
  EXPECT_EQ(answer.get(), pb::ErrorCodeVclockMismatch);
}

TEST_F(GetRequestTest, PeerPathsThatCouldLeaveTheTreeAreRefused) {
  TempDir outside("velbor-outside");
  writeFile(outside / "secret", "secret");
  addFile("/real/f.txt", "inside");
  fs::create_directory_symlink(outside.path(), dir_ / "linked");
  fs::create_symlink(outside / "secret", dir_ / "link.txt");
  // Records for the linked paths, as a changed disk could leave them.
  record(tree_, "/linked/secret", 2, "1|0", 6);
  record(tree_, "/link.txt", 3, "1|0", 6);

  const std::vector<std::string> refused = {"/real/../real/f.txt",
                                            "/./real/f.txt",
                                            "/real//f.txt",
                                            "real/f.txt",
                                            "",
                                            "/",
                                            std::string("/real/f.txt\0x", 13),
                                            "/linked/secret",
                                            "/link.txt",
                                            "/..",
                                            "/real/f.txt/.."};
  for (const std::string& path : refused) {
    EXPECT_EQ(getError(request(path, 0, 6)), pb::ErrorCodeBadPath) << path;
  }
  const auto served = get(request("/real/f.txt", 0, 6));
  ASSERT_TRUE(served);
  EXPECT_EQ(served->part_data(), "inside");
}

TEST_F(GetRequestTest, RecordedFileReplacedByAPipeIsRefusedWithoutWaitingForAWriter) {
  addFile("/pipe", "content");
  fs::remove(dir_ / "pipe");
  ASSERT_EQ(::mkfifo((dir_ / "pipe").c_str(), 0600), 0);
  auto answer = std::async(std::launch::async, [&] { return getError(request("/pipe", 0, 7)); });
  // A guard against a hung worker, not a measure of speed: if the open waits for a writer,
  // one is given so that the test ends.
  if (answer.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    const int writer = ::open((dir_ / "pipe").c_str(), O_WRONLY | O_NONBLOCK);
    ADD_FAILURE() << "the request waited on the pipe";
    answer.wait();
    if (writer >= 0) ::close(writer);
  }
  EXPECT_EQ(answer.get(), pb::ErrorCodeBadPath);
}

TEST_F(GetRequestTest, PartRules) {
  const std::string content = addFile("/f.bin", randomBytes(0x100000 + 10));
  struct Case {
    int64_t offset;
    int32_t length;
    int errcode;  // -1: served
  };
  const std::vector<Case> cases = {
      {0, 0x100000, -1},
      {0, 0x100001, pb::ErrorCodeBadPart},
      {10, 0x100000, -1},
      {11, 0x100000, pb::ErrorCodeBadPart},
      {0x100000 + 10, 0, -1},
      {0x100000 + 11, 0, pb::ErrorCodeBadPart},
      {-1, 1, pb::ErrorCodeBadPart},
      {0, -1, pb::ErrorCodeBadPart},
      {INT64_MAX, 1, pb::ErrorCodeBadPart},
  };
  for (const Case& c : cases) {
    const auto part = request("/f.bin", c.offset, c.length);
    if (c.errcode < 0) {
      const auto response = get(part);
      ASSERT_TRUE(response) << c.offset << "+" << c.length;
      EXPECT_TRUE(response->part_data() ==
                  content.substr(static_cast<size_t>(c.offset), static_cast<size_t>(c.length)));
    } else {
      EXPECT_EQ(getError(part), c.errcode) << c.offset << "+" << c.length;
    }
  }
}

TEST_F(GetRequestTest, ServingEdgeCases) {
  addFile("/f.txt", "0123456789");
  // One trailing "/" is dropped, also from the answer's path.
  const auto trailing = get(request("/f.txt/", 2, 3));
  ASSERT_TRUE(trailing);
  EXPECT_EQ(trailing->path(), "/f.txt");
  EXPECT_EQ(trailing->part_data(), "234");
  EXPECT_EQ(getError(request("/f.txt//", 0, 1)), pb::ErrorCodeBadPath);

  // Without a clock the file is served as it is on disk; the uuids' form is still checked.
  writeFile(dir_ / "f.txt", "abcdefghij");
  EXPECT_EQ(get(request("/f.txt", 0, 3, false))->part_data(), "abc");
  pb::MsgGetRequest badUuid = request("/f.txt", 0, 3, false);
  badUuid.add_uuids("xyz");
  EXPECT_EQ(getError(badUuid), pb::ErrorCodeBadUuid);

  // Shorter on disk than recorded: what there is, with the request's part.
  writeFile(dir_ / "f.txt", "abcd");
  const auto shorter = get(request("/f.txt", 2, 8));
  ASSERT_TRUE(shorter);
  EXPECT_EQ(shorter->part_data(), "cd");
  EXPECT_EQ(shorter->part().length(), 8);

  // Gone with no event of it heard (removed through another spelling of its folder on a FUSE
  // disk that ignores case): the monitor is asked to look, or the record stays for good.
  LocalLooks::shared().take();
  fs::remove(dir_ / "f.txt");
  EXPECT_EQ(getError(request("/f.txt", 0, 1)), pb::ErrorCodeBadPath);
  EXPECT_EQ(getError(request("/unknown.txt", 0, 1)), pb::ErrorCodeBadPath);
  EXPECT_EQ(LocalLooks::shared().take(), std::vector<std::string>{(dir_ / "f.txt").string()});

  pb::MsgGetRequest unknownTree = request("/f.txt", 0, 1);
  unknownTree.set_tree_uuid(QoUtils::generateUuid());
  EXPECT_EQ(getError(unknownTree), pb::ErrorCodeBadTree);
  unknownTree.set_tree_uuid("bad");
  EXPECT_EQ(getError(unknownTree), pb::ErrorCodeBadUuid);

  const auto remoteTree = makeCopy("/remote", remoteDevice("peer"), syncUuid_);
  record(remoteTree, "/r.txt", 5, "1");
  pb::MsgGetRequest remote = request("/r.txt", 0, 1);
  remote.set_tree_uuid(remoteTree->uuid());
  EXPECT_EQ(getError(remote), pb::ErrorCodeBadDevice);
}

TEST_F(GetRequestTest, ClocksFromThePeer) {
  addFile("/f.txt", "0123456789");
  // A negative counter is malformed, never read as a huge one.
  pb::MsgGetRequest negative = request("/f.txt", 0, 1);
  negative.set_vclock(0, -1);
  EXPECT_EQ(getError(negative), pb::ErrorCodeBadFormat);

  // A copy only the peer knows of and counts keeps a slot here: one placeholder, however
  // often named (the version it counts is not this one). Named without a count it keeps none.
  const std::string uncounted = QoUtils::generateUuid();
  pb::MsgGetRequest zero = request("/f.txt", 0, 1);
  zero.add_uuids(uncounted);
  zero.add_vclock(0);
  EXPECT_TRUE(get(zero));
  EXPECT_FALSE(QoSyncdirCopy::getSyncdirCopyWithUuid(uncounted));
  const std::string unknown = QoUtils::generateUuid();
  for (int i = 0; i < 2; ++i) {
    pb::MsgGetRequest named = request("/f.txt", 0, 1);
    named.add_uuids(unknown);
    named.add_vclock(3);
    EXPECT_EQ(getError(named), pb::ErrorCodeVclockMismatch);
  }
  const auto placeholder = QoSyncdirCopy::getSyncdirCopyWithUuid(unknown);
  ASSERT_TRUE(placeholder);
  EXPECT_EQ(placeholder->path().rfind("reserve-", 0), 0u);
  EXPECT_EQ(placeholder->path().size(), 14u);
  EXPECT_FALSE(placeholder->device());
  EXPECT_EQ(placeholder->syncdirUuid(), syncUuid_);
  EXPECT_EQ(placeholder->vcIndex(), 1);
  EXPECT_EQ(tree_->getSyncdirCopysUuidList(), (std::vector<std::string>{tree_->uuid(), unknown}));

  // The clock in the peer's order is put in the local order before comparing.
  pb::MsgGetRequest reordered = request("/f.txt", 0, 1, false);
  reordered.add_uuids(unknown);
  reordered.add_uuids(tree_->uuid());
  reordered.add_vclock(0);
  reordered.add_vclock(1);
  EXPECT_TRUE(get(reordered));

  // A list longer than any sync directory's copies is refused before a slot is stored.
  pb::MsgGetRequest flood = request("/f.txt", 0, 1);
  for (int i = 0; i < 1100; ++i) {
    flood.add_uuids(QoUtils::generateUuid());
    flood.add_vclock(0);
  }
  EXPECT_EQ(getError(flood), pb::ErrorCodeBadFormat);
  EXPECT_EQ(tree_->getSyncdirCopysUuidList().size(), 2u);
}

// As many copies as a sync folder keeps can be named; requests naming new ones again and
// again never make the folder's list longer than that, or no find reply of it would be taken.
TEST_F(GetRequestTest, RequestsNamingNewCopiesNeverGrowTheListPastItsBound) {
  const std::string content = addFile("/f.txt", "0123456789");
  for (int round = 0; round < 5; ++round) {
    pb::MsgGetRequest named = request("/f.txt", 0, 1, false);
    named.add_uuids(tree_->uuid());
    named.add_vclock(1);
    for (int i = 0; i < 300; ++i) {
      named.add_uuids(QoUtils::generateUuid());
      named.add_vclock(0);
    }
    EXPECT_TRUE(get(named)) << "round " << round;
    for (int i = 1; i <= 300; ++i) named.set_vclock(i, 1);
    EXPECT_EQ(getError(named), pb::ErrorCodeVclockMismatch) << "round " << round;
  }
  EXPECT_EQ(tree_->getSyncdirCopysUuidList().size(), 1024u);
}

TEST_F(GetRequestTest, ConcurrentRequestsNamingTheSameUnknownCopiesStoreEachOnceInASlotOfItsOwn) {
  addFile("/f.txt", "0123456789");
  std::vector<std::string> named = {tree_->uuid()};
  testing::internal::CaptureStderr();
  for (int round = 0; round < 4; ++round) {
    const std::string first = QoUtils::generateUuid();
    const std::string second = QoUtils::generateUuid();
    named.insert(named.end(), {first, second});
    // The same two unknown copies, named in the opposite order.
    std::vector<pb::MsgGetRequest> requests;
    for (const auto& order : {std::vector<std::string>{first, second}, std::vector<std::string>{second, first}}) {
      pb::MsgGetRequest get = request("/f.txt", 0, 1);
      for (const std::string& uuid : order) {
        get.add_uuids(uuid);
        get.add_vclock(1);
      }
      requests.push_back(get);
    }
    std::vector<std::future<int>> answers;
    {
      // Held while both requests start, so that each has found the copies unknown before
      // either may store one; the pause only lines them up, the checks below do not wait on it.
      LockerGuard hold(Lockers::transaction());
      for (const auto& get : requests) {
        answers.push_back(
            std::async(std::launch::async, [get] { return call(&QoWorker::handleGetRequest, body(get)).code(); }));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // Counted by the peer, not by this version: kept, and the part refused.
    for (auto& answer : answers) EXPECT_EQ(answer.get(), pb::MsgCodeGetError);
  }
  const std::string log = testing::internal::GetCapturedStderr();

  std::vector<std::string> stored;
  std::vector<int64_t> slots;
  for (const auto& copy : QoSyncdirCopy::getSyncdirCopysWithSyncdirUuid(syncUuid_)) {
    stored.push_back(copy->uuid());
    slots.push_back(copy->vcIndex());
  }
  EXPECT_EQ(sorted(stored), sorted(named));
  std::sort(slots.begin(), slots.end());
  EXPECT_EQ(std::adjacent_find(slots.begin(), slots.end()), slots.end()) << "two copies share a slot";
  // Each copy was stored once: no second insertion was even tried.
  EXPECT_EQ(log.find("Error inserting"), std::string::npos);
}

}  // namespace
}  // namespace velbor::test
