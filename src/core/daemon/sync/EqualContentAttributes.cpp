#include "core/daemon/sync/EqualContentAttributes.h"

#include "core/entity/QoFile.h"

namespace velbor {

void EqualContentAttributes::settle(QoFile& remote, const QoFile& local, bool remoteSortsLast) {
  const bool localTimeLater = local.contentModTime() > remote.contentModTime();
  const bool attributesOfLocal = local.contentModTime() == remote.contentModTime() ? !remoteSortsLast : !localTimeLater;
  if (localTimeLater) remote.setContentModTime(local.contentModTime());
  if (!attributesOfLocal) return;
  remote.setUnixAttr(local.unixAttr());
  remote.setWinAttr(local.winAttr());
  remote.setAndroidAttr(local.androidAttr());
}

}  // namespace velbor
