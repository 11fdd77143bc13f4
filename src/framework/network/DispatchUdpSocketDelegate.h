#pragma once

#include <any>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "framework/network/DispatchUdpSocketError.h"

namespace velbor {

class DispatchUdpSocket;

// What a DispatchUdpSocket reports, always on its delegate queue and in the order the
// socket saw the events. Every operation is optional: the defaults do nothing.
// Addresses are the bytes of a sockaddr_in or sockaddr_in6.
class DispatchUdpSocketDelegate {
 public:
  virtual ~DispatchUdpSocketDelegate() = default;

  virtual void udpSocketDidConnectToAddress(const std::shared_ptr<DispatchUdpSocket>& /*sock*/,
                                            const std::string& /*address*/) {}
  virtual void udpSocketDidNotConnect(const std::shared_ptr<DispatchUdpSocket>& /*sock*/,
                                      const DispatchUdpSocketError& /*error*/) {}
  // The datagram was handed to the system, or dropped by the send filter.
  virtual void udpSocketDidSendDataWithTag(const std::shared_ptr<DispatchUdpSocket>& /*sock*/, int64_t /*tag*/) {}
  virtual void udpSocketDidNotSendDataWithTag(const std::shared_ptr<DispatchUdpSocket>& /*sock*/, int64_t /*tag*/,
                                              const DispatchUdpSocketError& /*error*/) {}
  // `filterContext` is what the receive filter put in its slot; empty without a filter.
  virtual void udpSocketDidReceiveData(const std::shared_ptr<DispatchUdpSocket>& /*sock*/, const std::string& /*data*/,
                                       const std::string& /*address*/, const std::any& /*filterContext*/) {}
  // Descriptors that existed were closed; no error for a close the owner asked for.
  virtual void udpSocketDidClose(const std::shared_ptr<DispatchUdpSocket>& /*sock*/,
                                 const std::optional<DispatchUdpSocketError>& /*error*/) {}
};

}  // namespace velbor
