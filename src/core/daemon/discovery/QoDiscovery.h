#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace velbor {

class DispatchQueue;
class DispatchSource;
class DispatchUdpSocket;
class DispatchUdpSocketDelegate;
class LogRateLimiter;
class QoDevice;

namespace pb {
class MsgDiscover;
}  // namespace pb

// LAN discovery and peer liveness: broadcasts this device's presence on the UDP port,
// answers other devices' announcements, registers every device whose datagram opens under
// this device's token, and takes devices offline when they have been silent too long.
//
// Datagrams are only sealed under the token: anyone who knows it can forge or replay one.
// So registration trusts a datagram only as far as it must: fields are validated, a stored
// device's key, type and status never change here, and a trusted device's endpoints move
// only once the device has proved with a signed answer that the new address is one of its
// own (QoEndpointChallenge). Devices never trusted are kept up to kMaxUntrustedDevices.
// With an empty token nothing is sent or accepted.
class QoDiscovery {
 public:
  // One tick drives broadcast, offline check, refresh notice and check-in.
  static constexpr std::chrono::seconds kTickInterval{5};
  static constexpr int64_t kRefreshTTL = 12;            // 60 seconds
  static constexpr int64_t kHttpCheckStatusTTL = 4320;  // 6 hours
  // Longest device name accepted from a datagram, in bytes.
  static constexpr size_t kMaxNameLength = 255;
  // A DER public key beyond this is not a key this system makes.
  static constexpr size_t kMaxPublicKeyLength = 4096;
  // After a failed challenge, the same claimed endpoint is not challenged again for this long.
  static constexpr std::chrono::seconds kChallengeRetryInterval{60};
  // Challenges at once, per device and in all, and failed endpoints remembered.
  static constexpr size_t kMaxChallengesPerDevice = 4;
  static constexpr size_t kMaxChallenges = 32;
  static constexpr size_t kMaxFailedEndpoints = 4096;
  // Devices never trusted that are kept at most: anyone with the token can announce any
  // number of made-up ones.
  static constexpr size_t kMaxUntrustedDevices = 256;

  static QoDiscovery& sharedQoDiscovery();

  QoDiscovery(const QoDiscovery&) = delete;
  QoDiscovery& operator=(const QoDiscovery&) = delete;

  // Starts discovery: binds the UDP port, announces this device and starts the tick.
  // Returns once started. Raises QoException when the port cannot be bound: named "Address
  // already in use" or "Permission denied" for those two failures.
  void run();
  // Ends the tick, closes both sockets and waits for discovery's queued jobs (status checks,
  // challenges, check-in) to finish; safe to call when not running.
  void stop();
  bool isRunning() const;

  // Rebinds the receive socket after a change of `portUdp`; raises as run() does for the two
  // named failures, and returns quietly after any other.
  void restart();
  // Sends one announcement now (nothing without a token or a local device row).
  void broadCast();

  // The receive path: one datagram and the sender's socket address bytes. Called by the
  // receive socket's delegate on the queue "discoverUdp"; tests feed it directly.
  void didReceiveData(const std::string& data, const std::string& address);
  // Stores what a readable, valid announcement or reply tells of its device. `verified` is
  // set once a trusted device has answered the endpoint challenge from `ipAddress`.
  void registerDevice(const pb::MsgDiscover& body, const std::string& ipAddress, bool verified = false);

  // Takes the devices silent for longer than `deviceOnlineTimeOut` offline.
  void timeoutCheck();
  // One tick. It announces this device at every broadCastTTL-th tick, and at every tick while
  // a pull waits for a device still taken to be online: the device answers each announcement
  // once it can be reached again (its link back), so its pull is made then, not only at its
  // own next announcement a whole interval later.
  void threadTimerScheduler();
  // The server check-in, then the upload of every stored feedback record, each deleted once
  // the service has taken it. Synchronous; the tick runs it on the global queue.
  void checkIn();

