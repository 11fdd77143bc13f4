#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "framework/network/LoopbackSourceTable.h"
#include "framework/network/ZMQFrameCounter.h"

namespace velbor {

// Stands between a ZeroMQ socket and the hosts it connects to over tcp (or that connect to it):
// the socket connects to a loopback port of the guard (or is bound on loopback behind it), and
// the guard's thread relays each connection to the real endpoint, following what the far side
// sends with a ZMQFrameCounter. A connection whose message goes beyond the bounds is cut
// before ZeroMQ holds that message, so what one connection makes the socket hold stays within
// what a message may be (frames and bytes), whatever the host sends. The guard itself holds
// at most one read's worth each way per connection, and reads no more from a side than the
// other takes. Commands are bounded in number as well (a few at once, then a couple a second).
//
// A listening guard bounds the connections too: those of one far host, and those of every
// listening guard of the process together (each costs three descriptors, and ZeroMQ spins
// when it cannot accept one); a connection that brought no whole message for a while is
// ended. When the table is full, the newest connection of the busiest host makes room for
// a host with fewer, and a trusted host's connection is never the one ended.
class ZMQFrameGuard {
 public:
  struct Connections {
    // Of one far host: a device's requests, fetches and subscription, many at once.
    size_t perHost = 32;
    // Of every listening guard together; fewer where the process may open few descriptors.
    size_t inAll = 1024;
    // A connection that brought no whole message (a request, a subscription) in this time
    // is ended: every peer sends one as soon as it connected. Those that did may stay idle.
    // So is one whose message stays unfinished this long: ZeroMQ holds what came of it.
    std::chrono::milliseconds idle{30000};
    // Whether a far host ("192.168.1.7") is trusted; none is when empty. Called by the
    // guard's thread when the table is full, and by refuseHost's caller: it must be quick
    // and thread-safe.
    std::function<bool(const std::string& host)> trusted;
  };
  // Commands a connection may send at once, and more for each second it lasts, never more
  // than the burst in hand (one that waits saves up no more): a handshake, subscriptions,
  // heartbeats.
  static constexpr uint64_t kCommandBurst = 32;
  static constexpr uint64_t kCommandsPerSecond = 2;
  // Descriptors kept for everything but the relayed connections (at least; a quarter of the
  // process's limit where that is more).
  static constexpr size_t kReservedDescriptors = 256;

  // Bytes a connection reads at a time, each way.
  static constexpr size_t kBufferBytes = 64 * 1024;
  // How long a guard that ends still passes on what ZeroMQ sends as its socket closes: its
  // default linger.
  static constexpr std::chrono::milliseconds kDrainTime{1000};
  // How long listeners wait to accept when the process is out of descriptors and the guard
  // has no spare one to end a waiting connection with.
  static constexpr std::chrono::milliseconds kAcceptPause{100};
  // Connections taken from a listener's queue in one round.
  static constexpr size_t kAcceptsPerRound = 1024;
  // A listening guard that refused, cut or ended this many connections takes no new ones for
  // a while after the round: a host that makes its connections again at once costs no more
  // than a round's worth each time.
  static constexpr size_t kStrikesPerPause = 16;
  static constexpr std::chrono::milliseconds kStrikePause{200};

  // `name` tells in the log whose connections were cut. With `answersOnly` the far side may
  // send no more messages than it was sent (a REQ or DEALER socket, whose every request has
  // one answer): it cannot fill the socket's queue with messages nobody asked for.
  ZMQFrameGuard(std::string name, ZMQFrameCounter::Bounds bounds, bool answersOnly);
  // Ends the thread and closes every connection, once what ZeroMQ still sends on them has
  // gone on (kDrainTime at most).
  ~ZMQFrameGuard();
  ZMQFrameGuard(const ZMQFrameGuard&) = delete;
  ZMQFrameGuard& operator=(const ZMQFrameGuard&) = delete;

  // The loopback endpoint ("tcp://127.0.0.1:40211") whose connections lead to `endpoint`
  // ("tcp://host:port", the host resolved now); the same one again for the same endpoint.
  // Raises ZMQException (EINVAL) for an endpoint that names no host and port.
  std::string routeTo(const std::string& endpoint);
  // Listens at `endpoint` ("tcp://*:9526") for the far sides' connections and passes each on
  // to the loopback endpoint `local` a ZeroMQ socket is bound at: that socket takes nothing
  // the guard did not count. A connection may bring `messagesAllowed` messages in all.
  // With `sourcePerHost` the connections of each far host come to `local` from a loopback
  // address of that host's own (see farSideOf). Answers the endpoint as bound
  // ("tcp://0.0.0.0:9526"); raises ZMQException with the errno when it cannot listen, or
  // EINVAL for an endpoint that names no host and port.
  std::string listenFor(const std::string& endpoint, const std::string& local, uint64_t messagesAllowed,
                        bool sourcePerHost = false);
  // The bounds of the far sides' connections; set before listenFor.
  void setConnections(Connections connections);
  // The far sides' connections all listening guards of the process relay now.
  static size_t relayedInAll();
  // Ends every connection of the far host `host` ("192.168.1.7") to a listening route and
  // refuses its new ones for `duration`. False, with nothing done, for a trusted host.
  // Thread-safe.
  bool refuseHost(const std::string& host, std::chrono::milliseconds duration);
  // Takes no more connections for `endpoint`; those made end as ZeroMQ closes them.
  void dropRoute(const std::string& endpoint);
  // The loopback endpoint that leads to `endpoint`; nothing when none.
  std::optional<std::string> localOf(const std::string& endpoint) const;
  // The endpoint that the loopback endpoint `local` leads to; nothing when none.
  std::optional<std::string> endpointOf(const std::string& local) const;
  // The far side ("192.168.1.7:40312") of the connection that comes to ZeroMQ from `source`
  // ("127.1.0.3:51022") with sourcePerHost; nothing once that connection is gone.
  std::optional<std::string> farSideOf(const std::string& source) const;
  // The far host ("192.168.1.7") that the loopback address `sourceHost` ("127.1.0.3") was last
  // given to with sourcePerHost, kept after its connections are gone (an address is given to
  // another host as late as can be): a request read after its connection ended still tells
  // whose it was. Nothing when it was never given.
  std::optional<std::string> farHostOfSource(const std::string& sourceHost) const;
  // Connections cut for what they sent.
  uint64_t cutConnections() const { return cut_.load(); }
  // Of those, with answersOnly, the ones cut while answers to what was sent on them were
  // still to come: those requests are lost.
  uint64_t cutOwingAnswers() const { return cutOwing_.load(); }
  // Readable from the first cut on, for good: a poll can wait for replies and for this.
  int cutFd() const { return cutFd_; }
  // The endpoints connected to whose connections were cut since the last call, each once.
  std::vector<std::string> takeCutEndpoints();

