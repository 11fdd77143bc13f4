#pragma once

#include <string>
#include <vector>

#include "framework/persistence/PersistentEntity.h"

namespace velbor {

// One feedback message that could not be sent yet; stored through the generic layer.
class QoFeedback : public PersistentEntity<QoFeedback> {
 public:
  static std::string className() { return "QoFeedback"; }
  static std::vector<std::string> propertiesOrderedArray();
  static std::vector<PersistentProperty> propertiesWithEncodedTypes();

  const std::string& name() const { return name_; }
  const std::string& userRank() const { return userRank_; }
  const std::string& message() const { return message_; }
  // The setters mark the record changed, so its next save writes it.
  void setName(const std::string& value);
  void setUserRank(const std::string& value);
  void setMessage(const std::string& value);

 private:
  std::string name_;
  std::string userRank_;
  std::string message_;
};

}  // namespace velbor
