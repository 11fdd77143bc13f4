#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "framework/network/BonjourClientDelegate.h"
#include "platform/DnsService.h"
#include "platform/SocketStream.h"

namespace velbor {

class DispatchQueue;
class DispatchSource;

// Browses for services of a domain and type, opens an output stream to each service its
// delegate accepts and writes the delegate's keep-alive data to all of them on request.
// Runs on the serial queue that creates it, and is used from there only.
class BonjourClient : public SocketStreamDelegate, public std::enable_shared_from_this<BonjourClient> {
 public:
  static std::shared_ptr<BonjourClient> initWithDomain(std::string domain, const std::string& type);
  ~BonjourClient() override;

  std::optional<std::string> getNetServiceNameByStream(const std::shared_ptr<SocketStream>& stream) const;
  void stream(const std::shared_ptr<SocketStream>& stream, uint32_t handleEvent) override;
  void closeStreams();
  void closeStream(const std::shared_ptr<SocketStream>& stream);
  void openOutPutStream(const std::shared_ptr<SocketStream>& stream);
  void keepAlive();

  std::shared_ptr<BonjourClientDelegate> bonjourClientDelegate() const { return bonjourClientDelegate_; }
  void setBonjourClientDelegate(std::shared_ptr<BonjourClientDelegate> delegate) {
    bonjourClientDelegate_ = std::move(delegate);
  }
  bool isOutPutStreamReady() const { return isOutPutStreamReady_; }
  void setIsOutPutStreamReady(bool ready) { isOutPutStreamReady_ = ready; }

 private:
  BonjourClient(std::string domain, std::string type) : domain_(std::move(domain)), type_(std::move(type)) {}

  // Resolving the nameless placeholder service is what (re)starts the browsing.
  void resolvePlaceholder();
  void netServiceWillResolve();
  void browserReady();
  void didFindService(const DnsService::Found& service);
  void didRemoveService(const DnsService::Found& service);
  void serviceGone(const std::string& name);
  bool writeWhole(SocketStream& stream, const std::string& data);

  std::map<std::string, DnsService::Found> netServices_;
  std::map<std::string, std::shared_ptr<SocketStream>> netSerivcesOutPutStream_;
  std::unique_ptr<DnsService> netServiceBrowser_;
  std::shared_ptr<DispatchSource> browserSource_;
  // Browse results wait here until the browser's callback has returned.
  std::vector<DnsService::Found> browseResults_;
  std::shared_ptr<SocketStream> networkStream_;
  std::string domain_, type_;
  bool isOutPutStreamReady_ = false;
  std::shared_ptr<BonjourClientDelegate> bonjourClientDelegate_;
  std::shared_ptr<DispatchQueue> queue_;
};

}  // namespace velbor
