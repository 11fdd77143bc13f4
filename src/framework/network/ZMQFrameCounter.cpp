#include "framework/network/ZMQFrameCounter.h"

#include <algorithm>

#include <fmt/format.h>

namespace velbor {

namespace {

constexpr unsigned char kMore = 0x01;
constexpr unsigned char kLong = 0x02;
constexpr unsigned char kCommand = 0x04;

}  // namespace

size_t ZMQFrameCounter::take(const char* data, size_t size) {
  if (broken()) return 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(data);
  size_t at = 0;
  // A frame begun before these bytes came has its head behind them.
  frameAt_ = 0;
  while (at < size && !broken()) {
    switch (state_) {
      case State::kGreeting:
        frameAt_ = at;
        takeGreetingByte(bytes[at++]);
        break;
      case State::kFlags:
        frameAt_ = at;
        takeFlags(bytes[at++]);
        break;
      case State::kSize:
        size_ = (size_ << 8) | bytes[at++];
        if (--sizeBytesLeft_ == 0) startBody();
        break;
      case State::kCommandName:
        --bodyLeft_;
        takeCommandNameByte(bytes[at++]);
        break;
      case State::kBody: {
        const uint64_t skipped = std::min<uint64_t>(bodyLeft_, size - at);
        at += static_cast<size_t>(skipped);
        bodyLeft_ -= skipped;
        if (bodyLeft_ == 0) state_ = State::kFlags;
        break;
      }
    }
  }
  return broken() ? frameAt_ : size;
}

bool ZMQFrameCounter::midMessage() const {
  // The last frame counts its message whole at its head: its body may still be to come.
  if (state_ == State::kGreeting) return false;
  return frames_ > 0 || (state_ != State::kFlags && !(flags_ & kCommand));
}

void ZMQFrameCounter::takeGreetingByte(unsigned char byte) {
  // The signature (0xFF, eight bytes, 0x7F) and the major version: anything else is an older
  // protocol, whose framing ZeroMQ would fall back to.
  const size_t at = greetingSeen_++;
  if (at == 0 && byte != 0xFF) return fail("no ZMTP 3 greeting");
  if (at == 9 && (byte & 0x01) == 0) return fail("no ZMTP 3 greeting");
  if (at == 10 && byte < 3) return fail(fmt::format("ZMTP version {}", byte));
  if (greetingSeen_ == kGreetingBytes) state_ = State::kFlags;
}

void ZMQFrameCounter::takeFlags(unsigned char flags) {
  if ((flags & ~(kMore | kLong | kCommand)) != 0) return fail(fmt::format("frame flags {:#x}", flags));
  if ((flags & kCommand) && (flags & kMore)) return fail("command with more frames");
  if (!(flags & kCommand) && frames_ == 0 && messages_ >= allowed_) {
    return fail(fmt::format("a message beyond the {} allowed", allowed_));
  }
  if (!(flags & kCommand) && frames_ == 0) ++begun_;
  flags_ = flags;
  size_ = 0;
  sizeBytesLeft_ = (flags & kLong) ? 8 : 1;
  state_ = State::kSize;
}

void ZMQFrameCounter::startBody() {
  bodyLeft_ = size_;
  if (flags_ & kCommand) {
    if (size_ > kMaxCommandBytes) return fail(fmt::format("command of {} bytes", size_));
    if (size_ == 0) return fail("command without a name");
    // Its name tells whether it is a subscription.
    nameLength_.reset();
    name_.clear();
    state_ = State::kCommandName;
    return;
  }
  ++frames_;
  // Compared before adding: a size near 2^64 must not wrap the sum.
  if (frames_ > bounds_.maxFrames) return fail(fmt::format("message of more than {} frames", bounds_.maxFrames));
  if (size_ > bounds_.maxBytes - std::min(bytes_, bounds_.maxBytes)) {
    return fail(fmt::format("message of more than {} bytes", bounds_.maxBytes));
  }
  bytes_ += size_;
  if (!(flags_ & kMore)) {
    ++messages_;
    frames_ = 0;
    bytes_ = 0;
  }
  state_ = bodyLeft_ == 0 ? State::kFlags : State::kBody;
}

void ZMQFrameCounter::takeCommandNameByte(unsigned char byte) {
  if (!nameLength_) {
    nameLength_ = byte;
    if (*nameLength_ > bodyLeft_) return fail("command of a name longer than itself");
  } else {
    name_ += static_cast<char>(byte);
  }
  if (name_.size() < *nameLength_) return;
  takeCommand();
  state_ = bodyLeft_ == 0 ? State::kFlags : State::kBody;
}

void ZMQFrameCounter::takeCommand() {
  // Each is worked on by ZeroMQ's I/O thread (a PING is answered): their number is bounded too.
  if (++commands_ > commandsAllowed_) return fail(fmt::format("more than {} commands", commandsAllowed_));
  if (name_ != "SUBSCRIBE" && name_ != "CANCEL") return;
  if (messages_ >= allowed_) return fail(fmt::format("a subscription beyond the {} messages allowed", allowed_));
  if (bodyLeft_ > bounds_.maxBytes) return fail(fmt::format("subscription of more than {} bytes", bounds_.maxBytes));
  ++messages_;
}

void ZMQFrameCounter::fail(std::string reason) {
  if (reason_.empty()) reason_ = std::move(reason);
}

}  // namespace velbor
