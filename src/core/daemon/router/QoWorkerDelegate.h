#pragma once

#include "core/envelope/QoMessage.h"

namespace velbor {

// What a worker's owner decides about the requests it serves. Both hooks run on the worker's
// thread; the defaults accept every request and leave every reply as it is.
class QoWorkerDelegate {
 public:
  virtual ~QoWorkerDelegate() = default;

  // Called with the request's header read and nothing else: its body is not yet verified,
  // decrypted or parsed, so a refused request costs no more than its header. Raises to
  // refuse it; the exception becomes the error reply.
  virtual void beforeHandleRequest(const QoMessage& request) { (void)request; }
  // Called with a handler's reply (never with an error reply) before it is sealed.
  virtual void afterHandleRequest(const QoMessage& request, QoMessage& response) {
    (void)request;
    (void)response;
  }
};

}  // namespace velbor
