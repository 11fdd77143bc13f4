#pragma once

#include <functional>
#include <string>

namespace velbor {

// What the envelope needs of this device and does not own: the RSA private key (PEM) that
// signs outgoing and unwraps incoming keys, the token discovery datagrams are encrypted
// under and the UDP port they go to. Each is read at every use, so a changed setting holds
// for the next message. The owner of the settings installs them once for the process;
// until then every value is empty (port 0), as on a device whose settings are not loaded,
// and sealing or opening fails as it does there.
class EnvelopeKeys {
 public:
  using Text = std::function<std::string()>;
  using Number = std::function<int()>;

  EnvelopeKeys() = default;
  EnvelopeKeys(Text privateKey, Text deviceToken, Number portUdp);

  std::string privateKey() const;
  std::string deviceToken() const;
  int portUdp() const;

  // Replaces the process-wide keys; safe against readers on other threads.
  static void install(EnvelopeKeys keys);
  // The process-wide keys as installed last (none before the first install).
  static EnvelopeKeys installed();

 private:
  Text privateKey_;
  Text deviceToken_;
  Number portUdp_;
};

}  // namespace velbor
