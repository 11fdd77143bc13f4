#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/DnsService.h"

namespace velbor {

class DispatchQueue;
class DispatchSource;

// Makes a TCP connection to a DNS-SD service: resolves its name to a host and port, the
// host to an IPv4 address, then connects. Everything runs on the queue given to connect().
class ServiceConnector : public std::enable_shared_from_this<ServiceConnector> {
 public:
  // fd >= 0: a connected socket that the handler owns; otherwise `error` (an errno value).
  using Handler = std::function<void(int fd, int error)>;

  // A service not found and connected in this time counts as failed.
  static constexpr std::chrono::seconds kTimeLimit{10};

  explicit ServiceConnector(DnsService::Found service) : service_(std::move(service)) {}
  ~ServiceConnector();
  ServiceConnector(const ServiceConnector&) = delete;
  ServiceConnector& operator=(const ServiceConnector&) = delete;

  // The first call starts the connection on `queue`; each caller gets its own descriptor.
  void connect(std::shared_ptr<DispatchQueue> queue, Handler handler);

 private:
  void watchLookup();
  void advance();
  void connectTo(const std::string& address, uint16_t port);
  void connected();
  void finish(int fd, int error);
  void dropSources();

  DnsService::Found service_;
  std::shared_ptr<DispatchQueue> queue_;
  std::vector<Handler> waiting_;
  bool started_ = false;
  bool done_ = false;
  int fd_ = -1;
  int error_ = 0;

  std::unique_ptr<DnsService> lookup_;
  std::shared_ptr<DispatchSource> lookupSource_;
  std::shared_ptr<DispatchSource> connectSource_;
  std::shared_ptr<DispatchSource> timer_;
  bool lookupFailed_ = false;
  std::unique_ptr<DnsService::Resolved> resolved_;
  std::unique_ptr<std::string> address_;
  bool querying_ = false;
};

}  // namespace velbor
