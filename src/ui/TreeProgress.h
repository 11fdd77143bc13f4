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
    // From a download begin to the pull's end: its pages' begins carry `arrived` on.
    bool pullOpen = false;
    // The row shows no more of this pull: it ended, or its peer went away.
    bool ended = false;
    // Files of this pull in place ("file done" notices), and the last of them.
    int64_t arrived = 0;
    std::string lastArrived;
  };

  // Applies one notice at the time `now` (seconds since 1970); the summary to show when the
  // notice completes an index run or a pull.
  std::optional<Summary> apply(const SyncFileProcessBox& notice, double now);

  // The device `deviceUuid` went away: the rows of pulls from it show their transfer no more
  // (the pull itself ends, and is announced, when it gives up). True when a row changed.
  bool peerGone(const std::string& deviceUuid);

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
  // The end of a pull; the summary when files arrived.
  std::optional<Summary> endTransfer(Transfer& transfer, bool complete, double now);
  // A pull that did not go through: the row keeps the last completion, or "有文件更新".
  static void showUnfinished(Transfer& transfer);

  mutable std::mutex mutex_;
  std::map<std::string, SyncFileProcessBox> indexes_;
  std::map<std::string, Transfer> transfers_;
};

}  // namespace velbor
