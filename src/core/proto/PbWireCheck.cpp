#include "core/proto/PbWireCheck.h"

#include <cstdint>

#include "core/proto/PbMessage.h"

namespace velbor {

namespace {

using google::protobuf::Descriptor;
using google::protobuf::FieldDescriptor;

enum WireType { kVarint = 0, kFixed64 = 1, kLengthDelimited = 2, kStartGroup = 3, kEndGroup = 4, kFixed32 = 5 };

// A fault found while walking; carries its reason out of the recursion.
struct Fault {
  const char* reason;
};

class Walker {
 public:
  explicit Walker(std::string_view bytes)
      : pos_(reinterpret_cast<const uint8_t*>(bytes.data())), end_(pos_ + bytes.size()) {}

  void run(const Descriptor& type) { message(&type, end_, 0, 0); }

 private:
  // Reads fields until `end`; a group (groupField > 0) ends at its matching end tag.
  void message(const Descriptor* type, const uint8_t* end, int depth, int groupField) {
    if (depth > PbMessage::kMaxNestingDepth) {
      throw Fault{PbWireCheck::kRecursionLimitExceeded};
    }
    while (pos_ < end) {
      // Tags are 32-bit varints: at most five bytes.
      uint64_t tag = varint(end, 5);
      int wireType = static_cast<int>(tag & 7);
      uint64_t number = tag >> 3;
      if (number == 0 || number > FieldDescriptor::kMaxNumber) {
        throw Fault{PbWireCheck::kInvalidTag};
      }
      if (wireType == kEndGroup) {
        if (static_cast<int>(number) != groupField) {
          throw Fault{PbWireCheck::kInvalidEndTag};
        }
        return;
      }
      const FieldDescriptor* field = type == nullptr ? nullptr : type->FindFieldByNumber(static_cast<int>(number));
      value(field, wireType, static_cast<int>(number), end, depth);
    }
    if (groupField > 0) {
      throw Fault{PbWireCheck::kTruncatedMessage};
    }
  }

  void value(const FieldDescriptor* field, int wireType, int number, const uint8_t* end, int depth) {
    switch (wireType) {
      case kVarint:
        varint(end);
        return;
      case kFixed64:
        skip(8, end);
        return;
      case kFixed32:
        skip(4, end);
        return;
      case kStartGroup:
        message(nullptr, end, depth + 1, number);
        return;
      case kLengthDelimited: {
        uint64_t length = varint(end);
        if (length > static_cast<uint64_t>(end - pos_)) {
          throw Fault{PbWireCheck::kTruncatedMessage};
        }
        const uint8_t* inner = pos_ + length;
        if (field != nullptr && field->type() == FieldDescriptor::TYPE_MESSAGE) {
          message(field->message_type(), inner, depth + 1, 0);
        } else if (field != nullptr && field->is_repeated() && field->cpp_type() != FieldDescriptor::CPPTYPE_STRING) {
          // A packed run of a repeated number field: varints up to the run's end.
          while (pos_ < inner) {
            varint(inner);
          }
        }
        pos_ = inner;
        return;
      }
      default:
        throw Fault{PbWireCheck::kInvalidWireType};
    }
  }

  uint64_t varint(const uint8_t* end, int maxBytes = 10) {
    uint64_t result = 0;
    for (int i = 0; i < maxBytes; ++i) {
      if (pos_ >= end) {
        throw Fault{PbWireCheck::kTruncatedMessage};
      }
      uint8_t byte = *pos_++;
      result |= static_cast<uint64_t>(byte & 0x7F) << (7 * i);
      if ((byte & 0x80) == 0) {
        return result;
      }
    }
    throw Fault{PbWireCheck::kMalformedVarint};
  }

  void skip(size_t count, const uint8_t* end) {
    if (count > static_cast<size_t>(end - pos_)) {
      throw Fault{PbWireCheck::kTruncatedMessage};
    }
    pos_ += count;
  }

  const uint8_t* pos_;
  const uint8_t* end_;
};

}  // namespace

std::string PbWireCheck::malformation(const Descriptor& type, std::string_view bytes) {
  if (bytes.size() > static_cast<size_t>(PbMessage::kMaxMessageBytes)) {
    return kSizeLimitExceeded;
  }
  try {
    Walker(bytes).run(type);
  } catch (const Fault& fault) {
    return fault.reason;
  }
  return kMalformed;
}

}  // namespace velbor
