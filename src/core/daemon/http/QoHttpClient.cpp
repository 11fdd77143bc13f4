#include "core/daemon/http/QoHttpClient.h"

#include <curl/curl.h>

#include <array>
#include <memory>
#include <mutex>
#include <string_view>

#include <fmt/format.h>

#include "core/entity/QoDevice.h"
#include "core/entity/QoFeedback.h"
#include "core/state/QoConfig.h"
#include "platform/QoLog.h"
#include "platform/UserDefaults.h"

namespace velbor {
namespace {

// Only this much of a reply that is not JSON goes to the log.
constexpr size_t kLoggedBodyBytes = 512;

struct CurlDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

void globalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

size_t appendBody(char* data, size_t size, size_t count, void* userData) {
  auto* body = static_cast<std::string*>(userData);
  const size_t bytes = size * count;
  // Returning less than was given makes curl fail the transfer.
  if (body->size() + bytes > QoHttpClient::kMaxReplyBytes) return 0;
  body->append(data, bytes);
  return bytes;
}

// White space and line breaks, ASCII and the Unicode spaces, as UTF-8 sequences.
// clang-format off
constexpr std::array<std::string_view, 22> kSpaces{
    " ",            "\t",           "\n",           "\v",           "\f",           "\r",
    "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82",
    "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88",
    "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE3\x80\x80",
};
// clang-format on

size_t spaceAt(std::string_view text, bool atEnd) {
  for (std::string_view space : kSpaces) {
    if (atEnd ? text.ends_with(space) : text.starts_with(space)) return space.size();
  }
  return 0;
}

std::string trimmed(std::string_view text) {
  while (size_t n = spaceAt(text, false)) text.remove_prefix(n);
  while (size_t n = spaceAt(text, true)) text.remove_suffix(n);
  return std::string(text);
}

std::string errMsgOf(const std::optional<nlohmann::json>& reply) {
  if (reply && reply->is_object()) {
    const auto found = reply->find("errMsg");
    if (found != reply->end() && found->is_string()) return found->get<std::string>();
  }
  return "(null)";
}

}  // namespace

std::string QoHttpClient::serverURL() { return UserDefaults::standardUserDefaults()->stringForKey(kServerURLKey); }

std::optional<nlohmann::json> QoHttpClient::sendHttpRequestToUrl(const std::string& url) {
  return sendHttpRequestToUrl(url, url);
}

std::optional<nlohmann::json> QoHttpClient::sendHttpRequestToUrl(const std::string& url, const std::string& shownUrl) {
  globalInit();
  std::unique_ptr<CURL, CurlDeleter> handle(curl_easy_init());
  if (!handle) {
    QoLog("*** send http request, {}, {}", shownUrl, "cannot make a request");
    return std::nullopt;
  }
  std::string body;
  char error[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(handle.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle.get(), CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(handle.get(), CURLOPT_PROTOCOLS_STR, "http,https");
  // A name or message of "." or ".." is a segment of its own, not a step up the path.
  curl_easy_setopt(handle.get(), CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(handle.get(), CURLOPT_TIMEOUT, kTimeoutSeconds);
  // Signals cannot interrupt another thread's request.
  curl_easy_setopt(handle.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, appendBody);
  curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(handle.get(), CURLOPT_ERRORBUFFER, error);
  const CURLcode result = curl_easy_perform(handle.get());
  if (result != CURLE_OK) {
    QoLog("*** send http request, {}, {}", shownUrl, error[0] != '\0' ? error : curl_easy_strerror(result));
    return std::nullopt;
  }
  long status = 0;
  curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &status);
  // An error page is no answer, whatever its body says.
  if (status < 200 || status > 299) {
    QoLog("*** send http request, {}, {}", shownUrl, fmt::format("HTTP status {}", status));
    return std::nullopt;
  }
  nlohmann::json value = nlohmann::json::parse(body, nullptr, false);
  if (value.is_discarded()) {
    // A service may echo the request in its error page: a hidden one is not shown that way either.
    QoLog("*** parse json error!, {}, {}", shownUrl,
          shownUrl == url ? body.substr(0, kLoggedBodyBytes) : std::string("(not shown)"));
    return std::nullopt;
  }
  return value;
}

bool QoHttpClient::isSuccess(const std::optional<nlohmann::json>& reply) {
  if (!reply || !reply->is_object()) return false;
  const auto found = reply->find("errCode");
  return found != reply->end() && found->is_number_integer() && found->get<int64_t>() == 0;
}

void QoHttpClient::sendCheckStatusHttpRequest() {
  const std::string base = serverURL();
  if (base.empty()) return;
  const QoConfig& config = QoConfig::sharedQoConfig();
  const auto reply =
      sendHttpRequestToUrl(fmt::format("{}/{}/{}/{}", base, "check_status", percentEscape(config.deviceUuid()),
                                       percentEscape(QoDevice::getTypeString(config.deviceType()))));
  if (reply && !isSuccess(reply)) QoLog("*** request check status failed, {}", errMsgOf(reply));
}

bool QoHttpClient::sendHttpRequestWithFeedback(QoFeedback& feedback) {
  const std::string base = serverURL();
  if (base.empty()) return false;
  feedback.setName(trimmed(feedback.name()));
  feedback.setMessage(trimmed(feedback.message()));
  const std::string message = feedback.message().empty() ? "none" : feedback.message();
  const std::string name = feedback.name().empty() ? "none" : feedback.name();
  const std::string prefix =
      fmt::format("{}/{}/{}/{}", base, "feedback", percentEscape(QoConfig::sharedQoConfig().deviceUuid()),
                  percentEscape(feedback.userRank()));
  // The service takes the texts in the path; what the user wrote, and the name, stay out of
  // the log.
  const auto reply = sendHttpRequestToUrl(fmt::format("{}/{}/{}", prefix, percentEscape(message), percentEscape(name)),
                                          prefix + "/-/-");
  if (!reply) return false;
  if (isSuccess(reply)) return true;
  QoLog("*** request check status failed, {}", errMsgOf(reply));
  return false;
}

std::string QoHttpClient::percentEscape(const std::string& text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    const bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                            (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' || byte == '~';
    if (unreserved) {
      escaped += c;
    } else {
      escaped += '%';
      escaped += kHex[byte >> 4];
      escaped += kHex[byte & 0x0F];
    }
  }
  return escaped;
}

}  // namespace velbor
