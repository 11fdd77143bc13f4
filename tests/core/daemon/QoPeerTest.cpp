#include "core/daemon/QoPeer.h"

#include <chrono>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace velbor {
namespace {

using namespace std::chrono;

TEST(QoPeerTest, TimesTruncateTowardZeroAndCompareByWholeSecond) {
  QoPeer::Date date{duration_cast<system_clock::duration>(microseconds(1'500'999'999))};
  EXPECT_EQ(QoPeer::nsdateToMacOSTime(date), 1'500'999);
  QoPeer::Date beforeEpoch{duration_cast<system_clock::duration>(microseconds(-1'999))};
  EXPECT_EQ(QoPeer::nsdateToMacOSTime(beforeEpoch), -1);

  EXPECT_EQ(QoPeer::nsdateToMacOSTime(QoPeer::macOSTimeToNsDate(1'700'000'123'456)), 1'700'000'123'456);
  // A peer's absurd time is clamped, not overflowed.
  EXPECT_GT(QoPeer::macOSTimeToNsDate(INT64_MAX), QoPeer::macOSTimeToNsDate(1'700'000'000'000));

  EXPECT_TRUE(QoPeer::compareFileContentModTime1(1000, 1999));
  EXPECT_FALSE(QoPeer::compareFileContentModTime1(1999, 2000));
  // Truncation toward zero puts -999..999 in one second.
  EXPECT_TRUE(QoPeer::compareFileContentModTime1(-999, 999));
  EXPECT_FALSE(QoPeer::compareFileContentModTime1(-1000, 0));
}

TEST(QoPeerTest, DeviceTypeSwapsAndroidAndMacOS) {
  const int pbToQo[] = {0, 1, 3, 2, 4, 5};
  for (int pb = 0; pb <= 5; ++pb) {
    EXPECT_EQ(QoPeer::convertDeviceTypeFromPbToQo(pb), pbToQo[pb]);
    EXPECT_EQ(QoPeer::convertDeviceTypeFromQoToPb(QoPeer::convertDeviceTypeFromPbToQo(pb)), pb);
  }
  EXPECT_EQ(QoPeer::convertDeviceTypeFromPbToQo(6), 6);
  EXPECT_EQ(QoPeer::convertDeviceTypeFromPbToQo(-1), 6);
  EXPECT_EQ(QoPeer::convertDeviceTypeFromQoToPb(6), 0);
  EXPECT_EQ(QoPeer::convertDeviceTypeFromQoToPb(-1), 0);
}

TEST(QoPeerTest, FileTypeAndStatusNumbering) {
  using Pairs = std::vector<std::pair<int, int>>;  // {from, to}
  for (auto [pb, qo] : Pairs{{0, 0}, {1, 1}, {2, 3}}) EXPECT_EQ(QoPeer::convertFileTypeFromPbToQo(pb), qo) << pb;
  for (auto [qo, pb] : Pairs{{1, 1}, {2, 0}, {3, 0}, {9, 0}}) EXPECT_EQ(QoPeer::convertFileTypeFromQoToPb(qo), pb) << qo;
  // Inverted: wire 1 present / 0 removed, local 0 present / 1 removed.
  for (auto [pb, qo] : Pairs{{0, 1}, {1, 0}, {7, 0}}) EXPECT_EQ(QoPeer::convertFileStatusFromPbToQo(pb), qo) << pb;
  for (auto [qo, pb] : Pairs{{1, 0}, {0, 1}, {5, 1}}) EXPECT_EQ(QoPeer::convertFileStatusFromQoToPb(qo), pb) << qo;

  EXPECT_EQ(QoPeer::getPbTypeString(0), "f");
  EXPECT_EQ(QoPeer::getPbTypeString(1), "d");
  EXPECT_EQ(QoPeer::getPbStatusString(1), "o");
  EXPECT_EQ(QoPeer::getPbStatusString(0), "r");
}

}  // namespace
}  // namespace velbor
