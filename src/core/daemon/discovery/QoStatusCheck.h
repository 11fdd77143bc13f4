#pragma once

#include <memory>
#include <string>

namespace velbor {

namespace pb {
class MsgStatusResponse;
}  // namespace pb

class QoDevice;

// The checking side of the peer status check, run when a trusted device comes online and
// before its pairings are pulled: asks the peer which pairings it holds with this device,
// removes the local pairings with it that the peer no longer reports, and hands the peer to
// the distrust check (QoPeerRecheck) when it answers that it no longer trusts this device.
//
// Pairings are removed only on a StatusResponse signed by that very peer (level 1 or more)
// and carrying its list: an unsigned, foreign or body-less reply removes nothing. A signed
// answer is the same bytes whenever it is sent, so each request carries a fresh challenge
// that the answer must carry back: one carrying another request's is a recorded answer sent
// again and changes nothing. A device of an earlier version carries none back; the pairings
// its answer leaves out are removed only when it leaves them out again and again over time
// (QoPeerRecheck), as a refusal of trust ends the trust. Once the device has carried one
// back, an answer of it without one was recorded earlier and changes nothing.
class QoStatusCheck {
 public:
  // How a signed status answer stands to the request it came for.
  enum class Binding { kThisRequest, kUnbound, kOtherRequest };

  QoStatusCheck() = delete;

  // Synchronous (up to the client's reply wait); never raises: failures are logged.
  static void handleSendStatusRequest(const std::shared_ptr<QoDevice>& device);
  // A fresh challenge for one request.
  static std::string newChallenge();
  // A signed answer of the device `deviceUuid`; one carrying this request's challenge marks
  // the device as one that carries challenges back.
  static Binding bindingOf(const pb::MsgStatusResponse& response, const std::string& challenge,
                           const std::string& deviceUuid);
};

}  // namespace velbor
