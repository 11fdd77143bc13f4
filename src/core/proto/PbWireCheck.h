#pragma once

#include <string>
#include <string_view>

#include <google/protobuf/descriptor.h>

namespace velbor {

// Names the fault in bytes that the protobuf runtime refused to parse as a type; the
// runtime itself only reports failure. Walks the encoding with the same rules and limits
// as PbMessage.
class PbWireCheck {
 public:
  static constexpr const char* kInvalidTag = "Invalid Tag";
  static constexpr const char* kInvalidEndTag = "Invalid End Tag";
  static constexpr const char* kInvalidWireType = "Invalid Wire Type";
  static constexpr const char* kTruncatedMessage = "truncatedMessage";
  static constexpr const char* kMalformedVarint = "malformedVarint";
  static constexpr const char* kRecursionLimitExceeded = "Recursion Limit Exceeded";
  static constexpr const char* kSizeLimitExceeded = "Size Limit Exceeded";
  static constexpr const char* kMalformed = "Malformed message";

  // The reason for the first fault found in `bytes` read as `type`; kMalformed when the
  // walk finds none.
  static std::string malformation(const google::protobuf::Descriptor& type, std::string_view bytes);
};

}  // namespace velbor
