#include "core/state/QoPeer.h"

#include <chrono>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/entity/QoDevice.h"
#include "core/entity/QoFile.h"
#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/entity/QoSyncdirCopyRelation.h"
#include "core/utils/Vclock.h"
#include "framework/errors/QoException.h"
#include "proto/VelborProto.pb.h"

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
  for (auto [qo, pb] : Pairs{{1, 1}, {2, 0}, {3, 0}, {9, 0}})
    EXPECT_EQ(QoPeer::convertFileTypeFromQoToPb(qo), pb) << qo;
  // Inverted: wire 1 present / 0 removed, local 0 present / 1 removed.
  for (auto [pb, qo] : Pairs{{0, 1}, {1, 0}, {7, 0}}) EXPECT_EQ(QoPeer::convertFileStatusFromPbToQo(pb), qo) << pb;
  for (auto [qo, pb] : Pairs{{1, 0}, {0, 1}, {5, 1}}) EXPECT_EQ(QoPeer::convertFileStatusFromQoToPb(qo), pb) << qo;

  EXPECT_EQ(QoPeer::getPbTypeString(0), "f");
  EXPECT_EQ(QoPeer::getPbTypeString(1), "d");
  EXPECT_EQ(QoPeer::getPbStatusString(1), "o");
  EXPECT_EQ(QoPeer::getPbStatusString(0), "r");
}

std::shared_ptr<QoSyncdirCopy> copyAt(const std::string& path, const std::string& uuid) {
  auto copy = std::make_shared<QoSyncdirCopy>();
  copy->setPath(path);
  copy->setUuid(uuid);
  return copy;
}

TEST(QoPeerTest, FileRecordToStatAndBack) {
  auto file = std::make_shared<QoFile>();
  file->setPath("/root/dir/a.txt");
  file->setType(0);
  file->setStatus(1);
  file->setLength(12);
  file->setContentModTime(1500);
  file->setSha1("abc");
  file->setUsn(7);
  file->setUnixAttr(0100644);
  file->setWinAttr(-1);
  file->setAndroidAttr(5);
  auto record = std::make_shared<QoFileAndSyncdirCopyRelation>();
  record->setSyncdirCopy(copyAt("/root", "a"));
  record->setFile(file);
  record->setVclock("3|0|2");

  const auto stat = QoPeer::convertToPbStatFromQoFileRelation(record);
  ASSERT_TRUE(stat);
  EXPECT_EQ(stat->path(), "/dir/a.txt");
  EXPECT_EQ(stat->status(), pb::FileStatusRemoved);
  EXPECT_EQ(std::vector<int32_t>(stat->vclock().begin(), stat->vclock().end()), (std::vector<int32_t>{3, 0, 2}));
  EXPECT_EQ(stat->mtime(), 1500);
  EXPECT_FALSE(stat->has_modifier());
  EXPECT_FALSE(stat->has_win_attr());
  EXPECT_EQ(stat->android_attr(), 5);

  const auto back = QoPeer::convertToQoFileFromPbStat(stat.get(), 3);
  EXPECT_EQ(back->unixAttr(), 0644) << "file-type bits above 0777 are dropped";
  EXPECT_EQ(back->status(), 1);
  EXPECT_EQ(back->winAttr(), -1);
  EXPECT_EQ(back->androidAttr(), 5);

  // Without permission bits: 0644 for a file, 0755 for a directory (which sends none).
  file->setType(1);
  const auto dirStat = QoPeer::convertToPbStatFromQoFileRelation(record);
  EXPECT_FALSE(dirStat->has_unix_attr());
  EXPECT_EQ(QoPeer::convertToQoFileFromPbStat(dirStat.get(), 3)->unixAttr(), 0755);
  dirStat->set_type(pb::FileTypeFile);
  EXPECT_EQ(QoPeer::convertToQoFileFromPbStat(dirStat.get(), 3)->unixAttr(), 0644);
  EXPECT_FALSE(QoPeer::convertToQoFileFromPbStat(nullptr, 3));

  record->setFile(nullptr);
  EXPECT_FALSE(QoPeer::convertToPbStatFromQoFileRelation(record));
  EXPECT_THROW(QoPeer::convertToPbStatFromQoFileRelation(nullptr), Exception);
}

