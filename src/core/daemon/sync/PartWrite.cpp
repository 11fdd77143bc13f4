#include "core/daemon/sync/PartWrite.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace velbor {

PartWrite::PartWrite(int fd, int64_t offset, std::shared_ptr<const void> keep, const std::string& data)
    : fd_(fd), offset_(offset), keep_(std::move(keep)), data_(data) {}

PartWrite::~PartWrite() {
  if (fd_ >= 0) ::close(fd_);
}

void PartWrite::run() {
  error_ = fd_ < 0 ? EBADF : writeAt(fd_, offset_, data_);
  // The part starts on its way to the disk now, so that the flush of the complete file
  // finds little left to write.
  if (error_ == 0) ::sync_file_range(fd_, offset_, static_cast<off_t>(data_.size()), SYNC_FILE_RANGE_WRITE);
}

int PartWrite::writeAt(int fd, int64_t offset, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t wrote = ::pwrite(fd, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote < 0) return errno;
    // A write that takes nothing would go on for ever: the disk is full.
    if (wrote == 0) return ENOSPC;
    done += static_cast<size_t>(wrote);
  }
  return 0;
}

}  // namespace velbor
