#include "core/daemon/sync/TransferFile.h"

#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/entity/TmpFileStream.h"
#include "core/utils/QoUtils.h"
#include "platform/QoLog.h"

namespace velbor {

TransferFile::TransferFile(int32_t transferId, std::shared_ptr<QoFileAndSyncdirCopyRelation> fileRelation,
                           std::shared_ptr<TmpFileStream> handle)
    : _transferId(transferId), _fileRelation(std::move(fileRelation)), _fileHandle(std::move(handle)) {}

bool TransferFile::addOutStandingPart(int64_t offset, int32_t length) {
  return _parts.emplace(offset, length).second;
}

int32_t TransferFile::removeOutStandingPart(int64_t offset) {
  auto found = _parts.find(offset);
  QoAssert(found != _parts.end(), "Try to remove unexist part");
  const int32_t length = found->second;
  _parts.erase(found);
  return length;
}

bool TransferFile::writePart(int64_t offset, const std::string& data) {
  QoAssert(_fileHandle != nullptr, "file handle can not be nil!!!");
  TmpFileStream& stream = *_fileHandle;
  stream.clear();
  stream.seekp(offset);
  stream.write(data.data(), static_cast<std::streamsize>(data.size()));
  stream.flush();
  if (stream.good()) return true;
  QoLog("write error!!, file({}) {}: {}", _fileRelation ? _fileRelation->getTempFilePath() : std::string(),
        "WriteError", "the part could not be written");
  return false;
}

}  // namespace velbor
