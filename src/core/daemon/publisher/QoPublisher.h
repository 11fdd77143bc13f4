#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/daemon/router/QoRouter.h"
#include "core/state/QoNotices.h"
#include "framework/network/ZMQMessage.h"
#include "platform/LogRateLimiter.h"
#include "platform/NotificationCenter.h"

namespace velbor {

class ZMQContext;
class ZMQSocket;
class SubscriberConnections;

// Tells the peers that something changed here and lets this device react to what the peers
// announce. "FileChanged" becomes a PubFileChange notice (19) and "ProcessExit" a PubExit
// notice (21), fanned out on a PUB socket bound to `publisherUri` (an XPUB, so that the
// broker sees what each subscriber asks for and keeps only the subscription to everything).
// A SUB socket, subscribed to everything, is connected to this device's own publisher and to
// that of every trusted device that comes online, and of a few others (see
// kMaxUntrustedPublishers); each notice it receives goes to one of the publisher's own
// workers, which runs the handler named after it. A new pairing gets a sync once.
//
// Every socket belongs to the broker thread alone. Notices are sealed on the poster's thread
// and handed over in a bounded queue; subscriptions are a wanted set that the broker brings
// its SUB socket in line with. Either change wakes the broker through a pipe.
//
// Notices go at level 0. A signature covers the body alone, not the message code, and an
// exit notice's body is byte for byte the body of this device's distrust request (a change
// notice's parses as one too): signed notices, which any host may subscribe to, would hand
// out a signed distrust of this device. What a receiver does with an unsigned notice is
// safe whoever sent it (see handlePubFileChange and handlePubExit).
//
// Frames to a worker through the backend: [worker] [empty] ["dummy"] [empty] [header]
// [body]; a worker's answer is used only for its identity.
class QoPublisher : public QoRouter, public std::enable_shared_from_this<QoPublisher> {
 public:
  // Notices waiting for the broker beyond this are dropped: a broker that stopped must not
  // make the notification queue hold them without end.
  static constexpr size_t kMaxPendingNotices = 256;
  static constexpr const char* kDummyIdentity = "dummy";
  // A notice is a header, a body and at most a user-info frame, a few hundred bytes in all.
  // Anything beyond these bounds is dropped at the SUB socket (a larger frame drops the
  // connection it came on); the four frames put in front for the worker keep it within
  // what a worker takes, so no notice can end one.
  static constexpr size_t kMaxNoticeFrames = 3;
  static constexpr int64_t kMaxNoticeBytes = 64 * 1024;
  // Beyond this a message is no notice and costs its connection (a few more are only dropped).
  static constexpr size_t kMaxGuardedNoticeFrames = 16;
  // What a subscriber may send: the handshake and its subscription to everything, a few
  // dozen bytes. A larger frame drops its connection in ZeroMQ; any other subscription is
  // cut by the broker (ZeroMQ keeps every subscription of a connection while it lasts).
  static constexpr int64_t kMaxSubscriptionBytes = 256;
  // Subscriptions taken at a time, so that a flood of them does not hold up the notices, and
  // yet ZeroMQ, which keeps every subscription passed up until the broker reads it, never
  // holds many.
  static constexpr size_t kSubscriptionsPerRound = 4096;
  // A SUB socket subscribes once on each connection: one that keeps subscribing and
  // cancelling is cut before ZeroMQ queues more of it for the broker.
  static constexpr uint64_t kMaxSubscriptionMessages = 4;
  // Publishers of devices not trusted that the SUB socket is connected to at once; those of
  // trusted devices are all connected.
  static constexpr size_t kMaxUntrustedPublishers = 16;
  // How often the broker looks at what the connections to those publishers have brought.
  static constexpr int kWatchIntervalMs = 200;

  static std::shared_ptr<QoPublisher> sharedQoPublisher();
  // Stops the shared publisher and drops it (process exit, tests).
  static void resetSharedQoPublisher();

  QoPublisher();
  ~QoPublisher() override;

  // Binds the backend and the PUB socket, subscribes to this device's own publisher, starts
  // `publisherWorkerCount` workers and the broker thread. A failure is logged as "Puller run
  // failed, ..." and raised (ZMQException with the errno for a bind), with nothing left
  // running.
  void start() override;
  // Ends the broker and the workers and closes every socket. Notices already handed to the
  // PUB socket are still flushed to the peers for up to the socket's linger.
  void stop() override;
  // The PUB endpoint as bound ("tcp://0.0.0.0:9526"); empty when not started.
  std::string publisherEndpoint() const;