TEST(QoPeerTest, VclockCountersCrossTheWireOnlyWhenTheyFit) {
  EXPECT_EQ(QoPeer::convertVclockFromQoToPb(Vclock(std::vector<uint64_t>{0, 2147483647})),
            (std::vector<int32_t>{0, 2147483647}));
  try {
    QoPeer::convertVclockFromQoToPb(Vclock(std::vector<uint64_t>{1, 2147483648ULL}));
    ADD_FAILURE() << "a counter beyond int32 was wrapped";
  } catch (const QoException& e) {
    EXPECT_EQ(e.getCode(), 1);
  }
  google::protobuf::RepeatedField<int32_t> wire;
  wire.Add(4);
  wire.Add(0);
  EXPECT_EQ(QoPeer::convertVclockFromPbToQo(wire), (std::vector<uint64_t>{4, 0}));
  wire.Add(-1);
  try {
    QoPeer::convertVclockFromPbToQo(wire);
    ADD_FAILURE() << "a negative counter was accepted";
  } catch (const QoException& e) {
    EXPECT_EQ(e.getCode(), 4);
  }
  // A counter near the wire's limit leaves no room for local changes: refused as well.
  wire.Set(2, 1 << 30);
  EXPECT_EQ(QoPeer::convertVclockFromPbToQo(wire), (std::vector<uint64_t>{4, 0, 1 << 30}));
  wire.Set(2, (1 << 30) + 1);
  EXPECT_THROW(QoPeer::convertVclockFromPbToQo(wire), QoException);
  wire.Set(2, 2147483647);
  EXPECT_THROW(QoPeer::convertVclockFromPbToQo(wire), QoException);
}

TEST(QoPeerTest, PeerStatBecomesARecordOfTheLocalCopy) {
  auto remoteDevice = std::make_shared<QoDevice>();
  remoteDevice->setType(1);
  remoteDevice->setUuid("remote-device");
  remoteDevice->setName("peer");
  auto localDevice = std::make_shared<QoDevice>();
  localDevice->setName("me");
  auto local = copyAt("/home/me/sync", "L");
  local->setDevice(localDevice);
  auto remote = copyAt("/srv/sync", "R");
  remote->setDevice(remoteDevice);
  auto pairing = std::make_shared<QoSyncdirCopyRelation>();
  pairing->setFirstSyncdirCopy(local);
  pairing->setSecondSyncdirCopy(remote);

  pb::Stat stat;
  stat.set_path("/docs/a.txt");
  stat.set_type(pb::FileTypeFile);
  stat.set_status(pb::FileStatusPresent);
  stat.add_vclock(5);  // slot of R
  stat.add_vclock(9);  // slot of X, a copy unknown here
  stat.add_vclock(2);  // slot of L
  const auto record = QoPeer::convertToFileRelationFromPbStat(&stat, pairing, {"L", "R"}, {"R", "X", "L"});
  EXPECT_EQ(record->syncdirCopy(), local);
  EXPECT_EQ(record->file()->path(), "/home/me/sync/docs/a.txt");
  EXPECT_EQ(record->vclock(), "2|5|9");

  stat.set_path("/docs/../../escape");
  EXPECT_THROW(QoPeer::convertToFileRelationFromPbStat(&stat, pairing, {"L"}, {"R"}), QoException);
  stat.set_path("/ok");
  stat.set_vclock(0, -3);
  EXPECT_THROW(QoPeer::convertToFileRelationFromPbStat(&stat, pairing, {"L"}, {"R"}), QoException);

  const pb::SyncInfo info = QoPeer::convertSyncInfoFromQoToPb(pairing);
  EXPECT_EQ(info.local_tree_uuid(), "L");
  EXPECT_EQ(info.remote_tree_uuid(), "R");
  EXPECT_EQ(info.remote_device_uuid(), "remote-device");
  EXPECT_EQ(info.remote_tree_root(), "/srv/sync");
  EXPECT_EQ(info.remote_device_name(), "peer");
  EXPECT_EQ(info.creator(), "me");
  remote->setDevice(nullptr);
  EXPECT_THROW(QoPeer::convertSyncInfoFromQoToPb(pairing), Exception);
}

TEST(QoPeerTest, BoolsAndIcons) {
  EXPECT_EQ(QoPeer::convertBoolFromQoToPb(true), 1);
  EXPECT_EQ(QoPeer::convertBoolFromQoToPb(false), 0);
  EXPECT_TRUE(QoPeer::convertBoolFromPbToQo(1));
  EXPECT_FALSE(QoPeer::convertBoolFromPbToQo(2));
  const std::vector<std::string> icons = {"windows2", "linux",    "android1", "computer",
                                          "android1", "android1", "computer"};
  for (int type = 0; type <= 6; ++type) EXPECT_EQ(QoPeer::getDeviceIconNameByType(type), icons[type]) << type;
}

}  // namespace
}  // namespace velbor
