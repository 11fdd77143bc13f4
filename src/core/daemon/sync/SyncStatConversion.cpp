#include "core/daemon/sync/SyncStatConversion.h"

#include <cstdint>

#include "core/daemon/QoPeer.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoFile.h"
#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/entity/QoSyncdirCopyRelation.h"
#include "core/utils/QoUtils.h"
#include "core/utils/Vclock.h"

namespace velbor {
namespace {

constexpr int32_t kAbsentAttribute = static_cast<int32_t>(0xFFFFFFFF);

}  // namespace

std::shared_ptr<QoFile> SyncStatConversion::convertToQoFileFromPbStat(const pb::Stat& stat, int /*deviceType*/) {
  auto file = std::make_shared<QoFile>();
  file->setPath(stat.path());
  file->setType(QoPeer::convertFileTypeFromPbToQo(stat.type()));
  file->setStatus(QoPeer::convertFileStatusFromPbToQo(stat.status()));
  file->setLength(stat.length());
  file->setSha1(stat.sha1());
  file->setContentModTime(stat.mtime());
  file->setUsn(stat.usn());
  if (stat.has_unix_attr()) {
    file->setUnixAttr(stat.unix_attr() & 0777);
  } else {
    QoAssert(file->type() == 0 || file->type() == 1, "Unkown type({})", file->type());
    file->setUnixAttr(file->type() == 0 ? 0644 : 0755);
  }
  file->setWinAttr(stat.has_win_attr() ? stat.win_attr() : kAbsentAttribute);
  file->setAndroidAttr(stat.has_android_attr() ? stat.android_attr() : kAbsentAttribute);
  return file;
}

std::shared_ptr<QoFileAndSyncdirCopyRelation> SyncStatConversion::convertToFileRelationFromPbStat(
    const pb::Stat& stat, const std::shared_ptr<QoSyncdirCopyRelation>& syncdirCopyRelation,
    const std::vector<std::string>& localUuidList, const std::vector<std::string>& remoteUuidList) {
  QoAssert(syncdirCopyRelation && syncdirCopyRelation->firstSyncdirCopy() && syncdirCopyRelation->secondSyncdirCopy(),
           "parameters can not be nil");
  const auto& remoteDevice = syncdirCopyRelation->secondSyncdirCopy()->device();
  auto relation = std::make_shared<QoFileAndSyncdirCopyRelation>();
  relation->setSyncdirCopy(syncdirCopyRelation->firstSyncdirCopy());
  relation->setFile(convertToQoFileFromPbStat(stat, remoteDevice ? remoteDevice->type() : 6));
  relation->converFileRelativePathToAbsolutePath();
  // Counters travel as int32: read them back as the unsigned values they were sent from.
  std::vector<uint64_t> counters;
  counters.reserve(static_cast<size_t>(stat.vclock_size()));
  for (const int32_t counter : stat.vclock()) counters.push_back(static_cast<uint32_t>(counter));
  relation->setVclock(Vclock(counters, remoteUuidList, localUuidList).encode());
  return relation;
}

}  // namespace velbor
