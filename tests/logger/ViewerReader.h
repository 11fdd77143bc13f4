#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

// Reads the log viewers' message format on its own, from the byte layout alone, so the
// tests do not trust the encoder to check itself.
namespace velbor::test {

struct ViewerPart {
  uint8_t type = 0;
  std::string bytes;    // string, binary and image payloads
  uint64_t number = 0;  // integer payloads
};

struct ViewerMessage {
  std::vector<std::pair<uint8_t, ViewerPart>> parts;
  const ViewerPart* part(uint8_t key) const {
    for (const auto& [k, p] : parts)
      if (k == key) return &p;
    return nullptr;
  }
  uint64_t type() const { return part(0) ? part(0)->number : 0; }
  std::string text(uint8_t key) const { return part(key) ? part(key)->bytes : std::string("<none>"); }
};

inline uint64_t bigEndian(const std::string& s, size_t pos, size_t width) {
  uint64_t value = 0;
  for (size_t i = 0; i < width; ++i) value = (value << 8) | static_cast<unsigned char>(s[pos + i]);
  return value;
}

// Takes every whole message off the front of `stream`; nullopt when a message is malformed.
inline std::optional<std::vector<ViewerMessage>> readViewerMessages(std::string& stream) {
  std::vector<ViewerMessage> out;
  while (stream.size() >= 4) {
    size_t length = bigEndian(stream, 0, 4);
    if (stream.size() < 4 + length) break;
    std::string body = stream.substr(4, length);
    stream.erase(0, 4 + length);
    if (body.size() < 2) return std::nullopt;
    size_t count = bigEndian(body, 0, 2), pos = 2;
    ViewerMessage message;
    for (size_t i = 0; i < count; ++i) {
      if (pos + 2 > body.size()) return std::nullopt;
      uint8_t key = static_cast<uint8_t>(body[pos]);
      ViewerPart part;
      part.type = static_cast<uint8_t>(body[pos + 1]);
      pos += 2;
      size_t width = part.type == 2 ? 2 : part.type == 3 ? 4 : part.type == 4 ? 8 : 4;
      if (pos + width > body.size()) return std::nullopt;
      if (part.type == 0 || part.type == 1 || part.type == 5) {
        size_t n = bigEndian(body, pos, 4);
        pos += 4;
        if (pos + n > body.size()) return std::nullopt;
        part.bytes = body.substr(pos, n);
        pos += n;
      } else {
        part.number = bigEndian(body, pos, width);
        pos += width;
      }
      message.parts.emplace_back(key, std::move(part));
    }
    if (pos != body.size()) return std::nullopt;
    out.push_back(std::move(message));
  }
  return out;
}

// Reads messages until `done` says so, the stream ends or `seconds` pass. `read(buffer, size)`
// gives the count of bytes read, 0 when none came yet, or a negative count once the stream
// ended. `malformed` is set when a message does not decode.
template <typename Read, typename Done>
std::vector<ViewerMessage> readViewerMessagesUntil(Read read, Done done, int seconds, bool& malformed) {
  std::vector<ViewerMessage> messages;
  std::string stream;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done(messages) && std::chrono::steady_clock::now() < deadline) {
    char buffer[4096];
    long n = read(buffer, sizeof buffer);
    if (n < 0) break;
    stream.append(buffer, static_cast<size_t>(n));
    auto decoded = readViewerMessages(stream);
    if (!decoded) {
      malformed = true;
      break;
    }
    messages.insert(messages.end(), decoded->begin(), decoded->end());
  }
  return messages;
}

// A read for readViewerMessagesUntil from the connected socket `fd`.
inline auto socketRead(int fd) {
  return [fd](char* buffer, size_t size) -> long {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0) return 0;
    const ssize_t n = ::recv(fd, buffer, size, 0);
    return n > 0 ? n : -1;
  };
}

}  // namespace velbor::test
