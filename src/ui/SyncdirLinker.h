#pragma once

#include <QString>

#include <functional>
#include <memory>
#include <string>

namespace velbor {

class QoDevice;
class QoMessage;
class QoSyncdirCopy;
namespace pb {
class TreeInfo;
}  // namespace pb

// The steps that pair a local folder with a tree on a device, run off the main thread: the
// folder becomes a tree of the tree's sync folder when it is none yet (or an unpaired tree
// of another one), the pairing is made on this device, then the mirror pairing on the other.
// Each step reports through the status handler; a failed step ends the run and leaves the
// earlier steps done.
class SyncdirLinker {
 public:
  // show, waiting (spinner), text.
  using StatusHandler = std::function<void(bool show, bool waiting, const QString& text)>;

  struct Choice {
    std::string localPath;
    // The folder's tree as the check found it; null when it was none.
    std::shared_ptr<QoSyncdirCopy> localCopy;
    std::shared_ptr<QoDevice> remoteDevice;
    std::shared_ptr<pb::TreeInfo> remoteTree;
  };

  SyncdirLinker(Choice choice, StatusHandler status);

  // True once both pairings exist (the other device answering "exists" counts).
  bool doLinkSyncdir();

 private:
  // The folder's tree in the remote tree's sync folder, made when needed; null after a failure.
  std::shared_ptr<QoSyncdirCopy> localTreeInSyncdir();
  bool removeUnpairedTree(const QoSyncdirCopy& copy);
  // `text`, with the no-answer remark when another device gave no reply within the request
  // client's wait (or none could be sent).
  QString failureText(const QString& text, const std::shared_ptr<QoMessage>& reply, const QoDevice& device) const;

  Choice choice_;
  StatusHandler status_;
};

}  // namespace velbor
