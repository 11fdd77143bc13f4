#pragma once

namespace velbor {

// LAN discovery and peer liveness: broadcasts this device's presence on the UDP port,
// registers the devices that answer with the same token, and takes devices offline when
// they have not been heard from within their time-out.
class QoDiscovery {
 public:
  static QoDiscovery& sharedQoDiscovery();

  QoDiscovery(const QoDiscovery&) = delete;
  QoDiscovery& operator=(const QoDiscovery&) = delete;

  // Starts discovery; returns once started. Raises when the UDP port cannot be bound.
  void run();
  // Ends discovery's threads and closes its sockets; safe to call when not running.
  void stop();
  bool isRunning() const;

 private:
  QoDiscovery();
  ~QoDiscovery();

  bool running_ = false;
};

}  // namespace velbor
