#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace velbor {

class QoSyncdirCopy;

// Who hears of a local copy's rescan: its progress (prepare, begin with the number of
// changes, one per file written, end) and that its records changed. The entities only
// report; the process's owner of the notices installs the observer once. This class itself
// hears nothing: it is the observer until one is installed.
class CopyEvents {
 public:
  virtual ~CopyEvents() = default;

  virtual void indexPrepare(const std::shared_ptr<QoSyncdirCopy>& copy);
  virtual void indexBegin(const std::shared_ptr<QoSyncdirCopy>& copy, int64_t total);
  virtual void indexing(const std::shared_ptr<QoSyncdirCopy>& copy, const std::string& path);
  virtual void indexEnd(const std::shared_ptr<QoSyncdirCopy>& copy);
  virtual void fileChanged(const std::shared_ptr<QoSyncdirCopy>& copy);

  // Replaces the process-wide observer (null restores the one that hears nothing); safe
  // against reporters on other threads.
  static void install(std::shared_ptr<CopyEvents> events);
  // The process-wide observer as installed last; never null.
  static std::shared_ptr<CopyEvents> installed();
};

}  // namespace velbor
