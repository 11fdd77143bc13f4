#pragma once

#include <memory>
#include <string>
#include <string_view>

#include <google/protobuf/message.h>

namespace velbor {

// The behaviour every generated message type shares: a required-field check on build,
// serialisation, and parsing under the input limits with the system's named failures
// ("UninitializedMessage", "InvalidProtocolBuffer"). Fields outside the schema and enum
// values outside their set are kept by the generated code and written out again.
class PbMessage {
 public:
  static constexpr int kMaxNestingDepth = 64;
  static constexpr int kMaxMessageBytes = 64 * 1024 * 1024;

  // Raises UninitializedMessage (empty reason) unless every required field is present,
  // nested messages included.
  static void checkInitialized(const google::protobuf::Message& message);

  // The message itself once it passes the required-field check.
  template <class M>
  static const M& build(const M& message) {
    checkInitialized(message);
    return message;
  }

  // Serialised bytes: fields in number order, then the kept unknown fields. No
  // required-field check, as for a partially built message.
  static std::string data(const google::protobuf::Message& message);

  // Merges the fields in `bytes` into `message` without the required-field check. Raises
  // InvalidProtocolBuffer for malformed bytes, input nested deeper than kMaxNestingDepth,
  // larger than kMaxMessageBytes, or not ending at a message boundary.
  static void mergeFromData(google::protobuf::Message& message, std::string_view bytes);

  // A new message of the prototype's type from `bytes`: mergeFromData, then checkInitialized,
  // except for the records of a MsgFindResponse page, which its receiver checks one by one.
  static std::unique_ptr<google::protobuf::Message> parseFromData(const google::protobuf::Message& prototype,
                                                                  std::string_view bytes);

  template <class M>
  static M parseFromData(std::string_view bytes) {
    M message;
    mergeFromData(message, bytes);
    checkInitialized(message);
    return message;
  }

  // The prototype of the schema's message type named `typeName` ("MsgGetRequest"), or
  // nullptr when the schema has no type of that name.
  static const google::protobuf::Message* bodyTypeForName(std::string_view typeName);
};

}  // namespace velbor