 private:
  struct Route;
  struct Link;

  void run();
  void serve();
  // One poll of the wake pipe, the routes' listeners and the links, and what it found.
  void pump(const std::vector<Route>& routes, std::vector<Link>& links, std::string& scratch, int timeoutMs);
  // With `keepPlace` the link's place in the shared total goes to a newcomer.
  void closeLink(Link& link, bool keepPlace = false);
  // Comes from the far host's own loopback address; false when it cannot.
  bool bindSource(Link& link, int accepted, int made);
  void applyChanges(std::vector<Route>& routes);
  // Takes up the hosts refuseHost was given: their connections end.
  void applyRefusals(std::vector<Link>& links);
  void accept(const Route& route, std::vector<Link>& links);
  // Whether a new connection of the far host `host` may be relayed, room made for it where
  // it may be; when it may, a place of the shared total is held for it (see relay).
  bool admit(const std::string& host, std::vector<Link>& links);
  // Ends the newest connection of the busiest host that is not trusted, when `host` (the
  // one that wants room) is trusted or has fewer, and keeps its place in the shared total
  // for the newcomer; false when none was ended.
  bool makeRoom(const std::string& host, std::vector<Link>& links);
  // Takes a place in the shared total in one step; false when it is full.
  bool reservePlace() const;
  bool trusted(const std::string& host) const;
  // Connections of listening routes the process may relay in all.
  size_t budget() const;
  // Takes a connection of `route` that waits while the process is out of descriptors with
  // the spare one, and relays it only where room was made for it.
  void shed(const Route& route, std::vector<Link>& links);
  // Relays the accepted connection `accepted` of `route` (of the far host `host`, whose place
  // in the shared total admit() holds); false when no descriptor was left for ZeroMQ's side.
  bool relay(const Route& route, int accepted, const std::string& host, std::vector<Link>& links);
  // Ends the connections that brought no whole message in time, or left one unfinished for
  // as long; the milliseconds until the next one is due (-1: none).
  int endIdle(std::vector<Link>& links, std::chrono::steady_clock::time_point now);
  // Gives the far side of `link` the commands it earned since the last time.
  static void allowCommands(Link& link, std::chrono::steady_clock::time_point now);
  // False when the link is done and is to be closed. `scratch` is the buffer reads go to.
  bool step(Link& link, short localEvents, short remoteEvents, std::string& scratch);
  // Ends the far side of a link whose stream broke its bounds.
  void cut(Link& link);
  void wake();
  // The guard's own descriptors: its wake pipe, the cut signal and the spare.
  void closeDescriptors();

  std::string name_;
  ZMQFrameCounter::Bounds bounds_;
  Connections connections_;
  bool answersOnly_;
  int wakePipe_[2] = {-1, -1};
  int cutFd_ = -1;
  // Kept free for shed(); the thread's own from the start.
  int spareFd_ = -1;
  std::chrono::steady_clock::time_point acceptPausedUntil_;
  // Connections of listening routes refused, cut or ended since the last pause.
  size_t strikes_ = 0;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> cut_{0};
  std::atomic<uint64_t> cutOwing_{0};

  mutable std::mutex lock_;
  // Endpoint to loopback endpoint, and back; what the thread is yet to take up or let go.
  std::map<std::string, std::string> locals_;
  std::map<std::string, std::string> endpoints_;
  std::vector<Route> added_;
  std::vector<std::string> dropped_;
  std::vector<std::string> cutEndpoints_;
  // Hosts refuseHost was given, until when; the thread's refused_ once taken up.
  std::vector<std::pair<std::string, std::chrono::steady_clock::time_point>> refusals_;
  std::map<std::string, std::chrono::steady_clock::time_point> refused_;
  // ZeroMQ's side of a connection from a host's own source address, to its far side.
  std::map<std::string, std::string> farSides_;
  // A host's own source address to the far host it was last given to (see farHostOfSource).
  std::map<std::string, std::string> sourceHosts_;
  // The thread's own.
  LoopbackSourceTable sources_;
  // Relayed connections of listening routes by far host; the thread's own.
  std::map<std::string, size_t> hostLinks_;
};

}  // namespace velbor
