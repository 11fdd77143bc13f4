#include "framework/network/QNetworkAdditions.h"

#include "platform/ServiceConnector.h"

namespace velbor {

bool qNetworkAdditions_getInputStream(const DnsService::Found& service, std::shared_ptr<SocketStream>* inputStream,
                                      std::shared_ptr<SocketStream>* outputStream) {
  if (!inputStream && !outputStream) return false;
  // Both streams share one connection.
  auto connector = std::make_shared<ServiceConnector>(service);
  bool made = true;
  if (inputStream) {
    *inputStream = SocketStream::createWithConnector(connector, SocketStream::Direction::input);
    made = made && *inputStream;
  }
  if (outputStream) {
    *outputStream = SocketStream::createWithConnector(connector, SocketStream::Direction::output);
    made = made && *outputStream;
  }
  return made;
}

}  // namespace velbor
