#include <cstdint>
#include <random>
#include <string>

#include <google/protobuf/stubs/logging.h>
#include <gtest/gtest.h>

#include "core/proto/InvalidProtocolBuffer.h"
#include "core/proto/PbMessage.h"
#include "core/proto/PbWireCheck.h"
#include "core/proto/UninitializedMessage.h"
#include "core/proto/WireBytes.h"
#include "proto/VelborProto.pb.h"

namespace velbor {
namespace {

using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::Reflection;

// Sets every field of `message` (two elements per repeated field) to values that exercise
// the encodings: negative numbers, wide numbers, non-ASCII text, raw bytes.
void fill(Message& message, std::mt19937& rng) {
  const Reflection* reflection = message.GetReflection();
  const auto* type = message.GetDescriptor();
  const int32_t ints[] = {0, 1, -1, 300, INT32_MAX};
  const int64_t longs[] = {0, 1, -1, int64_t{1} << 40, INT64_MIN};
  const std::string strings[] = {"", "a", "/Users/d\xC3\xA9j\xC3\xA0"};
  auto pick = [&rng](const auto& values) { return values[rng() % std::size(values)]; };
  for (int i = 0; i < type->field_count(); ++i) {
    const FieldDescriptor* field = type->field(i);
    for (int k = 0; k < (field->is_repeated() ? 2 : 1); ++k) {
      bool add = field->is_repeated();
      switch (field->cpp_type()) {
        case FieldDescriptor::CPPTYPE_INT32:
          add ? reflection->AddInt32(&message, field, pick(ints)) : reflection->SetInt32(&message, field, pick(ints));
          break;
        case FieldDescriptor::CPPTYPE_INT64:
          add ? reflection->AddInt64(&message, field, pick(longs)) : reflection->SetInt64(&message, field, pick(longs));
          break;
        case FieldDescriptor::CPPTYPE_ENUM: {
          const auto* values = field->enum_type();
          const auto* value = values->value(static_cast<int>(rng() % values->value_count()));
          add ? reflection->AddEnum(&message, field, value) : reflection->SetEnum(&message, field, value);
          break;
        }
        case FieldDescriptor::CPPTYPE_STRING: {
          std::string text =
              field->type() == FieldDescriptor::TYPE_BYTES ? std::string("\x00\xFF\x80", 3) : pick(strings);
          add ? reflection->AddString(&message, field, text) : reflection->SetString(&message, field, text);
          break;
        }
        case FieldDescriptor::CPPTYPE_MESSAGE:
          fill(add ? *reflection->AddMessage(&message, field) : *reflection->MutableMessage(&message, field), rng);
          break;
        default:
          FAIL() << "unexpected field type in " << field->full_name();
      }
    }
  }
}

std::string mutate(std::string data, std::mt19937& rng) {
  int steps = 1 + static_cast<int>(rng() % 3);
  for (int step = 0; step < steps; ++step) {
    size_t at = data.empty() ? 0 : rng() % data.size();
    switch (rng() % 5) {
      case 0:  // flip one bit
        if (!data.empty()) data[at] = static_cast<char>(data[at] ^ (1 << (rng() % 8)));
        break;
      case 1:  // replace one byte
        if (!data.empty()) data[at] = static_cast<char>(rng());
        break;
      case 2:  // cut the tail
        data.resize(at);
        break;
      case 3:  // insert a byte
        data.insert(data.begin() + static_cast<std::ptrdiff_t>(at), static_cast<char>(rng()));
        break;
      default:  // repeat a slice
        data.insert(at, data.substr(rng() % (data.size() + 1), rng() % 8));
        break;
    }
  }
  return data;
}

struct Outcomes {
  int parsed = 0;
  int uninitialized = 0;
  int invalid = 0;
};

// Parses `data` as the prototype's type. Only the two named failures may come out; a
// message that parses writes out bytes that parse again to the same bytes.
void checkParse(const Message& prototype, const std::string& data, Outcomes& outcomes) {
  const std::string typeName = prototype.GetDescriptor()->name();
  try {
    auto message = PbMessage::parseFromData(prototype, data);
    std::string once = PbMessage::data(*message);
    EXPECT_EQ(test::hex(PbMessage::data(*PbMessage::parseFromData(prototype, once))), test::hex(once))
        << typeName << " from " << test::hex(data);
    ++outcomes.parsed;
  } catch (const UninitializedMessage&) {
    ++outcomes.uninitialized;
    // Well-formed but incomplete: what was read is kept whole.
    std::unique_ptr<Message> partial(prototype.New());
    PbMessage::mergeFromData(*partial, data);
    std::string once = PbMessage::data(*partial);
    std::unique_ptr<Message> again(prototype.New());
    PbMessage::mergeFromData(*again, once);
    EXPECT_EQ(test::hex(PbMessage::data(*again)), test::hex(once)) << typeName;
  } catch (const InvalidProtocolBuffer& e) {
    ++outcomes.invalid;
    EXPECT_NE(e.reason(), PbWireCheck::kMalformed) << typeName << " from " << test::hex(data);
  }
}

TEST(PbFuzzTest, EveryBodyTypeSurvivesRandomAndMutatedBytes) {
  // Invalid UTF-8 in string fields is accepted but logged by debug builds of the generated code.
  google::protobuf::LogHandler* previous = google::protobuf::SetLogHandler(nullptr);
  std::mt19937 rng(20240611);
  Outcomes outcomes;
  const auto* file = pb::MsgHead::descriptor()->file();
  for (int t = 0; t < file->message_type_count(); ++t) {
    const Message* prototype = PbMessage::bodyTypeForName(file->message_type(t)->name());
    ASSERT_NE(prototype, nullptr);
    std::unique_ptr<Message> sample(prototype->New());
    fill(*sample, rng);
    std::string data = PbMessage::data(*sample);
    EXPECT_EQ(test::hex(PbMessage::data(*PbMessage::parseFromData(*prototype, data))), test::hex(data))
        << prototype->GetDescriptor()->name();
    for (int i = 0; i < 30; ++i) checkParse(*prototype, mutate(data, rng), outcomes);
    for (int i = 0; i < 10; ++i) {
      std::string noise(rng() % 40, '\0');
      for (char& c : noise) c = static_cast<char>(rng());
      checkParse(*prototype, noise, outcomes);
    }
  }
  google::protobuf::SetLogHandler(previous);
  // The inputs reach all three outcomes, not just the cheapest one.
  EXPECT_GT(outcomes.parsed, 200);
  EXPECT_GT(outcomes.uninitialized, 200);
  EXPECT_GT(outcomes.invalid, 200);
}

}  // namespace
}  // namespace velbor
