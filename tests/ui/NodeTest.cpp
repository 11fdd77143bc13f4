#include <QBuffer>
#include <QDataStream>
#include <QPixmap>

#include <memory>

#include <gtest/gtest.h>

#include "ui/ChildNode.h"
#include "ui/ChildNodeModel.h"

namespace velbor {
namespace {

ChildNode::Ptr node(const QString& title, bool leaf = false) {
  auto made = std::make_shared<ChildNode>();
  made->setNodeTitle(title);
  made->setLeaf(leaf);
  return made;
}

QIcon redIcon() {
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::red);
  return QIcon(pixmap);
}

QStringList titles(const BaseNode::List& nodes) {
  QStringList out;
  for (const auto& each : nodes) out << each->nodeTitle();
  return out;
}

// root a: [b: [c (leaf), d: [e (leaf)]], f (leaf)]; root g: []
struct Forest {
  ChildNode::Ptr a = node("a"), b = node("b"), c = node("c", true), d = node("d"), e = node("e", true),
                 f = node("f", true), g = node("g");
  Forest() {
    a->addChild(b);
    a->addChild(f);
    b->addChild(c);
    b->addChild(d);
    d->addChild(e);
  }
  BaseNode::List roots() const { return {a, g}; }
};

TEST(NodeTest, LeafIsAFlagAndWalksVisitEveryNodeOnce) {
  Forest forest;
  auto leaf = node("leaf");
  leaf->addChild(node("dropped"));
  leaf->setLeaf(true);
  EXPECT_TRUE(leaf->isLeaf());
  EXPECT_TRUE(leaf->children().empty());
  forest.g->addChild(leaf);
  forest.g->addChild(nullptr);
  EXPECT_EQ(forest.g->getChildrenCount(), 1);

  EXPECT_EQ(titles(forest.a->descendants()), QStringList({"b", "c", "d", "e", "f"}));
  EXPECT_EQ(titles(forest.g->descendants()), QStringList({"leaf"}));
  EXPECT_EQ(titles(forest.a->allChildLeafs()), QStringList({"c", "e", "f"}));
  EXPECT_EQ(titles(forest.a->groupChildren()), QStringList({"b"}));

  // setIsLeaf changes the flag only; setLeaf(false) starts an empty child list.
  forest.d->setIsLeaf(true);
  EXPECT_EQ(forest.d->getChildrenCount(), 1);
  EXPECT_EQ(titles(forest.a->descendants()), QStringList({"b", "c", "d", "f"}));
  forest.d->setLeaf(false);
  EXPECT_EQ(forest.d->getChildrenCount(), 0);
}

TEST(NodeTest, ParentSearchAndRemovalFindTheVeryNodeAtAnyDepth) {
  Forest forest;
  const auto roots = forest.roots();
  EXPECT_EQ(forest.e->parentFromArray(roots), forest.d);
  EXPECT_EQ(forest.c->parentFromArray(roots), forest.b);
  EXPECT_EQ(forest.f->parentFromArray(roots), forest.a);
  EXPECT_EQ(forest.a->parentFromArray(roots), nullptr);  // a root itself
  EXPECT_EQ(node("stranger")->parentFromArray(roots), nullptr);
  // A node with the same title is not the node.
  EXPECT_EQ(node("e", true)->parentFromArray(roots), nullptr);

  EXPECT_TRUE(forest.e->isDescendantOfNodes(roots));
  EXPECT_FALSE(forest.a->isDescendantOfNodes(roots));
  EXPECT_TRUE(forest.a->isDescendantOfOrOneOfNodes(roots));
  EXPECT_FALSE(forest.e->isDescendantOfNodes({forest.f, forest.g}));

  forest.a->removeObjectFromChildren(forest.e.get());
  EXPECT_EQ(titles(forest.a->descendants()), QStringList({"b", "c", "d", "f"}));
  forest.a->removeObjectFromChildren(forest.b.get());
  EXPECT_EQ(titles(forest.a->descendants()), QStringList({"f"}));
  forest.a->removeObjectFromChildren(forest.g.get());  // not there: nothing changes
  EXPECT_EQ(forest.a->getChildrenCount(), 1);
}

TEST(NodeTest, DictionaryFormAndArchiveRoundTripKeepLeavesAndClass) {
  Forest forest;
  forest.a->setNodeIcon(redIcon());
  forest.a->setUrlString("/srv/a");
  forest.e->setDescription("deep");
  forest.e->setText("text of e");

  const QVariantMap leafForm = forest.c->dictionaryRepresentation();
  EXPECT_FALSE(leafForm.contains("children"));
  EXPECT_FALSE(leafForm.contains("urlString"));
  EXPECT_TRUE(leafForm.value("isLeaf").toBool());
  auto leaf = forest.c->nodeWithDictionary(leafForm);
  EXPECT_TRUE(leaf->isLeaf());
  EXPECT_TRUE(leaf->children().empty());
  EXPECT_EQ(leaf->nodeTitle(), "c");

  QByteArray bytes;
  {
    QDataStream out(&bytes, QIODevice::WriteOnly);
    forest.a->encode(out);
  }
  auto decoded = std::make_shared<ChildNode>();
  QDataStream in(bytes);
  ASSERT_TRUE(decoded->decode(in));
  EXPECT_EQ(titles(decoded->descendants()), QStringList({"b", "c", "d", "e", "f"}));
  EXPECT_EQ(titles(decoded->allChildLeafs()), QStringList({"c", "e", "f"}));
  EXPECT_EQ(decoded->urlString(), "/srv/a");
  EXPECT_FALSE(decoded->nodeIcon().isNull());
  const auto e = std::dynamic_pointer_cast<ChildNode>(decoded->allChildLeafs()[1]);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->description(), "deep");
  EXPECT_EQ(e->text(), "text of e");

