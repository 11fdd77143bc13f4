#include "ui/BaseNode.h"

#include <QDir>

#include <algorithm>

namespace velbor {

namespace {

const QString kTitle = QStringLiteral("nodeTitle");
const QString kIsLeaf = QStringLiteral("isLeaf");
const QString kChildren = QStringLiteral("children");
const QString kIcon = QStringLiteral("nodeIcon");
const QString kUrl = QStringLiteral("urlString");

bool contains(const BaseNode::List& nodes, const BaseNode* node) {
  return std::any_of(nodes.begin(), nodes.end(), [node](const BaseNode::Ptr& each) { return each.get() == node; });
}

void collect(const BaseNode& node, BaseNode::List& out, bool leavesOnly) {
  for (const BaseNode::Ptr& child : node.children()) {
    if (!leavesOnly || child->isLeaf()) out.push_back(child);
    if (!child->isLeaf()) collect(*child, out, leavesOnly);
  }
}

}  // namespace

BaseNode::BaseNode() = default;

BaseNode::Ptr BaseNode::makeLeaf() {
  auto node = std::make_shared<BaseNode>();
  node->setLeaf(true);
  return node;
}

BaseNode::Ptr BaseNode::makeEmpty() const { return std::make_shared<BaseNode>(); }

void BaseNode::setLeaf(bool value) {
  isLeaf_ = value;
  children_.clear();
}

int BaseNode::compare(const BaseNode& other) const { return nodeTitle_.toLower().compare(other.nodeTitle_.toLower()); }

bool BaseNode::isDraggable() const { return !QDir::isAbsolutePath(urlString_) && !nodeIcon_.isNull(); }

BaseNode::Ptr BaseNode::parentFromArray(const List& nodes) const { return parentFromArray(nodes, true); }

BaseNode::Ptr BaseNode::parentFromArray(const List& nodes, bool top) const {
  for (const Ptr& node : nodes) {
    if (top && node.get() == this) return nullptr;
    if (contains(node->children(), this)) return node;
    if (!node->isLeaf()) {
      if (Ptr found = parentFromArray(node->children(), false)) return found;
    }
  }
  return nullptr;
}

void BaseNode::removeObjectFromChildren(const BaseNode* node) {
  for (auto it = children_.begin(); it != children_.end(); ++it) {
    if (it->get() == node) {
      children_.erase(it);
      return;
    }
    if (!(*it)->isLeaf()) (*it)->removeObjectFromChildren(node);
  }
}

BaseNode::List BaseNode::descendants() const {
  List out;
  collect(*this, out, false);
  return out;
}

BaseNode::List BaseNode::allChildLeafs() const {
  List out;
  collect(*this, out, true);
  return out;
}

BaseNode::List BaseNode::groupChildren() const {
  List out;
  std::copy_if(children_.begin(), children_.end(), std::back_inserter(out),
               [](const Ptr& child) { return !child->isLeaf(); });
  return out;
}

bool BaseNode::isDescendantOfOrOneOfNodes(const List& nodes) const {
  return contains(nodes, this) || isDescendantOfNodes(nodes);
}

bool BaseNode::isDescendantOfNodes(const List& nodes) const {
  return std::any_of(nodes.begin(), nodes.end(),
                     [this](const Ptr& node) { return !node->isLeaf() && contains(node->descendants(), this); });
}

QStringList BaseNode::mutableKeys() const { return {kTitle, kIsLeaf, kChildren, kIcon, kUrl}; }

QVariant BaseNode::valueForKey(const QString& key) const {
  if (key == kTitle) return nodeTitle_.isNull() ? QVariant() : QVariant(nodeTitle_);
  if (key == kIsLeaf) return isLeaf_;
  if (key == kIcon) return nodeIcon_.isNull() ? QVariant() : QVariant(nodeIcon_);
  if (key == kUrl) return urlString_.isNull() ? QVariant() : QVariant(urlString_);
  return {};
}

void BaseNode::setValueForKey(const QString& key, const QVariant& value) {
  if (key == kTitle) {
    nodeTitle_ = value.isValid() ? value.toString() : QString();
  } else if (key == kIsLeaf) {
    isLeaf_ = value.isValid() && value.toBool();
  } else if (key == kIcon) {
    nodeIcon_ = value.isValid() ? value.value<QIcon>() : QIcon();
  } else if (key == kUrl) {
    urlString_ = value.isValid() ? value.toString() : QString();
  }
}

QVariantMap BaseNode::dictionaryRepresentation() const {
  QVariantMap dictionary;
  for (const QString& key : mutableKeys()) {
    if (key == kChildren) continue;
    if (QVariant value = valueForKey(key); value.isValid()) dictionary.insert(key, value);
  }
  if (!isLeaf_) {
    QVariantList children;
    for (const Ptr& child : children_) children.append(child->dictionaryRepresentation());
    dictionary.insert(kChildren, children);
  }
  return dictionary;
}

BaseNode::Ptr BaseNode::nodeWithDictionary(const QVariantMap& dictionary) const {
  Ptr node = makeEmpty();
  node->setFromDictionary(dictionary);
  return node;
}

void BaseNode::setFromDictionary(const QVariantMap& dictionary) {
  for (const QString& key : mutableKeys()) {
    if (key != kChildren) {
      setValueForKey(key, dictionary.value(key));
      continue;
    }
    children_.clear();
    if (dictionary.value(kIsLeaf).toBool()) continue;
    for (const QVariant& child : dictionary.value(kChildren).toList()) {
      children_.push_back(nodeWithDictionary(child.toMap()));
    }
  }
}

void BaseNode::encode(QDataStream& out) const { out << dictionaryRepresentation(); }

bool BaseNode::decode(QDataStream& in) {
  QVariantMap dictionary;
  in >> dictionary;
  if (in.status() != QDataStream::Ok) return false;
  setFromDictionary(dictionary);
  return true;
}

BaseNode::Ptr BaseNode::copy() const {
  Ptr node = makeEmpty();
  for (const QString& key : mutableKeys()) {
    if (key == kChildren) {
      node->children_ = children_;
    } else {
      node->setValueForKey(key, valueForKey(key));
    }
  }
  return node;
}

}  // namespace velbor
