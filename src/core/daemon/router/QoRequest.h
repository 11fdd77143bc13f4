#pragma once

#include <memory>
#include <optional>
#include <string>

#include "core/envelope/QoMessage.h"

namespace velbor {

class QoDevice;

// What a request handler is given: the request body (nullptr for codes without a body)
// and, where the envelope carries one, the authenticated sender. Handlers are found by
// message name in QoHandlerTable and return the reply, or nullptr for no reply (the
// requester then runs into its own time-out). They raise QoException subclasses to refuse.
struct QoRequest {
  QoMessage::Body body;
  // The registered device whose key signed the request (levels 1 and 2; for a trust
  // request also the envelope's user info). nullptr for an unsigned request.
  std::shared_ptr<QoDevice> sender;
  // The envelope level the request arrived at.
  int level = QoMessage::kLevelNone;
  // False for the request client's local short-cut, which calls handlers directly.
  bool fromNetwork = true;
  // The header's signature of a verified request (levels 1 and 2).
  std::optional<std::string> sign = std::nullopt;

  // The body as its message type; nullptr when absent or of another type.
  template <class M>
  std::shared_ptr<M> bodyAs() const {
    return std::dynamic_pointer_cast<M>(body);
  }
};

using QoHandler = QoMessage::Ptr (*)(const QoRequest& request);

}  // namespace velbor
