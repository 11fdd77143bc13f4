#include "platform/DnsService.h"

#include <arpa/inet.h>
#include <dns_sd.h>
#include <netinet/in.h>

#include <cstdlib>
#include <cstring>

namespace velbor {

struct DnsService::Impl {
  DNSServiceRef ref = nullptr;
  FoundHandler found;
  ResolvedHandler resolved;
  AddressHandler address;
  RegisteredHandler registered;
  DnsService* owner = nullptr;

  void fail(int32_t error) {
    if (owner && owner->onError_) owner->onError_(error);
  }
};

namespace {

// The compatibility library prints a warning on first use unless told not to.
void quietCompatibilityLayer() { ::setenv("AVAHI_COMPAT_NOWARN", "1", 0); }

std::string text(const char* s) { return s ? std::string(s) : std::string(); }

void DNSSD_API onBrowse(DNSServiceRef, DNSServiceFlags flags, uint32_t ifIndex, DNSServiceErrorType error,
                        const char* name, const char* type, const char* domain, void* context) {
  auto* impl = static_cast<DnsService::Impl*>(context);
  if (error != kDNSServiceErr_NoError) return impl->fail(error);
  DnsService::Found found{(flags & kDNSServiceFlagsAdd) != 0, text(name), text(type), text(domain), ifIndex};
  if (impl->found) impl->found(found);
}

void DNSSD_API onDomain(DNSServiceRef, DNSServiceFlags flags, uint32_t ifIndex, DNSServiceErrorType error,
                        const char* domain, void* context) {
  auto* impl = static_cast<DnsService::Impl*>(context);
  if (error != kDNSServiceErr_NoError) return impl->fail(error);
  DnsService::Found found{(flags & kDNSServiceFlagsAdd) != 0, text(domain), "", text(domain), ifIndex};
  if (impl->found) impl->found(found);
}

void DNSSD_API onResolve(DNSServiceRef, DNSServiceFlags, uint32_t ifIndex, DNSServiceErrorType error, const char*,
                         const char* host, uint16_t port, uint16_t txtLen, const unsigned char* txt, void* context) {
  auto* impl = static_cast<DnsService::Impl*>(context);
  if (error != kDNSServiceErr_NoError) return impl->fail(error);
  DnsService::Resolved resolved{text(host), ntohs(port),
                                std::string(reinterpret_cast<const char*>(txt), txt ? txtLen : 0), ifIndex};
  if (impl->resolved) impl->resolved(resolved);
}

void DNSSD_API onRecord(DNSServiceRef, DNSServiceFlags flags, uint32_t, DNSServiceErrorType error, const char*,
                        uint16_t type, uint16_t, uint16_t length, const void* data, uint32_t, void* context) {
  auto* impl = static_cast<DnsService::Impl*>(context);
  if (error != kDNSServiceErr_NoError) return impl->fail(error);
  if (!(flags & kDNSServiceFlagsAdd) || type != kDNSServiceType_A || length != 4) return;
  char buffer[INET_ADDRSTRLEN];
  if (!::inet_ntop(AF_INET, data, buffer, sizeof buffer)) return;
  if (impl->address) impl->address(buffer);
}

void DNSSD_API onRegister(DNSServiceRef, DNSServiceFlags, DNSServiceErrorType error, const char* name, const char*,
                          const char*, void* context) {
  auto* impl = static_cast<DnsService::Impl*>(context);
  if (impl->registered) impl->registered(error == kDNSServiceErr_NoError, text(name));
}

const char* orNull(const std::string& s) { return s.empty() ? nullptr : s.c_str(); }

}  // namespace

DnsService::DnsService() : impl_(std::make_unique<Impl>()) { impl_->owner = this; }

DnsService::~DnsService() {
  if (impl_->ref) DNSServiceRefDeallocate(impl_->ref);
}

int DnsService::fd() const { return impl_->ref ? DNSServiceRefSockFD(impl_->ref) : -1; }

bool DnsService::process() {
  if (!impl_->ref) return false;
  DNSServiceErrorType error = DNSServiceProcessResult(impl_->ref);
  if (error != kDNSServiceErr_NoError) {
    impl_->fail(error);
    return false;
  }
  return true;
}

// Shared tail of the factories: keep the operation when it started, report the code when not.
static std::unique_ptr<DnsService> started(std::unique_ptr<DnsService> service, DNSServiceErrorType result,
                                           int32_t* error) {
  if (error) *error = result;
  if (result != kDNSServiceErr_NoError) return nullptr;
  return service;
}

std::unique_ptr<DnsService> DnsService::browse(const std::string& type, const std::string& domain, FoundHandler handler,
                                               int32_t* error) {
  quietCompatibilityLayer();
  std::unique_ptr<DnsService> service(new DnsService());
  service->impl_->found = std::move(handler);
  auto result =
      DNSServiceBrowse(&service->impl_->ref, 0, 0, type.c_str(), orNull(domain), onBrowse, service->impl_.get());
  return started(std::move(service), result, error);
}

std::unique_ptr<DnsService> DnsService::enumerateBrowseDomains(FoundHandler handler, int32_t* error) {
  quietCompatibilityLayer();
  std::unique_ptr<DnsService> service(new DnsService());
  service->impl_->found = std::move(handler);
  auto result = DNSServiceEnumerateDomains(&service->impl_->ref, kDNSServiceFlagsBrowseDomains, 0, onDomain,
                                           service->impl_.get());
  return started(std::move(service), result, error);
}

std::unique_ptr<DnsService> DnsService::resolve(const Found& found, ResolvedHandler handler, int32_t* error) {
  quietCompatibilityLayer();
  std::unique_ptr<DnsService> service(new DnsService());
  service->impl_->resolved = std::move(handler);
  auto result = DNSServiceResolve(&service->impl_->ref, 0, found.interfaceIndex, found.name.c_str(), found.type.c_str(),
                                  found.domain.c_str(), onResolve, service->impl_.get());
  return started(std::move(service), result, error);
}

std::unique_ptr<DnsService> DnsService::queryAddress(const std::string& host, uint32_t interfaceIndex,
                                                     AddressHandler handler, int32_t* error) {
  quietCompatibilityLayer();
  std::unique_ptr<DnsService> service(new DnsService());
  service->impl_->address = std::move(handler);
  auto result = DNSServiceQueryRecord(&service->impl_->ref, 0, interfaceIndex, host.c_str(), kDNSServiceType_A,
                                      kDNSServiceClass_IN, onRecord, service->impl_.get());
  return started(std::move(service), result, error);
}

std::unique_ptr<DnsService> DnsService::registerService(const std::string& name, const std::string& type,
                                                        const std::string& domain, uint16_t port,
                                                        RegisteredHandler handler, int32_t* error) {
  quietCompatibilityLayer();
  std::unique_ptr<DnsService> service(new DnsService());
  service->impl_->registered = std::move(handler);
  auto result = DNSServiceRegister(&service->impl_->ref, 0, 0, orNull(name), type.c_str(), orNull(domain), nullptr,
                                   htons(port), 0, nullptr, onRegister, service->impl_.get());
  return started(std::move(service), result, error);
}

bool DnsService::txtValue(const std::string& txtRecord, const std::string& key, std::string* value) {
  uint8_t length = 0;
  const void* data =
      TXTRecordGetValuePtr(static_cast<uint16_t>(txtRecord.size()), txtRecord.data(), key.c_str(), &length);
  if (!data && !TXTRecordContainsKey(static_cast<uint16_t>(txtRecord.size()), txtRecord.data(), key.c_str()))
    return false;
  if (value) value->assign(static_cast<const char*>(data), data ? length : 0);
  return true;
}

}  // namespace velbor
