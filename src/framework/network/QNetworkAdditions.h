#pragma once

#include <memory>

#include "platform/DnsService.h"
#include "platform/SocketStream.h"

namespace velbor {

// Opens a stream pair to a found service, only for the streams asked for (either may be
// null). The connection is made when a stream opens. False when neither is asked for.
bool qNetworkAdditions_getInputStream(const DnsService::Found& service, std::shared_ptr<SocketStream>* inputStream,
                                      std::shared_ptr<SocketStream>* outputStream);

}  // namespace velbor
