#include "core/daemon/sync/TransferFile.h"

#include <cstring>

#include "core/daemon/sync/PartWrite.h"
#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/entity/TmpFileStream.h"
#include "core/utils/QoUtils.h"
#include "platform/QoLog.h"

namespace velbor {

TransferFile::TransferFile(int32_t transferId, std::shared_ptr<QoFileAndSyncdirCopyRelation> fileRelation,
                           std::shared_ptr<TmpFileStream> handle)
    : _transferId(transferId), _fileRelation(std::move(fileRelation)), _fileHandle(std::move(handle)) {}

bool TransferFile::addOutStandingPart(int64_t offset, int32_t length) { return _parts.emplace(offset, length).second; }

int32_t TransferFile::removeOutStandingPart(int64_t offset) {
  auto found = _parts.find(offset);
  QoAssert(found != _parts.end(), "Try to remove unexist part");
  const int32_t length = found->second;
  _parts.erase(found);
  return length;
}

std::shared_ptr<PartWrite> TransferFile::queueWrite(std::shared_ptr<PartWrite> write) {
  if (_writing) {
    _queuedWrites.push_back(std::move(write));
    return nullptr;
  }
  _writing = true;
  return write;
}

std::shared_ptr<PartWrite> TransferFile::writeDone() {
  _writing = false;
  if (_queuedWrites.empty()) return nullptr;
  std::shared_ptr<PartWrite> next = std::move(_queuedWrites.front());
  _queuedWrites.pop_front();
  _writing = true;
  return next;
}

size_t TransferFile::clearPendingWrites() {
  size_t bytes = 0;
  for (const auto& write : _queuedWrites) bytes += write->size();
  _queuedWrites.clear();
  _writing = false;
  return bytes;
}

bool TransferFile::writePart(int64_t offset, const std::string& data) {
  QoAssert(_fileHandle != nullptr, "file handle can not be nil!!!");
  const int error = PartWrite::writeAt(_fileHandle->descriptor(), offset, data);
  if (error == 0) return true;
  logWriteError(error);
  return false;
}

void TransferFile::logWriteError(int error) const {
  QoLog("write error!!, file({}) {}: {}", _fileRelation ? _fileRelation->getTempFilePath() : std::string(),
        "WriteError", std::strerror(error));
}

}  // namespace velbor
