#pragma once

#include <memory>
#include <string>

#include "core/envelope/QoMessage.h"

namespace velbor {

class QoDevice;

// The notices that carry the replies of asynchronous requests, one per request name
// ("ListRequest", "SyncOnceRequest", ...), each posted under that name.
class QoReplyNotice {
 public:
  QoReplyNotice() = delete;

  // Whether replies to `requestName` have a notice.
  static bool hasNotice(const std::string& requestName);
  // Posts the reply and the device it came from as the notice of `requestName`. A name
  // without a notice raises the assertion exception and posts nothing.
  static void post(const std::string& requestName, QoMessage::Ptr reply, std::shared_ptr<QoDevice> device);
};

}  // namespace velbor
