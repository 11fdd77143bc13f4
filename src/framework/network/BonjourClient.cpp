#include "framework/network/BonjourClient.h"

#include <fmt/format.h>

#include "framework/network/QNetworkAdditions.h"
#include "platform/Dispatch.h"
#include "platform/QoLog.h"

namespace velbor {

std::shared_ptr<BonjourClient> BonjourClient::initWithDomain(std::string domain, const std::string& type) {
  std::shared_ptr<BonjourClient> client(new BonjourClient(std::move(domain), fmt::format("_{}._udp.", type)));
  client->queue_ = DispatchQueue::current();
  // The placeholder resolves on the queue, after the caller had a chance to set the delegate.
  if (client->queue_) {
    std::weak_ptr<BonjourClient> weak = client;
    client->queue_->async([weak] {
      if (auto self = weak.lock()) self->resolvePlaceholder();
    });
  }
  return client;
}

BonjourClient::~BonjourClient() {
  if (browserSource_) browserSource_->cancel();
  for (auto& [name, stream] : netSerivcesOutPutStream_) closeStream(stream);
  closeStreams();
}

void BonjourClient::resolvePlaceholder() { netServiceWillResolve(); }

void BonjourClient::netServiceWillResolve() {
  QoLog("netServiceWillResolve");
  if (browserSource_) browserSource_->cancel();
  browserSource_.reset();
  netServiceBrowser_.reset();
  netServiceBrowser_ =
      DnsService::browse(type_, domain_, [this](const DnsService::Found& found) { browseResults_.push_back(found); });
  if (!netServiceBrowser_ || !queue_) {
    QoLog("The NSNetServiceBrowser couldn't be allocated and initialized.");
    netServiceBrowser_.reset();
    return;
  }
  QoLog("netServiceBrowserWillSearch");
  netServiceBrowser_->setErrorHandler([](int32_t) { QoLog("didNotSearch"); });
  browserSource_ = DispatchSource::makeReadSource(netServiceBrowser_->fd(), queue_);
  std::weak_ptr<BonjourClient> weak = weak_from_this();
  browserSource_->setEventHandler([weak] {
    if (auto self = weak.lock()) self->browserReady();
  });
  browserSource_->resume();
}

void BonjourClient::browserReady() {
  if (!netServiceBrowser_) return;
  if (!netServiceBrowser_->process()) {
    browserSource_->cancel();
    QoLog("netServiceBrowserDidStopSearch");
  }
  auto results = std::move(browseResults_);
  browseResults_.clear();
  for (const auto& found : results) {
    if (found.added)
      didFindService(found);
    else
      didRemoveService(found);
  }
}

void BonjourClient::didFindService(const DnsService::Found& service) {
  if (!bonjourClientDelegate_ || !bonjourClientDelegate_->bonjourClientWillFindService(service)) return;
  QoLog("didFindService: {}", service.name);
  auto known = netServices_.find(service.name);
  auto stream = netSerivcesOutPutStream_.find(service.name);
  if (known != netServices_.end() && stream != netSerivcesOutPutStream_.end() && stream->second) return;
  if (stream != netSerivcesOutPutStream_.end()) closeStream(stream->second);
  std::shared_ptr<SocketStream> output;
  if (!qNetworkAdditions_getInputStream(service, nullptr, &output)) {
    QoLog("*** Get outPut stream from netService({}) failed!", service.name);
    return;
  }
  openOutPutStream(output);
  netSerivcesOutPutStream_[service.name] = output;
  netServices_[service.name] = service;
  bonjourClientDelegate_->bonjourClientDidFindService(service);
}

void BonjourClient::didRemoveService(const DnsService::Found& service) {
  QoLog("didRemoveService {}", service.name);
  if (!bonjourClientDelegate_ || !bonjourClientDelegate_->bonjourClientDidRemoveService(service)) return;
  if (auto stream = netSerivcesOutPutStream_.find(service.name); stream != netSerivcesOutPutStream_.end()) {
    closeStream(stream->second);
    netSerivcesOutPutStream_.erase(stream);
  }
  netServices_.erase(service.name);
}

// The service-gone step for the service recorded under `name`.
void BonjourClient::serviceGone(const std::string& name) {
  DnsService::Found service;
  if (auto known = netServices_.find(name); known != netServices_.end()) service = known->second;
  service.name = name;
  service.added = false;
  didRemoveService(service);
}

std::optional<std::string> BonjourClient::getNetServiceNameByStream(const std::shared_ptr<SocketStream>& stream) const {
  for (const auto& [name, recorded] : netSerivcesOutPutStream_)
    if (recorded == stream) return name;
  return std::nullopt;
}

void BonjourClient::stream(const std::shared_ptr<SocketStream>& stream, uint32_t handleEvent) {
  switch (handleEvent) {
    case kStreamEventNone:
      QoLog("Client NSStreamEventNone");
      return;
    case kStreamEventOpenCompleted:
      QoLog("Client NSStreamEventOpenCompleted");
      return;
    case kStreamEventHasBytesAvailable:
      QoLog("Client NSStreamEventHasBytesAvailable");
      return;
    case kStreamEventHasSpaceAvailable:
      isOutPutStreamReady_ = true;
      return;
    case kStreamEventErrorOccurred:
      QoLog("Client NSStreamEventErrorOccurred");
      [[fallthrough]];
    case kStreamEventEndEncountered:
      if (auto name = getNetServiceNameByStream(stream)) serviceGone(*name);
      return;
    default:
      return;
  }
}

void BonjourClient::closeStreams() {
  if (networkStream_) networkStream_->close();
  networkStream_.reset();
}

void BonjourClient::closeStream(const std::shared_ptr<SocketStream>& stream) {
  if (!stream) return;
  stream->removeFromRunLoop();
  stream->close();
  stream->setDelegate({});
}

void BonjourClient::openOutPutStream(const std::shared_ptr<SocketStream>& stream) {
  if (!stream) {
    QoLog("*** Open nil stream");
    return;
  }
  stream->scheduleInRunLoop(queue_ ? queue_ : DispatchQueue::current());
  stream->setDelegate(weak_from_this());
  stream->open();
}

bool BonjourClient::writeWhole(SocketStream& stream, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = stream.write(data.data() + done, data.size() - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void BonjourClient::keepAlive() {
  std::string data = bonjourClientDelegate_ ? bonjourClientDelegate_->bonjourClientKeepAliveData() : std::string();
  std::vector<std::string> names;
  for (const auto& [name, stream] : netSerivcesOutPutStream_) names.push_back(name);
  for (const auto& name : names) {
    auto entry = netSerivcesOutPutStream_.find(name);
    if (entry == netSerivcesOutPutStream_.end()) continue;
    std::shared_ptr<SocketStream> stream = entry->second;
    if (!stream) {
      resolvePlaceholder();
      return;
    }
    if (!stream->hasSpaceAvailable()) continue;
    // Keep-alive data goes out whole or not at all: a record cut in two would garble the
    // receiver's reading of everything after it.
    if (!writeWhole(*stream, data)) {
      closeStream(stream);
      // The delegate decides, as for a stream error, so a dropped service can be found again.
      serviceGone(name);
    }
  }
}

}  // namespace velbor
