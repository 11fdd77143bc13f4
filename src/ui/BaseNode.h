#pragma once

#include <QDataStream>
#include <QIcon>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

#include <memory>
#include <vector>

namespace velbor {

// A generic outline node: title, icon, children and a leaf flag, with a dictionary form,
// archiving and copying. Nodes live in std::shared_ptr; identity ("this very node") is the
// object's address.
//
// A leaf holds no children: the flag alone marks it (a node that listed itself as its own
// child would make every walk over the tree loop on it).
class BaseNode : public std::enable_shared_from_this<BaseNode> {
 public:
  using Ptr = std::shared_ptr<BaseNode>;
  using List = std::vector<Ptr>;

  BaseNode();
  virtual ~BaseNode() = default;
  BaseNode(const BaseNode&) = delete;
  BaseNode& operator=(const BaseNode&) = delete;

  static Ptr makeLeaf();
  // A node of the same class as this one, freshly initialised.
  virtual Ptr makeEmpty() const;

  bool isLeaf() const { return isLeaf_; }
  // The flag only.
  void setIsLeaf(bool value) { isLeaf_ = value; }
  // The flag, and the children dropped (a leaf has none).
  void setLeaf(bool value);

  const QString& nodeTitle() const { return nodeTitle_; }
  void setNodeTitle(const QString& value) { nodeTitle_ = value; }
  const List& children() const { return children_; }
  List& children() { return children_; }
  void setChildren(List value) { children_ = std::move(value); }
  // A null string stands for no URL.
  const QString& urlString() const { return urlString_; }
  void setUrlString(const QString& value) { urlString_ = value; }
  const QIcon& nodeIcon() const { return nodeIcon_; }
  void setNodeIcon(const QIcon& value) { nodeIcon_ = value; }

  // Negative, zero or positive as the titles order, ignoring case.
  int compare(const BaseNode& other) const;
  bool isDraggable() const;

  // The node among `nodes` (searched depth first) whose children hold this very node;
  // nullptr when this node is itself one of `nodes` at the top or is nowhere below them.
  Ptr parentFromArray(const List& nodes) const;
  // Removes the first occurrence of `node` found walking the children in order.
  void removeObjectFromChildren(const BaseNode* node);
  // Every node below, in pre-order.
  List descendants() const;
  // Every leaf below, in pre-order.
  List allChildLeafs() const;
  // The direct children that are not leaves.
  List groupChildren() const;
  bool isDescendantOfOrOneOfNodes(const List& nodes) const;
  bool isDescendantOfNodes(const List& nodes) const;

  // The keys copied, archived and put into the dictionary form, in order.
  virtual QStringList mutableKeys() const;
  // Key-value access for those keys; an invalid QVariant stands for nil ("isLeaf" nil is NO).
  virtual QVariant valueForKey(const QString& key) const;
  virtual void setValueForKey(const QString& key, const QVariant& value);

  QVariantMap dictionaryRepresentation() const;
  // A node of this class built from `dictionary`; children become nodes of the same class.
  Ptr nodeWithDictionary(const QVariantMap& dictionary) const;
  void setFromDictionary(const QVariantMap& dictionary);

  void encode(QDataStream& out) const;
  // Reads what encode() wrote into this node; false when the stream is damaged (the node is
  // left as it was).
  bool decode(QDataStream& in);

  // A node of the same class with every mutable key's value; the children are the same nodes.
  Ptr copy() const;

 private:
  Ptr parentFromArray(const List& nodes, bool top) const;

  bool isLeaf_ = false;
  QString nodeTitle_ = QStringLiteral("BaseNode Untitled");
  List children_;
  QString urlString_;
  QIcon nodeIcon_;
};

}  // namespace velbor
