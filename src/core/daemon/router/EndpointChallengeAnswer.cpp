#include "core/daemon/router/EndpointChallengeAnswer.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>

#include <fmt/format.h>

#include "core/state/QoConfig.h"
#include "framework/crypto/Cryptor.h"
#include "framework/errors/QoException.h"
#include "framework/network/ZMQAddress.h"

namespace velbor {
namespace {

constexpr std::string_view kScheme = "tcp://";

// Big-endian, so that devices of either byte order read the same numbers.
uint64_t bigEndian(const std::string& bytes, size_t at, size_t count) {
  uint64_t value = 0;
  for (size_t i = 0; i < count; ++i) value = (value << 8) | static_cast<unsigned char>(bytes.at(at + i));
  return value;
}

// The port as the challenger writes it: decimal digits without a leading zero.
std::optional<int> portOf(std::string_view text) {
  if (text.empty() || text.size() > 5 || text.front() == '0') return std::nullopt;
  int port = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + (c - '0');
  }
  if (port > 65535) return std::nullopt;
  return port;
}

bool isCanonicalIPv4(const std::string& text) {
  in_addr address{};
  if (inet_pton(AF_INET, text.c_str(), &address) != 1) return false;
  char written[INET_ADDRSTRLEN] = {};
  return inet_ntop(AF_INET, &address, written, sizeof written) != nullptr && text == written;
}

}  // namespace

void EndpointChallengeAnswer::nameEndpoint(pb::MsgGetRequest& request, const std::string& endpoint,
                                           const std::string& publisher) {
  request.clear_uuids();
  request.clear_vclock();
  request.add_uuids(endpoint);
  request.add_uuids(publisher);
}

std::optional<std::string> EndpointChallengeAnswer::endpointNamedBy(const pb::MsgGetRequest& request) {
  // A pull names copy uuids, never an endpoint, so the two cannot be taken for each other.
  if (request.uuids_size() < 1 || request.uuids_size() > 2 || request.vclock_size() != 0) return std::nullopt;
  for (const auto& uuid : request.uuids()) {
    if (!uuid.starts_with(kScheme)) return std::nullopt;
  }
  return request.uuids(0);
}

std::optional<std::string> EndpointChallengeAnswer::publisherNamedBy(const pb::MsgGetRequest& request) {
  if (!endpointNamedBy(request) || request.uuids_size() != 2) return std::nullopt;
  return request.uuids(1);
}

pb::MsgGetError EndpointChallengeAnswer::answerFor(const pb::MsgGetRequest& request, const std::string& endpoint) {
  std::string named = endpoint;
  if (const auto publisher = publisherNamedBy(request)) named += "\n" + *publisher;
  const std::string digest =
      Cryptor::getSHA1ForData(fmt::format("endpoint challenge\n{}\n{}\n{}\n{}\n{}", request.tree_uuid(),
                                          request.transfer(), request.part().offset(), request.part().length(), named));
  if (digest.size() < 16) throw QoException::defaultExceptionWithReason("endpoint challenge digest failed");
  pb::MsgGetError answer;
  answer.set_transfer(static_cast<int32_t>(static_cast<uint32_t>(bigEndian(digest, 0, 4))));
  answer.set_errcode(pb::ErrorCodeBadTree);
  answer.mutable_part()->set_offset(static_cast<int64_t>(bigEndian(digest, 4, 8)));
  answer.mutable_part()->set_length(static_cast<int32_t>(static_cast<uint32_t>(bigEndian(digest, 12, 4))));
  return answer;
}

bool EndpointChallengeAnswer::isLoopback(const std::string& address) {
  in_addr parsed{};
  return inet_pton(AF_INET, address.c_str(), &parsed) == 1 && (ntohl(parsed.s_addr) >> 24) == 127;
}

bool EndpointChallengeAnswer::isOwnEndpoint(const std::string& endpoint, const std::vector<std::string>& addresses,
                                            int port) {
  if (!endpoint.starts_with(kScheme)) return false;
  const std::string_view rest = std::string_view(endpoint).substr(kScheme.size());
  const size_t colon = rest.rfind(':');
  if (colon == std::string_view::npos) return false;
  const std::string address(rest.substr(0, colon));
  const std::optional<int> named = portOf(rest.substr(colon + 1));
  if (!named || *named != port || !isCanonicalIPv4(address) || isLoopback(address)) return false;
  return std::find(addresses.begin(), addresses.end(), address) != addresses.end();
}

std::vector<std::string> EndpointChallengeAnswer::addressesOfThisHost() {
  std::vector<std::string> addresses;
  for (const auto& entry : ZMQAddress::getIpAddresses()) {
    if (entry && entry->inetAddress) addresses.push_back(*entry->inetAddress);
  }
  return addresses;
}

bool EndpointChallengeAnswer::namesEndpointsOfThisDevice(const pb::MsgGetRequest& request) {
  const auto endpoint = endpointNamedBy(request);
  if (!endpoint) return false;
  const std::vector<std::string> addresses = addressesOfThisHost();
  const QoConfig& config = QoConfig::sharedQoConfig();
  if (!isOwnEndpoint(*endpoint, addresses, config.portRouter())) return false;
  const auto publisher = publisherNamedBy(request);
  return !publisher || isOwnEndpoint(*publisher, addresses, config.portPublisher());
}

}  // namespace velbor
