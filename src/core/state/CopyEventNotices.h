#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/entity/CopyEvents.h"

namespace velbor {

// A local copy's rescan events as the process's notices: progress as "SyncFileProcess"
// notices (statuses 0-3), a change of its records as a "FileChanged" notice.
class CopyEventNotices : public CopyEvents {
 public:
  void indexPrepare(const std::shared_ptr<QoSyncdirCopy>& copy) override;
  void indexBegin(const std::shared_ptr<QoSyncdirCopy>& copy, int64_t total) override;
  void indexing(const std::shared_ptr<QoSyncdirCopy>& copy, const std::string& path) override;
  void indexEnd(const std::shared_ptr<QoSyncdirCopy>& copy) override;
  void fileChanged(const std::shared_ptr<QoSyncdirCopy>& copy) override;
};

}  // namespace velbor
