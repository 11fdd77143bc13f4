#pragma once

#include <optional>
#include <string>

namespace velbor {

inline constexpr const char* DispatchUdpSocketErrorDomain = "DispatchUdpSocketErrorDomain";
// The domain of errors carrying an errno value.
inline constexpr const char* DispatchUdpSocketPosixErrorDomain = "NSPOSIXErrorDomain";
// The domain of errors carrying a getaddrinfo code.
inline constexpr const char* DispatchUdpSocketNetDBErrorDomain = "kCFStreamErrorDomainNetDB";

// Codes of DispatchUdpSocketErrorDomain.
enum DispatchUdpSocketErrorCode : int {
  DispatchUdpSocketBadConfigError = 1,
  DispatchUdpSocketBadParamError = 2,
  DispatchUdpSocketSendTimeoutError = 3,
  DispatchUdpSocketClosedError = 4,
  DispatchUdpSocketOtherError = 5,
};

// A failure of the UDP socket, reported as a value (never raised): a domain, a code in that
// domain, a description and, for some, the reason.
class DispatchUdpSocketError {
 public:
  DispatchUdpSocketError() = default;
  DispatchUdpSocketError(std::string domain, int code, std::string description,
                         std::optional<std::string> failureReason = std::nullopt)
      : domain_(std::move(domain)),
        code_(code),
        localizedDescription_(std::move(description)),
        localizedFailureReason_(std::move(failureReason)) {}

  const std::string& domain() const { return domain_; }
  int code() const { return code_; }
  const std::string& localizedDescription() const { return localizedDescription_; }
  const std::optional<std::string>& localizedFailureReason() const { return localizedFailureReason_; }
  // One line for logs: domain, code, description and reason.
  std::string description() const;

 private:
  std::string domain_;
  int code_ = 0;
  std::string localizedDescription_;
  std::optional<std::string> localizedFailureReason_;
};

}  // namespace velbor