  // A damaged archive leaves the node as it was.
  QDataStream cut(bytes.left(bytes.size() / 2));
  auto untouched = node("kept");
  EXPECT_FALSE(untouched->decode(cut));
  EXPECT_EQ(untouched->nodeTitle(), "kept");
}

TEST(NodeTest, CopyKeepsTheStoredFieldsButNotTheRowObjectOrTag) {
  Forest forest;
  forest.b->setNodeIcon(redIcon());
  forest.b->setDescription("about b");
  forest.b->setText("b's text");
  forest.b->setUserInifo(std::string("row object"));
  forest.b->setTag(1);
  auto copied = std::dynamic_pointer_cast<ChildNode>(forest.b->copy());
  ASSERT_NE(copied, nullptr);
  EXPECT_EQ(copied->nodeTitle(), "b");
  EXPECT_FALSE(copied->nodeIcon().isNull());
  EXPECT_FALSE(copied->isLeaf());
  EXPECT_EQ(copied->description(), "about b");
  EXPECT_EQ(copied->text(), "b's text");
  EXPECT_FALSE(copied->userInifo().has_value());
  EXPECT_EQ(copied->tag(), 0u);
  EXPECT_EQ(copied->children()[0], forest.c);  // the same child nodes
  EXPECT_EQ(forest.b->userInifoAs<std::string>(), "row object");
  EXPECT_EQ(forest.b->userInifoAs<int>(), 0);

  auto leafCopy = forest.c->copy();
  EXPECT_TRUE(leafCopy->isLeaf());
}

TEST(NodeTest, FreshNodesOrderingDraggingAndNilLeaf) {
  BaseNode base;
  EXPECT_EQ(base.nodeTitle(), "BaseNode Untitled");
  ChildNode child;
  EXPECT_EQ(child.nodeTitle(), "");
  EXPECT_EQ(child.description(), "nothing");
  EXPECT_TRUE(BaseNode::makeLeaf()->isLeaf());

  EXPECT_EQ(node("Apple")->compare(*node("apple")), 0);
  EXPECT_LT(node("apple")->compare(*node("Banana")), 0);

  auto drag = node("d");
  EXPECT_FALSE(drag->isDraggable());  // no icon
  drag->setNodeIcon(redIcon());
  EXPECT_TRUE(drag->isDraggable());
  drag->setUrlString("/abs/path");
  EXPECT_FALSE(drag->isDraggable());

  drag->setLeaf(true);
  drag->setValueForKey("isLeaf", QVariant());
  EXPECT_FALSE(drag->isLeaf());

  EXPECT_TRUE(ChildNode::childNodeWithTitle("t", "no-such-image-name-xyz")->nodeIcon().isNull());
  EXPECT_FALSE(ChildNode::childNodeWithTitle("t", "folder")->nodeIcon().isNull());
}

TEST(NodeTest, ModelShowsRootsChildrenAndLeaves) {
  Forest forest;
  ChildNodeModel model;
  model.setRoots(forest.roots());
  EXPECT_EQ(model.rowCount(), 2);
  const QModelIndex a = model.index(0, 0);
  EXPECT_EQ(a.data().toString(), "a");
  EXPECT_EQ(model.rowCount(a), 2);
  const QModelIndex d = model.index(1, 0, model.index(0, 0, a));
  EXPECT_EQ(d.data().toString(), "d");
  const QModelIndex e = model.index(0, 0, d);
  EXPECT_EQ(model.parent(e), d);
  EXPECT_EQ(model.parent(model.parent(d)), a);
  EXPECT_FALSE(model.parent(a).isValid());
  EXPECT_FALSE(model.hasChildren(e));
  EXPECT_TRUE(model.flags(e) & Qt::ItemNeverHasChildren);
  EXPECT_FALSE(model.hasChildren(model.index(1, 0)));  // g: no children yet
  EXPECT_EQ(model.indexOf(forest.e.get()), e);
  EXPECT_FALSE(model.index(5, 0).isValid());
}

}  // namespace
}  // namespace velbor
