#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>

#include "UdpTestDelegate.h"
#include "framework/network/DispatchUdpSocket.h"
#include "platform/Dispatch.h"

namespace velbor::test {

using Kind = UdpTestDelegate::Kind;

inline std::string ipv4Address(const char* host, uint16_t port) {
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_port = htons(port);
  inet_pton(AF_INET, host, &in.sin_addr);
  return std::string(reinterpret_cast<const char*>(&in), sizeof in);
}

// A delegate with its own serial delegate queue, and sockets reporting to it.
struct UdpFixture {
  std::shared_ptr<UdpTestDelegate> delegate = std::make_shared<UdpTestDelegate>();
  std::shared_ptr<DispatchQueue> delegateQueue = DispatchQueue::createSerial("udp-test-delegate");

  std::shared_ptr<DispatchUdpSocket> makeSocket() { return DispatchUdpSocket::create(delegate, delegateQueue); }

  // A socket bound to 127.0.0.1 on a port the system picks.
  std::shared_ptr<DispatchUdpSocket> makeReceiver() {
    auto socket = makeSocket();
    DispatchUdpSocketError error;
    if (!socket->bindToPort(0, "127.0.0.1", &error)) throw std::runtime_error(error.description());
    return socket;
  }

  // Every delegate call the socket has made so far has been delivered.
  void flush(const std::shared_ptr<DispatchUdpSocket>& socket) {
    socket->performBlock([] {});
    delegateQueue->sync([] {});
  }
};

}  // namespace velbor::test
