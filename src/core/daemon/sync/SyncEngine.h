#pragma once

#include <chrono>
#include <exception>
#include <functional>
#include <string>

namespace velbor {

namespace pb {
class MsgPubFileChange;
}

// The sync engine's entry point: the pull of one pairing (the local copy takes what its peer
// copy recorded since the last pull) and a peer's change notice. The router's handlers, the
// monitor's timer and the publisher reach the engine here only.
class SyncEngine {
 public:
  // What a pull came to.
  enum class Pull {
    // No pairing of these two copies is stored here.
    kNoPairing,
    // A pull of the pairing runs already: it makes one more pass for this one.
    kAlreadyRunning,
    // Pulled up to the peer's last record.
    kDone,
    // Ended early (no answer in time, not enough space, the daemon stops): what was not
    // installed comes next time.
    kStopped,
  };
  using PullFunction = std::function<Pull(const std::string& localTreeUuid, const std::string& remoteTreeUuid)>;

  SyncEngine() = delete;

  // Pulls the pairing of the local copy `localTreeUuid` with its peer copy `remoteTreeUuid`
  // on the calling thread, page after page, until the peer has nothing newer. Raises what
  // refuses the pull (a first copy that is not this device's) and what fails it (the peer's
  // error answer, a malformed page).
  static Pull pullOnce(const std::string& localTreeUuid, const std::string& remoteTreeUuid);
  // The same pull on the global queue; returns at once. What the pull raises is handed to
  // `failed` there.
  static void pullOnceInBackground(const std::string& localTreeUuid, const std::string& remoteTreeUuid,
                                   std::function<void(const std::exception&)> failed);
  // The same pull on the global queue once `wait` is over; a call made while one that comes no
  // later is pending adds none.
  static void pullAfter(const std::string& localTreeUuid, const std::string& remoteTreeUuid,
                        std::chrono::steady_clock::duration wait);
  // A peer's change notice: every pairing whose peer copy is the notice's tree, held by the
  // publisher (trusted, or this device), pulls it, one after another, on the calling thread.
  // A pull that fails is logged and the next one goes on.
  static void takeChangeNotice(const pb::MsgPubFileChange& notice);

  // Tests only: while the object lives, every pull is `pull` instead. One made inside another
  // gives the pulls back to the outer one when it goes (leave them in reverse order).
  class ScopedOverride {
   public:
    explicit ScopedOverride(PullFunction pull);
    ~ScopedOverride();
    ScopedOverride(const ScopedOverride&) = delete;
    ScopedOverride& operator=(const ScopedOverride&) = delete;

   private:
    PullFunction previous_;
  };
};

}  // namespace velbor
