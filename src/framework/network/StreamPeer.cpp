#include "framework/network/StreamPeer.h"

#include <chrono>
#include <cstring>
#include <thread>

#include <fmt/format.h>

#include "platform/Exception.h"
#include "platform/QoLog.h"
#include "platform/Utf8.h"

namespace velbor {

namespace {

constexpr auto kRetryPause = std::chrono::seconds(1);

[[noreturn]] void raise(const std::string& reason) { throw Exception("StreamPeer", reason); }

}  // namespace

int64_t StreamPeer::readBytesWithInStream(SocketStream& stream, void* ptr, int64_t maxLength) {
  auto* out = static_cast<char*>(ptr);
  int64_t done = 0;
  bool paused = false;
  while (done < maxLength) {
    ssize_t n = stream.read(out + done, static_cast<size_t>(maxLength - done));
    if (n > 0) {
      done += n;
      continue;
    }
    if (paused) {
      QoLog("read inStream error!");
      break;
    }
    paused = true;
    std::this_thread::sleep_for(kRetryPause);
  }
  return done;
}

void StreamPeer::readExactly(SocketStream& stream, void* ptr, int64_t length, const char* what) {
  int64_t got = readBytesWithInStream(stream, ptr, length);
  if (got != length) raise(fmt::format("{} cut short: {} of {} bytes", what, got, length));
}

uint8_t StreamPeer::readInt8WithInstream(SocketStream& stream) {
  uint8_t value = 0;
  return readBytesWithInStream(stream, &value, 1) == 1 ? value : 255;
}

std::string StreamPeer::readNSDataInStream(SocketStream& stream, int64_t maxLength) {
  if (maxLength < 0 || maxLength > kMaxStringLength) raise(fmt::format("data length out of bounds: {}", maxLength));
  std::string data(static_cast<size_t>(maxLength), '\0');
  readExactly(stream, data.data(), maxLength, "data");
  return data;
}

int64_t StreamPeer::readInt32WithInStream(SocketStream& stream) {
  int64_t value = 0;
  readExactly(stream, &value, sizeof value, "Int32");
  return value;
}

uint64_t StreamPeer::readInt64WithInStream(SocketStream& stream) {
  uint64_t value = 0;
  readExactly(stream, &value, sizeof value, "Int64");
  return value;
}

std::optional<std::string> StreamPeer::readStringWithInStream(SocketStream& stream) {
  int64_t length = readInt32WithInStream(stream);
  std::string bytes = readNSDataInStream(stream, length);
  // The text ends at the first zero byte.
  if (auto zero = bytes.find('\0'); zero != std::string::npos) bytes.resize(zero);
  if (!isValidUtf8(bytes)) return std::nullopt;
  return bytes;
}

void StreamPeer::readArrayWithInStream(SocketStream& stream, std::vector<std::string>& outArray) {
  int64_t count = readInt32WithInStream(stream);
  if (count > kMaxArrayCount) raise(fmt::format("array count out of bounds: {}", count));
  for (int64_t i = 0; i < count; ++i) {
    auto text = readStringWithInStream(stream);
    if (!text) raise("array element is not UTF-8");
    outArray.push_back(std::move(*text));
  }
}

void StreamPeer::writeBytesWithOutStream(SocketStream& stream, const void* ptr, int64_t maxLength) {
  const auto* bytes = static_cast<const char*>(ptr);
  int64_t done = 0;
  while (done < maxLength) {
    ssize_t n = stream.write(bytes + done, static_cast<size_t>(maxLength - done));
    if (n < 0) {
      QoLog("out stream write error!");
      printStreamError(kStreamErrorDomainPOSIX, stream.streamError());
    }
    if (n <= 0) raise(fmt::format("write cut short: {} of {} bytes", done, maxLength));
    done += n;
  }
}

void StreamPeer::writeInt8WithOutStream(SocketStream& stream, uint8_t int8Value) {
  writeBytesWithOutStream(stream, &int8Value, 1);
}

void StreamPeer::writeInt32WithOutStream(SocketStream& stream, int64_t intValue) {
  writeBytesWithOutStream(stream, &intValue, sizeof intValue);
}

void StreamPeer::writeInt64WithOutStream(SocketStream& stream, uint64_t int64Value) {
  writeBytesWithOutStream(stream, &int64Value, sizeof int64Value);
}

void StreamPeer::writeStringWithOutStream(SocketStream& stream, const std::string& stringValue) {
  writeInt32WithOutStream(stream, static_cast<int64_t>(stringValue.size()));
  writeBytesWithOutStream(stream, stringValue.data(), static_cast<int64_t>(stringValue.size()));
}

void StreamPeer::writeArrayWithOutStream(SocketStream& stream, const std::vector<std::string>& arrayValue) {
  writeInt32WithOutStream(stream, static_cast<int64_t>(arrayValue.size()));
  for (const auto& text : arrayValue) writeStringWithOutStream(stream, text);
}

void StreamPeer::printStreamError(int64_t domain, int32_t error) {
  const char* text = std::strerror(error);
  if (domain == kStreamErrorDomainPOSIX)
    QoLog("[Error]POSIX error {}\n", text);
  else if (domain == kStreamErrorDomainMacOSStatus)
    QoLog("[Error]MacOs error, error no: {}\n", text);
  else
    QoLog("[Error]UNKOWN error, domain code:{}, error code: {}\n", domain, text);
}

}  // namespace velbor
