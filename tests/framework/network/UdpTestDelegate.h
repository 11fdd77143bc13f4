#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "framework/network/DispatchUdpSocket.h"
#include "platform/Dispatch.h"

namespace velbor::test {

// Records every delegate call of the sockets it serves, in arrival order.
class UdpTestDelegate : public DispatchUdpSocketDelegate {
 public:
  enum class Kind { connected, notConnected, sent, notSent, received, closed };
  struct Event {
    Kind kind;
    int64_t tag = 0;
    std::string data;
    std::string address;
    std::optional<DispatchUdpSocketError> error;
    const DispatchUdpSocket* socket = nullptr;
  };

  void udpSocketDidConnectToAddress(const std::shared_ptr<DispatchUdpSocket>& sock,
                                    const std::string& address) override;
  void udpSocketDidNotConnect(const std::shared_ptr<DispatchUdpSocket>& sock,
                              const DispatchUdpSocketError& error) override;
  void udpSocketDidSendDataWithTag(const std::shared_ptr<DispatchUdpSocket>& sock, int64_t tag) override;
  void udpSocketDidNotSendDataWithTag(const std::shared_ptr<DispatchUdpSocket>& sock, int64_t tag,
                                      const DispatchUdpSocketError& error) override;
  void udpSocketDidReceiveData(const std::shared_ptr<DispatchUdpSocket>& sock, const std::string& data,
                               const std::string& address, const std::any& filterContext) override;
  void udpSocketDidClose(const std::shared_ptr<DispatchUdpSocket>& sock,
                         const std::optional<DispatchUdpSocketError>& error) override;

  std::vector<Event> events();
  std::vector<Event> eventsOf(Kind kind);
  // Waits (at most 20 s, so a fault never hangs the test) until `count` events of `kind`
  // have arrived; answers whether they did.
  bool waitFor(Kind kind, size_t count);
  // Waits (at most 20 s) until `done` holds for the events so far.
  bool waitUntil(const std::function<bool(const std::vector<Event>&)>& done);

  // The filter contexts of received datagrams, as text when they held one.
  std::vector<std::string> contexts();

 private:
  void add(Event event);

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Event> events_;
  std::vector<std::string> contexts_;
};

}  // namespace velbor::test
