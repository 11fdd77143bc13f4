#include "core/state/SyncFileProcessBox.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include <fmt/format.h>

#include "core/state/QoNotices.h"

namespace velbor {

std::shared_ptr<SyncFileProcessBox> SyncFileProcessBox::boxWithStatus(int status) {
  auto box = std::make_shared<SyncFileProcessBox>();
  box->status = status;
  return box;
}

double SyncFileProcessBox::timeNow() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

void SyncFileProcessBox::post(const std::shared_ptr<SyncFileProcessBox>& box) {
  QoNotices::post(notice::SyncFileProcess{box});
}

void SyncFileProcessBox::sendSyncFileIndexPrepare(const std::shared_ptr<QoSyncdirCopy>& syncdirCopy) {
  auto box = boxWithStatus(SyncFileIndexPrepare);
  box->syncdirCopy = syncdirCopy;
  post(box);
}

void SyncFileProcessBox::sendSyncFileIndexBegin(const std::shared_ptr<QoSyncdirCopy>& syncdirCopy, int64_t total) {
  auto box = boxWithStatus(SyncFileIndexBegin);
  box->syncdirCopy = syncdirCopy;
  box->total = total;
  post(box);
}

// A record of its own per notice: a shared one would be rewritten while observers read it.
void SyncFileProcessBox::sendSyncFileIndexing(const std::shared_ptr<QoSyncdirCopy>& syncdirCopy,
                                              const std::string& path) {
  auto box = boxWithStatus(SyncFileIndexing);
  box->syncdirCopy = syncdirCopy;
  box->downloadFilePath = path;
  post(box);
}

void SyncFileProcessBox::sendSyncFileIndexEnd(const std::shared_ptr<QoSyncdirCopy>& syncdirCopy) {
  auto box = boxWithStatus(SyncFileIndexEnd);
  box->syncdirCopy = syncdirCopy;
  post(box);
}

void SyncFileProcessBox::sendSyncFileDownloadBegin(const std::shared_ptr<QoSyncdirCopyRelation>& relation,
                                                   int64_t total, int64_t count) {
  auto box = boxWithStatus(SyncFileDownloadBegin);
  box->relation = relation;
  box->total = total;
  box->fileCount = count;
  box->currentFileCount = count;
  box->timeStart = timeNow();
  post(box);
}

void SyncFileProcessBox::sendSyncFileDownloading(const std::shared_ptr<QoSyncdirCopyRelation>& relation,
                                                 const std::string& path, int64_t length) {
  auto box = boxWithStatus(SyncFileDownloading);
  box->relation = relation;
  box->downloadFilePath = path;
  box->downloadLength = length;
  box->currentTime = timeNow();
  post(box);
}

void SyncFileProcessBox::sendSyncFileDownloadCreateDir(const std::shared_ptr<QoSyncdirCopyRelation>& relation,
                                                       const std::string& path) {
  auto box = boxWithStatus(SyncFileDownloadCreateDir);
  box->relation = relation;
  box->downloadFilePath = path;
  box->currentTime = timeNow();
  post(box);
}

void SyncFileProcessBox::sendSyncFileDownloadDeleteFile(const std::shared_ptr<QoSyncdirCopyRelation>& relation,
                                                        const std::string& path) {
  auto box = boxWithStatus(SyncFileDownloadDeleteFile);
  box->relation = relation;
  box->downloadFilePath = path;
  box->currentTime = timeNow();
  post(box);
}

void SyncFileProcessBox::sendSyncFileDownloadFileDown(const std::shared_ptr<QoSyncdirCopyRelation>& relation,
                                                      const std::string& path) {
  auto box = boxWithStatus(SyncFileDownloadFileDown);
  box->relation = relation;
  box->downloadFilePath = path;
  post(box);
}

void SyncFileProcessBox::sendSyncFileDownloadEnd(const std::shared_ptr<QoSyncdirCopyRelation>& relation,
                                                 bool complete) {
  auto box = boxWithStatus(SyncFileDownloadEnd);
  box->relation = relation;
  box->complete = complete;
  post(box);
}

void SyncFileProcessBox::getSpeedDescriptionByCurrentTime(double now) {
  double speed = static_cast<double>(currentSize) / (now - timeStart);
  // No time elapsed yet (or a clock step) must not show an endless speed or time.
  if (!std::isfinite(speed)) speed = 0;

  if (speed < 1024) {
    statusString = fmt::format("{:<4.2f}B/s", speed);
  } else if (speed < 1048576) {
    statusString = fmt::format("{:<4.2f}KB/s", speed / 1024);
  } else {
    statusString = fmt::format("{:<4.2f}MB/s", speed / 1048576);
  }

  int64_t remaining = 0;
  if (speed != 0) {
    double seconds = static_cast<double>(static_cast<float>(total - currentSize)) / speed;
    // Keep the conversion defined for absurd values.
    constexpr double kLimit = static_cast<double>(std::numeric_limits<int64_t>::max() / 2);
    if (std::isfinite(seconds)) remaining = static_cast<int64_t>(std::clamp(seconds, -kLimit, kLimit));
  }
  int64_t hours = remaining / 3600;
  int64_t minutes = (remaining - hours * 3600) / 60;
  int64_t secs = remaining % 60;
  if (remaining >= 3600) {
    remainTime = fmt::format("{}小时{}分{}秒", hours, minutes, secs);
  } else if (remaining < 60) {
    remainTime = fmt::format("{}秒", secs < 0 ? 0 : secs);
  } else {
    remainTime = fmt::format("{}分{}秒", minutes, secs);
  }
}

}  // namespace velbor
