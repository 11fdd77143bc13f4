#include "UdpTestDelegate.h"

#include <algorithm>

namespace velbor::test {

void UdpTestDelegate::add(Event event) {
  std::lock_guard lock(mutex_);
  events_.push_back(std::move(event));
  changed_.notify_all();
}

void UdpTestDelegate::udpSocketDidConnectToAddress(const std::shared_ptr<DispatchUdpSocket>& sock,
                                                   const std::string& address) {
  add({Kind::connected, 0, {}, address, std::nullopt, sock.get()});
}

void UdpTestDelegate::udpSocketDidNotConnect(const std::shared_ptr<DispatchUdpSocket>& sock,
                                             const DispatchUdpSocketError& error) {
  add({Kind::notConnected, 0, {}, {}, error, sock.get()});
}

void UdpTestDelegate::udpSocketDidSendDataWithTag(const std::shared_ptr<DispatchUdpSocket>& sock, int64_t tag) {
  add({Kind::sent, tag, {}, {}, std::nullopt, sock.get()});
}

void UdpTestDelegate::udpSocketDidNotSendDataWithTag(const std::shared_ptr<DispatchUdpSocket>& sock, int64_t tag,
                                                     const DispatchUdpSocketError& error) {
  add({Kind::notSent, tag, {}, {}, error, sock.get()});
}

void UdpTestDelegate::udpSocketDidReceiveData(const std::shared_ptr<DispatchUdpSocket>& sock, const std::string& data,
                                              const std::string& address, const std::any& filterContext) {
  {
    std::lock_guard lock(mutex_);
    if (auto* text = std::any_cast<std::string>(&filterContext)) contexts_.push_back(*text);
  }
  add({Kind::received, 0, data, address, std::nullopt, sock.get()});
}

void UdpTestDelegate::udpSocketDidClose(const std::shared_ptr<DispatchUdpSocket>& sock,
                                        const std::optional<DispatchUdpSocketError>& error) {
  add({Kind::closed, 0, {}, {}, error, sock.get()});
}

std::vector<UdpTestDelegate::Event> UdpTestDelegate::events() {
  std::lock_guard lock(mutex_);
  return events_;
}

std::vector<UdpTestDelegate::Event> UdpTestDelegate::eventsOf(Kind kind) {
  std::lock_guard lock(mutex_);
  std::vector<Event> result;
  std::copy_if(events_.begin(), events_.end(), std::back_inserter(result),
               [kind](const Event& event) { return event.kind == kind; });
  return result;
}

bool UdpTestDelegate::waitFor(Kind kind, size_t count) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::seconds(20), [&] {
    return static_cast<size_t>(std::count_if(events_.begin(), events_.end(),
                                             [kind](const Event& event) { return event.kind == kind; })) >= count;
  });
}

bool UdpTestDelegate::waitUntil(const std::function<bool(const std::vector<Event>&)>& done) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return done(events_); });
}

std::vector<std::string> UdpTestDelegate::contexts() {
  std::lock_guard lock(mutex_);
  return contexts_;
}

}  // namespace velbor::test
