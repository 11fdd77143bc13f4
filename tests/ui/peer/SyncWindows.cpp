#include "ui/peer/SyncWindows.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QTreeView>

#include <stdexcept>

#include "core/daemon/monitor/Monitor.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/entity/QoSyncdirCopyRelation.h"
#include "core/state/DataSource.h"
#include "ui/MainWindow.h"
#include "ui/QoTreeController.h"
#include "ui/QoTreeTextAndImageCell.h"
#include "ui/StatusBar.h"
#include "ui/peer/UiDriver.h"

namespace velbor {

namespace {

using nlohmann::json;
using Arguments = UiDriver::Arguments;

json ok(json fields = json::object()) {
  fields["ok"] = true;
  return fields;
}

std::string text(const QModelIndex& index) { return index.data(Qt::DisplayRole).toString().toStdString(); }

// Every row shown (children of expanded rows only), depth first.
template <class Visit>
void forEachShownRow(const QAbstractItemView& view, const QModelIndex& parent, int depth, Visit visit) {
  const QAbstractItemModel* model = view.model();
  const auto* tree = qobject_cast<const QTreeView*>(&view);
  for (int row = 0; row < model->rowCount(parent); ++row) {
    const QModelIndex index = model->index(row, 0, parent);
    visit(index, depth);
    if (tree != nullptr && tree->isExpanded(index)) forEachShownRow(view, index, depth + 1, visit);
  }
}

QAbstractItemView* itemView(const std::string& name) {
  auto* view = qobject_cast<QAbstractItemView*>(UiDriver::widgetAt({name}));
  if (view == nullptr) throw std::runtime_error("no visible item view " + name);
  return view;
}

// The shown row at a path of texts: the first a top row, each next a child of the one before.
QModelIndex rowAt(const QAbstractItemView& view, Arguments::const_iterator first, Arguments::const_iterator last) {
  QModelIndex parent;
  for (auto title = first; title != last; ++title) {
    const QAbstractItemModel* model = view.model();
    QModelIndex found;
    for (int row = 0; row < model->rowCount(parent) && !found.isValid(); ++row) {
      const QModelIndex index = model->index(row, 0, parent);
      if (text(index) == *title) found = index;
    }
    if (!found.isValid()) throw std::runtime_error("no row " + *title);
    parent = found;
  }
  return parent;
}

QPoint clickPoint(QAbstractItemView& view, const QModelIndex& index) {
  view.scrollTo(index);
  const QRect rect = view.visualRect(index);
  if (!rect.isValid()) throw std::runtime_error("the row is not shown");
  // Left of the middle, on the row's own text or image.
  return QPoint(rect.left() + std::min(40, rect.width() / 2), rect.center().y());
}

json itemRows(const QAbstractItemView& view) {
  json rows = json::array();
  const auto* tree = qobject_cast<const QTreeView*>(&view);
  forEachShownRow(view, QModelIndex(), 0, [&](const QModelIndex& index, int depth) {
    rows.push_back({{"text", text(index)},
                    {"depth", depth},
                    {"selected", view.selectionModel()->isSelected(index)},
                    {"expanded", tree != nullptr && tree->isExpanded(index)}});
  });
  return rows;
}

// The sync pane's rows as the row cell draws them.
json treeRows(QoTreeController& pane) {
  auto* cell = qobject_cast<QoTreeTextAndImageCell*>(pane.outlineView()->itemDelegateForColumn(0));
  if (cell == nullptr) throw std::runtime_error("the pane has no row cell");
  json rows = json::array();
  forEachShownRow(*pane.outlineView(), QModelIndex(), 0, [&](const QModelIndex& index, int depth) {
    cell->fillForIndex(index);
    rows.push_back(
        {{"title", cell->text().toStdString()},
         {"depth", depth},
         {"tree", cell->cellType() != 0},
         {"indexTitle", cell->indexTitle().toStdString()},
         {"device", cell->deviceTitle().toStdString()},
         // The transfer part is drawn only with its image.
         {"transfer", cell->downloadImage().isNull() ? std::string() : cell->downloadSpeed().toStdString()}});
  });
  return rows;
}

// What a widget shows: its text (labels, fields, buttons, a status line, else its window
// title), whether it shows and whether it can be used. Hidden widgets are found too.
json widgetState(const Arguments& path) {
  // A window shown is looked in first.
  QWidget* found = nullptr;
  const QString first = QString::fromStdString(path[0]);
  for (QWidget* top : QApplication::topLevelWidgets()) {
    QWidget* candidate = top->objectName() == first ? top : top->findChild<QWidget*>(first);
    if (candidate == nullptr) continue;
    if (top->isVisible()) {
      found = candidate;
      break;
    }
    if (found == nullptr) found = candidate;
  }
  for (size_t i = 1; found != nullptr && i < path.size(); ++i) {
    found = found->findChild<QWidget*>(QString::fromStdString(path[i]));
  }
  if (found == nullptr) return ok({{"exists", false}, {"visible", false}});
  QString shown;
  if (auto* label = qobject_cast<QLabel*>(found)) {
    shown = label->text();
  } else if (auto* field = qobject_cast<QLineEdit*>(found)) {
    shown = field->text();
  } else if (auto* button = qobject_cast<QAbstractButton*>(found)) {
    shown = button->text();
  } else if (auto* status = qobject_cast<StatusBar*>(found)) {
    shown = status->statusBarText()->text();
  } else {
    shown = found->windowTitle();
  }
  return ok({{"exists", true},
             {"visible", found->isVisible()},
             {"enabled", found->isEnabled()},
             {"text", shown.toStdString()}});
}

json visibleWindows() {
  json windows = json::array();
  for (QWidget* top : QApplication::topLevelWidgets()) {
    if (!top->isVisible()) continue;
    windows.push_back({{"name", top->objectName().toStdString()},
                       {"title", top->windowTitle().toStdString()},
                       {"modal", top->isModal()}});
  }
  return windows;
}

// The local folder dialog's answer as a user gives it: the folder's path pasted into the
// name field, then its accept button.
json chooseFolder(const std::string& path) {
  QFileDialog* dialog = nullptr;
  for (QWidget* top : QApplication::topLevelWidgets()) {
    for (auto* candidate : top->findChildren<QFileDialog*>(QStringLiteral("localFolderDialog"))) {
      if (candidate->isVisible()) dialog = candidate;
    }
  }
  if (dialog == nullptr) throw std::runtime_error("no folder dialog is open");
  auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
  auto* buttons = dialog->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
  QPushButton* accept = buttons != nullptr ? buttons->button(QDialogButtonBox::Open) : nullptr;
  if (name == nullptr || accept == nullptr) throw std::runtime_error("the dialog has no name field or accept button");
  name->setFocus();
  name->setText(QString::fromStdString(path));
  if (!accept->isEnabled()) throw std::runtime_error("the dialog does not take that folder (yet)");
  QTest::mouseClick(accept, Qt::LeftButton);
  return ok({{"button", accept->text().toStdString()}});
}

// What the database and the monitor hold: the local copies with their pairings, and the
// folders watched.
json syncStatus() {
  json copies = json::array();
  for (const auto& copy : QoSyncdirCopy::getSyncdirCopyInLocalDevice()) {
    json pairings = json::array();
    for (const auto& relation : copy->getAllSyncdirCopyRelations()) {
      const auto& first = relation->firstSyncdirCopy();
      const auto& second = relation->secondSyncdirCopy();
      if (!first || !second) continue;
      pairings.push_back({{"first", first->path()},
                          {"second", second->path()},
                          {"device", second->device() ? second->device()->uuid() : std::string()},
                          {"pulling", DataSource::sharedDataSource().isDoingSyncOnce(relation->pk())}});
    }
    copies.push_back({{"uuid", copy->uuid()}, {"path", copy->path()}, {"pairings", pairings}});
  }
  const auto monitor = Monitor::sharedMonitor();
  const auto local = QoDevice::getDeviceLocal();
  return ok({{"copies", copies},
             {"watches", monitor ? monitor->watchCount() : 0},
             {"localName", local ? local->name() : std::string()}});
}

}  // namespace

void addSyncWindowCommands(UiDriver& driver, MainWindow& window) {
  QoTreeController* pane = window.treeController();
  driver.addCommand("tree-rows", 0,
                    "tree-rows: the sync pane's rows as drawn, depth first, and how often progress repainted them",
                    [pane](const Arguments&) {
                      return ok({{"rows", treeRows(*pane)}, {"repaints", pane->repaintCount()}});
                    });
  driver.addCommand("tree-click", -1, "tree-click TITLE [CHILD]: clicks a tree row (or its pairing row)",
                    [pane](const Arguments& a) {
                      if (a.size() > 2) throw std::invalid_argument("a tree row and at most one pairing row");
                      QTreeView* view = pane->outlineView();
                      const QPoint at = clickPoint(*view, rowAt(*view, a.begin(), a.end()));
                      QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
                      return ok();
                    });
  driver.addCommand("tree-double-click", 1, "tree-double-click TITLE: double-clicks a tree row",
                    [pane](const Arguments& a) {
                      QTreeView* view = pane->outlineView();
                      const QPoint at = clickPoint(*view, rowAt(*view, a.begin(), a.end()));
                      // What the window system delivers: press, release, double click, release.
                      QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
                      QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, at);
                      QTest::mouseRelease(view->viewport(), Qt::LeftButton, {}, at);
                      return ok();
                    });
  driver.addCommand("items", 1, "items VIEW: the rows an item view shows, depth first", [](const Arguments& a) {
    return ok({{"rows", itemRows(*itemView(a[0]))}});
  });
  driver.addCommand("item-click", -1, "item-click VIEW TEXT...: clicks the row at that path of shown texts",
                    [](const Arguments& a) {
                      if (a.size() < 2) throw std::invalid_argument("usage: item-click VIEW TEXT...");
                      QAbstractItemView* view = itemView(a[0]);
                      const QModelIndex index = rowAt(*view, a.begin() + 1, a.end());
                      QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, clickPoint(*view, index));
                      return ok();
                    });
  driver.addCommand("item-open", -1, "item-open VIEW TEXT...: clicks that row and opens it with the right arrow key",
                    [](const Arguments& a) {
                      if (a.size() < 2) throw std::invalid_argument("usage: item-open VIEW TEXT...");
                      QAbstractItemView* view = itemView(a[0]);
                      const QModelIndex index = rowAt(*view, a.begin() + 1, a.end());
                      QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, clickPoint(*view, index));
                      QTest::keyClick(view, Qt::Key_Right);
                      return ok();
                    });
  driver.addCommand("text", -1, "text NAME...: what the widget at that object-name path shows",
                    [](const Arguments& a) { return widgetState(a); });
  driver.addCommand("windows", 0, "windows: the windows shown", [](const Arguments&) {
    return ok({{"windows", visibleWindows()}});
  });
  driver.addCommand("choose-folder", 1, "choose-folder PATH: answers the open local folder dialog with PATH",
                    [](const Arguments& a) { return chooseFolder(a[0]); });
  driver.addCommand("sync-status", 0,
                    "sync-status: the local copies and pairings stored, the folders watched, this device's name",
                    [](const Arguments&) { return syncStatus(); });
}

}  // namespace velbor
