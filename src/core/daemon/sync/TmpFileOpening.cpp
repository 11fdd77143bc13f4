#include "core/daemon/sync/TmpFileOpening.h"

#include <sys/stat.h>

#include <utility>

#include "core/entity/CopyItemFolder.h"
#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/entity/TmpFileName.h"
#include "core/entity/TmpFileStream.h"
#include "platform/QoLog.h"

namespace velbor {

TmpFileOpening::TmpFileOpening(int32_t transferId, std::string copyRoot, std::shared_ptr<const TmpFileName> tmpName)
    : transferId_(transferId), copyRoot_(std::move(copyRoot)), tmpName_(std::move(tmpName)) {}

TmpFileOpening::~TmpFileOpening() {
  if (!handle_) return;
  handle_->close();
  try {
    const CopyItemFolder folder(copyRoot_, tmpName_->path());
    const auto item = folder.status(folder.name());
    if (item && S_ISREG(item->st_mode)) folder.removeItem(folder.name());
  } catch (const std::exception& e) {
    QoLog("Delete tmp({}) failed, {}", tmpName_->path(), e.what());
  }
}

void TmpFileOpening::run() { handle_ = QoFileAndSyncdirCopyRelation::openTmpFile(copyRoot_, tmpName_->path()); }

std::shared_ptr<TmpFileStream> TmpFileOpening::take() { return std::exchange(handle_, nullptr); }

}  // namespace velbor
