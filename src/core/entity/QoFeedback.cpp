#include "core/entity/QoFeedback.h"

namespace velbor {

std::vector<std::string> QoFeedback::propertiesOrderedArray() {
  // Never destroyed: jobs still running at exit use it.
  static const auto& properties = *new std::vector<std::string>{"name", "userRank", "message"};
  return properties;
}

std::vector<PersistentProperty> QoFeedback::propertiesWithEncodedTypes() {
  return {PersistentProperty::text("name", &QoFeedback::name_),
          PersistentProperty::text("userRank", &QoFeedback::userRank_),
          PersistentProperty::text("message", &QoFeedback::message_)};
}

void QoFeedback::setName(const std::string& value) {
  name_ = value;
  markDirty();
}

void QoFeedback::setUserRank(const std::string& value) {
  userRank_ = value;
  markDirty();
}

void QoFeedback::setMessage(const std::string& value) {
  message_ = value;
  markDirty();
}

}  // namespace velbor
