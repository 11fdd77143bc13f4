// Discovery's receive path: opening datagrams, answering announcements and registering the
// devices they describe.
#include <arpa/inet.h>

#include <algorithm>
#include <exception>
#include <utility>

#include "core/daemon/client/QoClient.h"
#include "core/daemon/discovery/QoDiscovery.h"
#include "core/daemon/discovery/QoEndpointChallenge.h"
#include "core/daemon/discovery/QoStatusCheck.h"
#include "core/daemon/router/EndpointChallengeAnswer.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/envelope/QoMessage.h"
#include "core/state/PullsAwaitingPeer.h"
#include "core/state/QoConfig.h"
#include "core/state/QoNotices.h"
#include "core/state/QoPeer.h"
#include "core/utils/QoUtils.h"
#include "framework/crypto/QoEncrypt.h"
#include "framework/network/DispatchUdpSocket.h"
#include "framework/network/ZMQAddress.h"
#include "framework/persistence/WriteTransaction.h"
#include "platform/Exception.h"
#include "platform/LogRateLimiter.h"
#include "platform/QoLog.h"
#include "platform/Utf8.h"
#include "proto/VelborProto.pb.h"

namespace velbor {
namespace {

std::string exceptionName(const std::exception& e) {
  const auto* named = dynamic_cast<const Exception*>(&e);
  return named ? named->name() : "std::exception";
}

// The sender's address as dotted IPv4 text; a pure IPv6 sender has none (the endpoints are
// IPv4 only).
bool isIPv4Text(const std::string& text) {
  in_addr parsed{};
  return inet_pton(AF_INET, text.c_str(), &parsed) == 1;
}

bool isPort(int32_t port) { return port >= 1 && port <= 65535; }

std::string endpointOf(const std::string& ipAddress, int32_t port) {
  return fmt::format("tcp://{}:{}", ipAddress, port);
}

// Remote devices never trusted: not trusted, no trust exchange open, and no copy of theirs
// known (a copy or pairing refers to a device that was trusted).
constexpr const char* kNeverTrusted =
    "WHERE pk <> 0 AND status = 0 AND pk NOT IN (SELECT device FROM qo_syncdir_copy WHERE device IS NOT NULL)";

}  // namespace

void QoDiscovery::didReceiveData(const std::string& data, const std::string& address) {
  std::lock_guard<std::recursive_mutex> lock(udpSocketLock_);
  const QoConfig& config = QoConfig::sharedQoConfig();
  const std::string token = config.deviceToken();
  // Every device without a token could read a datagram sealed under the empty one.
  if (token.empty()) return;
  std::shared_ptr<pb::MsgDiscover> body;
  try {
    body = QoMessage::qoMessageWithRecvData(data, token)->pbBodyAs<pb::MsgDiscover>();
  } catch (const std::exception&) {
    return;  // another token, or not ours at all
  }
  // Hex digits of a uuid in either case name the same device.
  if (!body || QoUtils::caseInsensitiveCompare(body->device_uuid(), config.deviceUuid()) == 0) return;
  const ZMQAddress sender(address);
  if (!sender.ipAddrV4 || !isIPv4Text(*sender.ipAddrV4)) return;
  if (!isValidDiscover(*body, *sender.ipAddrV4)) return;
  if (body->is_response() == pb::PbBoolTrue) {
    handleDiscoverResponse(*body, *sender.ipAddrV4);
  } else {
    handleDiscoverRequest(*body, *sender.ipAddrV4);
  }
}

bool QoDiscovery::isValidDiscover(const pb::MsgDiscover& body, const std::string& ipAddress) {
  const char* problem = nullptr;
  if (!QoUtils::checkUuid(body.device_uuid())) {
    problem = "bad uuid";
  } else if (!isPort(body.route_port()) || !isPort(body.pub_port())) {
    problem = "bad port";
  } else if (body.device_name().size() > kMaxNameLength || !isValidUtf8(body.device_name())) {
    problem = "bad name";
  } else if (body.public_key().empty() || body.public_key().size() > kMaxPublicKeyLength) {
    problem = "bad public key";
  }
  if (problem) peerLog_->log("*** discover from {} refused, {}", ipAddress, problem);
  return problem == nullptr;
}

void QoDiscovery::handleDiscoverRequest(const pb::MsgDiscover& body, const std::string& ipAddress) {
  try {
    const auto reply = localDiscover(true);
    QoAssert(reply != nullptr, "local device != nil");
    const QoConfig& config = QoConfig::sharedQoConfig();
    const std::string token = config.deviceToken();
    const auto socket = getUdpSendSocket();
    if (socket && !token.empty()) {
      // To the sender's host at this device's own port, not the sender's source port.
      QoMessage::qoMessageWithMsgCode(pb::MsgCodeDiscover, reply)
          ->sendDiscoverToAsyncSocket(*socket, ipAddress, token, static_cast<uint16_t>(config.portUdp()));
    }
    registerDevice(body, ipAddress);
  } catch (const std::exception& e) {
    peerLog_->log("HandleDiscoverRequest failed, {}:{}", exceptionName(e), e.what());
  }
}

void QoDiscovery::handleDiscoverResponse(const pb::MsgDiscover& body, const std::string& ipAddress) {
  try {
    registerDevice(body, ipAddress);
  } catch (const std::exception& e) {
    peerLog_->log("HandleDiscoverResponse failed, {}:{}", exceptionName(e), e.what());
  }
}

void QoDiscovery::registerDevice(const pb::MsgDiscover& body, const std::string& ipAddress, bool verified) {
  const std::string routeUri = endpointOf(ipAddress, body.route_port());
  const std::string pubUri = endpointOf(ipAddress, body.pub_port());
  QoDevice::Ptr changed;
  QoDevice::Ptr cameOnline;
  QoDevice::Ptr heardAgain;
  try {
    WriteTransaction transaction;
    auto device = QoDevice::getDeviceWithUuid(body.device_uuid());
    if (device && device->pk() == 0) return;
    const bool moved = device && (device->routeUri() != routeUri || device->pubUri() != pubUri);
    if (device && device->isTrusted() && moved && !verified) {
      // A datagram from this very host comes from a process here, never from another
      // device: the device would prove an address every host has (loopback) or shares with
      // this one (a container bridge), and the process would hold its endpoint.
      if (isAddressOfThisHost(ipAddress)) {
        peerLog_->log("*** device({}) not moved to {}, an address of this host", device->name(), ipAddress);
        return;
      }
      // Anyone with the token can send (or replay) this datagram: the device proves first
      // that it answers and publishes there.
      challengeEndpoint(device, body, ipAddress, routeUri, pubUri);
      return;
    }
    const bool isNew = device == nullptr;
    if (isNew && !roomForNewDevice()) {
      peerLog_->log("*** device({}) from {} not stored, {} untrusted devices known", body.device_uuid(), ipAddress,
                    kMaxUntrustedDevices);
      return;
    }
    if (isNew) {
      device = std::make_shared<QoDevice>();
      device->setUuid(body.device_uuid());
      device->setStatus(0);
      device->setPubKey(QoEncrypt::convertPublicKeyFromDerToPem(body.public_key()));
      device->setType(QoPeer::convertDeviceTypeFromPbToQo(body.device_type()));
      device->setIsOnline(false);
    }
    const bool renamed = isNew || device->name() != body.device_name();
    device->setName(body.device_name());
    const bool wasOnline = device->isOnline();
    device->setIsOnline(true);
    device->setRegisterTime(QoUtils::timestampNow());
    device->setRouteUri(routeUri);
    device->setPubUri(pubUri);
    if (isNew) {
      device->save();
    } else {
      device->saveDiscovered();
    }
    transaction.commit();
    if (!wasOnline || renamed || moved) changed = device;
    // A pull that stopped unanswered is made again now that the device is heard: one that
    // comes back online is pulled whole anyway.
    const bool awaited = PullsAwaitingPeer::shared().take(device->uuid());
    if (!wasOnline && device->isTrusted()) {
      cameOnline = device;
    } else if (awaited && device->isTrusted()) {
      heardAgain = device;
    }
  } catch (const std::exception& e) {
    peerLog_->log("register device({}) failed, {}:{}", ipAddress, exceptionName(e), e.what());
    return;
  }
  if (changed) QoNotices::post(notice::DeviceAddResponse{{changed}});
  if (cameOnline) onlineTrustedDevice(cameOnline);
  if (heardAgain) runTracked([heardAgain] { QoClient::syncOnceTo(heardAgain); });
}

bool QoDiscovery::roomForNewDevice() {
  QoSyncdirCopy::tableCheck();
  const auto cap = static_cast<int64_t>(kMaxUntrustedDevices);
  int64_t stored = QoDevice::countByCriteria(kNeverTrusted);
  if (stored < cap) return true;
  // The oldest heard of those gone offline make room; online ones, and every device that is
  // or was trusted or is in a trust exchange, stay.
  const auto oldest = QoDevice::findByCriteria(
      fmt::format("{} AND is_online = 0 ORDER BY register_time LIMIT {}", kNeverTrusted, stored - cap + 1));
  for (const auto& device : oldest) device->forceRemove();
  return QoDevice::countByCriteria(kNeverTrusted) < cap;
}

void QoDiscovery::challengeEndpoint(const std::shared_ptr<QoDevice>& device, const pb::MsgDiscover& body,
                                    const std::string& ipAddress, const std::string& routeUri,
                                    const std::string& pubUri) {
  const std::string uuid = device->uuid();
  const std::string endpointKey = uuid + " " + routeUri + " " + pubUri;
  // Challenges in flight go by the address the claim came from, not its ports: a host that
  // names port after port of its own holds one at a time and cannot take every place.
  const std::string sourceKey = uuid + " " + ipAddress;
  {
    std::lock_guard lock(challengeLock_);
    const auto now = std::chrono::steady_clock::now();
    std::erase_if(failedEndpoints_, [now](const auto& entry) { return now - entry.second >= kChallengeRetryInterval; });
    // A few challenges per device at once, so that datagrams claiming other endpoints do not
    // keep the device's own move waiting; and a few in all, each holding a worker.
    if (challenging_.size() >= kMaxChallenges || challenging_.count(uuid) >= kMaxChallengesPerDevice ||
        failedEndpoints_.count(endpointKey) != 0) {
      return;
    }
    for (auto [at, end] = challenging_.equal_range(uuid); at != end; ++at) {
      if (at->second == sourceKey) return;
    }
    challenging_.emplace(uuid, sourceKey);
  }
  auto announcement = std::make_shared<pb::MsgDiscover>(body);
  runTracked([this, device, announcement, ipAddress, routeUri, pubUri, uuid, endpointKey, sourceKey] {
    std::string reason;
    const bool confirmed = QoEndpointChallenge::verify(device, routeUri, pubUri, QoClient::kReplyWaitMs, &reason);
    {
      std::lock_guard lock(challengeLock_);
      for (auto [at, end] = challenging_.equal_range(uuid); at != end; ++at) {
        if (at->second == sourceKey) {
          challenging_.erase(at);
          break;
        }
      }
      if (!confirmed && failedEndpoints_.size() < kMaxFailedEndpoints) {
        failedEndpoints_[endpointKey] = std::chrono::steady_clock::now();
      }
    }
    if (!confirmed) {
      peerLog_->log("*** device({}) not confirmed at {}, {}", device->name(), routeUri, reason);
      return;
    }
    registerDevice(*announcement, ipAddress, true);
  });
}

bool QoDiscovery::isAddressOfThisHost(const std::string& ipAddress) const {
  {
    std::lock_guard lock(challengeLock_);
    if (addressOfThisHost_) return addressOfThisHost_(ipAddress);
  }
  if (EndpointChallengeAnswer::isLoopback(ipAddress)) return true;
  const auto addresses = EndpointChallengeAnswer::addressesOfThisHost();
  return std::find(addresses.begin(), addresses.end(), ipAddress) != addresses.end();
}

void QoDiscovery::setAddressOfThisHost(std::function<bool(const std::string&)> isOwn) {
  std::lock_guard lock(challengeLock_);
  addressOfThisHost_ = std::move(isOwn);
}

void QoDiscovery::onlineTrustedDevice(const std::shared_ptr<QoDevice>& device) {
  runTracked([device] {
    QoStatusCheck::handleSendStatusRequest(device);
    // The check may have ended the trust or removed pairings: sync what is left.
    if (auto fresh = QoDevice::getDeviceWithUuid(device->uuid())) QoClient::syncOnceTo(fresh);
  });
}

}  // namespace velbor
