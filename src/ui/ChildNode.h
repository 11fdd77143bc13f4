#pragma once

#include <any>
#include <cstdint>
#include <memory>

#include "ui/BaseNode.h"

namespace velbor {

// An outline row: a BaseNode with the object it stands for (`userInifo`: a copy, a pairing,
// a device, a path) and the tag by which a window tells its kinds of row apart. Only the
// title, icon, leaf flag, children, URL, description and text are copied, archived and put
// into the dictionary form.
class ChildNode : public BaseNode {
 public:
  using Ptr = std::shared_ptr<ChildNode>;

  ChildNode();

  // A node titled `title` whose icon is the named image (none when no image has that name).
  static Ptr childNodeWithTitle(const QString& title, const QString& imageName);
  BaseNode::Ptr makeEmpty() const override;

  const QString& description() const { return description_; }
  void setDescription(const QString& value) { description_ = value; }
  const QString& text() const { return text_; }
  void setText(const QString& value) { text_ = value; }

  const std::any& userInifo() const { return userInifo_; }
  void setUserInifo(std::any value) { userInifo_ = std::move(value); }
  // The attached object as a T, or a default T when it is something else.
  template <class T>
  T userInifoAs() const {
    const T* value = std::any_cast<T>(&userInifo_);
    return value ? *value : T{};
  }
  uint64_t tag() const { return tag_; }
  void setTag(uint64_t value) { tag_ = value; }

  // Appends the node; nullptr is ignored.
  void addChild(const BaseNode::Ptr& node);
  int getChildrenCount() const { return static_cast<int>(children().size()); }

  QStringList mutableKeys() const override;
  QVariant valueForKey(const QString& key) const override;
  void setValueForKey(const QString& key, const QVariant& value) override;

 private:
  QString description_ = QStringLiteral("nothing");
  QString text_ = QStringLiteral("");
  std::any userInifo_;
  uint64_t tag_ = 0;
};

}  // namespace velbor
