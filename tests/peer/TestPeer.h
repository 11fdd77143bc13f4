#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/NotificationCenter.h"

namespace velbor {

// One device driven by text commands, one a line, each answered by one JSON object:
// {"ok":true,...} or {"ok":false,"error":"..."}. It runs the daemon as the program does.
class TestPeer {
 public:
  struct Options {
    std::optional<std::string> token;
    std::optional<std::string> name;
    bool acceptTrust = false;
    // Offers are held for `trust-answer`, as the device window holds them: the offering
    // device waits at status 3 and goes back to 0 when it withdraws its offer.
    bool holdTrust = false;
    std::optional<int> routerPort;
    std::optional<int> publisherPort;
    std::optional<int> udpPort;
    std::optional<int> broadcastInterval;
    // Seconds of silence after which a device counts as offline.
    std::optional<int> onlineTimeout;
    // Seconds between the askings that confirm a distrust.
    std::optional<int> distrustRecheck;
  };

  // Parses the command line; raises std::invalid_argument for an unknown or malformed option.
  static Options parseOptions(const std::vector<std::string>& arguments);

  explicit TestPeer(Options options);
  ~TestPeer();
  TestPeer(const TestPeer&) = delete;
  TestPeer& operator=(const TestPeer&) = delete;

  // daemonInit, the options applied to the settings, start. Raises what start-up raises.
  void start();
  void stop();
  nlohmann::json readyLine() const;
  // One command line; `quit` sets quitRequested(). `offline` announces this device's exit
  // without stopping, as the debug panel's button does.
  nlohmann::json handle(const std::string& line);
  bool quitRequested() const { return quit_; }

 private:
  nlohmann::json info() const;
  // Each remote device: uuid, name, online flag, status and request endpoint.
  nlohmann::json devices() const;
  // device-add UUID ROUTE_URI PUB_URI PUBLIC_KEY_HEX: registers a device as a management client
  // does where discovery cannot reach it (two devices on one host); `info` gives the key as hex.
  nlohmann::json deviceAdd(const std::vector<std::string>& arguments);
  nlohmann::json trust(const std::string& uuid);
  // offer UUID: sends an offer and answers once the device has it; its answer shows later
  // in `devices`.
  nlohmann::json offer(const std::string& uuid);
  // trust-answer UUID agree|refuse: answers the device's offer.
  nlohmann::json trustAnswer(const std::string& uuid, const std::string& answer);
  // trust-cancel UUID: withdraws this device's offer.
  nlohmann::json trustCancel(const std::string& uuid);
  // distrust UUID: ends the trust on both sides; the device is dropped here.
  nlohmann::json distrust(const std::string& uuid);
  nlohmann::json treeAdd(const std::string& path);
  // pair LOCAL_PATH DEVICE_UUID REMOTE_PATH: what the sync-pair window does. A local tree of
  // another sync folder than the remote tree's joins it (as a new tree) while it has no
  // pairing; a paired one is refused.
  nlohmann::json pair(const std::string& localPath, const std::string& peerUuid, const std::string& remotePath);
  nlohmann::json sync();
  // challenge UUID WAIT_MS ROUTE_URI[,ROUTE_URI...]: asks each endpoint at once, as discovery
  // does when the device is announced there, whether it is that device; answers each
  // endpoint's outcome ("confirmed" or why not) once all are known.
  nlohmann::json challenge(const std::string& uuid, const std::string& waitMs, const std::string& routes);
  // The usn, the number of records, the folders watched and each pairing with its marks.
  nlohmann::json status() const;
  // status-of UUID: asks the device for its status, as the status check does; whether it answered.
  nlohmann::json statusOf(const std::string& uuid);
  void acceptOffer(const std::string& deviceUuid);

  Options options_;
  bool quit_ = false;
  std::vector<NotificationCenter::Token> observers_;
};

}  // namespace velbor
