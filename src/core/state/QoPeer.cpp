#include "core/state/QoPeer.h"

#include <algorithm>
#include <limits>

#include "core/entity/FileTimes.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoFile.h"
#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/entity/QoSyncdirCopyRelation.h"
#include "core/utils/QoUtils.h"
#include "core/utils/Vclock.h"
#include "framework/errors/QoExceptionProto.h"
#include "proto/VelborProto.pb.h"

namespace velbor {

int64_t QoPeer::nsdateToMacOSTime(Date date) {
  // duration_cast truncates toward zero, also before 1970.
  return std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
}

QoPeer::Date QoPeer::macOSTimeToNsDate(int64_t milliseconds) {
  // A peer's time may lie beyond what the clock's ticks can hold: clamp rather than overflow.
  using Limit = std::chrono::duration<int64_t, std::milli>;
  const auto maxMs = std::chrono::duration_cast<Limit>(Date::duration::max()).count();
  const auto minMs = std::chrono::duration_cast<Limit>(Date::duration::min()).count();
  milliseconds = std::clamp<int64_t>(milliseconds, minMs, maxMs);
  return Date(std::chrono::duration_cast<Date::duration>(std::chrono::milliseconds(milliseconds)));
}

bool QoPeer::compareFileContentModTime1(int64_t time1, int64_t time2) { return isSameModTimeSecond(time1, time2); }

int QoPeer::convertEncryptLevelFromPbToQo(int level) { return level; }

int QoPeer::convertEncryptLevelFromQoToPb(int level) { return level; }

int QoPeer::convertDeviceTypeFromPbToQo(int type) {
  if (type == 2) return 3;
  if (type == 3) return 2;
  if (type < 0 || type > 5) return 6;
  return type;
}

int QoPeer::convertDeviceTypeFromQoToPb(int type) {
  if (type == 2) return 3;
  if (type == 3) return 2;
  if (type < 0 || type > 5) return 0;
  return type;
}

int QoPeer::convertFileTypeFromPbToQo(int type) { return type == 0 || type == 1 ? type : 3; }

int QoPeer::convertFileTypeFromQoToPb(int type) { return type == 1 ? 1 : 0; }

int QoPeer::convertFileStatusFromPbToQo(int status) { return status == 0 ? 1 : 0; }

int QoPeer::convertFileStatusFromQoToPb(int status) { return status == 1 ? 0 : 1; }

int QoPeer::convertDeviceStatusFromQoToPb(int status) { return status; }

int QoPeer::convertDeviceStatusFromPbToQo(int status) { return status; }

int QoPeer::convertBoolFromQoToPb(bool value) { return value ? pb::PbBoolTrue : pb::PbBoolFalse; }

bool QoPeer::convertBoolFromPbToQo(int value) { return value == pb::PbBoolTrue; }

std::vector<int32_t> QoPeer::convertVclockFromQoToPb(const Vclock& clock) {
  std::vector<int32_t> counters;
  counters.reserve(clock.getClockArray().size());
  for (uint64_t counter : clock.getClockArray()) {
    if (counter > Vclock::kWireCounterLimit) {
      throw QoExceptionZeGeneral::defaultExceptionWithReason("vclock counter ({}) does not fit the wire", counter);
    }
    counters.push_back(static_cast<int32_t>(counter));
  }
  return counters;
}

std::vector<uint64_t> QoPeer::convertVclockFromPbToQo(const google::protobuf::RepeatedField<int32_t>& counters) {
  std::vector<uint64_t> clock;
  clock.reserve(static_cast<size_t>(counters.size()));
  for (int32_t counter : counters) {
    if (counter < 0) throw QoExceptionZeBadFormat::defaultExceptionWithReason("negative vclock counter ({})", counter);
    // So near the wire's limit that local changes could pass it: no honest count gets there.
    if (static_cast<uint64_t>(counter) > Vclock::kPeerCounterLimit) {
      throw QoExceptionZeBadFormat::defaultExceptionWithReason("vclock counter ({}) above ({})", counter,
                                                               Vclock::kPeerCounterLimit);
    }
    clock.push_back(static_cast<uint64_t>(counter));
  }
  return clock;
}

std::shared_ptr<pb::Stat> QoPeer::convertToPbStatFromQoFileRelation(
    const std::shared_ptr<QoFileAndSyncdirCopyRelation>& relation) {
  QoAssert(relation != nullptr, "file relation can not be nil");
  const std::shared_ptr<QoFile>& file = relation->file();
  if (!file) return nullptr;
  auto stat = std::make_shared<pb::Stat>();
  stat->set_path(relation->getRelativeFilePath());
  stat->set_type(static_cast<pb::FileType>(convertFileTypeFromQoToPb(file->type())));
  stat->set_status(static_cast<pb::FileStatus>(convertFileStatusFromQoToPb(file->status())));
  for (int32_t counter : convertVclockFromQoToPb(relation->getVclockObject())) stat->add_vclock(counter);
  stat->set_length(file->length());
  stat->set_mtime(file->contentModTime());
  stat->set_sha1(file->sha1());
  stat->set_usn(file->usn());
  if (file->type() != 1) stat->set_unix_attr(file->unixAttr());
  // -1 is the stored 0xFFFFFFFF: the attribute is absent.
  if (file->winAttr() != -1) stat->set_win_attr(file->winAttr());
  if (file->androidAttr() != -1) stat->set_android_attr(file->androidAttr());
  return stat;
}

std::shared_ptr<QoFile> QoPeer::convertToQoFileFromPbStat(const pb::Stat* stat, int /*deviceType*/) {
  if (stat == nullptr) return nullptr;
  auto file = std::make_shared<QoFile>();
  file->setPath(stat->path());
  file->setType(convertFileTypeFromPbToQo(stat->type()));
  file->setStatus(convertFileStatusFromPbToQo(stat->status()));
  file->setLength(stat->length());
  file->setSha1(stat->sha1());
  file->setContentModTime(stat->mtime());
  file->setUsn(stat->usn());
  if (stat->has_unix_attr()) {
    file->setUnixAttr(stat->unix_attr() & 0777);
  } else {
    QoAssert(file->type() == 0 || file->type() == 1, "Unkown type({})", file->type());
    file->setUnixAttr(file->type() == 0 ? 0644 : 0755);
  }
  file->setWinAttr(stat->has_win_attr() ? stat->win_attr() : -1);
  file->setAndroidAttr(stat->has_android_attr() ? stat->android_attr() : -1);
  return file;
}

std::shared_ptr<QoFileAndSyncdirCopyRelation> QoPeer::convertToFileRelationFromPbStat(
    const pb::Stat* stat, const std::shared_ptr<QoSyncdirCopyRelation>& relation,
    const std::vector<std::string>& localUuidList, const std::vector<std::string>& remoteUuidList) {
  QoAssert(stat != nullptr && relation != nullptr, "parameters can not be nil");
  const auto& remoteCopy = relation->secondSyncdirCopy();
  const int deviceType = remoteCopy && remoteCopy->device() ? remoteCopy->device()->type() : 6;
  auto record = std::make_shared<QoFileAndSyncdirCopyRelation>();
  record->setSyncdirCopy(relation->firstSyncdirCopy());
  record->setFile(convertToQoFileFromPbStat(stat, deviceType));
  record->converFileRelativePathToAbsolutePath();
  const Vclock clock(convertVclockFromPbToQo(stat->vclock()), remoteUuidList, localUuidList);
  record->setVclock(clock.encode());
  return record;
}

pb::SyncInfo QoPeer::convertSyncInfoFromQoToPb(const std::shared_ptr<QoSyncdirCopyRelation>& relation) {
  QoAssert(relation != nullptr, "sync relation can not be nil");
  const auto& local = relation->firstSyncdirCopy();
  const auto& remote = relation->secondSyncdirCopy();
  QoAssert(local != nullptr, "local syncdir copy can not be nil");
  QoAssert(remote != nullptr, "remote syncdir copy can not be nil");
  QoAssert(remote->device() != nullptr, "remote device can not be nil");
  pb::SyncInfo info;
  info.set_local_tree_uuid(local->uuid());
  info.set_remote_tree_uuid(remote->uuid());
  info.set_remote_device_uuid(remote->device()->uuid());
  info.set_remote_tree_root(remote->path());
  info.set_remote_device_name(remote->device()->name());
  info.set_creator(local->device() ? local->device()->name() : std::string());
  return info;
}

std::string QoPeer::getPbTypeString(int pbType) { return QoFile::getTypeString(convertFileTypeFromPbToQo(pbType)); }

std::string QoPeer::getPbStatusString(int pbStatus) {
  return QoFile::getStatusString(convertFileStatusFromPbToQo(pbStatus));
}

std::string QoPeer::getDeviceIconNameByType(int type) {
  switch (type) {
    case 0:
      return "windows2";
    case 1:
      return "linux";
    case 2:
    case 4:
    case 5:
      return "android1";
    default:
      // The freedesktop icon theme's name for a computer.
      return "computer";
  }
}

}  // namespace velbor
