#include "core/state/CopyEventNotices.h"

#include "core/state/QoNotices.h"
#include "core/state/SyncFileProcessBox.h"

namespace velbor {

void CopyEventNotices::indexPrepare(const std::shared_ptr<QoSyncdirCopy>& copy) {
  SyncFileProcessBox::sendSyncFileIndexPrepare(copy);
}

void CopyEventNotices::indexBegin(const std::shared_ptr<QoSyncdirCopy>& copy, int64_t total) {
  SyncFileProcessBox::sendSyncFileIndexBegin(copy, total);
}

void CopyEventNotices::indexing(const std::shared_ptr<QoSyncdirCopy>& copy, const std::string& path) {
  SyncFileProcessBox::sendSyncFileIndexing(copy, path);
}

void CopyEventNotices::indexEnd(const std::shared_ptr<QoSyncdirCopy>& copy) {
  SyncFileProcessBox::sendSyncFileIndexEnd(copy);
}

void CopyEventNotices::fileChanged(const std::shared_ptr<QoSyncdirCopy>& copy) {
  QoNotices::post(notice::FileChanged{copy});
}

}  // namespace velbor
