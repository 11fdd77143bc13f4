#pragma once

#include <memory>

#include "core/daemon/router/QoRequest.h"
#include "framework/errors/QoExceptionProto.h"

namespace velbor {

// The request's body as its message type; a request that lacks it is refused as bad
// format ("Request body should not be nil!").
template <class M>
std::shared_ptr<M> requireBody(const QoRequest& request) {
  auto body = request.bodyAs<M>();
  if (!body) throw QoExceptionZeBadFormat::defaultExceptionWithReason("Request body should not be nil!");
  return body;
}

}  // namespace velbor
