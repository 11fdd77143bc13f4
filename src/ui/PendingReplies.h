#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <map>

class QTimer;

namespace velbor {

// The requests of a window whose replies are still awaited, one per key (for instance the
// folder a listing was asked for). A reply is current only while its request is awaited;
// every wait ends with its reply (take) or its time-out, which calls the handler. The
// request client posts nothing when a peer does not answer, so without the time-out a
// window would wait for ever. Main thread only.
class PendingReplies : public QObject {
  Q_OBJECT

 public:
  using TimeoutHandler = std::function<void(const QString& key)>;

  // Longer than the request client's own wait for a reply, so a late reply still counts.
  static constexpr int kDefaultTimeoutMs = 7000;

  PendingReplies(TimeoutHandler onTimeout, QObject* parent);

  // What a window says when a wait has run out.
  static QString timeoutText();

  int timeoutMs() const { return timeoutMs_; }
  void setTimeoutMs(int ms) { timeoutMs_ = ms; }

  // Starts the wait for `key`, or starts it again.
  void begin(const QString& key);
  // Ends the wait for `key`: true when it was awaited, false for a stale reply.
  bool take(const QString& key);
  bool isWaiting(const QString& key) const { return timers_.contains(key); }
  bool isEmpty() const { return timers_.empty(); }
  // Forgets every wait without calling the handler: their replies are stale from now on.
  void clear();

 private:
  TimeoutHandler onTimeout_;
  int timeoutMs_ = kDefaultTimeoutMs;
  std::map<QString, QTimer*> timers_;
};

}  // namespace velbor
