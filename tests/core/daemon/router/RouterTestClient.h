#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/entity/QoDevice.h"
#include "core/envelope/EnvelopeTestSupport.h"
#include "core/envelope/QoMessage.h"

namespace velbor {
class ZMQContext;
}  // namespace velbor

namespace velbor::test {

// A peer of this process's router: a device of its own (uuid and key pair) registered in the
// device table, sending requests over loopback tcp. Each exchange uses a fresh REQ socket,
// so one client may be used from several threads at once.
class RouterTestClient {
 public:
  // Longest wait for a reply: a guard against a hung test, not a measure of speed.
  static constexpr int kReplyWaitMs = 20000;

  // `endpoint` as the router reports it ("tcp://0.0.0.0:40123"); the client connects to its
  // port on 127.0.0.1. `status` 1 registers the device as trusted.
  RouterTestClient(const std::string& endpoint, const DeviceKeys& keys, int32_t status = 1);
  ~RouterTestClient();
  RouterTestClient(const RouterTestClient&) = delete;
  RouterTestClient& operator=(const RouterTestClient&) = delete;

  const QoDevice::Ptr& device() const { return device_; }

  // The frames of a request sealed at `level` by this device for the local device.
  std::vector<std::string> seal(int32_t code, QoMessage::Body body, int level) const;
  // Sends the frames and waits for the reply's frames, at most `waitMs`; nothing when none
  // came in time.
  std::optional<std::vector<std::string>> exchange(const std::vector<std::string>& frames, int waitMs = kReplyWaitMs);
  // Sends the frames of a request that gets no reply.
  void post(const std::vector<std::string>& frames);
  // The reply opened with this device's key.
  QoMessage::Ptr open(const std::vector<std::string>& frames) const;
  // seal, exchange and open; nullptr when no reply came.
  QoMessage::Ptr request(int32_t code, QoMessage::Body body, int level);

 private:
  std::string endpoint_;
  DeviceKeys keys_;
  QoDevice::Ptr device_;
  std::shared_ptr<ZMQContext> context_;
};

// One request and the reply the router must give. Rows for further handlers are one line
// each.
struct RequestCase {
  std::string label;
  int32_t code;
  std::function<QoMessage::Body()> body;  // nullptr: the request has no body
  int level;                              // the request's envelope level
  int encryptLevel;                       // the server's `encryptLevel` setting
  int32_t replyCode;
  int replyLevel;
  std::optional<int32_t> errcode = std::nullopt;     // checked for an error reply
  std::optional<std::string> errstr = std::nullopt;  // checked when given
  std::optional<bool> replyHasBody = std::nullopt;   // checked when given
};

// Sends every case through `client` and checks code, level, error and the reply's signer
// (the local device, above level 0).
void expectReplies(RouterTestClient& client, const std::vector<RequestCase>& cases);

}  // namespace velbor::test
