#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/SocketStream.h"

namespace velbor {

// Numbers, texts and lists of texts on byte streams, with nothing between values:
// Int8 one byte; Int32 and Int64 eight bytes in the host's byte order (signed and unsigned);
// a String its byte count as an Int32, then its UTF-8 bytes; an Array its count as an Int32,
// then each String. Blocking; keeps no state.
//
// What comes from the network is checked: a value that arrives only in part, a String longer
// than kMaxStringLength or an Array longer than kMaxArrayCount raise a "StreamPeer" Exception
// instead of passing on a made-up value; so does a writer whose bytes did not all go out.
class StreamPeer {
 public:
  static constexpr int64_t kMaxStringLength = 16 << 20;
  static constexpr int64_t kMaxArrayCount = 1 << 20;

  static int64_t readBytesWithInStream(SocketStream& stream, void* ptr, int64_t maxLength);
  static uint8_t readInt8WithInstream(SocketStream& stream);
  static std::string readNSDataInStream(SocketStream& stream, int64_t maxLength);
  static int64_t readInt32WithInStream(SocketStream& stream);
  static uint64_t readInt64WithInStream(SocketStream& stream);
  static std::optional<std::string> readStringWithInStream(SocketStream& stream);
  static void readArrayWithInStream(SocketStream& stream, std::vector<std::string>& outArray);

  static void writeBytesWithOutStream(SocketStream& stream, const void* ptr, int64_t maxLength);
  static void writeInt8WithOutStream(SocketStream& stream, uint8_t int8Value);
  static void writeInt32WithOutStream(SocketStream& stream, int64_t intValue);
  static void writeInt64WithOutStream(SocketStream& stream, uint64_t int64Value);
  static void writeStringWithOutStream(SocketStream& stream, const std::string& stringValue);
  static void writeArrayWithOutStream(SocketStream& stream, const std::vector<std::string>& arrayValue);

  // Stream error domains.
  static constexpr int64_t kStreamErrorDomainPOSIX = 1;
  static constexpr int64_t kStreamErrorDomainMacOSStatus = 2;
  static void printStreamError(int64_t domain, int32_t error);

 private:
  static void readExactly(SocketStream& stream, void* ptr, int64_t length, const char* what);
};

}  // namespace velbor
