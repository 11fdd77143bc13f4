#include "ui/TreeProgress.h"

#include <QFileInfo>

#include <chrono>
#include <cmath>

#include "core/entity/QoDevice.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/entity/QoSyncdirCopyRelation.h"
#include "core/utils/QoUtils.h"

namespace velbor {

namespace {

QString lastComponent(const std::string& path) { return QFileInfo(QString::fromStdString(path)).fileName(); }

std::string relationHashOf(const SyncFileProcessBox& notice) {
  return notice.relation ? notice.relation->relationHash() : std::string();
}

}  // namespace

std::optional<TreeProgress::Summary> TreeProgress::apply(const SyncFileProcessBox& notice, double now) {
  std::lock_guard lock(mutex_);
  if (notice.status >= SyncFileIndexPrepare && notice.status <= SyncFileIndexEnd) return applyIndex(notice);
  if (notice.status >= SyncFileDownloadBegin && notice.status <= SyncFileDownloadEnd) {
    return applyTransfer(notice, now);
  }
  return std::nullopt;
}

std::optional<TreeProgress::Summary> TreeProgress::applyIndex(const SyncFileProcessBox& notice) {
  if (!notice.syncdirCopy) return std::nullopt;
  const std::string& uuid = notice.syncdirCopy->uuid();
  auto found = indexes_.find(uuid);
  if (notice.status == SyncFileIndexPrepare) {
    // The first prepare makes the entry; it then lives as long as the pane.
    if (found == indexes_.end()) indexes_.emplace(uuid, notice);
    return std::nullopt;
  }
  if (found == indexes_.end()) return std::nullopt;
  SyncFileProcessBox& entry = found->second;
  switch (notice.status) {
    case SyncFileIndexBegin:
      entry.total += notice.total;
      entry.status = SyncFileIndexBegin;
      return std::nullopt;
    case SyncFileIndexing: {
      entry.status = SyncFileIndexing;
      entry.currentSize += 1;
      entry.downloadFilePath = notice.downloadFilePath;
      if (entry.currentSize < entry.total) return std::nullopt;
      std::optional<Summary> summary;
      if (entry.total != 0) {
        summary = Summary{QString::fromStdString(notice.syncdirCopy->path()),
                          entry.total == 1 ? lastComponent(entry.downloadFilePath) : QString(),
                          QString("本地 %1 个文件已更新").arg(entry.total)};
      }
      entry.total = 0;
      entry.currentSize = 0;
      entry.status = SyncFileIndexEnd;
      return summary;
    }
    default:
      entry.status = SyncFileIndexEnd;
      return std::nullopt;
  }
}

std::optional<TreeProgress::Summary> TreeProgress::applyTransfer(const SyncFileProcessBox& notice, double now) {
  const std::string hash = relationHashOf(notice);
  if (hash.empty()) return std::nullopt;
  if (notice.status == SyncFileDownloadBegin) {
    Transfer next;
    next.box = notice;
    next.pullOpen = true;
    if (const auto found = transfers_.find(hash); found != transfers_.end()) {
      // The next page of the same pull: what arrived on earlier pages counts too.
      if (found->second.pullOpen) {
        next.arrived = found->second.arrived;
        next.lastArrived = found->second.lastArrived;
      }
    }
    transfers_[hash] = std::move(next);
    return std::nullopt;
  }
  auto found = transfers_.find(hash);
  if (found == transfers_.end()) return std::nullopt;
  Transfer& transfer = found->second;
  SyncFileProcessBox& entry = transfer.box;
  if (notice.status == SyncFileDownloadFileDown && transfer.pullOpen) {
    transfer.arrived += 1;
    transfer.lastArrived = notice.downloadFilePath;
  }
  if (notice.status == SyncFileDownloadEnd && transfer.pullOpen) return endTransfer(transfer, notice.complete, now);
  // Whatever comes after the end of a pull (a late part, a second end), or after its peer
  // went away, belongs to the pull that ended: the row keeps what it shows until the next
  // pull begins.
  if (transfer.ended) return std::nullopt;
  switch (notice.status) {
    case SyncFileDownloading: {
      entry.currentSize += notice.downloadLength;
      entry.currentTime = notice.currentTime;
      entry.relation = notice.relation;
      entry.status = SyncFileDownloading;
      entry.downloadFilePath = notice.downloadFilePath;
      // No time elapsed yet, or a clock step back: there is no speed to show.
      const double elapsed = entry.currentTime - entry.timeStart;
      const double speed = elapsed > 0 ? static_cast<double>(entry.currentSize) / elapsed : 0;
      transfer.speedKnown = std::isfinite(speed) && speed > 0;
      if (transfer.speedKnown) entry.getSpeedDescriptionByCurrentTime(entry.currentTime);
      return std::nullopt;
    }
    case SyncFileDownloadCreateDir:
    case SyncFileDownloadDeleteFile:
      entry.status = notice.status;
      entry.downloadFilePath = notice.downloadFilePath;
      entry.statusString = QString(notice.status == SyncFileDownloadCreateDir ? "正在创建目录\"%1\"" : "正在删除\"%1\"")
                               .arg(lastComponent(notice.downloadFilePath))
                               .toStdString();
      entry.currentFileCount -= 1;
      return std::nullopt;
    case SyncFileDownloadFileDown:
      entry.currentFileCount -= 1;
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

std::optional<TreeProgress::Summary> TreeProgress::endTransfer(Transfer& transfer, bool complete, double now) {
  SyncFileProcessBox& entry = transfer.box;
  transfer.pullOpen = false;
  transfer.ended = true;
  const auto& local = entry.relation ? entry.relation->firstSyncdirCopy() : nullptr;
  const QString title = local ? QString::fromStdString(local->path()) : QString("Velbor");
  if (complete) {
    entry.status = SyncFileDownloadEnd;
    entry.currentTime = now;
    if (entry.fileCount == 0) return std::nullopt;
    return Summary{title, entry.fileCount == 1 ? lastComponent(entry.downloadFilePath) : QString(),
                   QString("%1 个文件已同步").arg(entry.fileCount)};
  }
  showUnfinished(transfer);
  // Only the files that arrived are announced; nothing when none did.
  if (transfer.arrived == 0) return std::nullopt;
  return Summary{title, transfer.arrived == 1 ? lastComponent(transfer.lastArrived) : QString(),
                 QString("%1 个文件已同步").arg(transfer.arrived)};
}

void TreeProgress::showUnfinished(Transfer& transfer) {
  transfer.ended = true;
  SyncFileProcessBox& entry = transfer.box;
  // Not a completion: the row says that files are still to come, never "done" (an earlier
  // completion's tick would hide that this pull left files behind).
  entry.status = SyncFileDownloadBegin;
}

bool TreeProgress::peerGone(const std::string& deviceUuid) {
  std::lock_guard lock(mutex_);
  bool changed = false;
  for (auto& [hash, transfer] : transfers_) {
    if (transfer.ended || !transfer.pullOpen) continue;
    const auto& relation = transfer.box.relation;
    const auto& remote = relation ? relation->secondSyncdirCopy() : nullptr;
    if (!remote || !remote->device() || remote->device()->uuid() != deviceUuid) continue;
    showUnfinished(transfer);
    changed = true;
  }
  return changed;
}

std::optional<SyncFileProcessBox> TreeProgress::indexEntry(const std::string& copyUuid) const {
  std::lock_guard lock(mutex_);
  auto found = indexes_.find(copyUuid);
  if (found == indexes_.end()) return std::nullopt;
  return found->second;
}

std::optional<TreeProgress::Transfer> TreeProgress::transferEntry(const std::string& relationHash) const {
  std::lock_guard lock(mutex_);
  auto found = transfers_.find(relationHash);
  if (found == transfers_.end()) return std::nullopt;
  return found->second;
}

QString TreeProgress::indexTitle(const std::string& copyUuid) const {
  const auto entry = indexEntry(copyUuid);
  if (!entry) return {};
  switch (entry->status) {
    case SyncFileIndexPrepare:
      return "正在准备索引...";
    case SyncFileIndexBegin:
    case SyncFileIndexing:
      return QString("%1/%2文件索引").arg(entry->currentSize).arg(entry->total);
    default:
      return {};
  }
}

QString TreeProgress::transferText(const std::string& relationHash) const {
  const auto transfer = transferEntry(relationHash);
  if (!transfer) return {};
  const SyncFileProcessBox& entry = transfer->box;
  switch (entry.status) {
    case SyncFileDownloadBegin:
      return "有文件更新";
    case SyncFileDownloading:
      if (!transfer->speedKnown) return "0B/s";
      return QString("%1，剩余%2")
          .arg(QString::fromStdString(entry.statusString), QString::fromStdString(entry.remainTime));
    case SyncFileDownloadCreateDir:
    case SyncFileDownloadDeleteFile:
      return QString::fromStdString(entry.statusString);
    case SyncFileDownloadEnd: {
      const auto when =
          std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
              std::chrono::duration<double>(entry.currentTime)));
      return QString("同步完成于%1").arg(QString::fromStdString(QoUtils::compareCurrentTime(when)));
    }
    default:
      return {};
  }
}

QString TreeProgress::transferToolTip(const std::string& relationHash) const {
  const auto transfer = transferEntry(relationHash);
  if (!transfer || transfer->box.fileCount == 0 || transfer->box.status != SyncFileDownloading) return {};
  return QString("%1个文件正在等待下载\n正在下载文件\"%2\"")
      .arg(transfer->box.currentFileCount)
      .arg(QString::fromStdString(transfer->box.downloadFilePath));
}

}  // namespace velbor
