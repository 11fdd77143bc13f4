#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "framework/network/BonjourSeverDelegate.h"
#include "platform/DnsService.h"
#include "platform/SocketStream.h"

namespace velbor {

class DispatchQueue;
class DispatchSource;

// Listens on a TCP port the system chooses, publishes it by DNS-SD under a name, receives
// one connection at a time and hands every batch of received bytes to its delegate. Runs on
// the serial queue that starts it, and is used from there only.
class BonjourServer : public SocketStreamDelegate, public std::enable_shared_from_this<BonjourServer> {
 public:
  // One event hands on at most this many bytes; the rest comes with the next event.
  static constexpr size_t kMaxBytesPerEvent = 1 << 20;

  static std::shared_ptr<BonjourServer> initWithDomain(std::string domain, std::string type, std::string name);
  ~BonjourServer() override;

  bool isReceiving() const { return networkStream_ != nullptr; }
  void acceptConnection(int fd);
  void startServer();
  void stopServer();
  void closeStreams();
  void stream(const std::shared_ptr<SocketStream>& stream, uint32_t handleEvent) override;
  void _streamHasBytes(SocketStream& stream);

  uint64_t port() const { return port_; }
  std::shared_ptr<BonjourSeverDelegate> bonjourServerDelegate() const { return bonjourServerDelegate_; }
  void setBonjourServerDelegate(std::shared_ptr<BonjourSeverDelegate> delegate) {
    bonjourServerDelegate_ = std::move(delegate);
  }

 private:
  BonjourServer(std::string domain, std::string type, std::string name)
      : domain_(std::move(domain)), type_(std::move(type)), name_(std::move(name)) {}

  bool publish();
  void acceptPending();

  uint64_t port_ = 0;
  int listenFd_ = -1;
  std::shared_ptr<DispatchSource> listenSource_;
  std::shared_ptr<SocketStream> networkStream_;
  std::unique_ptr<DnsService> netService_;
  std::shared_ptr<DispatchSource> netServiceSource_;
  std::string domain_, type_, name_;
  std::shared_ptr<BonjourSeverDelegate> bonjourServerDelegate_;
  std::shared_ptr<DispatchQueue> queue_;
};

}  // namespace velbor
