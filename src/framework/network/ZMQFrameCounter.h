#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace velbor {

// Follows the bytes one side of a ZeroMQ (ZMTP 3) tcp connection sends and counts the frames
// and bytes of each message as they come, before ZeroMQ has them. ZeroMQ keeps a message of
// about 64 bytes for every frame of a message that has not ended, with no bound on how many:
// a frame of no bytes costs 2 on the wire and 30 times that in memory. The counter says as
// soon as a message goes beyond its bounds, at the head of the frame that does, so that the
// connection can be cut before ZeroMQ holds it.
//
// Commands (the handshake, heartbeats) are no messages: each is bounded in size, and all of
// them together in number. A subscription or its cancel sent as a command (SUBSCRIBE,
// CANCEL: what a ZMTP 3.1 SUB socket sends) reaches the socket as a message does, and counts
// as one. A peer that offers only ZMTP 1 or 2 is refused: every peer of ours speaks ZMTP 3.
class ZMQFrameCounter {
 public:
  struct Bounds {
    // Frames and bytes of one message (bodies only).
    size_t maxFrames = 16;
    uint64_t maxBytes = 64 * 1024;
  };
  static constexpr Bounds kUnbounded{std::numeric_limits<size_t>::max(), std::numeric_limits<uint64_t>::max()};
  // A command is a few dozen bytes: READY with its properties, PING, PONG, ERROR.
  static constexpr uint64_t kMaxCommandBytes = 4096;

  explicit ZMQFrameCounter(Bounds bounds) : bounds_(bounds) {}

  // Follows `size` more bytes of the stream. Answers how many of them may go on: all while the
  // stream keeps its bounds; once it broke one, those before the head of the frame that
  // broke it (whole messages before it still count), and none after.
  size_t take(const char* data, size_t size);
  bool broken() const { return !reason_.empty(); }
  // What broke it, for the log.
  const std::string& reason() const { return reason_; }
  // Whole messages so far.
  uint64_t messages() const { return messages_; }
  // Whether a message has begun and not all of it came; messagesBegun() tells which one.
  bool midMessage() const;
  uint64_t messagesBegun() const { return begun_; }
  // Commands so far.
  uint64_t commands() const { return commands_; }
  // Messages the stream may bring in all, from now on; any number until set.
  void allowMessages(uint64_t total) { allowed_ = total; }
  // Commands the stream may bring in all, from now on; any number until set.
  void allowCommands(uint64_t total) { commandsAllowed_ = total; }

 private:
  enum class State { kGreeting, kFlags, kSize, kCommandName, kBody };
  static constexpr size_t kGreetingBytes = 64;

  void takeGreetingByte(unsigned char byte);
  void takeFlags(unsigned char flags);
  void startBody();
  void takeCommandNameByte(unsigned char byte);
  // A command whose name was read whole.
  void takeCommand();
  void fail(std::string reason);

  Bounds bounds_;
  State state_ = State::kGreeting;
  size_t greetingSeen_ = 0;
  // Where in the bytes being taken the frame now read began.
  size_t frameAt_ = 0;
  unsigned char flags_ = 0;
  size_t sizeBytesLeft_ = 0;
  uint64_t size_ = 0;
  uint64_t bodyLeft_ = 0;
  size_t frames_ = 0;
  uint64_t bytes_ = 0;
  uint64_t messages_ = 0;
  uint64_t begun_ = 0;
  uint64_t allowed_ = std::numeric_limits<uint64_t>::max();
  // The name of the command being read: its length once known, and the bytes so far.
  std::optional<size_t> nameLength_;
  std::string name_;
  uint64_t commands_ = 0;
  uint64_t commandsAllowed_ = std::numeric_limits<uint64_t>::max();
  std::string reason_;
};

}  // namespace velbor