  // Whether a pull waits for a device stored as online (PullsAwaitingPeer).
  static bool awaitsOnlineDevice();

  // The tick counts of the current start (each at least 1).
  int64_t deviceTimeoutTTL() const;
  int64_t broadCastTTL() const;

  // Runs a job on the global queue, tracked so that stop() can wait for it. Jobs started
  // when not running still run.
  void runTracked(std::function<void()> job);
  // Waits until every tracked job has ended (tests and stop()).
  void waitForJobs();

  // Whether a datagram from `ipAddress` comes from this host (loopback or one of its
  // interface addresses): a trusted device never moves there. Tests, whose peers all sit on
  // loopback, replace the check; nullptr restores it.
  bool isAddressOfThisHost(const std::string& ipAddress) const;
  void setAddressOfThisHost(std::function<bool(const std::string&)> isOwn);

 private:
  QoDiscovery();
  ~QoDiscovery();

  // 0, or the system error number of the failed step (-1 when there is none).
  int udpServerStart();
  int udpSendSocketInit();
  std::shared_ptr<DispatchUdpSocket> getUdpSendSocket();
  void closeReceiveSocketLocked();
  void fixTickCounts();
  // Raises the named exception for a failed bind.
  static void raiseBindFailure(int error);

  void handleDiscoverRequest(const pb::MsgDiscover& body, const std::string& ipAddress);
  void handleDiscoverResponse(const pb::MsgDiscover& body, const std::string& ipAddress);
  // Whether a datagram's fields are fit to be stored; logs (rate-limited) when not.
  bool isValidDiscover(const pb::MsgDiscover& body, const std::string& ipAddress);
  // The announcement of this device, or nullptr without a local device row.
  std::shared_ptr<pb::MsgDiscover> localDiscover(bool isResponse);
  // Challenges `device` at its claimed new endpoints on the global queue and registers the
  // datagram once it answered; a few challenges per device at a time.
  void challengeEndpoint(const std::shared_ptr<QoDevice>& device, const pb::MsgDiscover& body,
                         const std::string& ipAddress, const std::string& routeUri, const std::string& pubUri);
  void onlineTrustedDevice(const std::shared_ptr<QoDevice>& device);
  // Whether another device never trusted may be stored, after the oldest of them that are
  // offline were removed to make room. Inside the registration's transaction.
  bool roomForNewDevice();

  // Guards the receive socket and its queue; held by start, restart, stop and each datagram.
  mutable std::recursive_mutex udpSocketLock_;
  std::shared_ptr<DispatchUdpSocket> udpSocket_;
  std::shared_ptr<DispatchQueue> udpQueue_;
  // Guards the send socket and its queue.
  std::recursive_mutex udpSendSocketLock_;
  std::shared_ptr<DispatchUdpSocket> udpSendSocket_;
  std::shared_ptr<DispatchQueue> udpSendQueue_;
  std::shared_ptr<DispatchUdpSocketDelegate> delegate_;

  // The tick: a repeating timer on its own serial queue.
  std::shared_ptr<DispatchQueue> tickQueue_;
  std::shared_ptr<DispatchSource> tickTimer_;
  bool running_ = false;
  // Set by stop(): long jobs end early.
  std::atomic<bool> stopping_ = false;
  // Ticks so far; touched only by the tick.
  int64_t counter_ = 0;
  int64_t deviceTimeoutTTL_ = 1;
  int64_t broadCastTTL_ = 1;

  // Challenges in flight (device uuid to "uuid address", one per address a claim came from)
  // and failed endpoints with when they failed.
  mutable std::mutex challengeLock_;
  std::multimap<std::string, std::string> challenging_;
  std::function<bool(const std::string&)> addressOfThisHost_;
  std::map<std::string, std::chrono::steady_clock::time_point> failedEndpoints_;

  std::mutex jobsLock_;
  std::condition_variable jobsDone_;
  int jobs_ = 0;

  std::unique_ptr<LogRateLimiter> peerLog_;
};

}  // namespace velbor
