#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace velbor {

// One operation of the system's DNS service discovery (browse, resolve, address query,
// registration, domain enumeration) over the DNS-SD API. The owner watches fd() for
// reading and calls process() when it is readable; callbacks run inside process().
// Dropping the object cancels the operation.
class DnsService {
 public:
  struct Found {
    bool added = false;  // false: the service or domain went away
    std::string name;    // service name, or the domain for a domain enumeration
    std::string type;
    std::string domain;
    uint32_t interfaceIndex = 0;
  };
  struct Resolved {
    std::string hostTarget;
    uint16_t port = 0;      // host byte order
    std::string txtRecord;  // raw TXT record bytes
    uint32_t interfaceIndex = 0;
  };
  using FoundHandler = std::function<void(const Found&)>;
  using ResolvedHandler = std::function<void(const Resolved&)>;
  using AddressHandler = std::function<void(const std::string& ipv4)>;
  // Registration result: the name under which the service was published, or an error.
  using RegisteredHandler = std::function<void(bool ok, const std::string& name)>;
  // Called when the operation reports an error; the operation is dead then.
  using ErrorHandler = std::function<void(int32_t error)>;

  // Each factory returns nullptr (and the library's error code in `error`) when the
  // operation cannot start, for example when no discovery daemon runs.
  static std::unique_ptr<DnsService> browse(const std::string& type, const std::string& domain, FoundHandler handler,
                                            int32_t* error = nullptr);
  static std::unique_ptr<DnsService> enumerateBrowseDomains(FoundHandler handler, int32_t* error = nullptr);
  static std::unique_ptr<DnsService> resolve(const Found& service, ResolvedHandler handler, int32_t* error = nullptr);
  // The first IPv4 address of a host name (a ".local" name is asked of the discovery daemon).
  static std::unique_ptr<DnsService> queryAddress(const std::string& host, uint32_t interfaceIndex,
                                                  AddressHandler handler, int32_t* error = nullptr);
  static std::unique_ptr<DnsService> registerService(const std::string& name, const std::string& type,
                                                     const std::string& domain, uint16_t port,
                                                     RegisteredHandler handler, int32_t* error = nullptr);

  // The value of `key` in a TXT record; nullptr-like false when absent.
  static bool txtValue(const std::string& txtRecord, const std::string& key, std::string* value);

  ~DnsService();
  DnsService(const DnsService&) = delete;
  DnsService& operator=(const DnsService&) = delete;

  int fd() const;
  // Handles what the daemon sent; false when the connection to it failed.
  bool process();
  void setErrorHandler(ErrorHandler handler) { onError_ = std::move(handler); }

  struct Impl;

 private:
  DnsService();
  std::unique_ptr<Impl> impl_;
  ErrorHandler onError_;
};

}  // namespace velbor
