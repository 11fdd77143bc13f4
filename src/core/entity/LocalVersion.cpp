#include "core/entity/LocalVersion.h"

#include "core/entity/QoFile.h"
#include "core/entity/QoFileAndSyncdirCopyRelation.h"

namespace velbor {

LocalVersion LocalVersion::of(const QoFileAndSyncdirCopyRelation* local) {
  LocalVersion version;
  if (!local || !local->file()) return version;
  const QoFile& file = *local->file();
  version.present_ = true;
  version.filePk_ = file.pk();
  version.usn_ = file.usn();
  version.status_ = file.status();
  version.type_ = file.type();
  version.sha1_ = file.sha1();
  version.vclock_ = local->vclock();
  return version;
}

}  // namespace velbor
