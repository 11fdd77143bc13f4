#include "core/daemon/sync/TmpFileOpening.h"

#include <utility>

#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/entity/TmpFileName.h"
#include "core/entity/TmpFileStream.h"

namespace velbor {

TmpFileOpening::TmpFileOpening(int32_t transferId, std::string copyRoot, std::shared_ptr<const TmpFileName> tmpName)
    : transferId_(transferId), copyRoot_(std::move(copyRoot)), tmpName_(std::move(tmpName)) {}

TmpFileOpening::~TmpFileOpening() {
  if (!handle_) return;
  handle_->close();
  QoFileAndSyncdirCopyRelation::removeTmpFile(copyRoot_, tmpName_->path(), handle_->place());
}

void TmpFileOpening::run() { handle_ = QoFileAndSyncdirCopyRelation::openTmpFile(copyRoot_, tmpName_->path()); }

std::shared_ptr<TmpFileStream> TmpFileOpening::take() { return std::exchange(handle_, nullptr); }

}  // namespace velbor
