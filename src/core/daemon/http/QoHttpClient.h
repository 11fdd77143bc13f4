#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace velbor {

class QoFeedback;

// The check-in and feedback upload: GET requests to the service at the configured base
// address, answered by a JSON object whose integer "errCode" 0 means success ("errMsg" tells
// why not). No instances and no state; every call blocks until the reply or the time-out,
// so callers run it off the main thread. Nothing here raises for a network or service failure.
class QoHttpClient {
 public:
  static constexpr long kTimeoutSeconds = 5;
  // A reply body beyond this is not one the service sends.
  static constexpr size_t kMaxReplyBytes = 1 << 20;
  // The setting, in the standard settings suite, holding the service's base address.
  static constexpr const char* kServerURLKey = "QoServerURL";

  QoHttpClient() = delete;

  // The base address; empty when none is configured, and then no request is sent.
  static std::string serverURL();
  // The reply's JSON value for an HTTP 2xx answer with a JSON body; nothing (after a log
  // line) on any failure.
  static std::optional<nlohmann::json> sendHttpRequestToUrl(const std::string& url);
  // The same, naming the request `shownUrl` in its log lines.
  static std::optional<nlohmann::json> sendHttpRequestToUrl(const std::string& url, const std::string& shownUrl);
  // <base>/check_status/<device uuid>/<device type text>; a failure is only logged.
  static void sendCheckStatusHttpRequest();
  // <base>/feedback/<device uuid>/<userRank>/<message>/<name>, with name and message trimmed
  // (in the record too, which is not saved) and sent as "none" when empty. True only when the
  // service took it.
  static bool sendHttpRequestWithFeedback(QoFeedback& feedback);

  // Percent-encodes (UTF-8 bytes, upper-case hex) every byte outside RFC 3986's unreserved
  // set, "/" included, so a text stays one path segment.
  static std::string percentEscape(const std::string& text);
  // Whether a reply reports success: an object whose "errCode" is the integer 0.
  static bool isSuccess(const std::optional<nlohmann::json>& reply);
};

}  // namespace velbor
