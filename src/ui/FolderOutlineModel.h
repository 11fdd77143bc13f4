#pragma once

#include "ui/ChildNodeModel.h"

namespace velbor {

// The folder rows of the folder browser: every folder can be opened, also before its
// sub-folders are known, and a listing replaces one folder's children in place, so the rows
// the user has opened stay open.
class FolderOutlineModel : public ChildNodeModel {
  Q_OBJECT

 public:
  using ChildNodeModel::ChildNodeModel;

  // `parent` must be a row of the model.
  void replaceChildren(const BaseNode::Ptr& parent, BaseNode::List children);

  bool hasChildren(const QModelIndex& parent = {}) const override;
};

}  // namespace velbor
