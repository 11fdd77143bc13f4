#pragma once

#include <QString>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/state/SyncFileProcessBox.h"

namespace velbor {

// The live progress of the sync pane, keyed two ways: a local copy's uuid to its index entry
// and a pairing's hash to its transfer entry. Notices are applied on the "notify" queue;
// the pane reads copies of the entries on the main thread. Every transfer keeps its own
// counts, so two pulls running at once never mix their files.
class TreeProgress {
 public:
  // A desktop notification that a notice completed.
  struct Summary {
    QString title;
    QString subTitle;
    QString info;
  };
  struct Transfer {
    SyncFileProcessBox box;
    // The speed had a measured, positive value when statusString was last set.
    bool speedKnown = false;
  };

  // Applies one notice at the time `now` (seconds since 1970); the summary to show when the
  // notice completes an index run or a pull.
  std::optional<Summary> apply(const SyncFileProcessBox& notice, double now);

  std::optional<SyncFileProcessBox> indexEntry(const std::string& copyUuid) const;
  std::optional<Transfer> transferEntry(const std::string& relationHash) const;

  // "%ld/%ld文件索引", "正在准备索引..." or "" for a local copy.
  QString indexTitle(const std::string& copyUuid) const;
  // The transfer text of a pairing: speed and time left, directory or file being changed,
  // completion time; "" when there is none.
  QString transferText(const std::string& relationHash) const;
  // The tool tip of a file transfer in progress, or "".
  QString transferToolTip(const std::string& relationHash) const;

 private:
  std::optional<Summary> applyIndex(const SyncFileProcessBox& notice);
  std::optional<Summary> applyTransfer(const SyncFileProcessBox& notice, double now);

  mutable std::mutex mutex_;
  std::map<std::string, SyncFileProcessBox> indexes_;
  std::map<std::string, Transfer> transfers_;
};

}  // namespace velbor
