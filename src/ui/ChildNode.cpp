#include "ui/ChildNode.h"

#include "ui/NamedImage.h"

namespace velbor {

namespace {

const QString kDescription = QStringLiteral("description");
const QString kText = QStringLiteral("text");

}  // namespace

ChildNode::ChildNode() { setNodeTitle(QStringLiteral("")); }

ChildNode::Ptr ChildNode::childNodeWithTitle(const QString& title, const QString& imageName) {
  auto node = std::make_shared<ChildNode>();
  node->setNodeTitle(title);
  node->setNodeIcon(NamedImage::iconNamed(imageName));
  return node;
}

BaseNode::Ptr ChildNode::makeEmpty() const { return std::make_shared<ChildNode>(); }

void ChildNode::addChild(const BaseNode::Ptr& node) {
  if (node) children().push_back(node);
}

QStringList ChildNode::mutableKeys() const { return BaseNode::mutableKeys() << kDescription << kText; }

QVariant ChildNode::valueForKey(const QString& key) const {
  if (key == kDescription) return description_.isNull() ? QVariant() : QVariant(description_);
  if (key == kText) return text_;
  return BaseNode::valueForKey(key);
}

void ChildNode::setValueForKey(const QString& key, const QVariant& value) {
  if (key == kDescription) {
    description_ = value.isValid() ? value.toString() : QString();
  } else if (key == kText) {
    // The text storage is never nil: a missing value empties it.
    text_ = value.toString();
  } else {
    BaseNode::setValueForKey(key, value);
  }
}

}  // namespace velbor
