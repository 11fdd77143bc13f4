#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "HandlerTestBase.h"
#include "core/utils/QoUtils.h"
#include "framework/persistence/WriteTransaction.h"

namespace velbor::test {
namespace {

class FindRequestTest : public LocalTreeTestBase {
 protected:
  Answer find(int64_t since, int32_t limit, std::string treeUuid = {}, std::string syncUuid = {},
              std::string challenge = {}) {
    pb::MsgFindRequest request;
    request.set_sync_uuid(syncUuid.empty() ? syncUuid_ : syncUuid);
    request.set_tree_uuid(treeUuid.empty() ? tree_->uuid() : treeUuid);
    request.set_since(since);
    request.set_limit(limit);
    if (!challenge.empty()) request.set_challenge(challenge);
    return call(&QoWorker::handleFindRequest, body(request));
  }

  static std::vector<int64_t> usns(const Answer& answer) {
    std::vector<int64_t> usns;
    for (const auto& stat : answer.body<pb::MsgFindResponse>()->stats()) usns.push_back(stat.usn());
    return usns;
  }
};

TEST_F(FindRequestTest, PeerPagesThroughTwentyFiveThousandRecords) {
  {
    WriteTransaction transaction;
    for (int i = 1; i <= 25000; ++i) record(tree_, "/f" + std::to_string(i), i, std::to_string(i));
    transaction.commit();
  }
  int64_t since = 0;
  std::vector<size_t> pageSizes;
  int64_t expected = 1;
  while (true) {
    const Answer page = find(since, 10000);
    ASSERT_EQ(page.code(), pb::MsgCodeFindResponse) << page.errstr;
    const auto response = page.body<pb::MsgFindResponse>();
    ASSERT_EQ(response->uuids_size(), 1);
    if (response->stats_size() == 0) break;
    pageSizes.push_back(static_cast<size_t>(response->stats_size()));
    for (const auto& stat : response->stats()) {
      ASSERT_EQ(stat.usn(), expected);
      ASSERT_EQ(stat.path(), "/f" + std::to_string(expected));
      ASSERT_EQ(stat.vclock_size(), 1);
      ASSERT_EQ(stat.vclock(0), expected);
      ++expected;
    }
    since = response->stats(response->stats_size() - 1).usn();
  }
  EXPECT_EQ(pageSizes, (std::vector<size_t>{10000, 10000, 5000}));

  // A page never holds more than 10000 records, whatever the peer asks.
  EXPECT_EQ(usns(find(0, 50000)).size(), 10000u);
  EXPECT_EQ(usns(find(0, -1)).size(), 10000u);
  EXPECT_EQ(usns(find(24990, -1)).size(), 10u);
}

TEST_F(FindRequestTest, PageBoundsAndTheUuidList) {
  // Removed and placeholder copies keep their slots in the list.
  const auto removed = makeCopy(dir_.str() + "-gone", nullptr, syncUuid_);
  const auto placeholder = makeCopy("reserve-ABCDEF", nullptr, syncUuid_);
  makeCopy(dir_.str() + "-other", local_, QoUtils::generateUuid());
  for (int usn = 5; usn <= 8; ++usn) record(tree_, "/f" + std::to_string(usn), usn, "1|2");
  record(tree_, "/d", 9, "4", 0, 1);

  const Answer all = find(0, 100);
  const auto response = all.body<pb::MsgFindResponse>();
  ASSERT_TRUE(response);
  EXPECT_EQ(std::vector<std::string>(response->uuids().begin(), response->uuids().end()),
            (std::vector<std::string>{tree_->uuid(), removed->uuid(), placeholder->uuid()}));
  // A clock may hold fewer counters than the list has uuids.
  EXPECT_EQ(response->stats(4).vclock_size(), 1);
  EXPECT_FALSE(response->stats(4).has_unix_attr());
  EXPECT_EQ(response->stats(4).type(), pb::FileTypeDirectory);

  // A page carries its request's challenge back, and none when asked without one.
  EXPECT_FALSE(response->has_challenge());
  EXPECT_EQ(find(0, 100, {}, {}, "this request").body<pb::MsgFindResponse>()->challenge(), "this request");

  EXPECT_EQ(usns(find(9, 100)), std::vector<int64_t>{});
  EXPECT_EQ(find(9, 100).body<pb::MsgFindResponse>()->uuids_size(), 3);
  EXPECT_EQ(usns(find(5, 100)), (std::vector<int64_t>{6, 7, 8, 9}));
  EXPECT_EQ(usns(find(0, 1)), std::vector<int64_t>{5});
  EXPECT_EQ(usns(find(0, 0)), std::vector<int64_t>{});
  EXPECT_EQ(find(0, 1, QoUtils::generateUuid().replace(0, 8, "ABCDEF01")).errcode, pb::ErrorCodeNoent);

  std::string upper = tree_->uuid();
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(find(0, 1, upper).errcode, pb::ErrorCodeNoent) << "upper case passes the form test, names no copy";
}

TEST_F(FindRequestTest, RefusedRequests) {
  const auto remote = remoteDevice("peer");
  const auto remoteTree = makeCopy("/elsewhere", remote, syncUuid_);
  record(remoteTree, "/secret", 1, "1");
  std::string otherCase = syncUuid_;
  for (char& c : otherCase) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

  struct Case {
    const char* what;
    std::string treeUuid;
    std::string syncUuid;
    int errcode;
    std::string errstr;
  };
  const std::vector<Case> cases = {
      {"malformed tree uuid", "not-a-uuid", syncUuid_, pb::ErrorCodeBadUuid, "QoExceptionZeBadUuid: "},
      {"malformed sync uuid", tree_->uuid(), "1234", pb::ErrorCodeBadUuid, "QoExceptionZeBadUuid: "},
      {"unknown tree", QoUtils::generateUuid(), syncUuid_, pb::ErrorCodeNoent,
       "QoExceptionZeNoent: Syncdir/SyncdirCopy is not exist"},
      {"tree of another device", remoteTree->uuid(), syncUuid_, pb::ErrorCodeNoent,
       "QoExceptionZeNoent: Syncdir/SyncdirCopy is not exist"},
      {"sync uuid in another case", tree_->uuid(), otherCase, pb::ErrorCodeSyncdirMismatch,
       "QoExceptionZeSyncdirMismatch: "},
  };
  for (const Case& c : cases) {
    const Answer answer = find(0, 10, c.treeUuid, c.syncUuid);
    EXPECT_EQ(answer.errcode, c.errcode) << c.what;
    EXPECT_EQ(answer.errstr, c.errstr) << c.what;
  }
}

TEST_F(FindRequestTest, PathsThatAreNotUtf8AreLeftOutAndThePageIsFilledBehindThem) {
  record(tree_, "/a", 1, "1");
  record(tree_, "/bad\xff", 2, "1");
  record(tree_, "/bad\xc0\xaf", 3, "1");
  record(tree_, "/b", 4, "1");
  record(tree_, "/c", 5, "1");
  record(tree_, "/bad\xfe", 6, "1");

  EXPECT_EQ(usns(find(0, 2)), (std::vector<int64_t>{1, 4}));
  EXPECT_EQ(usns(find(4, 2)), std::vector<int64_t>{5});
  EXPECT_EQ(usns(find(5, 2)), std::vector<int64_t>{});
}

// One record whose counter the wire cannot carry is left out, never wrapped, and the rest
// of the page is served as for a path that is not UTF-8.
TEST_F(FindRequestTest, CounterBeyondTheWireLeavesOnlyItsRecordOut) {
  record(tree_, "/big", 1, "2147483647|1");
  record(tree_, "/bigger", 2, "2147483648|1");
  record(tree_, "/after", 3, "1");
  const Answer page = find(0, 2);
  ASSERT_EQ(page.code(), pb::MsgCodeFindResponse) << page.errstr;
  EXPECT_EQ(usns(page), (std::vector<int64_t>{1, 3}));
  EXPECT_EQ(page.body<pb::MsgFindResponse>()->stats(0).vclock(0), 2147483647);
  EXPECT_EQ(usns(find(1, 10)), std::vector<int64_t>{3});
}

// A removal is written as the file row (status, usn) and then the relation row (raised clock),
// in a transaction the monitor commits only after its whole batch. A page read meanwhile must
// not show the new usn with the old clock: the peer would take that as a concurrent change.
TEST_F(FindRequestTest, PageIsReadOnlyBetweenWrites) {
  const auto relation = record(tree_, "/f", 1, "1");
  std::future<Answer> page;
  {
    WriteTransaction transaction;
    relation->file()->setStatus(1);
    relation->file()->setUsnAuto();
    relation->file()->save();
    page = std::async(std::launch::async, [this] { return find(0, 10); });
    // The writer keeps going whether or not the page was read meanwhile; the pause only gives
    // a reader that does not wait the time to read the half-written record.
    page.wait_for(std::chrono::milliseconds(500));
    relation->setVclockInc();
    relation->save();
    transaction.commit();
  }
  const Answer answer = page.get();
  ASSERT_EQ(answer.code(), pb::MsgCodeFindResponse) << answer.errstr;
  const auto response = answer.body<pb::MsgFindResponse>();
  ASSERT_EQ(response->stats_size(), 1);
  EXPECT_EQ(response->stats(0).status(), pb::FileStatusRemoved);
  ASSERT_EQ(response->stats(0).vclock_size(), 1);
  EXPECT_EQ(response->stats(0).vclock(0), 2);
}

}  // namespace
}  // namespace velbor::test