  // Seals the notice on the calling thread and queues it for the broker. False when it was
  // dropped (no broker running, or the queue full). A notice that cannot be sealed is
  // logged as "Send message to publish failed" and raised.
  bool sendQoMessageToPusher(const QoMessage::Ptr& message);
  // Waits until a PubExit has gone out on the PUB socket, at most `timeout`; true when it did.
  bool waitForExitPublished(std::chrono::milliseconds timeout);
  // PubExit notices queued so far. Taken before an exit is announced, it names the notices
  // that came earlier, so that a wait is not ended by one of them.
  uint64_t exitTicket();
  // Waits until a PubExit queued after `ticket` was taken has gone out on the PUB socket
  // (notices go out in the order queued), at most `timeout`; true when it did.
  bool waitForExitPublished(uint64_t ticket, std::chrono::milliseconds timeout);

  // The notification handlers, registered on the shared instance.
  void handleNotifyFileChanged(const notice::FileChanged& notice);
  void handleNotifyProcessExit();
  void handleNotifyDeviceAddResponse(const notice::DeviceAddResponse& notice);
  void handleNotifyDeviceOffLine(const notice::DeviceOffLine& notice);
  void syncAddHandler(const notice::SyncAddResponse& notice);

  // Devices whose publisher the SUB socket is connected to: uuid to `pubUri`.
  std::map<std::string, std::string> onlineDevices() const;
  bool isOnlineDevice(const std::string& uuid) const;

  // PubExit (21), PubFileChange (19) and TrustPublishRequest (11) at any level, anything
  // else above level 0.
  bool isEncryptAuthExclude(int32_t code, int32_t level) const override;

 private:
  struct Subscription {
    std::string name;
    std::string pubUri;
    bool trusted = false;
  };

  void registerEvent();
  // Marks trusted the wanted devices paired since they were announced: a pairing changes only
  // the stored status, and a device that stays online is not announced again. Run on a
  // pairing of folders and on discovery's refresh each minute, never on the broker thread
  // (it reads the database).
  void refreshTrust();
  void wake();
  // The broker loop and its steps, on the broker thread.
  void run();
  // One poll and what it found; false when the broker is to end (its context shut down).
  // Raises what one round cannot get past; the loop then goes on with the next.
  bool serveRound(std::chrono::steady_clock::time_point& nextWatch);
  void publishPending();
  void updateSubscriptions();
  // Whether a device connected to is at `pubUri`; devicesLock_ held.
  bool hasEndpoint(const std::string& pubUri) const;
  void takeSubscriptions();
  // Cuts the connection the last frame on the PUB socket came from, for `why`.
  void cutSubscriber(const std::string& why);
  // Disconnects the publishers of untrusted devices whose connection brought more than a
  // few notices' worth that is no whole notice (a message without end), or was cut by the
  // SUB socket's guard, until they are announced again.
  void cutOverrunPublishers();
  void takeWorkerReply();
  void passNoticeToWorker();
  // Each trusted device whose publisher at one of `endpoints` the SUB socket has just reached
  // (again) is pulled, on the global queue: what it published before went nowhere, and a
  // device started again within the liveness time-out is never seen coming online.
  void pullReconnected(const std::vector<std::string>& endpoints);
  // Adds the endpoints whose connections the SUB socket's guard cut to guardCut_.
  void takeGuardCuts();
  void closeSockets();

  mutable std::mutex lifecycleLock_;
  std::shared_ptr<ZMQContext> context_;
  std::shared_ptr<ZMQSocket> backend_;
  std::shared_ptr<ZMQSocket> publisher_;
  std::shared_ptr<ZMQSocket> subscriber_;
  std::unique_ptr<SubscriberConnections> connections_;
  // Publishers whose connection the guard cut, until they are left (untrusted) or connected
  // again (trusted). Broker thread only.
  std::set<std::string> guardCut_;

  std::string publisherEndpoint_;
  std::string localPubUri_;
  std::thread broker_;
  // Written by any thread, read and drained by the broker.
  int wakePipe_[2] = {-1, -1};

  // Sealed notices waiting for the broker, and whether each is a PubExit.
  struct Pending {
    ZMQMessage frames;
    bool isExit = false;
  };
  std::mutex pendingLock_;
  std::condition_variable exitPublished_;
  std::deque<Pending> pending_;
  bool accepting_ = false;
  uint64_t exitsQueued_ = 0;
  uint64_t exitsPublished_ = 0;

  // What the notification handlers want the SUB socket connected to, by device uuid.
  std::mutex wantedLock_;
  std::map<std::string, Subscription> wanted_;
  // What it is connected to; written by the broker only.
  mutable std::mutex devicesLock_;
  std::map<std::string, Subscription> devicesMap_;

  std::vector<NotificationCenter::Token> observers_;
  // Any host that is announced can send malformed notices at will.
  LogRateLimiter refusedSubscriberLog_{"Publisher: cut subscribers", 10, std::chrono::minutes(1)};
  LogRateLimiter droppedNoticeLog_{"Publisher: dropped notices", 10, std::chrono::minutes(1)};
};

}  // namespace velbor
