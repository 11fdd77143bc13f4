#include "core/proto/PbMessage.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/io/coded_stream.h>

#include <string>
#include <vector>

#include "core/proto/InvalidProtocolBuffer.h"
#include "core/proto/PbWireCheck.h"
#include "core/proto/UninitializedMessage.h"
#include "proto/VelborProto.pb.h"

namespace velbor {

using google::protobuf::Message;

void PbMessage::checkInitialized(const Message& message) {
  if (!message.IsInitialized()) {
    throw UninitializedMessage();
  }
}

std::string PbMessage::data(const Message& message) {
  std::string bytes;
  message.SerializePartialToString(&bytes);
  return bytes;
}

void PbMessage::mergeFromData(Message& message, std::string_view bytes) {
  if (bytes.size() > static_cast<size_t>(kMaxMessageBytes)) {
    throw InvalidProtocolBuffer(PbWireCheck::kSizeLimitExceeded);
  }
  google::protobuf::io::CodedInputStream input(reinterpret_cast<const uint8_t*>(bytes.data()),
                                               static_cast<int>(bytes.size()));
  input.SetTotalBytesLimit(kMaxMessageBytes);
  input.SetRecursionLimit(kMaxNestingDepth);
  // An end-group tag stops the merge early; only a parse that used up the input counts.
  if (!message.MergePartialFromCodedStream(&input) || !input.ConsumedEntireMessage()) {
    // The runtime only says "failed"; name the fault for the log.
    throw InvalidProtocolBuffer(PbWireCheck::malformation(*message.GetDescriptor(), bytes));
  }
}

namespace {

// A page of file records is taken record by record: one that lacks a required field (or
// holds a value outside its enum, which the runtime keeps as an unknown field) is skipped by
// the receiver, not the whole page with it.
bool isCheckedByReceiver(const Message& message, const std::string& missing) {
  return message.GetDescriptor() == pb::MsgFindResponse::descriptor() && missing.starts_with("stats[");
}

}  // namespace

std::unique_ptr<Message> PbMessage::parseFromData(const Message& prototype, std::string_view bytes) {
  std::unique_ptr<Message> message(prototype.New());
  mergeFromData(*message, bytes);
  if (message->IsInitialized()) return message;
  std::vector<std::string> missing;
  message->FindInitializationErrors(&missing);
  for (const std::string& field : missing) {
    if (!isCheckedByReceiver(*message, field)) throw UninitializedMessage();
  }
  return message;
}

const Message* PbMessage::bodyTypeForName(std::string_view typeName) {
  // Going through a generated type makes sure the schema's file is linked in and built.
  const google::protobuf::FileDescriptor* file = pb::MsgHead::descriptor()->file();
  const google::protobuf::Descriptor* type =
      file->pool()->FindMessageTypeByName(file->package() + "." + std::string(typeName));
  if (type == nullptr || type->file() != file) {
    return nullptr;
  }
  return google::protobuf::MessageFactory::generated_factory()->GetPrototype(type);
}

}  // namespace velbor
