#include "core/utils/Vclock.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace velbor {
namespace {

Vclock clock(std::vector<uint64_t> values) { return Vclock(std::move(values)); }

Vclock stored(const std::string& text) { return Vclock(std::optional<std::string>(text)); }

TEST(VclockTest, StoredFormDecodesAndReencodesUnchanged) {
  Vclock absent(std::nullopt);
  EXPECT_EQ(absent.getClockCount(), 0u);
  EXPECT_EQ(absent.encode(), "");

  // Empty text is one empty slot reading 0 and encodes back to empty text.
  Vclock empty = stored("");
  EXPECT_EQ(empty.getClockCount(), 1u);
  EXPECT_EQ(empty.getClockValueAtIndex(0), 0u);
  EXPECT_EQ(empty.encode(), "");

  Vclock odd = stored("007|x||+4|-3| 12");
  EXPECT_EQ(odd.getClockArray(), (std::vector<uint64_t>{7, 0, 0, 4, 0, 12}));
  EXPECT_EQ(odd.description(), "007|x||+4|-3| 12");

  // Not UTF-8: no slots at all.
  EXPECT_EQ(stored("1|\xff|2").getClockCount(), 0u);
  EXPECT_EQ(stored("\xed\xa0\x80").getClockCount(), 0u);  // surrogate
  EXPECT_EQ(stored("1|\xe4\xb8").getClockCount(), 0u);    // cut short
  EXPECT_EQ(stored("\xe4\xb8\xad|2").getClockArray(), (std::vector<uint64_t>{0, 2}));
}

TEST(VclockTest, WritingASlotReplacesOnlyThatSlotsText) {
  Vclock c = stored("007|x|5");
  c.incClockValueAtIndex(2);
  EXPECT_EQ(c.encode(), "007|x|6");
  c.setClockValue(9, 0);
  EXPECT_EQ(c.encode(), "9|x|6");
  c.setClockValue(1, 4);
  EXPECT_EQ(c.encode(), "9|x|6|0|1");

  Vclock fromEmpty = stored("");
  fromEmpty.incClockValueAtIndex(0);
  EXPECT_EQ(fromEmpty.encode(), "1");

  Vclock merged = stored("01|02");
  merged.mergeVclock(clock({1, 3, 4}));
  EXPECT_EQ(merged.encode(), "01|3|4");
}

TEST(VclockTest, CountersAbove32BitsAreReadWholeAndLocalChangesStopAtTheWiresLimit) {
  Vclock big = stored("2147483648|4294967296|18446744073709551615");
  EXPECT_EQ(big.getClockValueAtIndex(0), 2147483648u);
  EXPECT_EQ(big.getClockValueAtIndex(1), 4294967296u);
  EXPECT_EQ(big.getClockValueAtIndex(2), UINT64_MAX);

  // A local change holds a counter at the largest the wire carries instead of passing it.
  Vclock c = clock({2147483646, 2147483648});
  c.incClockValueAtIndex(0);
  EXPECT_EQ(c.encode(), "2147483647|2147483648");
  c.incClockValueAtIndex(0);
  c.incClockValueAtIndex(1);
  EXPECT_EQ(c.encode(), "2147483647|2147483648");

  // Compared as unsigned 64-bit: a huge counter is newer, not negative.
  EXPECT_EQ(stored("4294967296").compareToVclock(clock({4294967295})), VclockCompareAfter);
  EXPECT_EQ(stored("3000000000").compareToVclock(clock({1})), VclockCompareAfter);

  // A number too long for 64 bits is still a large counter, never 0 or wrapped.
  EXPECT_EQ(Vclock::valueOfText("99999999999999999999999"), UINT64_MAX);
}

TEST(VclockTest, ComparisonWalksTheTableAndTails) {
  struct Case {
    std::vector<uint64_t> a, b;
    VclockCompareResult expected;
  };
  const Case cases[] = {
      {{}, {}, VclockCompareEqual},
      {{0, 0}, {}, VclockCompareEqual},
      {{1}, {}, VclockCompareAfter},
      {{}, {0, 2}, VclockCompareBefore},
      {{1, 0}, {0, 1}, VclockCompareConcurrent},
      {{1, 2}, {1, 2, 0}, VclockCompareEqual},
      {{2, 1}, {1, 1, 1}, VclockCompareConcurrent},
      {{1, 1, 1}, {2, 1}, VclockCompareConcurrent},
      {{0, 1}, {1, 1, 0, 0}, VclockCompareBefore},
      {{1, 1, 0, 3}, {1, 1}, VclockCompareAfter},
      {{2, 1, 0, 3}, {1, 1}, VclockCompareAfter},
      {{0, 1, 0}, {1, 1, 5, 2}, VclockCompareBefore},
      {{0, 2, 5}, {1, 1, 5}, VclockCompareConcurrent},
      {{1, 0, 9}, {0, 1, 0}, VclockCompareConcurrent},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(clock(c.a).compareToVclock(clock(c.b)), c.expected)
        << clock(c.a).description() << " vs " << clock(c.b).description();
  }
  // Swapping the operands mirrors before and after.
  for (const auto& c : cases) {
    VclockCompareResult mirrored = c.expected == VclockCompareBefore  ? VclockCompareAfter
                                   : c.expected == VclockCompareAfter ? VclockCompareBefore
                                                                      : c.expected;
    EXPECT_EQ(clock(c.b).compareToVclock(clock(c.a)), mirrored);
  }
}

TEST(VclockTest, MergeTakesSlotwiseMaximumAndGrows) {
  Vclock a = clock({1, 5});
  a.mergeVclock(clock({3, 2, 7}));
  EXPECT_EQ(a.getClockArray(), (std::vector<uint64_t>{3, 5, 7}));

  Vclock b = clock({4, 4});
  b.mergeVclock(clock({1}));
  EXPECT_EQ(b.getClockArray(), (std::vector<uint64_t>{4, 4}));

  Vclock empty;
  empty.mergeVclock(stored("5000000000|1"));
  EXPECT_EQ(empty.encode(), "5000000000|1");
}

TEST(VclockTest, IncrementAndSetExtendWithZeros) {
  Vclock c = clock({4});
  c.incClockValueAtIndex(2);
  EXPECT_EQ(c.getClockArray(), (std::vector<uint64_t>{4, 0, 1}));
  EXPECT_EQ(c.encode(), "4|0|1");
  EXPECT_EQ(c.getClockValueAtIndex(100), 0u);
}

TEST(VclockTest, ReorderingFollowsExpectedUuidList) {
  EXPECT_EQ(Vclock({5, 7, 9}, {"a", "b", "c"}, {"c", "x", "a"}).getClockArray(), (std::vector<uint64_t>{9, 0, 5, 7}));
  EXPECT_EQ(Vclock({5}, {"a", "b"}, {"b"}).getClockArray(), (std::vector<uint64_t>{0, 5}));
  // Counters past the sender's list are dropped; a repeated uuid takes the first match.
  EXPECT_EQ(Vclock({1, 2, 3, 4}, {"a", "a"}, {"a"}).getClockArray(), (std::vector<uint64_t>{1, 2}));
}

}  // namespace
}  // namespace velbor
